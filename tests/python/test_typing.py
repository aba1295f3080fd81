"""The type stubs agree with the runtime module, and typed code using them checks.

stubtest compares stubs/tarvu-stubs against the imported module. The signatures
the interpreter reports are also checked directly: they come from the classes'
text signatures, which older stubtest releases do not read for constructors,
and those checks run even where mypy is not installed.
"""

from __future__ import annotations

import inspect
import json
import os
import shutil
import subprocess
import sys
from pathlib import Path

import pytest

import tarvu
from conftest import CLASSES

ROOT = Path(__file__).resolve().parents[2]
STUB = ROOT / "stubs" / "tarvu-stubs" / "__init__.pyi"
EXAMPLES = ROOT / "examples"

by_name = pytest.mark.parametrize("cls", CLASSES, ids=lambda c: c.__name__)


@pytest.mark.skipif(
    sys.version_info < (3, 10),
    reason="before 3.10 PyType_FromSpec strips the text signature from the class doc",
)
@by_name
def test_constructor_signature_names_its_parameter(cls):
    params = list(inspect.signature(cls).parameters.values())
    assert [(p.name, p.kind) for p in params] == [("s", inspect.Parameter.POSITIONAL_OR_KEYWORD)]


@by_name
def test_method_signatures(cls):
    assert str(inspect.signature(cls.from_int)) == "(v)"
    assert str(inspect.signature(cls.list)) == "()"
    assert str(inspect.signature(cls.to_string)) == "(self, /)"


@pytest.fixture(scope="module")
def mypy_env(tmp_path_factory):
    """Environment in which mypy sees the repository's stubs as `tarvu`.

    mypy looks for `tarvu-stubs` only in site-packages; a stub file named
    after the module on MYPYPATH takes precedence over any installed copy, so
    the checks always judge the stubs of this tree. The runtime module is the
    one this test process imported.
    """
    pytest.importorskip("mypy", reason="mypy is not installed in this interpreter")
    stub_dir = tmp_path_factory.mktemp("stubs")
    shutil.copyfile(STUB, stub_dir / "tarvu.pyi")
    env = dict(os.environ)
    env["MYPYPATH"] = str(stub_dir)
    module_dir = str(Path(tarvu.__file__).resolve().parent)
    env["PYTHONPATH"] = os.pathsep.join(filter(None, [module_dir, env.get("PYTHONPATH")]))
    return env


def run_checker(args, env, cwd):
    result = subprocess.run(
        [sys.executable, "-m", *args],
        env=env,
        cwd=str(cwd),
        stdout=subprocess.PIPE,
        stderr=subprocess.STDOUT,
        universal_newlines=True,
        timeout=600,
    )
    return result.returncode, result.stdout


def test_stubtest_accepts_stubs(mypy_env, tmp_path):
    code, output = run_checker(["mypy.stubtest", "tarvu"], mypy_env, tmp_path)
    assert code == 0, output


def test_examples_pass_strict_mypy(mypy_env, tmp_path):
    if not any(EXAMPLES.rglob("*.py")):
        pytest.skip("no Python source under examples/")
    code, output = run_checker(["mypy", "--strict", str(EXAMPLES)], mypy_env, tmp_path)
    assert code == 0, output


# Calls the runtime accepts; both checkers must accept them too.
GOOD_USES = [
    "m{cls}: {cls} = {cls}(s='x') if {cls}.from_int(v=True) == 1 else {cls}.list()[0]",
    "n{cls}: int = int({cls}.list()[0].list()[0]) + len({cls}.list()[0].to_string())",
    "b{cls}: bool = {cls}.from_int(0) != {cls}.list()[0] and {cls}.list()[0] == 0",
    "k{cls}: dict[int, {cls}] = {{int(m): m for m in {cls}.list()}}",
    "c{cls}: {cls} = {cls}.Unknown",
]
# Mistakes the runtime rejects or that change the class for the whole process,
# and the checkers the stubs make report each. What neither can see (hash(m),
# Counter(members), set(members), m in {16, 23}, pickling, m == 16.0, a format spec)
# is listed in docs/usage.md.
BOTH = ("mypy", "pyright")
MISUSES = [
    ("{cls}.list()[0].__hash__()", BOTH),
    ("h{cls}: Hashable = {cls}.list()[0]", BOTH),
    ("class Sub{cls}({cls}): pass", BOTH),
    ("{cls}(3)", BOTH),
    ("{cls}.from_int('3')", BOTH),
    ("x{cls}: list[str] = {cls}.list()", BOTH),
    ("{cls}.list()[0] < {cls}.list()[1]", BOTH),
    ("{cls}.Unknown = {cls}.list()[1]", BOTH),
    ("{cls}.list()[0].Unknown = {cls}.list()[1]", BOTH),
    ("del {cls}.Unknown", ("pyright",)),
    ("s{cls} = {{{cls}.list()[0]}}", ("pyright",)),
    ("d{cls} = {{{cls}.list()[0]: 1}}", ("pyright",)),
]


@pytest.fixture(scope="module")
def uses(tmp_path_factory):
    """A module of good uses, then misuses; and the lines of the misuses each checker must flag."""
    lines = ["from __future__ import annotations", "from typing import Hashable"]
    lines += ["from tarvu import {}".format(cls.__name__) for cls in CLASSES]
    lines += [use.format(cls=cls.__name__) for cls in CLASSES for use in GOOD_USES]
    expected = {"mypy": set(), "pyright": set()}
    for cls in CLASSES:
        for use, checkers in MISUSES:
            lines.append(use.format(cls=cls.__name__))
            for checker in checkers:
                expected[checker].add(len(lines))
    source = tmp_path_factory.mktemp("uses") / "uses.py"
    source.write_text("\n".join(lines) + "\n")
    return source, expected


def test_mypy_accepts_valid_use_and_reports_misuse(mypy_env, uses, tmp_path):
    source, expected = uses
    code, output = run_checker(["mypy", "--strict", str(source)], mypy_env, tmp_path)
    assert code == 1, output
    # "path:line: error: ..."; a Windows path has a colon of its own.
    flagged = {int(line.split(": error:")[0].rsplit(":", 1)[1])
               for line in output.splitlines() if ": error:" in line}
    assert flagged == expected["mypy"], output


def test_pyright_accepts_valid_use_and_reports_misuse(mypy_env, uses, tmp_path):
    pytest.importorskip("pyright", reason="pyright is not installed in this interpreter")
    if shutil.which("node") is None:
        # Without node the pyright wrapper would try to download one.
        pytest.skip("pyright needs node on PATH (tools/install-deps.sh installs Debian's nodejs)")
    source, expected = uses
    config = tmp_path / "pyrightconfig.json"
    config.write_text(json.dumps({"extraPaths": [mypy_env["MYPYPATH"]],
                                  "pythonVersion": "{}.{}".format(*sys.version_info[:2])}))
    env = dict(mypy_env, PYRIGHT_PYTHON_IGNORE_WARNINGS="1")
    code, output = run_checker(["pyright", "--outputjson", "--project", str(config), str(source)],
                               env, tmp_path)
    report = json.loads(output)
    errors = [d for d in report["generalDiagnostics"] if d["severity"] == "error"]
    flagged = {d["range"]["start"]["line"] + 1 for d in errors}
    assert flagged == expected["pyright"], json.dumps(errors, indent=1)
