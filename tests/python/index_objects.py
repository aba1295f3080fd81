"""Objects with an __index__ method, shared by the tests that drive conversions."""


class TypeErrorSubclass(TypeError):
    pass


class Index:
    """Converts to `value` through __index__ (whatever `value` is), or raises
    it if it is an exception instance; `calls` counts the calls."""

    def __init__(self, value):
        self.value, self.calls = value, 0

    def __index__(self):
        self.calls += 1
        if isinstance(self.value, BaseException):
            raise self.value
        return self.value


class RaisingIndex:
    """Raises exc_type(*args) from __index__."""

    def __init__(self, exc_type, *args):
        self.exc_type = exc_type
        self.args = args

    def __index__(self):
        raise self.exc_type(*self.args)


class NestedIndex:
    """An __index__ that calls back into the module (success and failure) before answering."""

    def __init__(self, cls, value):
        self.cls = cls
        self.value = value

    def __index__(self):
        member = self.cls.from_int(self.value)
        repr(member)
        member.to_string()
        self.cls.list()
        try:
            self.cls("no such label")
        except RuntimeError:
            pass
        try:
            self.cls.from_int(-1)
        except OverflowError:
            pass
        return int(member)
