#include "boundary/kept_message.h"

#include <charconv>

#include "boundary/shared_state.h"
#include "boundary/text.h"

namespace tarvu {

PyObject* make_or_keep_message(PyObject*& cell, AsciiMessage text, int number) {
    char digits[16];
    size_t digit_count = 0;
    if (number >= 0) {
        digit_count = static_cast<size_t>(std::to_chars(digits, digits + sizeof(digits), number).ptr - digits);
    }
    PyObject* made = new_ascii_str(std::string_view(text.text, text.length), std::string_view(digits, digit_count));
    if (made == nullptr) {
        return nullptr;
    }
    // Every thread that raises it reads it: without an interpreter lock its
    // count would be one word they all write.
    make_immortal_if_free_threaded(made);
    if (!publish_if_empty(cell, made)) {
        Py_DECREF(made);
    }
    return load_published(cell);
}

namespace {

/// The kept str of a message, made on first use.
PyObject* kept_message(PyObject*& cell, AsciiMessage text, int number) {
    if (PyObject* kept = load_published(cell)) [[likely]] {
        return kept;
    }
    return make_or_keep_message(cell, text, number);
}

}  // namespace

PyObject* raise_kept_message(PyObject* exception_type, PyObject*& cell, AsciiMessage text, int number) {
    PyObject* message = kept_message(cell, text, number);
    if (message == nullptr) {
        return nullptr;
    }
    PyObject* arguments = PyTuple_New(1);
    if (arguments == nullptr) {
        return nullptr;
    }
    PyTuple_SET_ITEM(arguments, 0, new_reference(message));
    // The instance is made here rather than by the interpreter when the
    // exception is caught, as for every error the module raises; BaseException's
    // __new__ stores the arguments, so its __init__ is not called.
    auto* type = reinterpret_cast<PyTypeObject*>(exception_type);
    PyObject* instance = type->tp_new(type, arguments, nullptr);
    // The thread holds the interpreter: every caller runs inside a call from it.
    Py_DECREF(arguments);
    if (instance != nullptr) {
        PyErr_Restore(new_reference(exception_type), instance, nullptr);
    }
    return nullptr;
}

}  // namespace tarvu
