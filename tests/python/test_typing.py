"""The type stubs agree with the runtime module, and typed code using them checks.

stubtest compares stubs/tarvu-stubs against the imported module. The signatures
the interpreter reports are also checked directly: they come from the classes'
text signatures, which older stubtest releases do not read for constructors,
and those checks run even where mypy is not installed.
"""

from __future__ import annotations

import inspect
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
ALLOWLIST = ROOT / "stubs" / "allowlist.txt"
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
    args = ["mypy.stubtest", "tarvu"]
    if ALLOWLIST.exists():
        args += ["--allowlist", str(ALLOWLIST)]
    code, output = run_checker(args, mypy_env, tmp_path)
    assert code == 0, output


def test_examples_pass_strict_mypy(mypy_env, tmp_path):
    if not any(EXAMPLES.rglob("*.py")):
        pytest.skip("no Python source under examples/")
    code, output = run_checker(["mypy", "--strict", str(EXAMPLES)], mypy_env, tmp_path)
    assert code == 0, output


# Calls the runtime accepts; strict mypy must accept them too.
GOOD_USES = [
    "m{cls}: {cls} = {cls}(s='x') if {cls}.from_int(v=True) == 1 else {cls}.list()[0]",
    "n{cls}: int = int({cls}.list()[0].list()[0]) + len({cls}.list()[0].to_string())",
    "b{cls}: bool = {cls}.from_int(0) != {cls}.list()[0] and {cls}.list()[0] == 0",
]
# Mistakes the runtime rejects; the stubs must make mypy report each of them.
BAD_USES = [
    "{cls}.list()[0].__hash__()",
    "h{cls}: Hashable = {cls}.list()[0]",
    "class Sub{cls}({cls}): pass",
    "{cls}(3)",
    "{cls}.from_int('3')",
    "x{cls}: list[str] = {cls}.list()",
    "{cls}.list()[0] < {cls}.list()[1]",
]


def test_stubs_accept_valid_use_and_reject_misuse(mypy_env, tmp_path):
    lines = ["from __future__ import annotations", "from typing import Hashable"]
    lines += [f"from tarvu import {cls.__name__}" for cls in CLASSES]
    lines += [use.format(cls=cls.__name__) for cls in CLASSES for use in GOOD_USES]
    first_bad = len(lines) + 1
    lines += [use.format(cls=cls.__name__) for cls in CLASSES for use in BAD_USES]
    source = tmp_path / "uses.py"
    source.write_text("\n".join(lines) + "\n")
    code, output = run_checker(["mypy", "--strict", str(source)], mypy_env, tmp_path)
    assert code == 1, output
    flagged = {int(line.split(":")[1]) for line in output.splitlines() if ": error:" in line}
    assert flagged == set(range(first_bad, len(lines) + 1)), output
