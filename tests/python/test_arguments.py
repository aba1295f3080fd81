"""Binding and converting the arguments of ``__new__(s)`` and ``from_int(v)``."""

import operator
import sys

import pytest
from index_objects import Index

LONG_MAX = sys.maxsize  # a C long is a machine word on the supported Linux
OUT_OF_RANGE = "out of range integral type conversion attempted"
TOO_LARGE = "Python int too large to convert to C long"


def raised(exc_type, call, *args, **kwargs):
    """Run the call and return its exception, which must be exactly exc_type."""
    with pytest.raises(BaseException) as info:
        call(*args, **kwargs)
    assert type(info.value) is exc_type, repr(info.value)
    return info.value


# (id, call on the class, function, message after "{Class}.{function}() ")
BINDING = [
    ("new-missing", lambda c: c(), "__new__",
     "missing 1 required positional argument: 's'"),
    ("new-two", lambda c: c("HE", "CD3"), "__new__",
     "takes 1 positional arguments but 2 were given"),
    ("new-three", lambda c: c("a", "b", "c"), "__new__",
     "takes 1 positional arguments but 3 were given"),
    # Surplus positionals are reported before any keyword is looked at.
    ("new-two-and-keyword", lambda c: c("HE", "CD3", x=1), "__new__",
     "takes 1 positional arguments but 2 were given"),
    ("new-twice", lambda c: c("HE", s="HE"), "__new__",
     "got multiple values for argument 's'"),
    # Keywords are checked in the caller's order; the first bad one wins.
    ("new-twice-then-unknown", lambda c: c("HE", s="CD3", x=1), "__new__",
     "got multiple values for argument 's'"),
    ("new-unknown-then-twice", lambda c: c("HE", x=1, s="CD3"), "__new__",
     "got an unexpected keyword argument 'x'"),
    # An unexpected keyword is reported before the missing argument.
    ("new-unknown", lambda c: c(x="HE"), "__new__",
     "got an unexpected keyword argument 'x'"),
    ("new-unknown-xy", lambda c: c(x=1, y=2), "__new__",
     "got an unexpected keyword argument 'x'"),
    ("new-unknown-yx", lambda c: c(y=2, x=1), "__new__",
     "got an unexpected keyword argument 'y'"),
    ("new-other-parameter", lambda c: c(s="HE", v=1), "__new__",
     "got an unexpected keyword argument 'v'"),
    ("new-case-sensitive", lambda c: c(S="HE"), "__new__",
     "got an unexpected keyword argument 'S'"),
    ("new-surrogate-name", lambda c: c(**{"\ud800": 1}), "__new__",
     "got an unexpected keyword argument '\ufffd\ufffd\ufffd'"),
    ("from-missing", lambda c: c.from_int(), "from_int",
     "missing 1 required positional argument: 'v'"),
    ("from-two", lambda c: c.from_int(1, 2), "from_int",
     "takes 1 positional arguments but 2 were given"),
    ("from-two-and-keyword", lambda c: c.from_int(1, 2, w=1), "from_int",
     "takes 1 positional arguments but 2 were given"),
    ("from-twice", lambda c: c.from_int(1, v=1), "from_int",
     "got multiple values for argument 'v'"),
    ("from-unknown", lambda c: c.from_int(w=1), "from_int",
     "got an unexpected keyword argument 'w'"),
    ("from-unknown-after-good", lambda c: c.from_int(v=1, w=1), "from_int",
     "got an unexpected keyword argument 'w'"),
    ("from-other-parameter", lambda c: c.from_int(s=1), "from_int",
     "got an unexpected keyword argument 's'"),
    ("from-surrogate-name", lambda c: c.from_int(**{"\ud800": 1}),
     "from_int", "got an unexpected keyword argument '\ufffd\ufffd\ufffd'"),
]


class ThroughDunderNew:
    """Calls the class as Cls.__new__(Cls, ...): tp_new, not the class call."""

    def __init__(self, cls):
        self.cls = cls

    def __call__(self, *args, **kwargs):
        return self.cls.__new__(self.cls, *args, **kwargs)


ROUTES = {"class-call": lambda cls: cls, "dunder-new": ThroughDunderNew}


@pytest.mark.parametrize("call, function, tail, route", [
    b[1:] + (route,) for b in BINDING
    for route in (ROUTES if b[2] == "__new__" else ["class-call"])],
    ids=[f"{b[0]}-{route}" for b in BINDING
         for route in (ROUTES if b[2] == "__new__" else ["class-call"])])
def test_wrong_calls_name_the_entry_point(vocab, call, function, tail, route):
    exc = raised(TypeError, call, ROUTES[route](vocab.cls))
    assert exc.args == (f"{vocab.name}.{function}() {tail}",)


def test_non_str_keyword_names(vocab):
    # Calling the class hands a keyword dict to the interpreter, which refuses
    # non-str names itself wherever the class has a vectorcall slot (3.9 on).
    # 3.8 leaves them to the callee; so do 3.9 to 3.14 on a call of __new__,
    # which 3.15 checks as well (dict.__new__(dict, **{1: 2}) too).
    def refused(since):
        if sys.version_info >= since:
            return "keywords must be strings"
        return "'int' object cannot be converted to 'PyString'"

    cls = vocab.cls
    for call, message in [
            (lambda: cls(**{1: 2}), refused((3, 9))),
            (lambda: cls.__new__(cls, **{1: 2}), refused((3, 15))),
            (lambda: cls.from_int(**{1: 2}), refused((3, 9)))]:
        assert raised(TypeError, call).args == (message,)


def test_parameters_bind_by_position_or_keyword(vocab):
    name, value = vocab.members[1]
    assert vocab.cls(s=name) == value
    assert vocab.cls(**{"s": name}) == value
    assert vocab.cls.from_int(v=value) == value
    assert vocab.cls.from_int(**{"v": value}) == value


class Outer:
    class Inner:
        pass


@pytest.mark.parametrize("arg, type_name", [
    (3, "int"), (None, "NoneType"), (b"HE", "bytes"), (1.5, "float"),
    (bytearray(b"HE"), "bytearray"), (["HE"], "list"),
    (Outer.Inner(), "Outer.Inner"),  # the qualified name, not __name__
])
def test_text_argument_must_be_a_str(vocab, arg, type_name):
    message = (f"argument 's': '{type_name}' object cannot be converted to "
               "'PyString'")
    for call in (lambda: vocab.cls(arg), lambda: vocab.cls(s=arg)):
        exc = raised(TypeError, call)
        assert exc.args == (message,)
        assert exc.__cause__ is None and exc.__suppress_context__


def test_member_is_not_text(vocab):
    exc = raised(TypeError, vocab.cls, vocab.cls.list()[0])
    assert exc.args == (f"argument 's': '{vocab.name}' object cannot be "
                        "converted to 'PyString'",)


class HiddenName(type):
    """A metaclass whose classes refuse to tell their qualified name."""

    def __getattribute__(cls, name):
        if name == "__qualname__":
            return type.__getattribute__(cls, "answer")()
        return type.__getattribute__(cls, name)


class NoName(metaclass=HiddenName):
    @staticmethod
    def answer():
        raise AttributeError("no name")


class NumberName(metaclass=HiddenName):
    @staticmethod
    def answer():
        return 42


class OtherName(metaclass=HiddenName):
    @staticmethod
    def answer():
        return "Renamed"


@pytest.mark.parametrize("obj, shown", [
    (NoName(), "<failed to extract type name>"),
    (NumberName(), "<failed to extract type name>"),
    (OtherName(), "Renamed"),
])
def test_type_name_comes_from_qualname_with_fallback(vocab, obj, shown):
    exc = raised(TypeError, vocab.cls, obj)
    assert exc.args == (f"argument 's': '{shown}' object cannot be converted "
                        "to 'PyString'",)


LONG_TEXT = "\u00e4-" * 300_000  # a caller's text of any length, not ASCII


@pytest.mark.parametrize("call, message", [
    (lambda c: c(**{LONG_TEXT: 1}), "{name}.__new__() got an unexpected keyword argument '{text}'"),
    (lambda c: c(type("Named", (), {"__qualname__": LONG_TEXT})()),
     "argument 's': '{text}' object cannot be converted to 'PyString'"),
    (lambda c: c.from_int(Index(TypeError(LONG_TEXT))), "argument 'v': {text}"),
], ids=["keyword", "conversion", "index-error"])
def test_long_caller_text_is_kept_whole(vocab, call, message):
    exc = raised(TypeError, call, vocab.cls)
    assert exc.args == (message.format(name=vocab.name, text=LONG_TEXT),)


def test_str_subclass_is_read_as_its_own_text(vocab):
    name, value = vocab.members[-1]

    class Text(str):
        def __str__(self):
            return "not a member"

    assert vocab.cls(Text(name)) == value
    assert vocab.cls(s=Text(name.lower())) == value


def test_lone_surrogate_text_raises_the_encoding_error(vocab):
    text = vocab.members[1][0] + "\udc80"
    with pytest.raises(UnicodeEncodeError) as expected:
        text.encode("utf-8")
    exc = raised(UnicodeEncodeError, vocab.cls, text)
    assert str(exc) == str(expected.value)


@pytest.mark.parametrize("arg", ["1", 1.0, None, b"\x01", 1j, Index("1")])
def test_number_argument_must_convert_through_index(vocab, arg):
    with pytest.raises(TypeError) as interpreter:
        operator.index(arg)
    for call in (lambda: vocab.cls.from_int(arg),
                 lambda: vocab.cls.from_int(v=arg)):
        exc = raised(TypeError, call)
        assert exc.args == ("argument 'v': " + str(interpreter.value),)


@pytest.mark.parametrize("arg", [256, -1, 1000, LONG_MAX, -LONG_MAX - 1,
                                 Index(256), Index(-1)])
def test_numbers_outside_a_byte_overflow(vocab, arg):
    exc = raised(OverflowError, vocab.cls.from_int, arg)
    assert exc.args == (OUT_OF_RANGE,)


@pytest.mark.parametrize("arg", [LONG_MAX + 1, -LONG_MAX - 2, 2 ** 100,
                                 Index(2 ** 64)])
def test_numbers_beyond_a_c_long_keep_the_interpreter_error(vocab, arg):
    exc = raised(OverflowError, vocab.cls.from_int, arg)
    assert exc.args == (TOO_LARGE,)


def test_numbers_at_the_edges_of_a_byte_convert(vocab):
    last = vocab.values[-1]
    assert vocab.cls.from_int(Index(last)) == last
    assert vocab.cls.from_int(True) == 1
    assert vocab.cls.from_int(False) == 0
    # 255 converts; it then fails only as a number that names no member.
    exc = raised(RuntimeError, vocab.cls.from_int, 255)
    assert exc.args == (vocab.miss(255),)


def _frames(tb):
    while tb is not None:
        yield tb.tb_frame.f_code.co_name
        tb = tb.tb_next


class SubTypeError(TypeError):
    pass


@pytest.mark.parametrize("error", [
    SubTypeError("sub"), ValueError("bad"), OverflowError("custom"),
    ZeroDivisionError(), KeyboardInterrupt(),
])
def test_other_index_errors_pass_through_unchanged(vocab, error):
    exc = raised(type(error), vocab.cls.from_int, Index(error))
    assert exc is error
    assert "__index__" in _frames(exc.__traceback__)


def test_plain_type_error_from_index_gets_the_argument_prefix(vocab):
    inner = TypeError("no integer here")
    try:
        raise LookupError("being handled")
    except LookupError:
        exc = raised(TypeError, vocab.cls.from_int, Index(inner))
    assert exc is not inner
    assert exc.args == ("argument 'v': no integer here",)
    assert exc.__cause__ is None
    assert exc.__suppress_context__ is True
    assert exc.__context__ is None


def test_prefixed_error_keeps_the_inner_cause(vocab):
    cause = KeyError("why")
    try:
        raise TypeError("wrapped") from cause
    except TypeError as caught:
        inner = caught
    exc = raised(TypeError, vocab.cls.from_int, Index(inner))
    assert exc.args == ("argument 'v': wrapped",)
    assert exc.__cause__ is cause
    assert exc.__suppress_context__ is True


def test_inner_message_is_rendered_lossily(vocab):
    exc = raised(TypeError, vocab.cls.from_int, Index(TypeError("x\ud800y")))
    assert exc.args == ("argument 'v': x\ufffd\ufffd\ufffdy",)


def test_unprintable_inner_error_is_reported_and_named(vocab, monkeypatch):
    class Unprintable:
        def __str__(self):
            raise ArithmeticError("no text")

    inner = TypeError(Unprintable())
    reports = []
    monkeypatch.setattr(sys, "unraisablehook", reports.append)
    exc = raised(TypeError, vocab.cls.from_int, Index(inner))
    assert exc.args == ("argument 'v': <unprintable TypeError object>",)
    assert len(reports) == 1
    assert reports[0].exc_type is ArithmeticError
    assert reports[0].object is inner


def test_nested_call_from_index_leaves_the_outer_call_intact(vocab):
    cls = vocab.cls
    first, second = vocab.values[0], vocab.values[-1]

    class Reentrant:
        def __index__(self):
            # A failing and a succeeding call into the module while the
            # outer from_int is still converting its argument.
            with pytest.raises(RuntimeError):
                cls.from_int(vocab.non_values[0])
            with pytest.raises(TypeError):
                cls(1)
            return int(cls.from_int(second))

    assert cls.from_int(Reentrant()) == second
    assert cls.from_int(first) == first


def test_methods_without_parameters_refuse_arguments(vocab):
    member = vocab.cls.list()[0]
    for call in (lambda: member.to_string(1), lambda: vocab.cls.list(1),
                 lambda: member.list(None)):
        with pytest.raises(TypeError, match=r"takes no arguments \(1 given\)"):
            call()
    for call in (lambda: member.to_string(x=1), lambda: vocab.cls.list(x=1)):
        with pytest.raises(TypeError, match="takes no keyword arguments"):
            call()
    for call in (lambda: vocab.cls.to_string(3), lambda: vocab.cls.__repr__(3),
                 lambda: vocab.cls.__int__("x")):
        with pytest.raises(TypeError):
            call()
