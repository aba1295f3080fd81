"""Reference and memory leaks on every path through the module.

The full check runs only under a debug interpreter (one with sys.gettotalrefcount), e.g. via
tools/reliability/refleaks.sh; every interpreter runs a lighter one that counts the references
to the class objects and their members instead. Each group of calls is repeated a few thousand
times per round; a round is clean when the interpreter's total reference count,
its count of allocated memory blocks and the C heap in use (mallinfo2) are all
back where they started, after subtracting what an empty loop measures. A group
passes when at least one of several rounds is clean: caches and free lists can
shift a single round, but a leak of even one reference per call shows up in
every round as thousands.
"""
import contextlib
import ctypes
import gc
import os
import sys

import pytest

import tarvu
from conftest import CLASSES as VOCABULARIES
from index_objects import Index, NestedIndex, RaisingIndex, TypeErrorSubclass

debug_only = pytest.mark.skipif(
    not hasattr(sys, "gettotalrefcount"), reason="needs a debug interpreter (sys.gettotalrefcount)"
)

LOOPS = 2000
WARMUP = 200
ROUNDS = 6


class _MallInfo2(ctypes.Structure):
    _fields_ = [
        (name, ctypes.c_size_t)
        for name in "arena ordblks smblks hblks hblkhd usmblks fsmblks uordblks fordblks keepcost".split()
    ]


def _heap_in_use_probe():
    """Bytes handed out by malloc and not yet freed, or a constant where glibc lacks mallinfo2
    (Windows has no process-wide symbol lookup: ctypes.CDLL(None) is a TypeError there)."""
    try:
        libc = ctypes.CDLL(None)
        mallinfo2 = libc.mallinfo2
    except (OSError, AttributeError, TypeError):
        return lambda: 0
    mallinfo2.restype = _MallInfo2
    return lambda: mallinfo2().uordblks


_heap_in_use = _heap_in_use_probe()


def _measure(fn, loops, references):
    """Deltas of (references, blocks, heap bytes) across `loops` calls of fn."""
    iterations = range(loops)
    gc.collect()
    blocks_before = sys.getallocatedblocks()
    heap_before = _heap_in_use()
    refs_before = references()
    for _ in iterations:
        fn()
    gc.collect()
    refs_after = references()
    heap_after = _heap_in_use()
    blocks_after = sys.getallocatedblocks()
    return (refs_after - refs_before, blocks_after - blocks_before, heap_after - heap_before)


def _nothing():
    pass


def _is_clean(net, block_slack):
    refs, blocks, heap = net
    return refs == 0 and heap == 0 and abs(blocks) <= block_slack


def _total_references():
    return sys.gettotalrefcount()


def _leak_rounds(fn, loops=LOOPS, rounds=ROUNDS, block_slack=0, references=_total_references):
    """Net deltas per round (empty loop subtracted); stops at the first clean round."""
    for _ in range(WARMUP):
        fn()
    found = []
    for _ in range(rounds):
        baseline = _measure(_nothing, loops, references)
        measured = _measure(fn, loops, references)
        net = tuple(m - b for m, b in zip(measured, baseline))
        found.append(net)
        if _is_clean(net, block_slack):
            break
    return found


@contextlib.contextmanager
def _discarding_reports():
    """Unprintable messages go to sys.unraisablehook, and a panic that comes back is printed
    through sys.excepthook. Inside the measurement both hooks must keep nothing: pytest's own
    unraisable hook holds on to the last report, and from 3.13 on the interpreter's traceback
    printer is Python code whose caches drift by a few references per round (a loop that only
    calls sys.excepthook shows it on 3.14). Discarding still hands every report over."""
    saved = sys.unraisablehook, sys.excepthook
    sys.unraisablehook = sys.excepthook = _discard_report
    try:
        yield
    finally:
        sys.unraisablehook, sys.excepthook = saved


def _discard_report(*_report):
    pass


@contextlib.contextmanager
def _quiet_stderr():
    """Silence both sys.stderr and file descriptor 2 (tracebacks the module prints on purpose)."""
    sys.stderr.flush()
    saved_fd = os.dup(2)
    saved_stream = sys.stderr
    with open(os.devnull, "w") as null:
        os.dup2(null.fileno(), 2)
        sys.stderr = null  # discards, unlike a StringIO that would grow inside the measurement
        try:
            yield
        finally:
            sys.stderr = saved_stream
            os.dup2(saved_fd, 2)
            os.close(saved_fd)


def _assert_no_leak(ops, quiet=False, block_slack=0, loops=LOOPS, references=_total_references):
    """ops: list of (label, callable). Measures the whole group, then each call alone on failure.

    block_slack tolerates a drift of a few memory blocks per round (never references), far
    below one block per call, for paths that print tracebacks through the io machinery.
    """

    def group():
        for _, op in ops:
            op()

    guard = _quiet_stderr() if quiet else contextlib.nullcontext()
    with guard, _discarding_reports():
        rounds = _leak_rounds(group, loops=loops, block_slack=block_slack, references=references)
        if _is_clean(rounds[-1], block_slack):
            return
        culprits = []
        for label, op in ops:
            single = _leak_rounds(op, loops=loops // 2, rounds=4, block_slack=block_slack, references=references)
            if not _is_clean(single[-1], block_slack):
                culprits.append((label, single))
    pytest.fail(
        f"no clean round in {len(rounds)} (net references, blocks, heap bytes per {loops} calls "
        f"of the group): {rounds}; calls leaking on their own: {culprits or 'none alone'}"
    )


# --- helpers that drive each path ---------------------------------------------------------------


def _raises(exc_type, fn, *args, **kwargs):
    def op():
        try:
            fn(*args, **kwargs)
        except exc_type as exc:
            if type(exc) is not exc_type:
                raise AssertionError(f"{fn!r}: {type(exc).__name__} instead of {exc_type.__name__}") from exc
            return
        raise AssertionError(f"{fn!r}{args}{kwargs} did not raise {exc_type.__name__}")

    return op


class _BadStr:
    def __str__(self):
        raise ValueError("no text")


class _InterruptingStr:
    def __str__(self):
        raise KeyboardInterrupt


class _InterruptingKeyword(str):
    def __str__(self):
        raise KeyboardInterrupt


class _InterruptingName(type):
    def __getattribute__(cls, name):
        if name == "__qualname__":
            raise KeyboardInterrupt
        return type.__getattribute__(cls, name)


_InterruptedName = _InterruptingName("Named", (), {})


def _facts(cls):
    members = cls.list()
    values = [int(m) for m in members]
    non_member = next(v for v in range(256) if v not in values)
    return members, values, non_member


def _success_ops(cls):
    members, values, _ = _facts(cls)
    last = members[-1]
    name = last.to_string()
    spaced = " ".join(name.lower()) + " _"
    attr = getattr(cls, name)
    return [
        ("__new__ exact", lambda: cls(name)),
        ("__new__ spaced lower", lambda: cls(spaced)),
        ("__new__ keyword", lambda: cls(s=name)),
        ("from_int", lambda: cls.from_int(values[-1])),
        ("from_int keyword", lambda: cls.from_int(v=values[0])),
        ("from_int True", lambda: cls.from_int(True)),
        ("from_int via instance", lambda: last.from_int(values[0])),
        ("list", cls.list),
        ("to_string", attr.to_string),
        ("repr", lambda: repr(attr)),
        ("str", lambda: str(attr)),
        ("int", lambda: int(attr)),
        ("class attribute", lambda: getattr(cls, name)),
        ("== member", lambda: attr == members[-1]),
        ("!= member", lambda: attr != members[0]),
        ("== int", lambda: attr == values[-1]),
        ("int == member (reflected)", lambda: values[-1] == attr),
        ("!= bool", lambda: attr != True),  # noqa: E712
        ("dealloc of list members", lambda: [m for m in cls.list()].clear()),
    ]


def _argument_error_ops(cls):
    return [
        ("__new__ no argument", _raises(TypeError, cls)),
        ("__new__ two positional", _raises(TypeError, cls, "a", "b")),
        ("__new__ two positional and keyword", _raises(TypeError, cls, "a", "b", x=1)),
        ("__new__ positional and keyword", _raises(TypeError, cls, "a", s="a")),
        ("__new__ unexpected keyword", _raises(TypeError, cls, x="a")),
        ("__new__ two unexpected keywords", _raises(TypeError, cls, x=1, y=2)),
        ("__new__ surrogate keyword name", _raises(TypeError, cls, **{"\ud800x": 1})),
        ("__new__ int", _raises(TypeError, cls, 3)),
        ("__new__ None keyword", _raises(TypeError, cls, s=None)),
        ("__new__ bytes", _raises(TypeError, cls, b"HE")),
        ("__new__ lone surrogate", _raises(UnicodeEncodeError, cls, "H\udce9")),
        ("__new__ type name interrupted", _raises(KeyboardInterrupt, cls, _InterruptedName())),
        ("__new__ keyword name interrupted", _raises(KeyboardInterrupt, cls, **{_InterruptingKeyword("x"): 1})),
        ("from_int no argument", _raises(TypeError, cls.from_int)),
        ("from_int two positional", _raises(TypeError, cls.from_int, 1, 2)),
        ("from_int positional and keyword", _raises(TypeError, cls.from_int, 1, v=1)),
        ("from_int unexpected keyword", _raises(TypeError, cls.from_int, w=1)),
        ("from_int surrogate keyword name", _raises(TypeError, cls.from_int, **{"\udfff": 1})),
        ("from_int str", _raises(TypeError, cls.from_int, "1")),
        ("from_int float", _raises(TypeError, cls.from_int, 1.0)),
        ("from_int None", _raises(TypeError, cls.from_int, None)),
        ("from_int 256", _raises(OverflowError, cls.from_int, 256)),
        ("from_int -1", _raises(OverflowError, cls.from_int, -1)),
        ("from_int beyond C long", _raises(OverflowError, cls.from_int, 2**80)),
    ]


def _lookup_failure_ops(cls):
    _, _, non_member = _facts(cls)
    return [
        ("__new__ no match", _raises(RuntimeError, cls, "no such label")),
        ("__new__ empty", _raises(RuntimeError, cls, "")),
        ("__new__ only removed characters", _raises(RuntimeError, cls, " _ ")),
        ("__new__ non-ASCII", _raises(RuntimeError, cls, "Tum\u00f6r")),
        ("from_int non-member", _raises(RuntimeError, cls.from_int, non_member)),
        ("from_int 255", _raises(RuntimeError, cls.from_int, 255)),
        ("failure inside except block", lambda: _inside_except(cls)),
    ]


def _inside_except(cls):
    try:
        raise KeyError("outer")
    except KeyError:
        try:
            cls("no such label")
        except RuntimeError:
            pass


def _comparison_ops(cls):
    members, _, _ = _facts(cls)
    member = members[0]
    foreign = next(v for v in VOCABULARIES if v is not cls).list()[0]
    return [
        ("== str", lambda: member == "text"),
        ("== float", lambda: member == 1.0),
        ("== 300", lambda: member == 300),
        ("== -1", lambda: member == -1),
        ("== huge int", lambda: member == 2**100),
        ("== None", lambda: member == None),  # noqa: E711
        ("== other vocabulary", lambda: member == foreign),
        ("!= other vocabulary", lambda: member != foreign),
        ("< ordering", _raises(TypeError, lambda: member < member)),
        (">= int", _raises(TypeError, lambda: member >= 1)),
        ("hash", _raises(TypeError, hash, member)),
        ("== raising __index__", lambda: member == RaisingIndex(ValueError, "nope")),
        ("== __index__ out of range", lambda: member == Index(999)),
        ("== __index__ in range", lambda: member == Index(int(member))),
        ("== interrupting __index__", _raises(KeyboardInterrupt, lambda: member == RaisingIndex(KeyboardInterrupt))),
    ]


def _index_ops(cls):
    members, values, _ = _facts(cls)
    return [
        ("__index__ value", lambda: cls.from_int(Index(values[-1]))),
        ("__index__ raises TypeError", _raises(TypeError, cls.from_int, RaisingIndex(TypeError, "bad"))),
        (
            "__index__ raises TypeError subclass",
            _raises(TypeErrorSubclass, cls.from_int, RaisingIndex(TypeErrorSubclass, "bad")),
        ),
        ("__index__ raises ValueError", _raises(ValueError, cls.from_int, RaisingIndex(ValueError, "bad"))),
        ("__index__ TypeError with cause", _raises(TypeError, cls.from_int, _CausedIndex())),
        ("__index__ TypeError unprintable", _raises(TypeError, cls.from_int, RaisingIndex(TypeError, _BadStr()))),
        (
            "__index__ TypeError str() interrupted",
            _raises(KeyboardInterrupt, cls.from_int, RaisingIndex(TypeError, _InterruptingStr())),
        ),
        ("__index__ returns str", _raises(TypeError, cls.from_int, Index("3"))),
        ("__index__ out of range", _raises(OverflowError, cls.from_int, Index(-5))),
        ("nested calls in __index__", lambda: cls.from_int(NestedIndex(cls, values[-1]))),
        ("nested calls in comparison", lambda: members[-1] == NestedIndex(cls, values[-1])),
    ]


class _CausedIndex:
    def __index__(self):
        raise TypeError("outer") from KeyError("inner")


GROUPS = {
    "success": _success_ops,
    "argument errors": _argument_error_ops,
    "lookup failures": _lookup_failure_ops,
    "comparisons": _comparison_ops,
    "__index__ objects": _index_ops,
}


@debug_only
@pytest.mark.parametrize("group", GROUPS)
@pytest.mark.parametrize("cls", VOCABULARIES, ids=lambda c: c.__name__)
def test_no_leak(cls, group):
    _assert_no_leak(GROUPS[group](cls))


@pytest.mark.parametrize("cls", VOCABULARIES, ids=lambda c: c.__name__)
def test_references_to_the_class_and_its_members_balance(cls):
    """Any interpreter: a lost or extra reference to the type (every instance holds one) or to a
    class attribute shows in their counts; a leaked object shows in the allocated blocks."""
    watched = [cls, *(getattr(cls, member.to_string()) for member in cls.list())]
    ops = [labelled for make_ops in GROUPS.values() for labelled in make_ops(cls)]
    _assert_no_leak(ops, loops=LOOPS // 4, references=lambda: sum(map(sys.getrefcount, watched)))


def _panic_exception_type():
    """The module's PanicException type, provoked by failing one allocation inside list()."""
    testcapi = pytest.importorskip("_testcapi")
    with _quiet_stderr():
        for k in range(400):
            testcapi.set_nomemory(k, k + 1)
            try:
                tarvu.TileLabel.list()
            except BaseException as exc:  # noqa: BLE001 - looking for exactly one foreign type
                testcapi.remove_mem_hooks()
                if type(exc).__name__ == "PanicException":
                    return type(exc)
            else:
                testcapi.remove_mem_hooks()
                break
    pytest.skip("could not provoke a PanicException to learn its type")


class _BadPanicText:
    def __str__(self):
        raise ValueError("no text")


@debug_only
@pytest.mark.parametrize("cls", VOCABULARIES, ids=lambda c: c.__name__)
def test_no_leak_when_panic_comes_back_from_index(cls):
    panic = _panic_exception_type()
    ops = [
        ("panic with text", _raises(panic, cls.from_int, RaisingIndex(panic, "text"))),
        ("panic without text", _raises(panic, cls.from_int, RaisingIndex(panic))),
        ("panic with unprintable text", _raises(panic, cls.from_int, RaisingIndex(panic, _BadPanicText()))),
        ("panic text interrupted", _raises(KeyboardInterrupt, cls.from_int, RaisingIndex(panic, _InterruptingStr()))),
        ("panic during comparison", _raises(panic, lambda: cls.list()[0] == RaisingIndex(panic, "cmp"))),
    ]
    _assert_no_leak(ops, quiet=True, block_slack=LOOPS // 200)


@debug_only
def test_detector_sees_one_reference_per_call():
    """The measurement itself must not hide a leak of a single reference per call."""
    target = object()
    incref = ctypes.pythonapi.Py_IncRef
    incref.argtypes = [ctypes.py_object]
    decref = ctypes.pythonapi.Py_DecRef
    decref.argtypes = [ctypes.py_object]
    leaked = 0

    def leak_one():
        nonlocal leaked
        incref(target)
        leaked += 1

    rounds = _leak_rounds(leak_one, loops=500, rounds=3)
    for _ in range(leaked):
        decref(target)
    # Every round sees the leak; the first may also see the interpreter warm a cache (3.14).
    assert min(refs for refs, _, _ in rounds) == 500 and all(refs >= 500 for refs, _, _ in rounds), rounds


@debug_only
def test_detector_sees_one_block_per_call():
    keep = []

    def leak_block():
        keep.append(object())

    rounds = _leak_rounds(leak_block, loops=500, rounds=3)
    keep.clear()
    assert all(blocks >= 500 for _, blocks, _ in rounds), rounds
