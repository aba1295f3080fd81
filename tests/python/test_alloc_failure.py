"""Allocation failure on every path, through _testcapi's allocator hooks.

For each call, fail the k-th interpreter allocation (set_nomemory(k, k + 1)) for k = 0, 1, ...
until the call keeps succeeding; and again failing every allocation from the k-th on
(set_nomemory(k, k + EVERY_SPAN)), which reaches the paths that handle a failure while memory
stays short. Every attempt must end in the call's normal outcome, a
MemoryError, or a PanicException (an interpreter constructor returning null inside a call),
with no exception left pending; after the sweep the module must still work. Sweeps run in a
driver subprocess that forks one child per case (and per k for the import), so an abort is a
reported finding with its k and standard error rather than a dead test run.

The normal run sweeps a subset of the calls; TARVU_FULL_SWEEPS=1 sweeps all of them and every
k of the import. To reproduce one attempt in the foreground (for gdb), FORM "one" or "every":
    python tests/python/test_alloc_failure.py repro one TileLabel list 17
    python tests/python/test_alloc_failure.py repro every import - 120
"""
import _imp
import ctypes
import importlib.util
import json
import operator
import os
import pathlib
import platform
import re
import signal
import subprocess
import sys
import tempfile
import traceback
import warnings

import pytest
from index_objects import Index, NestedIndex, RaisingIndex, TypeErrorSubclass
from vocabularies import VOCABULARIES

try:
    import _testcapi
except ImportError:
    _testcapi = None

FULL = os.environ.get("TARVU_FULL_SWEEPS") == "1"
VOCABULARY_NAMES = [name for name, _, _, _ in VOCABULARIES]
FROM_INT_MESSAGES = {name: message for name, _, message, _ in VOCABULARIES}
# Consecutive clean attempts that end a sweep: a sweep ends once k lies past the call's last
# allocation, and a window this wide also steps over allocations whose failure is absorbed.
WINDOW = 25
MAX_K = 20000
# Which allocations fail: the k-th alone, or every one from the k-th on. "Every" ends a million
# allocations later, far past anything a call or the import makes (a few hundred), but not never:
# the crash handler of a child that crashed inside the interpreter is a Python callback, which
# cannot run while every allocation fails, so the crash would repeat for ever.
FORMS = ["one", "every"]
EVERY_SPAN = 1_000_000

pytestmark = pytest.mark.skipif(
    _testcapi is None or not hasattr(_testcapi, "set_nomemory") or not hasattr(os, "fork"),
    reason="needs _testcapi.set_nomemory and fork",
)


# --- the calls that are swept ---------------------------------------------------------------------


def _value(expected, lenient=False):
    return ("value", expected, lenient)


def _raises(exc_type, message):
    return ("raises", exc_type, message)


def _lossy(text):
    return text.encode("utf-8", "surrogatepass").decode("utf-8", "replace")


def _call(fn, *args, **kwargs):
    # Calls are made straight from _attempt's frame, never through a lambda: see _attempt.
    return fn, args, kwargs


def _cases(cls):
    """name -> (call, expectation). Expectation: ("value", check, lenient) or ("raises", type, message)."""
    name = cls.__name__
    members = cls.list()
    values = [int(m) for m in members]
    non_member = next(v for v in range(256) if v not in values)
    last = members[-1]
    text = last.to_string()
    new, from_int = f"{name}.__new__()", f"{name}.from_int()"

    def member_with(value):
        return lambda r: type(r) is cls and int(r) == value

    def equal(x):
        return lambda r: type(r) is type(x) and r == x

    def full_list(r):
        return type(r) is list and [type(m) for m in r] == [cls] * len(values) and [int(m) for m in r] == values

    return {
        "new": (_call(cls, " ".join(text.lower()) + "_"), _value(member_with(values[-1]))),
        "new keyword": (_call(cls, s=text), _value(member_with(values[-1]))),
        "from_int": (_call(cls.from_int, values[-1]), _value(member_with(values[-1]))),
        "from_int keyword": (_call(cls.from_int, v=values[0]), _value(member_with(values[0]))),
        "from_int index": (_call(cls.from_int, Index(values[1])), _value(member_with(values[1]))),
        "nested": (_call(cls.from_int, NestedIndex(cls, values[-1])), _value(member_with(values[-1]))),
        "list": (_call(cls.list), _value(full_list)),
        "to_string": (_call(last.to_string), _value(equal(text))),
        "repr": (_call(repr, last), _value(equal(f"{name}.{text}"))),
        "int": (_call(int, last), _value(equal(values[-1]))),
        "eq int": (_call(operator.eq, last, values[-1]), _value(equal(True))),
        "ne member": (_call(operator.ne, last, members[0]), _value(equal(True))),
        # A failure inside a foreign __index__ is discarded by the comparison: either answer is sound.
        "eq index": (_call(operator.eq, last, Index(values[-1])), _value(equal(True), lenient=True)),
        "eq str": (_call(operator.eq, last, "text"), _value(equal(False))),
        "parse failure": (_call(cls, "no such label"), _raises(RuntimeError, "Matching variant not found")),
        "from_int failure": (
            _call(cls.from_int, non_member),
            _raises(RuntimeError, FROM_INT_MESSAGES[name].format(non_member)),
        ),
        "missing argument": (_call(cls), _raises(TypeError, f"{new} missing 1 required positional argument: 's'")),
        "too many positional": (
            _call(cls.from_int, 1, 2),
            _raises(TypeError, f"{from_int} takes 1 positional arguments but 2 were given"),
        ),
        "multiple values": (_call(cls, "a", s="a"), _raises(TypeError, f"{new} got multiple values for argument 's'")),
        "unexpected keyword": (
            _call(cls.from_int, w=1),
            _raises(TypeError, f"{from_int} got an unexpected keyword argument 'w'"),
        ),
        "surrogate keyword": (
            _call(cls, **{"\ud800": 1}),
            _raises(TypeError, f"{new} got an unexpected keyword argument '{_lossy(chr(0xD800))}'"),
        ),
        "s not str": (_call(cls, 3), _raises(TypeError, "argument 's': 'int' object cannot be converted to 'PyString'")),
        "lone surrogate": (_call(cls, "H\udce9"), _raises(UnicodeEncodeError, None)),
        "v not int": (_call(cls.from_int, "1"), _raises(TypeError, None)),
        "v out of range": (
            _call(cls.from_int, 256),
            _raises(OverflowError, "out of range integral type conversion attempted"),
        ),
        "index TypeError": (_call(cls.from_int, RaisingIndex(TypeError, "bad")), _raises(TypeError, "argument 'v': bad")),
        "index TypeError subclass": (
            _call(cls.from_int, RaisingIndex(TypeErrorSubclass, "bad")),
            _raises(TypeErrorSubclass, "bad"),
        ),
        "index ValueError": (_call(cls.from_int, RaisingIndex(ValueError, "bad")), _raises(ValueError, "bad")),
    }


SHORT_CASES = ["new", "list", "eq index", "from_int failure", "s not str", "index TypeError", "nested"]
ALL_CASE_NAMES = [
    "new", "new keyword", "from_int", "from_int keyword", "from_int index", "nested", "list", "to_string",
    "repr", "int", "eq int", "ne member", "eq index", "eq str", "parse failure", "from_int failure",
    "missing argument", "too many positional", "multiple values", "unexpected keyword", "surrogate keyword",
    "s not str", "lone surrogate", "v not int", "v out of range", "index TypeError", "index TypeError subclass",
    "index ValueError",
]  # fmt: skip


# --- judging one attempt ------------------------------------------------------------------------------


def _is_panic(exc):
    return type(exc).__name__ == "PanicException" and type(exc).__module__ == "pyo3_runtime"


_PyErr_Occurred = ctypes.pythonapi.PyErr_Occurred
_PyErr_Occurred.restype = ctypes.c_void_p


def _exception_pending():
    # A pending exception makes the ctypes call itself raise it afterwards; either way it shows.
    try:
        return _PyErr_Occurred() is not None
    except BaseException:  # noqa: BLE001
        return True


def _attempt(call, k, form):
    """One call with the k-th allocation failing, or every one from it on (form). Returns ("ok", value)
    or ("exc", exception).

    The call is made from this frame, with no Python frame in between, and this frame gets its
    frame object first: CPython 3.11 creates a caller's frame object lazily when a callee's
    frame is popped, and if that allocation fails it clears the exception in flight
    (take_ownership in Python/frame.c), a lost exception that would be blamed on the module.
    A Python __index__ called by the module has this frame as its caller, so it is safe too.
    """
    fn, args, kwargs = call
    sys._getframe()
    _testcapi.set_nomemory(k, k + (1 if form == "one" else EVERY_SPAN))
    try:
        value = fn(*args, **kwargs)
    except BaseException as exc:  # noqa: BLE001 - every outcome is judged below
        _testcapi.remove_mem_hooks()
        return "exc", exc
    _testcapi.remove_mem_hooks()
    return "ok", value


def _describe(exc):
    try:
        return f"{type(exc).__module__}.{type(exc).__qualname__}: {exc}"
    except BaseException:  # noqa: BLE001
        return f"{type(exc).__qualname__}: <unprintable>"


def _judge(status, payload, expectation, strict):
    """None when acceptable; otherwise a description. Strict means: the call's normal outcome only."""
    if expectation[0] == "value":
        _, check, lenient = expectation
        if status == "ok":
            if check(payload) or (lenient and not strict and type(payload) is bool):
                return None
            return f"unexpected result {payload!r}"
    else:
        _, exc_type, message = expectation
        if status == "exc" and type(payload) is exc_type:
            if strict and message is not None and payload.args != (message,):
                return f"expected message {message!r}, got {payload.args!r}"
            return None
        if status == "ok":
            return f"returned {payload!r} instead of raising {exc_type.__name__}"
    if not strict and (type(payload) is MemoryError or _is_panic(payload)):
        return None
    return f"raised {_describe(payload)}"


# --- driver side (runs in its own process, forks children) ----------------------------------------


def _sweep_case(cls, case_name, start_k, progress_fd, form):
    call, expectation = _cases(cls)[case_name]
    problem = _judge(*_run_plain(call), expectation, strict=True)
    if problem:
        return {"tried": 0, "findings": [{"k": None, "what": f"without failures: {problem}"}], "outcomes": {}}
    findings, outcomes = [], {}
    streak, k, tried = 0, start_k, 0
    while streak < WINDOW and k < MAX_K:
        os.write(progress_fd, b"%d\n" % k)
        status, payload = _attempt(call, k, form)
        tried += 1
        pending = _exception_pending()
        key = "ok" if status == "ok" else type(payload).__name__
        outcomes[key] = outcomes.get(key, 0) + 1
        problem = _judge(status, payload, expectation, strict=False)
        if pending:
            problem = (problem + "; " if problem else "") + "an exception was left pending"
        if problem:
            findings.append({"k": k, "what": problem})
        streak = streak + 1 if _judge(status, payload, expectation, strict=True) is None and not pending else 0
        del payload
        k += 1
    if k >= MAX_K:
        findings.append({"k": k, "what": "sweep did not settle"})
    return {"tried": tried, "findings": findings, "outcomes": outcomes}


def _run_plain(call):
    fn, args, kwargs = call
    try:
        return "ok", fn(*args, **kwargs)
    except BaseException as exc:  # noqa: BLE001
        return "exc", exc


def _module_still_works(module):
    """Every case of every vocabulary, without failures, with its exact outcome."""
    problems = []
    for vocabulary in VOCABULARY_NAMES:
        cls = getattr(module, vocabulary)
        for case_name, (call, expectation) in _cases(cls).items():
            problem = _judge(*_run_plain(call), expectation, strict=True)
            if problem:
                problems.append(f"{vocabulary} {case_name}: {problem}")
    return problems


def _fork_run(child_body):
    """Runs child_body(progress_fd) in a forked child. Returns (lines, result or None, wait status, stderr).

    A child that crashes writes its C backtrace to stderr first (_write_backtrace_on_crash)."""
    sys.stdout.flush()
    sys.stderr.flush()
    read_end, write_end = os.pipe()
    with tempfile.TemporaryFile() as errors:
        pid = os.fork()
        if pid == 0:  # child
            code = 0
            try:
                os.close(read_end)
                os.dup2(errors.fileno(), 2)
                _write_backtrace_on_crash()
                result = child_body(write_end)
                os.write(write_end, b"R" + json.dumps(result).encode() + b"\n")
            except BaseException:  # noqa: BLE001
                traceback.print_exc()
                code = 3
            finally:
                os._exit(code)
        os.close(write_end)
        chunks = []
        while True:
            chunk = os.read(read_end, 65536)
            if not chunk:
                break
            chunks.append(chunk)
        os.close(read_end)
        _, status = os.waitpid(pid, 0)
        errors.seek(0)
        stderr = errors.read().decode("utf-8", "replace")
    lines = b"".join(chunks).decode().splitlines()
    result = next((json.loads(line[1:]) for line in lines if line.startswith("R")), None)
    progress = [int(line) for line in lines if line and line[0].isdigit()]
    return progress, result, status, stderr


def _status_text(status):
    if os.WIFSIGNALED(status):
        return f"killed by signal {os.WTERMSIG(status)}"
    return f"exit code {os.WEXITSTATUS(status)}"


def _tail(text, lines=25):
    return "\n".join(text.splitlines()[-lines:])


def drive_calls(vocabulary, case_names, form):
    import tarvu

    cls = getattr(tarvu, vocabulary)
    report = {}
    for case_name in case_names:
        total = {"tried": 0, "findings": [], "outcomes": {}}
        start = 0
        while True:
            progress, result, status, stderr = _fork_run(
                lambda fd, start=start: _sweep_case(cls, case_name, start, fd, form)
            )
            if result is not None:
                total["tried"] += result["tried"]
                total["findings"] += result["findings"]
                for key, count in result["outcomes"].items():
                    total["outcomes"][key] = total["outcomes"].get(key, 0) + count
                break
            crashed_at = progress[-1] if progress else start
            total["tried"] += len(progress)
            total["findings"].append(
                {"k": crashed_at, "what": f"child {_status_text(status)}", "stderr": _tail(stderr)}
            )
            start = crashed_at + 1
            if start >= MAX_K:
                break
        report[case_name] = total
    problems = _module_still_works(tarvu)
    return {"cases": report, "afterwards": problems}


def _import_child(module_spec, k, form):
    def body(_progress_fd):
        outcome = {"k": k}
        status, payload = _attempt(_call(_imp.create_dynamic, module_spec), k, form)
        outcome["pending"] = _exception_pending()
        if status == "ok":
            outcome["first"] = "ok"
            outcome["afterwards"] = _module_still_works(payload)
            return outcome
        outcome["first"] = _describe(payload)
        # With memory short from the k-th allocation on, nothing can be built on top of the
        # failure (a PanicException, a wrapping RuntimeError): the interpreter's MemoryError it is.
        outcome["first_ok"] = type(payload) is MemoryError or form == "one" and (
            _is_panic(payload)
            or (type(payload) is RuntimeError and str(payload).startswith("An error occurred while initializing class"))
        )
        sys.modules.pop("tarvu", None)
        status, payload = _run_plain(_call(_imp.create_dynamic, module_spec))
        if status == "ok":
            outcome["second"] = "ok"
            outcome["afterwards"] = _module_still_works(payload)
        else:
            outcome["second"] = _describe(payload)
            outcome["second_ok"] = type(payload) is ImportError and payload.args == (
                "PyO3 modules may only be initialized once per interpreter process",
            )
            outcome["afterwards"] = []
        return outcome

    return body


# --- crashes of the interpreter itself -------------------------------------------------------------
#
# Some CPython releases crash under allocation failure inside their own API (3.13.0 in
# dictresize under PyType_FromSpec). A crash of the import sweep counts as the interpreter's
# when the plain C control module (bench/floor, no frame of ours) crashes at the same place in
# the interpreter: the innermost frames of the C backtraces, out to the module's first frame.

# For the crash handler of forked children. Where there is no fork there is no process-wide
# symbol lookup either (ctypes.CDLL(None) is a TypeError on Windows).
_LIBC = ctypes.CDLL(None) if hasattr(os, "fork") else None
_BACKTRACE = (ctypes.c_void_p * 64)()
BACKTRACE_MARK = "C backtrace:"


@ctypes.CFUNCTYPE(None, ctypes.c_int)
def _on_crash(signum):
    # Runs on the crashed thread; a failure in here (the failing allocation) returns, the fault
    # comes back and this runs again. Afterwards the fault recurs and ends the process.
    _LIBC.signal(signum, None)
    sys.stderr.flush()
    os.write(2, (BACKTRACE_MARK + "\n").encode())
    _LIBC.backtrace_symbols_fd(_BACKTRACE, _LIBC.backtrace(_BACKTRACE, 64), 2)


def _write_backtrace_on_crash():
    _LIBC.signal.argtypes = [ctypes.c_int, ctypes.c_void_p]
    for signum in (signal.SIGSEGV, signal.SIGBUS, signal.SIGILL, signal.SIGFPE):
        _LIBC.signal(signum, ctypes.cast(_on_crash, ctypes.c_void_p))


def _crash_frames(stderr):
    """The crashed code's frames, innermost first, from a child's stderr: what follows the signal
    frame (libc, called from libffi's closure for the handler), without addresses."""
    lines = stderr.split(BACKTRACE_MARK + "\n", 1)[-1].splitlines() if BACKTRACE_MARK in stderr else []
    for i in range(1, len(lines)):
        if "libc.so" in lines[i] and "libffi" in lines[i - 1]:
            return [os.path.basename(line.split("[")[0]) for line in lines[i + 1:]]
    return []


def _interpreter_frames(frames, module_file):
    """Where the interpreter crashed: up to 6 innermost frames, out to the module's first frame."""
    names = []
    for frame in frames[:6]:
        if frame.startswith(os.path.basename(module_file)):
            break
        names.append(frame)
    return tuple(names)


def _built_control():
    """The plain C control module (bench/floor), built for this interpreter beside tarvu."""
    sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "bench"))
    from run import build_floor

    return build_floor(pathlib.Path(importlib.util.find_spec("tarvu").origin).parent / "bench")


def _control_crashes(control_spec, last_k, form):
    """Where the control module's import crashes, over every k < last_k."""
    found = set()
    for k in range(last_k):
        body = lambda _fd, k=k: _attempt(_call(_imp.create_dynamic, control_spec), k, form)[0]  # noqa: E731
        _, _, status, stderr = _fork_run(body)
        if os.WIFSIGNALED(status):
            found.add(_interpreter_frames(_crash_frames(stderr), control_spec.origin))
    return found


def _classify_import_crashes(module_spec, findings, last_k, form):
    """Takes the crashes that the control module shares out of findings; returns them."""
    crashes = [f for f in findings if f.get("frames")]
    if not crashes:
        return []
    control_spec = importlib.util.spec_from_file_location("tarvu_floor", _built_control())
    control = _control_crashes(control_spec, last_k, form)
    faults = []
    for finding in crashes:
        frames = finding.pop("frames")
        where = _interpreter_frames(frames, module_spec.origin)
        if where and where in control:
            findings.remove(finding)
            faults.append({"k": finding["k"], "backtrace": frames[:12]})
    return faults


def drive_import(stride, form):
    module_spec = importlib.util.find_spec("tarvu")
    findings, tried, streak, k, kinds = [], 0, 0, 0, {}
    while streak < WINDOW and k < MAX_K:
        progress, result, status, stderr = _fork_run(_import_child(module_spec, k, form))
        tried += 1
        if result is None:
            frames = _crash_frames(stderr)
            findings.append({"k": k, "what": f"child {_status_text(status)}", "stderr": _tail(stderr, 40),
                             "frames": frames})
            streak = 0
        else:
            problems = list(result["afterwards"])
            if result["pending"]:
                problems.append("an exception was left pending")
            if result["first"] != "ok" and not result["first_ok"]:
                problems.append(f"import raised {result['first']}")
            if result.get("second", "ok") != "ok" and not result.get("second_ok"):
                problems.append(f"second import raised {result['second']}")
            if problems:
                findings.append({"k": k, "what": "; ".join(problems), "stderr": _tail(stderr)})
            first_kind = "ok" if result["first"] == "ok" else result["first"].split(":")[0]
            kinds[first_kind] = kinds.get(first_kind, 0) + 1
            streak = streak + 1 if result["first"] == "ok" else 0
        k += stride if streak == 0 else 1
    faults = _classify_import_crashes(module_spec, findings, k, form)
    return {"tried": tried, "last_k": k, "findings": findings, "outcomes": kinds, "interpreter_faults": faults}


def repro(form, target, case_name, k):
    """One attempt in the foreground, for a debugger."""
    if target == "import":
        module_spec = importlib.util.find_spec("tarvu")
        status, payload = _attempt(_call(_imp.create_dynamic, module_spec), k, form)
    else:
        import tarvu

        call, _ = _cases(getattr(tarvu, target))[case_name]
        _run_plain(call)
        status, payload = _attempt(call, k, form)
    print(status, _describe(payload) if status == "exc" else repr(payload))


# --- pytest side ---------------------------------------------------------------------------------


def _driver(*args, timeout=900):
    completed = subprocess.run(
        [sys.executable, os.path.abspath(__file__), *args],
        capture_output=True,
        text=True,
        timeout=timeout,
    )
    assert completed.returncode == 0, f"driver failed ({completed.returncode}):\n{completed.stderr[-4000:]}"
    return json.loads(completed.stdout.splitlines()[-1])


def _format_findings(findings):
    return "\n".join(
        f"  k={f['k']}: {f['what']}" + (f"\n    stderr:\n{f['stderr']}" if f.get("stderr") else "") for f in findings
    )


def _crashes(case):
    return [f for f in case["findings"] if f["what"].startswith("child killed")]


# Interpreter faults, each with the calls whose sweeps reach the faulty step and a program that
# crashes at that step with the plain C control module (bench/floor) alone.
INTERPRETER_FAULTS = {
    # Seen on free-threaded 3.13: when the item array cannot be allocated, PyList_New releases a
    # list taken from the free list whose size and items are those of a freed list.
    "PyList_New frees a list whose items were never set": ({"list", "nested"}, """
import _testcapi, warnings
warnings.simplefilter("ignore")
import tarvu_floor
kept = []
for k in range(40):
    x = [None]; del x
    _testcapi.set_nomemory(k, k + 1)
    try:
        tarvu_floor.Stain.list()
    except MemoryError:
        pass
    finally:
        _testcapi.remove_mem_hooks()
    kept.append([[None] * (i % 7) for i in range(200)])
"""),
}


def interpreter_has_fault(fault):
    """Whether the plain C control module crashes on this interpreter as INTERPRETER_FAULTS[fault] says."""
    env = dict(os.environ, PYTHONPATH=str(_built_control().parent))
    control = INTERPRETER_FAULTS[fault][1]
    return subprocess.run([sys.executable, "-c", control], env=env, capture_output=True).returncode < 0


def _interpreter_faults(vocabulary, report):
    """Takes out of the report the crashes that a control reproduces, reporting each as an
    interpreter fault with version and k. Crashes no control reproduces stay findings."""
    for fault, (case_names, _) in INTERPRETER_FAULTS.items():
        crashed = {name: [f["k"] for f in _crashes(case)]
                   for name, case in report["cases"].items() if name in case_names and _crashes(case)}
        if not crashed:
            continue
        if interpreter_has_fault(fault):
            warnings.warn(InterpreterFault(
                f"CPython {sys.version.split()[0]}: {fault}, which the control module shares; "
                f"{vocabulary}: " + ", ".join(f"{name} at k={ks}" for name, ks in crashed.items())))
            for name in crashed:
                case = report["cases"][name]
                case["findings"] = [f for f in case["findings"] if not f["what"].startswith("child killed")]


@pytest.mark.parametrize("form", FORMS)
@pytest.mark.parametrize("vocabulary", VOCABULARY_NAMES)
def test_every_allocation_failure_in_calls_is_clean(vocabulary, form):
    cases = ALL_CASE_NAMES if FULL else SHORT_CASES
    report = _driver("calls", vocabulary, json.dumps(cases), form)
    tried = sum(case["tried"] for case in report["cases"].values())
    print(f"{vocabulary}: {tried} failing allocations over {len(cases)} calls")
    _interpreter_faults(vocabulary, report)
    failures = [
        f"{name} ({case['tried']} tried, outcomes {case['outcomes']}):\n{_format_findings(case['findings'])}"
        for name, case in report["cases"].items()
        if case["findings"]
    ]
    assert not failures, f"{vocabulary}:\n" + "\n".join(failures)
    assert not report["afterwards"], "module broken after the sweep: " + "; ".join(report["afterwards"])
    assert all(case["tried"] > 0 for case in report["cases"].values())


class InterpreterFault(UserWarning):
    """A crash of the interpreter's own code, reported without failing the run."""


@pytest.mark.parametrize("form", FORMS)
def test_every_allocation_failure_during_import_is_clean(form):
    # _imp.create_dynamic is the import of an extension module without the pure-Python finder
    # frames around it, which would lose exceptions of their own under memory failure.
    stride = 1 if FULL else 23
    report = _driver("import", str(stride), form, timeout=3000)
    print(f"import ({form}): {report['tried']} attempts up to k={report['last_k']}, outcomes {report['outcomes']}")
    for fault in report["interpreter_faults"]:
        warnings.warn(InterpreterFault(
            f"CPython {platform.python_version()} import k={fault['k']}: a crash the control module shares, "
            f"at {' < '.join(fault['backtrace'][:4])}\n" + "\n".join(fault["backtrace"])))
    assert not report["findings"], "import:\n" + _format_findings(report["findings"])
    assert report["outcomes"].get("ok", 0) >= 1 and len(report["outcomes"]) > 1


if __name__ == "__main__":
    mode = sys.argv[1]
    if mode == "calls":
        print(json.dumps(drive_calls(sys.argv[2], json.loads(sys.argv[3]), sys.argv[4])))
    elif mode == "import":
        print(json.dumps(drive_import(int(sys.argv[2]), sys.argv[3])))
    elif mode == "repro":
        repro(sys.argv[2], sys.argv[3], sys.argv[4], int(sys.argv[5]))
    else:
        sys.exit(f"unknown mode {mode}")
