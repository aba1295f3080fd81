#include "boundary/error_value.h"

#include <charconv>
#include <cstdio>
#include <cstring>

#include "boundary/text.h"

namespace tarvu {

namespace {

constexpr const char PANIC_EXCEPTION_NAME[] = "pyo3_runtime.PanicException";
constexpr const char PANIC_EXCEPTION_DOC[] =
    "\n"
    "The exception raised when Rust code called from Python panics.\n"
    "\n"
    "Like SystemExit, this exception is derived from BaseException so that\n"
    "it will typically propagate all the way through the stack and cause the\n"
    "Python interpreter to exit.\n";
static_assert(sizeof(PANIC_EXCEPTION_DOC) - 1 == 235);

constexpr const char FAULT_WITHOUT_TEXT[] = "panic from Rust code";
constexpr const char UNWRAPPED_PANIC[] = "Unwrapped panic from Python code";
constexpr const char RESUMING_PANIC_LINE[] =
    "--- PyO3 is resuming a panic after fetching a PanicException from Python. ---";
constexpr const char STACK_TRACE_LINE[] = "Python stack trace below:";

PyObject* PANIC_EXCEPTION_TYPE = nullptr;  // protected by the interpreter lock

}  // namespace

PyObject* panic_exception_type() {
    if (PANIC_EXCEPTION_TYPE != nullptr) {
        return PANIC_EXCEPTION_TYPE;
    }
    PyObject* created =
        PyErr_NewExceptionWithDoc(PANIC_EXCEPTION_NAME, PANIC_EXCEPTION_DOC, PyExc_BaseException, nullptr);
    if (created == nullptr) {
        // The type the taken error would be compared against is the one that
        // failed, so take it without the comparison.
        std::optional<ErrorValue> taken = ErrorValue::take_unchecked();
        ErrorValue error = taken ? std::move(*taken) : ErrorValue::lazy(PyExc_SystemError, NO_EXCEPTION_SET);
        std::string description = "Failed to initialize new exception type.: " + error.debug_form();
        std::move(error).discard();
        raise_fault(description);
    }
    // Creating the type may run code that fills the cell first; keep the first.
    if (PANIC_EXCEPTION_TYPE == nullptr) {
        PANIC_EXCEPTION_TYPE = created;
    } else {
        register_decref(created);
    }
    return PANIC_EXCEPTION_TYPE;
}

// --- Construction and lifetime ------------------------------------------------

ErrorValue ErrorValue::conversion_failure(PyObject* object, const char* static_target) {
    ErrorValue error(State::Lazy);
    error.lazy_kind_ = LazyKind::Conversion;
    error.type_ = PyExc_TypeError;
    error.value_ = reinterpret_cast<PyObject*>(Py_TYPE(object));
    Py_INCREF(error.value_);
    error.static_text_ = static_target;
    return error;
}

ErrorValue ErrorValue::from_fault(const Fault& fault) {
    ErrorValue error(State::Lazy);
    error.lazy_kind_ = LazyKind::Panic;
    error.type_ = nullptr;  // obtained only when raised
    if (fault.has_text()) {
        error.text_ = std::make_unique<std::string>(fault.text());
    } else {
        error.static_text_ = FAULT_WITHOUT_TEXT;
    }
    return error;
}

void ErrorValue::move_from(ErrorValue& other) noexcept {
    state_ = std::exchange(other.state_, State::Consumed);
    lazy_kind_ = other.lazy_kind_;
    number_ = other.number_;
    type_ = std::exchange(other.type_, nullptr);
    value_ = std::exchange(other.value_, nullptr);
    traceback_ = std::exchange(other.traceback_, nullptr);
    static_text_ = other.static_text_;
    text_ = std::move(other.text_);
}

void ErrorValue::release_references() noexcept {
    switch (state_) {
        case State::Lazy:
            if (lazy_kind_ == LazyKind::Conversion && value_ != nullptr) {
                register_decref(value_);
            }
            break;
        case State::Fetched:
        case State::Normalized:
            if (type_ != nullptr) register_decref(type_);
            if (value_ != nullptr) register_decref(value_);
            if (traceback_ != nullptr) register_decref(traceback_);
            break;
        case State::Normalizing:
        case State::Consumed:
            break;
    }
    type_ = value_ = traceback_ = nullptr;
    state_ = State::Consumed;
}

// --- Lazy errors -----------------------------------------------------------------

std::string ErrorValue::lazy_message() const {
    if (lazy_kind_ == LazyKind::Conversion) {
        std::string message = "'";
        message += type_name_for_message(value_);
        message += "' object cannot be converted to '";
        message += static_text_;
        message += '\'';
        return message;
    }
    std::string message = static_text_ != nullptr ? std::string(static_text_) : *text_;
    if (number_ >= 0) {
        message += std::to_string(number_);
    }
    return message;
}

PyObject* ErrorValue::lazy_message_object() const {
    if (lazy_kind_ == LazyKind::Message && static_text_ != nullptr) {
        // A fixed text, perhaps with a number: composed on the stack, since the
        // failing lookups of the vocabularies raise these on every miss.
        char buffer[128];
        const size_t length = std::strlen(static_text_);
        if (length + 12 <= sizeof(buffer)) {
            std::memcpy(buffer, static_text_, length);
            char* end = buffer + length;
            if (number_ >= 0) {
                end = std::to_chars(end, buffer + sizeof(buffer), number_).ptr;
            }
            return PyUnicode_FromStringAndSize(buffer, end - buffer);
        }
    }
    std::string message = lazy_message();
    return PyUnicode_FromStringAndSize(message.data(), static_cast<Py_ssize_t>(message.size()));
}

std::pair<PyObject*, PyObject*> ErrorValue::lazy_type_and_argument() const {
    PyObject* type = lazy_kind_ == LazyKind::Panic ? panic_exception_type() : type_;
    PyObject* text = lazy_message_object();
    if (text == nullptr) {
        // Out of memory while making the message: the MemoryError stays pending
        // and is what the caller sees.
        return {nullptr, nullptr};
    }
    // The new reference goes straight to the exception: nothing to release
    // when the guard closes.
    PyObject* argument = text;
    if (lazy_kind_ == LazyKind::Panic) {
        argument = PyTuple_Pack(1, text);
        Py_DECREF(text);
        if (argument == nullptr) {
            return {nullptr, nullptr};
        }
    }
    Py_INCREF(type);
    return {type, argument};
}

// --- Taking errors from the interpreter ----------------------------------------------

std::optional<ErrorValue> ErrorValue::take_unchecked() {
    PyObject *type = nullptr, *value = nullptr, *traceback = nullptr;
    compat::fetch_exception(&type, &value, &traceback);
    if (type == nullptr) {
        Py_XDECREF(value);
        Py_XDECREF(traceback);
        return std::nullopt;
    }
    ErrorValue error(State::Fetched);
    error.type_ = type;
    error.value_ = value;
    error.traceback_ = traceback;
    return error;
}

std::optional<ErrorValue> ErrorValue::take() {
    std::optional<ErrorValue> taken = take_unchecked();
    if (!taken) {
        return taken;
    }
    // Hold the taken error while the PanicException type is obtained: creating
    // it may fail, and then the taken error is dropped with everything else.
    ErrorValue error = std::move(*taken);
    if (error.type_ != panic_exception_type()) {
        return error;
    }
    PyObject* value = error.value_;
    // A PanicException came back out of the interpreter: print it and carry on
    // as a fault with the same text.
    std::string text = UNWRAPPED_PANIC;
    if (value != nullptr) {
        if (PyObject* str = PyObject_Str(value)) {
            text = lossy_text(str);
            Py_DECREF(str);
        } else {
            PyErr_Clear();
        }
    }
    std::fprintf(stderr, "%s\n%s\n", RESUMING_PANIC_LINE, STACK_TRACE_LINE);
    std::move(error).raise();
    PyErr_PrintEx(0);
    resume_fault(std::move(text));
}

ErrorValue ErrorValue::fetch() {
    if (std::optional<ErrorValue> error = take()) {
        return std::move(*error);
    }
    return lazy(PyExc_SystemError, NO_EXCEPTION_SET);
}

// --- Raising and inspecting ----------------------------------------------------------

void ErrorValue::raise() && {
    switch (state_) {
        case State::Lazy: {
            auto [type, argument] = lazy_type_and_argument();
            release_references();
            if (type != nullptr) {
                PyErr_Restore(type, argument, nullptr);
            }
            return;
        }
        case State::Fetched:
        case State::Normalized:
            PyErr_Restore(std::exchange(type_, nullptr), std::exchange(value_, nullptr),
                          std::exchange(traceback_, nullptr));
            state_ = State::Consumed;
            return;
        case State::Normalizing:
        case State::Consumed:
            raise_fault("Cannot raise a PyErr that is being normalized or was consumed.");
    }
}

NormalizedError ErrorValue::normalize() {
    if (state_ == State::Normalized) {
        return {type_, value_, traceback_};
    }
    if (state_ == State::Normalizing) {
        raise_fault("Cannot normalize a PyErr while already normalizing it.");
    }
    PyObject *type = nullptr, *value = nullptr, *traceback = nullptr;
    if (state_ == State::Lazy) {
        auto [lazy_type, argument] = lazy_type_and_argument();
        release_references();
        if (lazy_type == nullptr) {
            // The message could not be made; what is pending is what we normalise.
            compat::fetch_exception(&type, &value, &traceback);
        } else {
            type = lazy_type;
            value = argument;
        }
    } else {
        type = std::exchange(type_, nullptr);
        value = std::exchange(value_, nullptr);
        traceback = std::exchange(traceback_, nullptr);
    }
    state_ = State::Normalizing;
    compat::normalize_exception(&type, &value, &traceback);
    if (type == nullptr) {
        Py_XDECREF(value);
        Py_XDECREF(traceback);
        state_ = State::Consumed;
        raise_fault("Exception type missing");
    }
    if (value == nullptr) {
        Py_DECREF(type);
        Py_XDECREF(traceback);
        state_ = State::Consumed;
        raise_fault("Exception value missing");
    }
    type_ = type;
    value_ = value;
    traceback_ = traceback;
    state_ = State::Normalized;
    return {type_, value_, traceback_};
}

PyObject* ErrorValue::type() const {
    if (state_ == State::Lazy) {
        return lazy_kind_ == LazyKind::Panic ? panic_exception_type() : type_;
    }
    return type_;
}

bool ErrorValue::is_instance_of(PyObject* exception_type) {
    NormalizedError normalized = normalize();
    return PyErr_GivenExceptionMatches(normalized.type, exception_type) != 0;
}

PyObject* ErrorValue::into_instance() && {
    NormalizedError normalized = normalize();
    PyObject* instance = normalized.value;
    Py_INCREF(instance);
    if (normalized.traceback != nullptr) {
        PyException_SetTraceback(instance, normalized.traceback);
    }
    release_references();
    return instance;
}

ErrorValue ErrorValue::wrap(std::string message) && {
    ErrorValue wrapper = runtime_error(std::move(message));
    NormalizedError normalized = wrapper.normalize();
    PyException_SetCause(normalized.value, std::move(*this).into_instance());
    return wrapper;
}

void ErrorValue::print() {
    NormalizedError normalized = normalize();
    Py_INCREF(normalized.type);
    Py_INCREF(normalized.value);
    Py_XINCREF(normalized.traceback);
    PyErr_Restore(normalized.type, normalized.value, normalized.traceback);
    PyErr_PrintEx(0);
}

std::string ErrorValue::debug_form() {
    struct HoldInterpreterLock {
        PyGILState_STATE state = PyGILState_Ensure();
        ~HoldInterpreterLock() { PyGILState_Release(state); }
    } lock;
    NormalizedError normalized = normalize();
    std::string text = "PyErr { type: " + render_object_repr(normalized.type) +
                       ", value: " + render_object_repr(normalized.value) + ", traceback: ";
    if (normalized.traceback != nullptr) {
        text += "Some(" + render_object_repr(normalized.traceback) + ")";
    } else {
        text += "None";
    }
    text += " }";
    return text;
}

}  // namespace tarvu
