"""The module object: its namespace, its one-time initialisation, its exports."""

import os
import shutil
import subprocess
import sys
import types

import pytest
import tarvu


def test_namespace_holds_exactly_the_three_classes():
    assert tarvu.__all__ == ["Diagnosis", "Stain", "TileLabel"]
    assert type(tarvu.__all__) is list
    assert tarvu.__doc__ == ""
    public = {k: v for k, v in vars(tarvu).items() if not k.startswith("__")}
    assert sorted(public) == ["Diagnosis", "Stain", "TileLabel"]
    assert all(type(v) is type for v in public.values())
    # No module-level functions anywhere in the namespace.
    assert not [k for k, v in vars(tarvu).items()
                if isinstance(v, types.BuiltinFunctionType)]


def test_published_class_is_the_type_every_method_builds(vocab):
    cls = getattr(tarvu, vocab.name)
    name, value = vocab.members[-1]
    made = [getattr(cls, name), cls(name), cls.from_int(value),
            cls.list()[-1]]
    assert [type(m) for m in made] == [cls] * 4


REIMPORT = r"""
import gc, sys, types

def count():
    gc.collect()
    return sum(1 for o in gc.get_objects()
               if isinstance(o, types.ModuleType) and o.__name__ == "tarvu")

import tarvu
first = tarvu
del sys.modules["tarvu"]
before = count()
for attempt in (2, 3):
    try:
        import tarvu
    except ImportError as exc:
        print(attempt, type(exc).__name__, exc.args)
    else:
        print(attempt, "imported", tarvu is first)
print("modules", before, count())
print("first intact", first.Stain.from_int(68) == 68, first.__all__)
"""


def test_second_initialisation_raises_and_destroys_its_module(run_python):
    proc = run_python(REIMPORT)
    assert proc.returncode == 0, proc.stderr
    message = "PyO3 modules may only be initialized once per interpreter process"
    assert proc.stdout.splitlines() == [
        f"2 ImportError ('{message}',)",
        f"3 ImportError ('{message}',)",
        # Only the first module object stays alive: the module object each
        # refused initialisation created was released again.
        "modules 1 1",
        "first intact True ['Diagnosis', 'Stain', 'TileLabel']",
    ]


@pytest.mark.skipif(shutil.which("nm") is None, reason="needs nm")
def test_only_the_init_function_is_exported():
    out = subprocess.run(
        ["nm", "-D", "--defined-only", tarvu.__file__],
        capture_output=True, text=True, check=True).stdout
    exported = [line.split()[-1] for line in out.splitlines() if line.strip()]
    assert exported == ["PyInit_tarvu"]


@pytest.mark.skipif(shutil.which("nm") is None, reason="needs nm")
def test_the_unwinder_is_the_shared_one():
    # pthread_exit unwinds daemon threads at exit with the shared unwinder; a
    # private copy linked into the module aborts that unwind in our frames.
    out = subprocess.run(
        ["nm", "-D", "--undefined-only", tarvu.__file__],
        capture_output=True, text=True, check=True).stdout
    assert "_Unwind_Resume" in {line.split()[-1].split("@")[0] for line in out.splitlines()}


def test_no_build_paths_in_the_module():
    # Two builds of one source in different places must give the same file.
    data = open(tarvu.__file__, "rb").read()
    for place in (os.path.dirname(os.path.abspath(tarvu.__file__)),
                  os.path.dirname(os.path.dirname(os.path.dirname(__file__)))):
        assert os.path.abspath(place).encode() not in data, place


@pytest.mark.parametrize("block, expected, code", [
    (False, "tarvu tested: " + tarvu.__file__, 0),
    (True, "make build && PYTHONPATH=build", pytest.ExitCode.USAGE_ERROR),
])
def test_suite_names_the_module_or_says_how_to_build_it(block, expected, code):
    # sys.modules entry None makes the import fail as if nothing were built.
    run = ("import sys, pytest\nif {}: sys.modules['tarvu'] = None\n"
           "sys.exit(pytest.main(sys.argv[1:]))").format(block)
    proc = subprocess.run(
        [sys.executable, "-c", run, "-q", "-p", "no:cacheprovider",
         __file__ + "::test_namespace_holds_exactly_the_three_classes"],
        capture_output=True, text=True, timeout=120)
    assert proc.returncode == code, proc.stdout + proc.stderr
    assert expected in proc.stdout + proc.stderr
