"""Shared fixtures for the tarvu behaviour tests.

Fixtures
--------
vocab
    Parametrised over the three vocabularies (ids ``Diagnosis``, ``Stain``,
    ``TileLabel``); each value is a :class:`Vocab` with

    ``cls``             the class (``tarvu.Stain`` ...)
    ``name``            the class name
    ``members``         ``((name, value), ...)`` in declaration order
    ``values``          the member values, in the same order
    ``non_values``      every number in 0..255 that names no member
    ``miss``            ``miss(v)`` is the message of a failed ``from_int(v)``
    ``removed``         the characters deleted before matching, in order

    Tests that need one vocabulary by name use ``VOCABS_BY_NAME['Stain']``;
    ``CLASSES`` holds the three classes, for tests that need only those.
The run names the module file it tests in its closing summary, so a copy
installed in the environment is never tested in place of the build by mistake.

run_python
    ``run_python(code, *args)`` runs ``code`` in a fresh interpreter (the one
    running the tests) that imports the same build of tarvu, and returns the
    ``subprocess.CompletedProcess`` with text ``stdout`` and ``stderr``.
    Use it for anything that must start from a clean process or may abort.
"""

import ctypes
import os
import subprocess
import sys
from typing import Callable, NamedTuple, Tuple

import pytest
from vocabularies import VOCABULARIES

try:
    import tarvu
except ImportError as error:
    pytest.exit(
        "cannot import tarvu ({}). The suite tests a built module:\n"
        "    make test                  build, then run the C++ and Python suites\n"
        "    make build && PYTHONPATH=build .venv/bin/python -m pytest tests/python".format(error),
        returncode=pytest.ExitCode.USAGE_ERROR)


# Wine runs the Windows builds here; its ntdll has a function Windows' lacks.
UNDER_WINE = sys.platform == "win32" and hasattr(ctypes.windll.ntdll, "wine_get_version")


class Vocab(NamedTuple):
    cls: type
    name: str
    members: Tuple[Tuple[str, int], ...]
    miss: Callable[[int], str]
    removed: str

    @property
    def values(self):
        return tuple(value for _, value in self.members)

    @property
    def non_values(self):
        return tuple(v for v in range(256) if v not in self.values)


VOCABS = tuple(
    Vocab(getattr(tarvu, name), name, members, message.format, removed)
    for name, members, message, removed in VOCABULARIES
)
VOCABS_BY_NAME = {v.name: v for v in VOCABS}
CLASSES = tuple(v.cls for v in VOCABS)


def borrow_counter(member):
    """The member's borrow counter, readable and writable as .value."""
    # The record: object header, the value padded to a word, the borrow counter.
    address = id(member) + object.__basicsize__ + ctypes.sizeof(ctypes.c_void_p)
    return ctypes.c_ssize_t.from_address(address)


@pytest.fixture(params=VOCABS, ids=[v.name for v in VOCABS])
def vocab(request):
    return request.param


def _run_python(code, *args, timeout=60):
    env = dict(os.environ)
    build = os.path.dirname(os.path.abspath(tarvu.__file__))
    env["PYTHONPATH"] = os.pathsep.join(
        p for p in (build, env.get("PYTHONPATH")) if p)
    return subprocess.run(
        [sys.executable, "-c", code, *args], env=env, capture_output=True,
        text=True, errors="replace", timeout=timeout,
        stdin=subprocess.DEVNULL)


@pytest.fixture(scope="session")
def run_python():
    return _run_python


def pytest_terminal_summary(terminalreporter):
    # Documentation blocks skip when a library they use is missing; a reader of
    # the summary must see which, since the count alone hides it.
    for report in terminalreporter.stats.get("skipped", []):
        if report.nodeid.startswith("test_docs.py::") or "/test_docs.py::" in report.nodeid:
            block = report.nodeid.rpartition("[")[2].rstrip("]")
            terminalreporter.write_line("doc block not run: {} ({})".format(
                block, report.longrepr[2].replace("Skipped: ", "")))
    terminalreporter.write_line("tarvu tested: {}".format(tarvu.__file__))
