"""The module object: its namespace, its one-time initialisation, its exports."""

import importlib.util
import inspect
import os
import platform
import shutil
import subprocess
import sys
import sysconfig
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


SUBINTERPRETER = r"""
import os, sys, _testcapi

ATTEMPT = '''
import os
try:
    import tarvu
    outcome = "works" if tarvu.TileLabel("tumor") == 16 else "wrong member"
except ImportError as error:
    outcome = {"PyO3 modules may only be initialized once per interpreter process": "refused",
               "module tarvu does not support loading in subinterpreters": "refused by the interpreter",
               }.get(str(error), repr(error))
os.write(1, (outcome + "\\n").encode())
'''

def in_main():
    exec(ATTEMPT, {})

def in_sub():
    assert _testcapi.run_in_subinterp(ATTEMPT) == 0

for attempt in (in_sub, in_main) if sys.argv[1] == "sub" else (in_main, in_sub):
    attempt()
"""


@pytest.mark.skipif(importlib.util.find_spec("_testcapi") is None, reason="needs _testcapi")
@pytest.mark.parametrize("first", ["main", "sub"])
def test_one_interpreter_of_the_process_gets_the_module(run_python, first):
    # The module's state is per process, so the second interpreter to import
    # it is refused. From 3.13 a sub-interpreter that imports first is refused
    # too, and the main interpreter after it; a free-threaded interpreter
    # refuses the sub-interpreter's import itself. The user's guide says so.
    proc = run_python(SUBINTERPRETER, first)
    assert proc.returncode == 0, proc.stderr
    in_sub = "refused"
    if sysconfig.get_config_var("Py_GIL_DISABLED"):
        in_sub = "refused by the interpreter"
    expected = {"main": ["works", in_sub], "sub": ["works", "refused"]}[first]
    if first == "sub" and sys.version_info >= (3, 13):
        expected = [in_sub, "refused"]
    assert proc.stdout.splitlines() == expected


@pytest.mark.skipif(shutil.which("nm") is None, reason="needs nm")
def test_only_the_init_function_is_exported():
    out = subprocess.run(
        ["nm", "-D", "--defined-only", tarvu.__file__],
        capture_output=True, text=True, check=True).stdout
    exported = [line.split()[-1] for line in out.splitlines() if line.strip()]
    assert exported == ["PyInit_tarvu"]


@pytest.mark.skipif(shutil.which("nm") is None, reason="needs nm")
@pytest.mark.skipif(platform.libc_ver()[0] != "glibc",
                    reason="glibc only: musl's pthread_exit ends a thread without unwinding")
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


def write_static_tls_filler(path, size, machine):
    """Writes a shared object holding nothing but `size` bytes of initial-exec
    TLS: a TLS segment and one thread-pointer offset relocated against it,
    which the loader can place only in its static TLS block."""
    import struct
    elf_machine, tpoff_type = {"x86_64": (62, 18), "aarch64": (183, 1030)}[machine]
    # Layout, file offset = address: header, program headers, dynamic
    # section at 0x140, then hash table, symbol table (the null symbol: the
    # relocation refers to our own block), string table, one relocation and
    # the slot it fills.
    hash_at, symbols_at, strings_at, relocation_at, slot_at, end = (
        0x200, 0x210, 0x228, 0x230, 0x248, 0x250)
    dynamic = [(4, hash_at), (5, strings_at), (6, symbols_at), (10, 1),
               (11, 24), (7, relocation_at), (8, 24), (9, 24),
               (30, 0x10),  # DT_FLAGS: DF_STATIC_TLS, as a compiler marks it
               (0, 0)]
    segments = [  # type, flags, offset = address, size in file, in memory, alignment
        (1, 6, 0, end, end, 0x10000),          # PT_LOAD, read-write
        (2, 6, 0x140, 16 * len(dynamic), 16 * len(dynamic), 8),  # PT_DYNAMIC
        (7, 4, end, 0, size, 8),               # PT_TLS, zero-filled
        (0x6474E551, 6, 0, 0, 0, 16),          # PT_GNU_STACK, not executable
    ]
    image = bytearray(end)
    image[0:64] = struct.pack("<4sBBBBB7xHHIQQQIHHHHHH", b"\x7fELF", 2, 1, 1, 0, 0,
                              3, elf_machine, 1, 0, 64, 0, 0, 64, 56, len(segments), 64, 0, 0)
    for i, (kind, flags, offset, in_file, in_memory, align) in enumerate(segments):
        image[64 + 56 * i:120 + 56 * i] = struct.pack(
            "<IIQQQQQQ", kind, flags, offset, offset, offset, in_file, in_memory, align)
    for i, entry in enumerate(dynamic):
        image[0x140 + 16 * i:0x150 + 16 * i] = struct.pack("<qQ", *entry)
    image[hash_at:hash_at + 16] = struct.pack("<4I", 1, 1, 0, 0)
    image[relocation_at:slot_at] = struct.pack("<QQq", slot_at, tpoff_type, 0)
    with open(path, "wb") as out:
        out.write(image)


FULL_STATIC_TLS = inspect.getsource(write_static_tls_filler) + r"""
import ctypes, os, platform, sys, threading
# Take the loader's static TLS block, largest fillers first, down to 8 bytes.
folder, loaded, refusal = sys.argv[1], [], None
for size in (4096, 2048, 1024, 512, 256, 128, 64, 32, 16, 8):
    while True:
        path = os.path.join(folder, "filler-%d-%d.so" % (size, len(loaded)))
        write_static_tls_filler(path, size, platform.machine())
        try:
            ctypes.CDLL(path)
        except OSError as exc:
            refusal = str(exc)
            break
        loaded.append(size)
print("filled", sum(loaded), loaded, file=sys.stderr)
print("refused:", refusal.split(": ", 1)[1])
import tarvu
done = []
thread = threading.Thread(target=lambda: done.append(tarvu.Stain("H&E") == 1))
thread.start()
thread.join()
print(tarvu.TileLabel("Tumor") == 16, done)
"""


@pytest.mark.skipif(platform.machine() not in ("x86_64", "aarch64"), reason="fillers are written for x86_64 and aarch64")
@pytest.mark.skipif(platform.libc_ver()[0] != "glibc", reason="other loaders give dlopen'ed objects no static TLS")
def test_import_needs_no_static_tls(run_python, tmp_path):
    # Other native libraries in the process (OpenMP runtimes, imaging
    # libraries) may have taken the small static TLS reserve that glibc keeps
    # for dlopen'ed objects; the module's own per-thread state must not need it.
    proc = run_python(FULL_STATIC_TLS, str(tmp_path))
    assert proc.returncode == 0, proc.stderr[-4000:]
    assert proc.stdout == "refused: cannot allocate memory in static TLS block\nTrue [True]\n", proc.stderr[-4000:]
