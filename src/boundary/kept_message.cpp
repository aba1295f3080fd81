#include "boundary/kept_message.h"

#include <charconv>
#include <mutex>

#include "boundary/shared_state.h"
#include "boundary/text.h"

namespace tarvu {

BuildLock KEPT_MESSAGES_LOCK;

PyObject* make_or_keep_message(PyObject*& cell, AsciiMessage text, int number) {
    // Made once, under the lock: a thread that lost a race to publish would
    // hold a str it could not free, as it is immortal without an interpreter
    // lock (below), and making it immortal after publishing would rewrite a
    // count that other threads may already be changing.
    std::lock_guard<BuildLock> making(KEPT_MESSAGES_LOCK);
    if (PyObject* kept = load_published(cell)) {
        return kept;  // made by another thread since the caller looked
    }
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
    // count would be one word they all write. No other thread has seen it yet.
    make_immortal_if_free_threaded(made);
    publish(cell, made);  // the cell keeps this reference for the life of the process
    return made;
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
    Owned arguments = Owned::steal(PyTuple_New(1));
    if (!arguments) {
        return nullptr;
    }
    PyTuple_SET_ITEM(arguments.get(), 0, new_reference(message));
    // The instance is made here rather than by the interpreter when the
    // exception is caught, as for every error the module raises; BaseException's
    // __new__ stores the arguments, so its __init__ is not called.
    auto* type = reinterpret_cast<PyTypeObject*>(exception_type);
    PyObject* instance = type->tp_new(type, arguments.get(), nullptr);
    arguments.reset_holding_interpreter();  // every caller runs inside a call from the interpreter
    if (instance != nullptr) {
        PyErr_Restore(new_reference(exception_type), instance, nullptr);
    }
    return nullptr;
}

}  // namespace tarvu
