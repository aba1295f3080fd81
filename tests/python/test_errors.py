"""How failures reach Python: the module's own exceptions and PanicException.

PanicException is not published by the module; it is reachable only through a
raised instance. The tests provoke one by failing, one at a time, the
interpreter allocations made while a call runs (CPython's _testcapi allocation
hooks): a str or list the module cannot create is an internal fault.
"""

import importlib.util
import inspect
import json
import signal
import sys
import sysconfig
import warnings

import pytest
import tarvu
from index_objects import Index
from test_alloc_failure import InterpreterFault, interpreter_has_fault

# Under allocation failure a free-threaded 3.13 frees a stale list in PyList_New;
# once that has corrupted the heap, the sweep's process crashes or hangs later on.
LIST_FAULT = "PyList_New frees a list whose items were never set"

UNWRAP_MEMORY = ("called `Result::unwrap()` on an `Err` value: PyErr { type: "
                 "<class 'MemoryError'>, value: MemoryError(), traceback: None }")
API_FAILED = "Python API call failed"
PANIC_DOC = (
    "\nThe exception raised when Rust code called from Python panics.\n\n"
    "Like SystemExit, this exception is derived from BaseException so that\n"
    "it will typically propagate all the way through the stack and cause the\n"
    "Python interpreter to exit.\n")
RESUMING = "--- PyO3 is resuming a panic after fetching a PanicException from Python. ---"


def general_failures(vocab):
    """(call, exception type, message) of failures the module itself makes."""
    cls, miss = vocab.cls, vocab.non_values[0]
    return [
        (lambda: cls.from_int(miss), RuntimeError, vocab.miss(miss)),
        (lambda: cls("no such member"), RuntimeError,
         "Matching variant not found"),
        (lambda: cls.from_int(256), OverflowError,
         "out of range integral type conversion attempted"),
        (lambda: cls(), TypeError,
         f"{vocab.name}.__new__() missing 1 required positional argument: 's'"),
        (lambda: cls(None), TypeError,
         "argument 's': 'NoneType' object cannot be converted to 'PyString'"),
    ]


def test_module_errors_carry_one_message_and_no_chain(vocab):
    for call, exc_type, message in general_failures(vocab):
        try:
            raise KeyError("being handled")
        except KeyError:
            # Raised while Python code handles another exception: the
            # module's exceptions still get no implicit context.
            with pytest.raises(BaseException) as info:
                call()
        exc = info.value
        assert type(exc) is exc_type
        assert exc.args == (message,)
        assert exc.__cause__ is None
        assert exc.__context__ is None


def sweep(call, limit=400):
    """Fail the 1st, 2nd, ... interpreter allocation of call() in turn.

    Returns the exceptions the call raised, one per failing allocation, and
    stops once the call has succeeded three times in a row."""
    import _testcapi
    raised, successes = [], 0
    for nth in range(limit):
        _testcapi.set_nomemory(nth, nth + 1)
        try:
            call()
        except BaseException as exc:
            outcome = exc
        else:
            outcome = None
        finally:
            _testcapi.remove_mem_hooks()
        if outcome is None:
            successes += 1
            if successes == 3:
                break
        else:
            successes = 0
            raised.append(outcome)
    return raised


def first_panic(call):
    for exc in sweep(call):
        if type(exc).__name__ == "PanicException":
            return exc
    return None


SWEEP_ALL = inspect.getsource(sweep) + inspect.getsource(first_panic) + r"""
import json, sys, tarvu
T = tarvu.TileLabel
skipped = sys.argv[1:]
# Members made by the sweep stay alive: a freed member's memory would serve
# the next one without an allocation to fail.
kept = [T.from_int(0) for _ in range(100)]
calls = {
    "to_string": lambda: T.ConnectiveTissue.to_string(),
    "repr": lambda: repr(T.ConnectiveTissue),
    "list": lambda: kept.append(T.list()),
    "from_int": lambda: kept.append(T.from_int(19)),
    "new": lambda: kept.append(T("ConnectiveTissue")),
}
found = {}
for name, call in calls.items():
    if name in skipped:
        continue
    found[name] = sorted({(type(e).__module__ + "." + type(e).__qualname__,
                           e.args) for e in sweep(call)})
# The process is still sound afterwards.
assert [int(m) for m in T.list()] == list(range(6)) + list(range(16, 38))
print(json.dumps(found))
"""


@pytest.fixture(scope="module")
def allocation_failures(run_python):
    pytest.importorskip("_testcapi")
    skipped = []
    if sysconfig.get_config_var("Py_GIL_DISABLED") and interpreter_has_fault(LIST_FAULT):
        warnings.warn(InterpreterFault(f"CPython {sys.version.split()[0]}: {LIST_FAULT}, which the control "
                                       "module shares; list() is left out of the allocation-failure sweep"))
        skipped = ["list"]
    proc = run_python(SWEEP_ALL, *skipped)
    assert proc.returncode == 0, proc.stderr[-4000:]
    return {name: {(t, tuple(args)) for t, args in outcomes}
            for name, outcomes in json.loads(proc.stdout).items()}


@pytest.fixture(scope="module")
def panic_type(allocation_failures):
    # The same sweep has just run in a child process without harm.
    exc = first_panic(lambda: tarvu.TileLabel.ConnectiveTissue.to_string())
    if exc is None:
        pytest.fail("no allocation failure in to_string() raised a "
                    f"PanicException: {allocation_failures['to_string']}")
    return type(exc)


PANIC = "pyo3_runtime.PanicException"
MEMORY = "builtins.MemoryError"


@pytest.mark.parametrize("call, allowed", [
    # A str or list the interpreter cannot create is an internal fault.
    ("to_string", {(PANIC, (API_FAILED,))}),
    ("repr", {(PANIC, (API_FAILED,))}),
    ("list", {(PANIC, (API_FAILED,)), (PANIC, (UNWRAP_MEMORY,))}),
    # So is a member that cannot be allocated, except in __new__, which
    # passes the interpreter's MemoryError on.
    ("from_int", {(PANIC, (UNWRAP_MEMORY,))}),
    ("new", {(MEMORY, ())}),
])
def test_allocation_failures(allocation_failures, call, allowed):
    if call not in allocation_failures:
        pytest.skip(f"interpreter fault: {LIST_FAULT}")
    outcomes = allocation_failures[call] - {(MEMORY, ())}
    assert outcomes <= allowed
    assert allocation_failures[call] & allowed
    if call == "list":
        assert (PANIC, (UNWRAP_MEMORY,)) in outcomes


def test_panic_exception_type(panic_type):
    assert panic_type.__bases__ == (BaseException,)
    assert not issubclass(panic_type, Exception)
    assert panic_type.__module__ == "pyo3_runtime"
    assert panic_type.__name__ == panic_type.__qualname__ == "PanicException"
    assert panic_type.__doc__ == PANIC_DOC and len(PANIC_DOC) == 235
    assert panic_type not in vars(tarvu).values()


class Unprintable:
    def __str__(self):
        raise ValueError("no text")


@pytest.mark.parametrize("args, text", [
    (("boom",), "boom"),
    ((), ""),
    (("a", 2), "('a', 2)"),
    ((Unprintable(),), "Unwrapped panic from Python code"),
    (("x\ud800y",), "x\ufffd\ufffd\ufffdy"),
])
def test_panic_from_python_is_resumed_as_a_new_panic(vocab, panic_type, args,
                                                     text):
    original = panic_type(*args)

    class Index:
        def __index__(self):
            raise original

    for call in (lambda: vocab.cls.from_int(Index()),
                 # A comparison discards conversion errors, but not a panic.
                 lambda: vocab.cls.list()[0] == Index()):
        try:
            raise KeyError("being handled")
        except KeyError:
            with pytest.raises(panic_type) as info:
                call()
        exc = info.value
        assert type(exc) is panic_type
        assert exc is not original
        assert exc.args == (text,)
        assert exc.__cause__ is None and exc.__context__ is None


RESUME_REPORT = inspect.getsource(sweep) + inspect.getsource(first_panic) + r"""
import sys, tarvu
Panic = type(first_panic(lambda: tarvu.Stain.CD20.to_string()))

class Index:
    def __index__(self):
        raise Panic("boom")

sys.stderr.write("-- mark --\n")
sys.stderr.flush()
try:
    tarvu.Stain.from_int(Index())
except Panic as exc:
    print(exc.args)
"""


def test_resumed_panic_is_reported_on_stderr(run_python, panic_type):
    proc = run_python(RESUME_REPORT)
    assert proc.returncode == 0, proc.stderr[-4000:]
    assert proc.stdout == "('boom',)\n"
    report = proc.stderr.split("-- mark --\n", 1)[1].splitlines()
    assert report[:3] == [RESUMING, "Python stack trace below:",
                          "Traceback (most recent call last):"]
    assert any("in __index__" in line for line in report)
    # The taken exception printed with its traceback, and no further report.
    assert report[-1] == "pyo3_runtime.PanicException: boom"


QUALNAME_PANIC = r"""
import sys, tarvu
Panic = next(c for c in BaseException.__subclasses__()
             if c.__name__ == "PanicException")

class Meta(type):
    def __getattribute__(cls, name):
        if name == "__qualname__":
            raise Panic("from __qualname__")
        return type.__getattribute__(cls, name)

class Key(metaclass=Meta):
    pass

S = tarvu.Stain
try:
    eval(sys.argv[1])
except BaseException as exc:
    print(type(exc).__name__, exc.args)
print(S("HE") == 1)
"""

# A call whose error message names the type of an argument, or of a keyword
# name, that is not a str. From 3.9 on, the interpreter refuses non-str
# keyword names itself wherever a vectorcall slot takes the call, and from
# 3.15 on also on a call of __new__.
QUALNAME_PANIC_CALLS = ["S(Key())", "type.__call__(S, **{Key(): 'HE'})"]
if sys.version_info < (3, 15):
    QUALNAME_PANIC_CALLS += ["S.__new__(S, **{Key(): 'HE'})"]
if sys.version_info < (3, 9):
    QUALNAME_PANIC_CALLS += ["S(**{Key(): 'HE'})", "S.from_int(**{Key(): 1})"]


@pytest.mark.parametrize("call", QUALNAME_PANIC_CALLS)
def test_panic_while_naming_a_type_is_resumed(run_python, call):
    # The message of a non-str keyword name is composed when the guard raises
    # it; the PanicException taken back there must not end the process.
    proc = run_python(QUALNAME_PANIC, call)
    assert proc.returncode == 0, proc.stderr[-4000:]
    assert proc.stdout == "PanicException ('from __qualname__',)\nTrue\n"
    assert RESUMING in proc.stderr
    assert "uncaught panic" not in proc.stderr


class RaisingStr(str):
    def __str__(self):
        raise self.error


def raising_str(error):
    text = RaisingStr("x")
    text.error = error
    return text


def raising_qualname(error):
    class Meta(type):
        def __getattribute__(cls, name):
            if name == "__qualname__":
                raise error
            return type.__getattribute__(cls, name)

    return Meta("Named", (), {})()


# Python code run to compose a message, whose ordinary failure gives way to a
# placeholder: a type's name, the str() of a keyword name, of a conversion's
# TypeError, and of a PanicException taken back.
MESSAGE_CODE = {
    "qualname": lambda cls, panic, error: cls(raising_qualname(error)),
    "keyword-str": lambda cls, panic, error: cls(**{raising_str(error): 1}),
    "index-error-str": lambda cls, panic, error: cls.from_int(Index(TypeError(raising_str(error)))),
    "panic-str": lambda cls, panic, error: cls.from_int(Index(panic(raising_str(error)))),
}


@pytest.mark.parametrize("error", [KeyboardInterrupt(), MemoryError(), RecursionError()], ids=repr)
@pytest.mark.parametrize("site", MESSAGE_CODE)
def test_interrupts_while_composing_a_message_are_passed_on(vocab, panic_type, site, error):
    with pytest.raises(type(error)) as info:
        MESSAGE_CODE[site](vocab.cls, panic_type, error)
    assert info.value is error


TIMED_INTERRUPT = r"""
import signal, sys, time, tarvu

class SlowName(type):
    def __getattribute__(cls, name):
        if name == "__qualname__":
            deadline = time.monotonic() + 10
            while time.monotonic() < deadline:
                pass
        return type.__getattribute__(cls, name)

class Slow(metaclass=SlowName):
    pass

signal.signal(signal.SIGALRM, signal.default_int_handler)
outcomes = []
for _ in range(40):
    signal.setitimer(signal.ITIMER_REAL, 0.005)
    try:
        tarvu.Stain(Slow())
    except BaseException as exc:
        outcomes.append(type(exc).__name__)
print(sorted(set(outcomes)), len(outcomes))
"""


@pytest.mark.skipif(not hasattr(signal, "setitimer"), reason="needs signal.setitimer (POSIX)")
def test_ctrl_c_while_a_type_name_is_computed_is_not_lost(run_python):
    proc = run_python(TIMED_INTERRUPT)
    assert proc.returncode == 0, proc.stderr[-4000:]
    assert proc.stdout == "['KeyboardInterrupt'] 40\n"


CALLER_SIZED = r"""
import json, resource, sys, tarvu

MiB = 1 << 20
T = tarvu.TileLabel
text = "x" * (64 * MiB)
Named = type("Named", (), {"__qualname__": text})

class Index:
    def __index__(self):
        raise TypeError(text)

calls = {
    "keyword": lambda: T(**{text: 1}),
    "conversion": lambda: T(Named()),
    "index-error": lambda: T.from_int(Index()),
}
def limited(headroom, call):
    with open("/proc/self/statm") as statm:
        mapped = int(statm.read().split()[0]) * resource.getpagesize()
    resource.setrlimit(resource.RLIMIT_AS, (mapped + headroom, resource.RLIM_INFINITY))
    try:
        call()
    except BaseException as exc:
        return type(exc).__name__
    finally:
        resource.setrlimit(resource.RLIMIT_AS, (resource.RLIM_INFINITY, resource.RLIM_INFINITY))

# An emulator running the interpreter (qemu's user mode) does not apply the
# limit to it: nothing here could fail then.
if limited(16 * MiB, lambda: bytearray(64 * MiB)) is None:
    print("null")
    sys.exit()
headroom = int(sys.argv[1]) * MiB
outcomes = {name: limited(headroom, call) for name, call in calls.items()}
assert int(T.from_int(19)) == 19
print(json.dumps(outcomes))
"""


# Memory beyond what the process has mapped, in MiB, against a caller's text
# of 64 MiB: the message's one copy does not fit, or it does but the final
# str does not, or both do.
@pytest.mark.skipif(importlib.util.find_spec("resource") is None, reason="needs the resource module (POSIX)")
@pytest.mark.parametrize("headroom, outcome", [(16, "MemoryError"), (96, "MemoryError"), (176, "TypeError")])
def test_caller_sized_messages_end_in_an_exception(run_python, headroom, outcome):
    if headroom == 96 and sysconfig.get_config_var("Py_GIL_DISABLED"):
        # mimalloc reserves address space ahead of use, so the final str can
        # land in space already counted as mapped: the limit cannot place the
        # failure between the copy and the str there.
        pytest.skip("the address-space limit cannot separate the copy from the str under mimalloc")
    proc = run_python(CALLER_SIZED, str(headroom))
    assert proc.returncode == 0, proc.stderr[-4000:]
    if proc.stdout == "null\n":
        pytest.skip("the address-space limit is not applied to this interpreter")
    assert set(json.loads(proc.stdout).values()) == {outcome}
