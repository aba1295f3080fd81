// libFuzzer harness: arbitrary bytes against the three label vocabularies, through an embedded
// interpreter that has the module linked in.
//
// Every input is decoded to str in several ways (UTF-8 with surrogatepass and with
// surrogateescape, which yield lone surrogates; Latin-1; UTF-16 with surrogatepass) and given
// to all three constructors; integers cut from the input go to from_int directly, through
// __index__ objects (returning, raising, calling back into the module) and into comparisons;
// and a few bytes steer a call with an arbitrary mix of positional and keyword arguments,
// made at the C level so that duplicate and non-str keyword names reach the module too.
// Each result is checked against a small reference model kept in this file: the parse rule
// (delete the vocabulary's removed characters, fold ASCII letters, match a whole name), the
// lookup of member values, and the argument-binding messages. A disagreement, an exception
// left pending, or any sanitizer report ends the run with the input saved.

#include <Python.h>

#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

extern "C" PyObject* PyInit_tarvu(void);

namespace {

struct MemberInfo {
    std::string name;
    long value;
    PyObject* attribute;  // the class attribute, kept for the process
};

struct VocabularyInfo {
    std::string class_name;
    std::string removed;
    std::string from_int_message;  // the text before the number
    PyObject* type = nullptr;
    PyObject* from_int = nullptr;  // the static method, looked up once
    std::vector<MemberInfo> members;
};

// Read at start-up from the test suite's table of the vocabularies (tests/python/vocabularies.py).
std::vector<VocabularyInfo> VOCABULARIES;

PyObject* HELPERS = nullptr;  // dict of the helper namespace below
PyObject* INDEX = nullptr;
PyObject* RAISING = nullptr;
PyObject* NESTED = nullptr;
PyObject* TYPE_ERROR_SUBCLASS = nullptr;
PyObject* LOSSY = nullptr;
const uint8_t* CURRENT_DATA = nullptr;
size_t CURRENT_SIZE = 0;

const char HELPER_SOURCE[] = R"PY(
class Index:
    __slots__ = ("value",)
    def __init__(self, value):
        self.value = value
    def __index__(self):
        return self.value

class TypeErrorSubclass(TypeError):
    pass

class Raising:
    __slots__ = ("kind", "text")
    def __init__(self, kind, text):
        self.kind = kind
        self.text = text
    def __index__(self):
        raise self.kind(self.text)

class Nested:
    """Calls back into the module, success or failure, before answering."""
    __slots__ = ("cls", "inner", "value")
    def __init__(self, cls, inner, value):
        self.cls = cls
        self.inner = inner
        self.value = value
    def __index__(self):
        try:
            self.cls.from_int(self.inner).to_string()
        except (RuntimeError, OverflowError):
            pass
        return self.value

def lossy(text):
    return text.encode("utf-8", "surrogatepass").decode("utf-8", "replace")
)PY";

[[noreturn]] void finding(const char* format, ...) {
    std::fprintf(stderr, "\n==== tarvu fuzz finding ====\n");
    va_list args;
    va_start(args, format);
    std::vfprintf(stderr, format, args);
    va_end(args);
    std::fprintf(stderr, "\ninput (%zu bytes):", CURRENT_SIZE);
    for (size_t i = 0; i < CURRENT_SIZE && i < 256; ++i) std::fprintf(stderr, " %02x", CURRENT_DATA[i]);
    std::fprintf(stderr, "\n");
    if (PyErr_Occurred()) PyErr_Print();
    std::abort();
}

PyObject* checked(PyObject* object, const char* what) {
    if (object == nullptr) {
        PyErr_Print();
        finding("harness setup failed: %s", what);
    }
    return object;
}

std::string utf8_of(PyObject* text) {
    Py_ssize_t size = 0;
    const char* bytes = PyUnicode_AsUTF8AndSize(text, &size);
    if (bytes == nullptr) finding("utf8_of: not encodable");
    return std::string(bytes, static_cast<size_t>(size));
}

std::string repr_of(PyObject* object) {
    PyObject *type, *value, *traceback;
    PyErr_Fetch(&type, &value, &traceback);
    std::string out = "<unrepresentable>";
    if (PyObject* repr = PyObject_ASCII(object)) {
        out = PyUnicode_AsUTF8(repr);
        Py_DECREF(repr);
    } else {
        PyErr_Clear();
    }
    PyErr_Restore(type, value, traceback);
    return out;
}

std::string qualname_of_type(PyObject* object) {
    PyObject* name =
        checked(PyObject_GetAttrString(reinterpret_cast<PyObject*>(Py_TYPE(object)), "__qualname__"), "__qualname__");
    std::string out = utf8_of(name);
    Py_DECREF(name);
    return out;
}

// --- expected outcomes --------------------------------------------------------------------------------

struct Expected {
    enum Kind { Member, Raises, Bool } kind;
    const VocabularyInfo* vocabulary = nullptr;  // Member: result must be an instance of this class
    long value = 0;                              // Member: its member value; Bool: 0 or 1
    PyObject* exc_type = nullptr;                // Raises: exact type
    bool check_message = false;
    std::string message;               // Raises: the only argument, when checked
    bool prefixed_type_error = false;  // Raises: the "argument 'v': " form with suppressed context
};

Expected member(const VocabularyInfo& vocabulary, long value) {
    Expected e{Expected::Member};
    e.vocabulary = &vocabulary;
    e.value = value;
    return e;
}

Expected raises(PyObject* type) {
    Expected e{Expected::Raises};
    e.exc_type = type;
    return e;
}

Expected raises(PyObject* type, std::string message) {
    Expected e = raises(type);
    e.check_message = true;
    e.message = std::move(message);
    return e;
}

Expected boolean(bool value) {
    Expected e{Expected::Bool};
    e.value = value;
    return e;
}

bool is_class_attribute(PyObject* object) {
    for (const auto& vocabulary : VOCABULARIES)
        for (const auto& m : vocabulary.members)
            if (m.attribute == object) return true;
    return false;
}

// Consumes the result of a call (new reference or null) and checks it.
void verify(PyObject* result, const Expected& expected, const std::string& what) {
    if (result != nullptr) {
        if (PyErr_Occurred()) finding("%s: returned a result with an exception pending", what.c_str());
        switch (expected.kind) {
            case Expected::Member: {
                if (Py_TYPE(result) != reinterpret_cast<PyTypeObject*>(expected.vocabulary->type))
                    finding("%s: expected a %s, got %s", what.c_str(), expected.vocabulary->class_name.c_str(),
                            repr_of(result).c_str());
                PyObject* number = checked(PyNumber_Long(result), "int(member)");
                long value = PyLong_AsLong(number);
                Py_DECREF(number);
                if (value != expected.value)
                    finding("%s: expected member value %ld, got %ld", what.c_str(), expected.value, value);
                if (is_class_attribute(result)) finding("%s: returned the class attribute itself", what.c_str());
                break;
            }
            case Expected::Bool:
                if (result != (expected.value ? Py_True : Py_False))
                    finding("%s: expected %s, got %s", what.c_str(), expected.value ? "True" : "False",
                            repr_of(result).c_str());
                break;
            case Expected::Raises:
                finding("%s: expected %s, got %s", what.c_str(),
                        reinterpret_cast<PyTypeObject*>(expected.exc_type)->tp_name, repr_of(result).c_str());
        }
        Py_DECREF(result);
        return;
    }
    PyObject *type, *value, *traceback;
    PyErr_Fetch(&type, &value, &traceback);
    if (type == nullptr) finding("%s: returned null without an exception", what.c_str());
    PyErr_NormalizeException(&type, &value, &traceback);
    if (expected.kind != Expected::Raises) {
        PyErr_Restore(type, value, traceback);
        finding("%s: unexpected exception", what.c_str());
    }
    if (type != expected.exc_type) {
        PyErr_Restore(type, value, traceback);
        finding("%s: expected %s", what.c_str(), reinterpret_cast<PyTypeObject*>(expected.exc_type)->tp_name);
    }
    PyObject* args = checked(PyObject_GetAttrString(value, "args"), "args");
    if (expected.check_message) {
        bool ok = PyTuple_Check(args) && PyTuple_GET_SIZE(args) == 1 && PyUnicode_Check(PyTuple_GET_ITEM(args, 0)) &&
                  utf8_of(PyTuple_GET_ITEM(args, 0)) == expected.message;
        if (!ok)
            finding("%s: expected message %s, got args %s", what.c_str(), expected.message.c_str(),
                    repr_of(args).c_str());
    }
    if (expected.prefixed_type_error) {
        PyObject* cause = PyException_GetCause(value);
        PyObject* suppress = checked(PyObject_GetAttrString(value, "__suppress_context__"), "suppress");
        if (cause != nullptr || suppress != Py_True)
            finding("%s: prefixed TypeError must have no cause and a suppressed context", what.c_str());
        Py_XDECREF(cause);
        Py_DECREF(suppress);
    }
    Py_DECREF(args);
    Py_DECREF(type);
    Py_XDECREF(value);
    Py_XDECREF(traceback);
}

// --- the reference model ------------------------------------------------------------------------------

char fold(Py_UCS4 c) {
    return static_cast<char>(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c);
}

bool has_surrogate(PyObject* text) {
    Py_ssize_t length = PyUnicode_GET_LENGTH(text);
    for (Py_ssize_t i = 0; i < length; ++i) {
        Py_UCS4 c = PyUnicode_READ_CHAR(text, i);
        if (c >= 0xD800 && c <= 0xDFFF) return true;
    }
    return false;
}

// Member value the text names, or -1. The text holds no surrogates.
long reference_parse(const VocabularyInfo& vocabulary, PyObject* text) {
    std::vector<Py_UCS4> cleaned;
    Py_ssize_t length = PyUnicode_GET_LENGTH(text);
    for (Py_ssize_t i = 0; i < length; ++i) {
        Py_UCS4 c = PyUnicode_READ_CHAR(text, i);
        // (strchr would also find the terminating NUL: a NUL in the text is never removed.)
        if (c != 0 && c < 128 && vocabulary.removed.find(static_cast<char>(c)) != std::string::npos) continue;
        cleaned.push_back(c);
    }
    for (const auto& m : vocabulary.members) {
        if (m.name.size() != cleaned.size()) continue;
        bool equal = true;
        for (size_t i = 0; i < cleaned.size() && equal; ++i)
            equal = cleaned[i] < 128 && fold(cleaned[i]) == fold(static_cast<unsigned char>(m.name[i]));
        if (equal) return m.value;
    }
    return -1;
}

Expected expected_parse(const VocabularyInfo& vocabulary, PyObject* argument) {
    if (!PyUnicode_Check(argument))
        return raises(PyExc_TypeError,
                      "argument 's': '" + qualname_of_type(argument) + "' object cannot be converted to 'PyString'");
    if (has_surrogate(argument)) return raises(PyExc_UnicodeEncodeError);
    long value = reference_parse(vocabulary, argument);
    if (value < 0) return raises(PyExc_RuntimeError, "Matching variant not found");
    return member(vocabulary, value);
}

Expected expected_lookup(const VocabularyInfo& vocabulary, long long v) {
    if (v < 0 || v > 255) return raises(PyExc_OverflowError, "out of range integral type conversion attempted");
    for (const auto& m : vocabulary.members)
        if (m.value == v) return member(vocabulary, v);
    return raises(PyExc_RuntimeError, vocabulary.from_int_message + std::to_string(v));
}

// An argument for v: an int object, or an object whose __index__ misbehaves in a known way.
Expected expected_from_int(const VocabularyInfo& vocabulary, PyObject* argument) {
    if (PyLong_Check(argument)) {
        int overflow = 0;
        long long v = PyLong_AsLongLongAndOverflow(argument, &overflow);
        if (overflow != 0) return raises(PyExc_OverflowError);  // the interpreter's own message
        return expected_lookup(vocabulary, v);
    }
    return raises(PyExc_TypeError,
                  "argument 'v': '" + qualname_of_type(argument) + "' object cannot be interpreted as an integer");
}

// --- input reading ------------------------------------------------------------------------------------

struct Reader {
    const uint8_t* data;
    size_t size;
    size_t at = 0;
    uint8_t byte() { return at < size ? data[at++] : 0; }
    long long integer() {
        // A small signed integer most of the time, sometimes a wide one.
        uint8_t head = byte();
        int width = head % 9;
        unsigned long long raw = 0;
        for (int i = 0; i < width; ++i) raw = (raw << 8) | byte();
        long long value = static_cast<long long>(raw);
        if (width > 0 && width < 8) {
            unsigned long long sign_bit = 1ULL << (width * 8 - 1);
            if (raw & sign_bit) value = static_cast<long long>(raw) - static_cast<long long>(sign_bit << 1);
        }
        if (width == 0) value = static_cast<int8_t>(head) + 128;  // 0..255, the interesting range
        return value;
    }
};

PyObject* decoded(const uint8_t* data, size_t size, int how) {
    const char* bytes = reinterpret_cast<const char*>(data);
    Py_ssize_t length = static_cast<Py_ssize_t>(size);
    PyObject* text = nullptr;
    switch (how) {
        case 0:
            text = PyUnicode_DecodeUTF8(bytes, length, "surrogatepass");
            break;
        case 1:
            text = PyUnicode_DecodeUTF8(bytes, length, "surrogateescape");
            break;
        case 2:
            text = PyUnicode_DecodeLatin1(bytes, length, nullptr);
            break;
        case 3: {
            int byteorder = -1;  // little endian
            text = PyUnicode_DecodeUTF16(bytes, length & ~static_cast<Py_ssize_t>(1), "surrogatepass", &byteorder);
            break;
        }
    }
    if (text == nullptr) PyErr_Clear();  // not valid in that encoding
    return text;
}

// --- the checks ---------------------------------------------------------------------------------------

void check_parse(PyObject* text, bool by_keyword) {
    for (const auto& vocabulary : VOCABULARIES) {
        PyObject* result;
        if (by_keyword) {
            PyObject* args = PyTuple_New(0);
            PyObject* kwargs = Py_BuildValue("{s:O}", "s", text);
            result = PyObject_Call(vocabulary.type, args, kwargs);
            Py_DECREF(args);
            Py_DECREF(kwargs);
        } else {
            result = PyObject_CallOneArg(vocabulary.type, text);
        }
        verify(result, expected_parse(vocabulary, text),
               std::string(vocabulary.class_name) + "(" + repr_of(text) + ")");
    }
}

// An object whose __index__ behaves as the next input byte says. Sets the expected outcome of
// from_int with it, and `yields` to the integer it produces (null when its __index__ fails).
PyObject* new_index_object(Reader& in, const VocabularyInfo& vocabulary, PyObject* integer, Expected& expected,
                           PyObject*& yields) {
    yields = nullptr;
    switch (in.byte() % 6) {
        case 0:
            expected = expected_from_int(vocabulary, integer);
            yields = integer;
            return PyObject_CallOneArg(INDEX, integer);
        case 1:
            expected = raises(PyExc_TypeError, "argument 'v': from index");
            expected.prefixed_type_error = true;
            return PyObject_CallFunction(RAISING, "Os", PyExc_TypeError, "from index");
        case 2:
            expected = raises(TYPE_ERROR_SUBCLASS, "from index");
            return PyObject_CallFunction(RAISING, "Os", TYPE_ERROR_SUBCLASS, "from index");
        case 3:
            expected = raises(PyExc_ValueError, "from index");
            return PyObject_CallFunction(RAISING, "Os", PyExc_ValueError, "from index");
        case 4: {
            expected = raises(PyExc_TypeError, "argument 'v': __index__ returned non-int (type str)");
            expected.prefixed_type_error = true;
            PyObject* text = checked(PyUnicode_FromString("3"), "str");
            PyObject* index = PyObject_CallOneArg(INDEX, text);
            Py_DECREF(text);
            return index;
        }
        default: {
            expected = expected_from_int(vocabulary, integer);
            yields = integer;
            uint8_t low = in.byte();
            PyObject* inner = checked(PyLong_FromLong(low + (in.byte() % 2 ? 0 : 256)), "int");
            PyObject* nested = PyObject_CallFunction(NESTED, "OOO", vocabulary.type, inner, integer);
            Py_DECREF(inner);
            return nested;
        }
    }
}

bool equals_member_value(PyObject* integer, const MemberInfo& m) {
    int overflow = 0;
    long long v = PyLong_AsLongLongAndOverflow(integer, &overflow);
    return overflow == 0 && v == m.value;
}

void check_from_int(Reader& in) {
    static const int ORDERINGS[] = {Py_LT, Py_LE, Py_GT, Py_GE};
    long long raw = in.integer();
    PyObject* integer = checked(PyLong_FromLongLong(raw), "int");
    if (in.byte() % 4 == 0) {  // sometimes far beyond a C long
        PyObject* shift = checked(PyLong_FromLong(64 + in.byte() % 64), "int");
        PyObject* wide = PyNumber_Lshift(integer, shift);
        Py_DECREF(shift);
        Py_DECREF(integer);
        integer = checked(wide, "wide integer");
    }
    for (const auto& vocabulary : VOCABULARIES) {
        std::string what = std::string(vocabulary.class_name) + ".from_int(" + repr_of(integer) + ")";
        verify(PyObject_CallOneArg(vocabulary.from_int, integer), expected_from_int(vocabulary, integer), what);

        Expected expected = raises(PyExc_TypeError);
        PyObject* yields = nullptr;
        PyObject* index = checked(new_index_object(in, vocabulary, integer, expected, yields), "index object");
        verify(PyObject_CallOneArg(vocabulary.from_int, index), expected, what + " through __index__");

        // An integer in 0..255 compares by value; anything else ends in NotImplemented, and the
        // interpreter falls back to identity (==) or raises its TypeError (orderings).
        const MemberInfo& m = vocabulary.members[in.byte() % vocabulary.members.size()];
        bool equal = equals_member_value(integer, m);
        verify(PyObject_RichCompare(m.attribute, integer, Py_EQ), boolean(equal), m.name + " == int");
        verify(PyObject_RichCompare(integer, m.attribute, Py_NE), boolean(!equal), "int != " + m.name);
        verify(PyObject_RichCompare(m.attribute, integer, ORDERINGS[in.byte() % 4]), raises(PyExc_TypeError),
               m.name + " ordering");
        // An __index__ object compares by the value it yields; a failing __index__ is discarded.
        bool index_equal = yields != nullptr && equals_member_value(yields, m);
        verify(PyObject_RichCompare(m.attribute, index, Py_EQ), boolean(index_equal), m.name + " == index object");
        Py_DECREF(index);
    }
    Py_DECREF(integer);
}

// Positional and keyword arguments in any mix, checked against the binding rules:
// too many positionals first, then keywords in the caller's order (the first bad one wins),
// then a missing argument, then the conversion.
void check_binding(Reader& in, PyObject* text) {
    const VocabularyInfo& vocabulary = VOCABULARIES[in.byte() % VOCABULARIES.size()];
    bool use_new = in.byte() % 2;
    const char* parameter = use_new ? "s" : "v";
    std::string function = std::string(vocabulary.class_name) + (use_new ? ".__new__()" : ".from_int()");

    // Candidate values and keyword names.
    PyObject* values[] = {text, PyLong_FromLong(in.byte()), Py_None, PyFloat_FromDouble(1.5)};
    Py_INCREF(text);
    Py_INCREF(Py_None);
    PyObject* names[] = {PyUnicode_FromString(parameter),
                         PyUnicode_FromString(use_new ? "v" : "s"),
                         PyUnicode_FromString("x"),
                         PyUnicode_DecodeUTF8("\xed\xa0\x80", 3, "surrogatepass"),
                         PyLong_FromLong(7),
                         PyUnicode_FromString(use_new ? "S" : "V")};

    size_t positional = in.byte() % 3;
    size_t keyword_count = in.byte() % 4;
    std::vector<PyObject*> vector;  // borrowed
    for (size_t i = 0; i < positional; ++i) vector.push_back(values[in.byte() % 4]);
    std::vector<PyObject*> keyword_names;  // borrowed
    for (size_t i = 0; i < keyword_count; ++i) {
        PyObject* name = names[in.byte() % 6];
        if (use_new) {  // dictionary keys are unique: a repeat overwrites in place
            bool seen = false;
            for (PyObject* other : keyword_names) seen = seen || PyObject_RichCompareBool(other, name, Py_EQ) == 1;
            if (seen) continue;
        }
        keyword_names.push_back(name);
        vector.push_back(values[in.byte() % 4]);
    }

    // The reference binding.
    Expected expected = raises(PyExc_TypeError);
    bool decided = false;
#if PY_VERSION_HEX >= 0x03090000
    // Calling the class goes through its vectorcall slot, and the interpreter
    // refuses a keyword dictionary with a key that is not a str before the
    // call reaches the module (an accepted difference from tp_new).
    for (PyObject* name : keyword_names) {
        if (use_new && !decided && !PyUnicode_Check(name)) {
            expected = raises(PyExc_TypeError, "keywords must be strings");
            decided = true;
        }
    }
#endif
    if (!decided && positional > 1) {
        expected = raises(PyExc_TypeError,
                          function + " takes 1 positional arguments but " + std::to_string(positional) + " were given");
        decided = true;
    }
    PyObject* bound = positional == 1 ? vector[0] : nullptr;
    for (size_t i = 0; i < keyword_names.size() && !decided; ++i) {
        PyObject* name = keyword_names[i];
        PyObject* value = vector[positional + i];
        if (!PyUnicode_Check(name)) {
            expected =
                raises(PyExc_TypeError, "'" + qualname_of_type(name) + "' object cannot be converted to 'PyString'");
            decided = true;
        } else if (!has_surrogate(name) && utf8_of(name) == parameter) {
            if (bound != nullptr) {
                expected = raises(PyExc_TypeError, function + " got multiple values for argument '" + parameter + "'");
                decided = true;
            }
            bound = value;
        } else {
            PyObject* rendered = checked(PyObject_CallOneArg(LOSSY, name), "lossy");
            expected =
                raises(PyExc_TypeError, function + " got an unexpected keyword argument '" + utf8_of(rendered) + "'");
            Py_DECREF(rendered);
            decided = true;
        }
    }
    if (!decided && bound == nullptr) {
        expected = raises(PyExc_TypeError, function + " missing 1 required positional argument: '" + parameter + "'");
        decided = true;
    }
    if (!decided) expected = use_new ? expected_parse(vocabulary, bound) : expected_from_int(vocabulary, bound);

    // The call, in the shape each entry point receives from the interpreter.
    PyObject* result;
    if (use_new) {
        PyObject* args = PyTuple_New(static_cast<Py_ssize_t>(positional));
        for (size_t i = 0; i < positional; ++i) {
            Py_INCREF(vector[i]);
            PyTuple_SET_ITEM(args, static_cast<Py_ssize_t>(i), vector[i]);
        }
        PyObject* kwargs = keyword_names.empty() ? nullptr : PyDict_New();
        for (size_t i = 0; i < keyword_names.size(); ++i)
            PyDict_SetItem(kwargs, keyword_names[i], vector[positional + i]);
        result = PyObject_Call(vocabulary.type, args, kwargs);
        Py_DECREF(args);
        Py_XDECREF(kwargs);
    } else {
        PyObject* kwnames = nullptr;
        if (!keyword_names.empty()) {
            kwnames = PyTuple_New(static_cast<Py_ssize_t>(keyword_names.size()));
            for (size_t i = 0; i < keyword_names.size(); ++i) {
                Py_INCREF(keyword_names[i]);
                PyTuple_SET_ITEM(kwnames, static_cast<Py_ssize_t>(i), keyword_names[i]);
            }
        }
        result = PyObject_Vectorcall(vocabulary.from_int, vector.data(), positional, kwnames);
        Py_XDECREF(kwnames);
    }
    std::string what = function + " with " + std::to_string(positional) + " positional and " +
                       std::to_string(keyword_names.size()) + " keyword arguments";
    verify(result, expected, what);

    for (PyObject* value : values) Py_DECREF(value);
    for (PyObject* name : names) Py_DECREF(name);
}

void check_text_forms(Reader& in) {
    for (const auto& vocabulary : VOCABULARIES) {
        const MemberInfo& m = vocabulary.members[in.byte() % vocabulary.members.size()];
        PyObject* text = checked(PyObject_CallMethod(m.attribute, "to_string", nullptr), "to_string");
        if (utf8_of(text) != m.name) finding("to_string of %s", m.name.c_str());
        Py_DECREF(text);
        PyObject* repr = checked(PyObject_Repr(m.attribute), "repr");
        if (utf8_of(repr) != std::string(vocabulary.class_name) + "." + m.name) finding("repr of %s", m.name.c_str());
        Py_DECREF(repr);
        PyObject* list = checked(PyObject_CallMethod(vocabulary.type, "list", nullptr), "list");
        if (PyList_GET_SIZE(list) != static_cast<Py_ssize_t>(vocabulary.members.size())) finding("list size");
        Py_DECREF(list);
    }
}

/// The class name, removed characters and from_int message of every vocabulary, from the
/// test suite's own table, in registration order.
void read_vocabularies() {
    PyObject* path = checked(PySys_GetObject("path"), "sys.path");  // borrowed
    PyObject* directory = checked(PyUnicode_FromString(TARVU_TESTS_PYTHON_DIR), "tests directory");
    PyList_Insert(path, 0, directory);
    Py_DECREF(directory);
    PyObject* table = checked(PyImport_ImportModule("vocabularies"), "import vocabularies");
    PyObject* entries = checked(PyObject_GetAttrString(table, "VOCABULARIES"), "VOCABULARIES");
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(entries); ++i) {
        PyObject* entry = PyTuple_GET_ITEM(entries, i);
        std::string message = utf8_of(PyTuple_GET_ITEM(entry, 2));
        VocabularyInfo info;
        info.class_name = utf8_of(PyTuple_GET_ITEM(entry, 0));
        info.removed = utf8_of(PyTuple_GET_ITEM(entry, 3));
        info.from_int_message = message.substr(0, message.find("{}"));
        VOCABULARIES.push_back(std::move(info));
    }
    Py_DECREF(entries);
    Py_DECREF(table);
}

void initialise() {
    // Objects from the system allocator, so that the address sanitizer sees every one of them.
    setenv("PYTHONMALLOC", "malloc", 1);
    if (PyImport_AppendInittab("tarvu", PyInit_tarvu) != 0) finding("PyImport_AppendInittab failed");
    Py_InitializeEx(0);
    PyObject* module = checked(PyImport_ImportModule("tarvu"), "import tarvu");
    PyObject* globals = checked(PyDict_New(), "globals");
    PyDict_SetItemString(globals, "__builtins__", PyEval_GetBuiltins());
    PyObject* ran = checked(PyRun_String(HELPER_SOURCE, Py_file_input, globals, globals), "helpers");
    Py_DECREF(ran);
    HELPERS = globals;
    INDEX = PyDict_GetItemString(HELPERS, "Index");
    RAISING = PyDict_GetItemString(HELPERS, "Raising");
    NESTED = PyDict_GetItemString(HELPERS, "Nested");
    TYPE_ERROR_SUBCLASS = PyDict_GetItemString(HELPERS, "TypeErrorSubclass");
    LOSSY = PyDict_GetItemString(HELPERS, "lossy");
    read_vocabularies();
    for (auto& vocabulary : VOCABULARIES) {
        const char* class_name = vocabulary.class_name.c_str();
        vocabulary.type = checked(PyObject_GetAttrString(module, class_name), class_name);
        vocabulary.from_int = checked(PyObject_GetAttrString(vocabulary.type, "from_int"), "from_int");
        // Names and values come from the module's own list(); other tests pin the tables down.
        PyObject* list = checked(PyObject_CallMethod(vocabulary.type, "list", nullptr), "list");
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(list); ++i) {
            PyObject* item = PyList_GET_ITEM(list, i);
            PyObject* name = checked(PyObject_CallMethod(item, "to_string", nullptr), "to_string");
            PyObject* number = checked(PyNumber_Long(item), "int");
            MemberInfo info{utf8_of(name), PyLong_AsLong(number), nullptr};
            info.attribute = checked(PyObject_GetAttr(vocabulary.type, name), "class attribute");
            vocabulary.members.push_back(info);
            Py_DECREF(name);
            Py_DECREF(number);
        }
        Py_DECREF(list);
    }
    Py_DECREF(module);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    initialise();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    CURRENT_DATA = data;
    CURRENT_SIZE = size;
    Reader in{data, size};
    PyObject* first_text = nullptr;
    for (int how = 0; how < 4; ++how) {
        PyObject* text = decoded(data, size, how);
        if (text == nullptr) continue;
        check_parse(text, size > 0 && data[0] % 2);
        if (first_text == nullptr) {
            first_text = text;
        } else {
            Py_DECREF(text);
        }
    }
    check_from_int(in);
    check_binding(in, first_text);
    check_text_forms(in);
    Py_DECREF(first_text);
    if (PyErr_Occurred()) finding("an exception was left pending after the input");
    return 0;
}
