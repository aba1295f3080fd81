"""Every Python block of README.md, docs/*.md and bench/README.md runs against the built module.

A ```python block runs as a program of its own, from a file, in a fresh
interpreter; when the next fenced block (nothing but blank lines between) is a
```text block, the program's standard output must equal it. A ```pycon block is
an interactive session, checked line by line with doctest. A block that imports
a library this interpreter lacks is skipped, naming the library; with
TARVU_DOCS_ALL=1 (`make check-all`) such a block fails instead.
"""

import ast
import builtins
import importlib.util
import os
import re
import subprocess
import sys
from pathlib import Path
from typing import List, NamedTuple, Optional

import pytest

import tarvu
from conftest import UNDER_WINE

ROOT = Path(__file__).resolve().parents[2]
DOCUMENTS = [ROOT / "README.md", *sorted((ROOT / "docs").glob("*.md")), ROOT / "bench" / "README.md"]
FENCE = re.compile(r"^```(\w*)[ \t]*\n(.*?)^```[ \t]*$", re.M | re.S)


class Block(NamedTuple):
    where: str
    language: str
    source: str
    output: Optional[str]  # the text block that follows, if any


def blocks(path):
    text = path.read_text(encoding="utf-8")
    fences = list(FENCE.finditer(text))
    found = []
    for i, fence in enumerate(fences):
        language = fence.group(1)
        if language not in ("python", "pycon"):
            continue
        output = None
        if i + 1 < len(fences):
            after = fences[i + 1]
            if after.group(1) == "text" and not text[fence.end():after.start()].strip():
                output = after.group(2)
        line = text.count("\n", 0, fence.start()) + 1
        found.append(Block("{}:{}".format(path.name, line), language, fence.group(2), output))
    return found


BLOCKS = [block for path in DOCUMENTS for block in blocks(path)]


def session_source(block):
    """The statements of an interactive session, without prompts."""
    return "\n".join(line[4:] for line in block.source.splitlines()
                     if line.startswith((">>> ", "... ")))


def missing_libraries(source):
    """Top-level packages the code imports that this interpreter cannot find."""
    names: List[str] = []
    for node in ast.walk(ast.parse(source)):
        if isinstance(node, ast.Import):
            names += [alias.name for alias in node.names]
        elif isinstance(node, ast.ImportFrom) and node.level == 0 and node.module:
            names.append(node.module)
    tops = dict.fromkeys(name.split(".")[0] for name in names)
    return [name for name in tops if importlib.util.find_spec(name) is None]


def run_block(block, directory):
    if block.language == "pycon":
        program = directory / "session.txt"
        program.write_text(block.source, encoding="utf-8")
        command = [sys.executable, "-m", "doctest", str(program)]
    else:
        program = directory / "recipe.py"
        program.write_text(block.source, encoding="utf-8")
        command = [sys.executable, str(program)]
    env = dict(os.environ)
    env["PYTHONPATH"] = os.pathsep.join(
        filter(None, [str(Path(tarvu.__file__).resolve().parent), env.get("PYTHONPATH")]))
    return subprocess.run(command, cwd=str(directory), env=env, stdout=subprocess.PIPE,
                          stderr=subprocess.PIPE, universal_newlines=True, timeout=300,
                          stdin=subprocess.DEVNULL)


LINK = re.compile(r"\]\(([^)#\s]*)(?:#([^)\s]+))?\)")


def anchor(heading):
    """The anchor a Markdown renderer gives a heading."""
    return re.sub(r"[^\w\- ]", "", heading.strip().lower()).replace(" ", "-")


@pytest.mark.parametrize("path", DOCUMENTS, ids=[path.name for path in DOCUMENTS])
def test_links_between_the_documents_resolve(path):
    # Text moved between pages leaves links to where it was.
    for target, fragment in LINK.findall(path.read_text(encoding="utf-8")):
        if target.startswith(("http:", "https:")):
            continue
        linked = (path.parent / target).resolve() if target else path
        assert linked.exists(), "{} links to missing {}".format(path.name, target)
        if fragment:
            headings = re.findall(r"^#+ (.*)$", linked.read_text(encoding="utf-8"), re.M)
            assert fragment in [anchor(heading) for heading in headings], "{} links to {}#{}".format(
                path.name, target, fragment)


def test_the_readme_starts_with_use():
    readme = (ROOT / "README.md").read_text(encoding="utf-8")
    first_call = next(block for block in blocks(ROOT / "README.md") if "TileLabel(" in block.source)
    assert int(first_call.where.split(":")[1]) <= 80
    assert readme.count("\n") <= 250


def test_the_documents_hold_blocks_to_run():
    # A renamed fence language would otherwise leave every recipe untested.
    assert sum(block.where.startswith("recipes.md") for block in BLOCKS) >= 8
    assert all(block.language == "python" or block.output is None for block in BLOCKS)


@pytest.mark.parametrize("block", BLOCKS, ids=[block.where for block in BLOCKS])
def test_block_runs_as_written(block, tmp_path):
    source = session_source(block) if block.language == "pycon" else block.source
    missing = missing_libraries(source)
    if missing:
        reason = "needs {} (the docs dependency group)".format(", ".join(missing))
        if os.environ.get("TARVU_DOCS_ALL") == "1":
            pytest.fail(reason + ", and TARVU_DOCS_ALL=1 asks for every block")
        pytest.skip(reason)
    if UNDER_WINE and "ProcessPoolExecutor" in source:
        pytest.skip("process pools hang under Wine, whatever the module")
    result = run_block(block, tmp_path)
    assert result.returncode == 0, result.stdout + result.stderr
    assert result.stderr == ""
    if block.output is not None:
        assert result.stdout == block.output


def test_the_chart_reads_every_row_of_the_benchmark_table():
    # The README's chart is drawn from the table in bench/README.md; an
    # operation whose label holds a number (m == 16) must not lose it to the
    # figures.
    sys.path.insert(0, str(ROOT / "bench"))
    try:
        import chart
        import run
    finally:
        sys.path.pop(0)
    page = ROOT / "bench" / "README.md"
    rows, title = chart.read_results(page)
    assert [operation for operation, _ in rows] == [row[1] for row in run.OPERATIONS] + [run.BULK_LABEL]
    for operation, ns in rows:
        printed = "{:<38}{:>10.1f}{:>10.1f}{:>10.1f}".format(operation, ns["tarvu"], ns["floor"], ns["peer"])
        assert "\n" + printed in page.read_text(encoding="utf-8")
    assert title.startswith("CPython 3.")


# --- The guide to the code names only what the code has --------------------------------

ARCHITECTURE = ROOT / "docs" / "architecture.md"
SPAN = re.compile(r"`([^`\n]+)`")
WORD = re.compile(r"[A-Za-z_]\w*")
# A file by its name, or a path; NAME and CONSTANT stand for a vocabulary to come.
FILE_NAME = re.compile(r"[\w.-]+\.(?:h|cpp|py|pyi|md|cmake|map|sh|toml)")
CODE_NAME = re.compile(r"[A-Za-z_][\w.:<>]*(?:\([\w.:<>, ]*\))?")
PLACEHOLDER = re.compile(r"\b(?:NAME|CONSTANT)\b")


def words_in(paths):
    return {word for path in paths if path.is_file() for word in WORD.findall(path.read_text(encoding="utf-8"))}


def named_spans(path):
    """Each backticked path or code name once, with the paths named in the
    sections it stands in."""
    spans = {}
    for section in re.split(r"^#+ ", path.read_text(encoding="utf-8"), flags=re.M):
        named = [span for span in SPAN.findall(section) if "/" in span]
        for span in SPAN.findall(section):
            if not PLACEHOLDER.search(span) and ("/" in span or FILE_NAME.fullmatch(span) or
                                                 CODE_NAME.fullmatch(span)):
                spans.setdefault(span, []).extend(named)
    return sorted(spans.items())


SOURCE_TEXT = "\n".join(path.read_text(encoding="utf-8") for path in sorted((ROOT / "src").rglob("*"))
                        if path.is_file())
SOURCE_WORDS = set(WORD.findall(SOURCE_TEXT))
TREE_NAMES = {path.name for folder in ("src", "tests", "stubs", "tools", "bench") for path in (ROOT / folder).rglob("*")}
SPANS = named_spans(ARCHITECTURE)


@pytest.mark.parametrize("span, named", SPANS, ids=[span for span, _ in SPANS])
def test_the_architecture_guide_names_what_exists(span, named):
    # A renamed function or a removed file leaves the guide describing code
    # that is gone. A path must exist; a bare file name must be a file of the
    # tree or one that src/ names (the build makes vocabulary_data.h); a code
    # name must be a word of src/ or of a file its sections name (a test, a
    # tool), or a Python builtin.
    if "/" in span or FILE_NAME.fullmatch(span):
        both = re.fullmatch(r"(.*)\.h/\.cpp", span)  # a header and its unit
        for path in [both[1] + ".h", both[1] + ".cpp"] if both else [span]:
            assert (ROOT / path).exists() or (ROOT / "src" / path).exists() or (
                "/" not in path and (path in TREE_NAMES or path in SOURCE_TEXT)), path
        return
    known = SOURCE_WORDS | words_in(ROOT / path for path in named) | set(dir(builtins))
    assert [word for word in WORD.findall(span) if word not in known] == [], span
