"""What lint's source limits count: bare reference-count calls and #if blocks
in code, never a mention in a comment or a literal."""

import importlib.util
from pathlib import Path

import pytest

_SPEC = importlib.util.spec_from_file_location(
    "source_limits", Path(__file__).resolve().parents[2] / "tools" / "source_limits.py")
limits = importlib.util.module_from_spec(_SPEC)
_SPEC.loader.exec_module(limits)


@pytest.mark.parametrize("source, counted", [
    ("// Py_DECREF(x) is what the handle avoids\n", []),
    ("/* no\n   Py_CLEAR(x);\n*/\n", []),
    ('raise_fault("Py_INCREF(x) failed");\n', []),
    ('auto text = R"(\nPy_DECREF(x);\n)";\n', []),
    ("char quote = '\"'; Py_NewRef(x);\n", [(1, False)]),
    ("Py_XDECREF(x);  // the pool's own\n", [(1, True)]),
    ("// each entry owns one\nPy_DECREF(x);\n", [(2, True)]),
    ("// far above\nnext();\nPy_DECREF(x);\n", [(3, False)]),
], ids=["line comment", "block comment", "string", "raw string", "quote in a character", "said on the line",
        "said above", "said too far above"])
def test_bare_counts_are_calls_in_code_with_their_comment(source, counted):
    assert limits.bare_counts(source) == counted


@pytest.mark.parametrize("source, lines", [
    ("#if A\n#elif B\n#else\n#endif\n  #  ifdef C\n#endif\n#ifndef D\n#endif\n", [1, 5, 7]),
    ("/*\n#if A\n*/\n// #ifdef B\n", []),
], ids=["directives", "commented out"])
def test_conditional_blocks_are_opening_directives_in_code(source, lines):
    assert limits.conditionals(source) == lines
