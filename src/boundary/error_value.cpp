#include "boundary/error_value.h"

#include <charconv>
#include <cstdio>
#include <cstring>
#include <new>

#include "boundary/shared_state.h"
#include "boundary/text.h"

namespace tarvu {

PyObject* PANIC_EXCEPTION_TYPE = nullptr;  // filled once, through publish_if_empty
PyObject* QUALNAME_NAME = nullptr;         // filled once by interned_once

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

constexpr const char FAILED_TYPE_NAME[] = "<failed to extract type name>";

/// An exception as the interpreter's fetch/normalise calls hand it over.
struct ExceptionTriple {
    Owned type;
    Owned value;
    Owned traceback;  // may be empty
};

/// Takes the pending exception, if any (all three empty when none).
ExceptionTriple fetch_pending() {
    PyObject *type = nullptr, *value = nullptr, *traceback = nullptr;
    compat::fetch_exception(&type, &value, &traceback);
    return {Owned::steal(type), Owned::steal(value), Owned::steal(traceback)};
}

/// Normalises a raw exception: an instance of its type as value, or whatever
/// error normalising it raised instead.
ExceptionTriple normalized(ExceptionTriple raw) {
    PyObject* type = raw.type.release();
    PyObject* value = raw.value.release();
    PyObject* traceback = raw.traceback.release();
    compat::normalize_exception(&type, &value, &traceback);
    return {Owned::steal(type), Owned::steal(value), Owned::steal(traceback)};
}

/// The fault text of a PanicException taken back: its str() text, of which
/// this makes the one copy the fault carries. A value that is missing or whose
/// str() fails in an ordinary way gives the fixed text; what must_propagate
/// passes on (other than another PanicException) is the result instead.
Result<std::string> panic_text(PyObject* value, PyObject* panic_type) {
    if (value == nullptr) {
        return std::string(UNWRAPPED_PANIC);
    }
    Owned str = Owned::steal(PyObject_Str(value));
    if (!str) {
        ErrorValue failure = ErrorValue::fetch_unchecked();
        if (must_propagate(failure) && failure.type() != panic_type) {
            return failure;
        }
        std::move(failure).discard();
        return std::string(UNWRAPPED_PANIC);
    }
    Result<HeldText> lossy = lossy_text(str.get());
    if (!lossy.ok()) {
        return std::move(lossy).error();
    }
    return compose_message({lossy.value().text});
}

}  // namespace

PyObject* panic_exception_type() {
    if (PyObject* type = load_published(PANIC_EXCEPTION_TYPE)) {
        return type;
    }
    Owned created = Owned::steal(
        PyErr_NewExceptionWithDoc(PANIC_EXCEPTION_NAME, PANIC_EXCEPTION_DOC, PyExc_BaseException, nullptr));
    if (!created) {
        // Not a fault: the type is needed to raise one, and describing the
        // failure would take errors back, which asks for the type again. Out of
        // memory that loop never ends; the caller gets the interpreter's error.
        return nullptr;
    }
    // Creating the type may run code (or, without an interpreter lock, another
    // thread) that fills the cell first; keep the first.
    if (publish_if_empty(PANIC_EXCEPTION_TYPE, created.get())) {
        static_cast<void>(created.release());  // the cell owns it now
    }
    return load_published(PANIC_EXCEPTION_TYPE);
}

void fault_describing(std::string_view prefix, ErrorValue error, SourceLocation where) {
    std::string description = std::string(prefix) + error.debug_form();
    std::move(error).discard();
    raise_fault(description, where);
}

// --- The payload -----------------------------------------------------------------

struct ErrorValue::Payload {
    /// Lazy: no Python object yet. Fetched: as PyErr_Fetch gave it. Normalized:
    /// type, instance, traceback. Normalizing: in between, for the time of one
    /// PyErr_NormalizeException call, which may run Python code.
    enum class State : uint8_t { Lazy, Fetched, Normalized, Normalizing };
    enum class LazyKind : uint8_t { Message, Conversion, Panic };

    /// A new payload. Its size is the module's own, so running out of memory
    /// for it is the allocation-failure abort, wherever an error is made; an
    /// error that embeds caller text has made that text fallibly beforehand.
    static Payload* make(State state) {
        auto* payload = new (std::nothrow) Payload;
        if (payload == nullptr) [[unlikely]] {
            abort_on_allocation_failure();
        }
        payload->state = state;
        return payload;
    }
    // Type, value, traceback, in that order rather than the members' reverse:
    // a finaliser run by the last of these releases sees what it always has.
    ~Payload() { release_references(); }
    void release_references() noexcept {
        type.reset();
        value.reset();
        traceback.reset();
    }

    State state = State::Lazy;
    LazyKind lazy_kind = LazyKind::Message;
    int number = -1;  // lazy: number appended to the message
    // lazy: a builtin exception type; those live as long as the interpreter,
    // so it is borrowed
    PyObject* lazy_type = nullptr;
    Owned type;       // fetched/normalized
    Owned value;      // fetched/normalized; lazy conversion: the type of the object that failed to convert
    Owned traceback;  // fetched/normalized; may be empty
    // lazy: a fixed message, or the target of a conversion
    const char* static_text = nullptr;
    size_t ascii_length = 0;  // lazy: length of an ASCII static_text, 0 if not known
    std::string text;         // lazy: a composed message or fault text
};

void ErrorValue::destroy(Payload* payload) noexcept {
    // Its references go through Owned, which defers them to POOL when the
    // thread does not hold the interpreter.
    delete payload;
}

ErrorValue ErrorValue::general(AsciiMessage text) {
    ErrorValue error = lazy_static_text(PyExc_RuntimeError, text.text);
    error.payload_->ascii_length = text.length;
    return error;
}

ErrorValue ErrorValue::general_with_number(AsciiMessage prefix, unsigned number) {
    ErrorValue error = general(prefix);
    error.payload_->number = static_cast<int>(number);
    return error;
}

ErrorValue ErrorValue::lazy_static_text(PyObject* builtin_type, const char* static_text) {
    ErrorValue error(Payload::make(Payload::State::Lazy));
    error.payload_->lazy_type = builtin_type;
    error.payload_->static_text = static_text;
    return error;
}

ErrorValue ErrorValue::lazy_composed_text(PyObject* builtin_type, std::string message) {
    ErrorValue error(Payload::make(Payload::State::Lazy));
    error.payload_->lazy_type = builtin_type;
    error.payload_->text = std::move(message);
    return error;
}

ErrorValue ErrorValue::conversion_failure(PyObject* object, const char* static_target) {
    ErrorValue error(Payload::make(Payload::State::Lazy));
    Payload& payload = *error.payload_;
    payload.lazy_kind = Payload::LazyKind::Conversion;
    payload.lazy_type = PyExc_TypeError;
    payload.value = Owned::new_ref(reinterpret_cast<PyObject*>(Py_TYPE(object)));
    payload.static_text = static_target;
    return error;
}

ErrorValue ErrorValue::from_fault(Fault&& fault) {
    ErrorValue error(Payload::make(Payload::State::Lazy));
    Payload& payload = *error.payload_;
    payload.lazy_kind = Payload::LazyKind::Panic;  // the type is obtained only when raised
    if (fault.has_text()) {
        payload.text = std::move(fault).text();
    } else {
        payload.static_text = FAULT_WITHOUT_TEXT;
    }
    return error;
}

ErrorValue ErrorValue::out_of_memory() {
    PyErr_NoMemory();
    // A MemoryError is never a PanicException: no need to compare.
    return fetch_unchecked();
}

bool ErrorValue::is_lazy() const {
    return payload_ != nullptr && payload_->state == Payload::State::Lazy;
}

bool ErrorValue::runs_python_code_when_raised() const {
    return is_lazy() && payload_->lazy_kind == Payload::LazyKind::Conversion;
}

// --- Lazy errors -----------------------------------------------------------------

Result<std::string> ErrorValue::conversion_message(std::string_view prefix) const {
    // The type's name is the caller's text (any class can set its
    // __qualname__), so the message is composed in one allocation that may
    // fail as a MemoryError.
    Result<HeldText> type_name = type_name_for_message(payload_->value.get());
    if (!type_name.ok()) {
        return std::move(type_name).error();
    }
    return compose_message(
        {prefix, "'", type_name.value().text, "' object cannot be converted to '", payload_->static_text, "'"});
}

template <class Use>
auto ErrorValue::with_lazy_message(Use&& use) const {
    const std::string_view text =
        payload_->static_text != nullptr ? std::string_view(payload_->static_text) : std::string_view(payload_->text);
    if (payload_->number < 0) {
        return use(text);
    }
    // The failing lookups of the vocabularies raise a fixed text with a number
    // on every miss: compose those on the stack.
    char buffer[128];
    if (text.size() + 12 <= sizeof(buffer)) {
        std::memcpy(buffer, text.data(), text.size());
        char* end = std::to_chars(buffer + text.size(), buffer + sizeof(buffer), payload_->number).ptr;
        return use(std::string_view(buffer, static_cast<size_t>(end - buffer)));
    }
    return use(std::string_view(std::string(text) + std::to_string(payload_->number)));
}

Result<std::string> ErrorValue::lazy_message(std::string_view prefix) const {
    if (payload_->lazy_kind == Payload::LazyKind::Conversion) {
        return conversion_message(prefix);
    }
    return with_lazy_message([&](std::string_view message) { return compose_message({prefix, message}); });
}

Owned ErrorValue::lazy_message_object() const {
    if (payload_->ascii_length > 0) {
        // The failing lookups of the vocabularies raise these on every miss, so
        // the text goes straight into the str.
        char digits[16];
        size_t digit_count = 0;
        if (payload_->number >= 0) {
            digit_count =
                static_cast<size_t>(std::to_chars(digits, digits + sizeof(digits), payload_->number).ptr - digits);
        }
        return Owned::steal(new_ascii_str(std::string_view(payload_->static_text, payload_->ascii_length),
                                          std::string_view(digits, digit_count)));
    }
    if (payload_->lazy_kind == Payload::LazyKind::Conversion) {
        Result<std::string> message = conversion_message({});
        if (!message.ok()) {
            // Reading the type's name was interrupted, or memory ran out: that
            // error, left pending, is what the caller sees.
            std::move(message).error().raise();
            return {};
        }
        const std::string& text = message.value();
        return Owned::steal(PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size())));
    }
    return with_lazy_message([](std::string_view message) {
        return Owned::steal(PyUnicode_FromStringAndSize(message.data(), static_cast<Py_ssize_t>(message.size())));
    });
}

std::pair<Owned, Owned> ErrorValue::lazy_type_and_argument() const {
    Owned text = lazy_message_object();
    if (!text) {
        // Out of memory while making the message: the MemoryError stays pending
        // and is what the caller sees.
        return {};
    }
    if (payload_->lazy_kind != Payload::LazyKind::Panic) {
        return {Owned::new_ref(payload_->lazy_type), std::move(text)};
    }
    Owned argument = Owned::steal(PyTuple_Pack(1, text.get()));
    if (!argument) {
        return {};
    }
    PyObject* panic_type = panic_exception_type();
    if (panic_type == nullptr) {
        // A fault cannot become a PanicException without its type: the
        // creation error (a MemoryError) is raised instead.
        return {};
    }
    return {Owned::new_ref(panic_type), std::move(argument)};
}

Owned ErrorValue::new_exception_instance(PyObject* type, Owned argument) {
    // Exceptions are constructed from an argument tuple; a panic's argument
    // already is one.
    Owned arguments = std::move(argument);
    if (!PyTuple_Check(arguments.get())) {
        Owned tuple = Owned::steal(PyTuple_New(1));
        if (!tuple) {
            return {};
        }
        PyTuple_SET_ITEM(tuple.get(), 0, arguments.release());
        arguments = std::move(tuple);
    }
    auto* exception_type = reinterpret_cast<PyTypeObject*>(type);
    Owned instance = Owned::steal(exception_type->tp_new(exception_type, arguments.get(), nullptr));
    // BaseException's __new__ already stores the arguments, so its __init__
    // would only store them again.
    const initproc base_init = reinterpret_cast<PyTypeObject*>(PyExc_BaseException)->tp_init;
    if (instance && exception_type->tp_init != base_init &&
        exception_type->tp_init(instance.get(), arguments.get(), nullptr) < 0) {
        instance.reset();
    }
    return instance;
}

// --- Taking errors from the interpreter ----------------------------------------------

ErrorValue ErrorValue::fetched(Owned type, Owned value, Owned traceback) {
    ErrorValue error(Payload::make(Payload::State::Fetched));
    Payload& payload = *error.payload_;
    payload.type = std::move(type);
    payload.value = std::move(value);
    payload.traceback = std::move(traceback);
    return error;
}

ErrorValue ErrorValue::fetch_unchecked() {
    ExceptionTriple pending = fetch_pending();
    if (!pending.type) {
        return lazy(PyExc_SystemError, NO_EXCEPTION_SET);
    }
    return fetched(std::move(pending.type), std::move(pending.value), std::move(pending.traceback));
}

std::optional<ErrorValue> ErrorValue::take() {
    ExceptionTriple pending = fetch_pending();
    if (!pending.type) {
        return std::nullopt;
    }
    ErrorValue error = fetched(std::move(pending.type), std::move(pending.value), std::move(pending.traceback));
    // The first take creates the PanicException type, as it always has (in a
    // normal import, at the first add step). If that fails, the taken error
    // goes on and the creation error is dropped: no exception can be of a
    // type that does not exist yet.
    PyObject* panic_type = panic_exception_type();
    if (panic_type == nullptr) [[unlikely]] {
        PyErr_Clear();
        return error;
    }
    if (error.payload_->type.get() != panic_type) {
        return error;
    }
    // A PanicException came back out of the interpreter: print it and carry on
    // as a fault with the same text.
    Result<std::string> text = panic_text(error.payload_->value.get(), panic_type);
    std::fprintf(stderr, "%s\n%s\n", RESUMING_PANIC_LINE, STACK_TRACE_LINE);
    std::move(error).raise();
    PyErr_PrintEx(0);
    if (!text.ok()) {
        // Its str() was interrupted, or its text could not be copied: the
        // panic has been printed, and that error is what the caller sees.
        return std::move(text).error();
    }
    resume_fault(std::move(text).value());
}

ErrorValue ErrorValue::fetch() {
    if (std::optional<ErrorValue> error = take()) {
        return std::move(*error);
    }
    return lazy(PyExc_SystemError, NO_EXCEPTION_SET);
}

// --- Raising and inspecting ----------------------------------------------------------

void ErrorValue::raise() && {
    using State = Payload::State;
    if (payload_ == nullptr || payload_->state == State::Normalizing) {
        raise_fault("Cannot raise a PyErr that is being normalized or was consumed.");
    }
    if (payload_->state == State::Lazy) {
        auto [type, argument] = lazy_type_and_argument();
        release();
        if (!type) {
            return;
        }
        // The instance is made here rather than by the interpreter when the
        // exception is caught: the same object, without the detour through
        // calling the type. Failing to make it leaves its MemoryError pending.
        Owned instance = new_exception_instance(type.get(), std::move(argument));
        if (instance) {
            PyErr_Restore(type.release(), instance.release(), nullptr);
        }
        return;
    }
    // Fetched or normalised: handed over exactly as held.
    Payload& payload = *payload_;
    PyErr_Restore(payload.type.release(), payload.value.release(), payload.traceback.release());
    release();
}

NormalizedError ErrorValue::normalize() {
    using State = Payload::State;
    if (payload_ == nullptr) {
        // Raised or moved from: there is nothing left to normalise.
        raise_fault("Exception type missing");
    }
    Payload& payload = *payload_;
    if (payload.state == State::Normalized) {
        return {payload.type.get(), payload.value.get(), payload.traceback.get()};
    }
    if (payload.state == State::Normalizing) {
        raise_fault("Cannot normalize a PyErr while already normalizing it.");
    }
    ExceptionTriple raw;
    if (payload.state == State::Lazy) {
        auto [lazy_type, argument] = lazy_type_and_argument();
        // The payload is kept for the normalised state; its lazy fields are
        // read only while it is lazy.
        payload.release_references();
        if (!lazy_type) {
            // The message could not be made; what is pending is what we normalise.
            raw = fetch_pending();
        } else {
            raw = {std::move(lazy_type), std::move(argument), Owned()};
        }
    } else {
        raw = {std::move(payload.type), std::move(payload.value), std::move(payload.traceback)};
    }
    payload.state = State::Normalizing;
    ExceptionTriple result = normalized(std::move(raw));
    if (!result.type) {
        release();
        raise_fault("Exception type missing");
    }
    if (!result.value) {
        release();
        raise_fault("Exception value missing");
    }
    payload.type = std::move(result.type);
    payload.value = std::move(result.value);
    payload.traceback = std::move(result.traceback);
    payload.state = State::Normalized;
    return {payload.type.get(), payload.value.get(), payload.traceback.get()};
}

PyObject* ErrorValue::type() const {
    if (payload_ == nullptr) {
        return nullptr;
    }
    if (payload_->state == Payload::State::Lazy) {
        if (payload_->lazy_kind != Payload::LazyKind::Panic) {
            return payload_->lazy_type;
        }
        if (PyObject* panic_type = panic_exception_type()) {
            return panic_type;
        }
        // Asked only to decide whether an error is of some builtin type: the
        // base answers every such question as the PanicException type would.
        PyErr_Clear();
        return PyExc_BaseException;
    }
    return payload_->type.get();
}

bool ErrorValue::is_instance_of(PyObject* exception_type) {
    NormalizedError normalized = normalize();
    return PyErr_GivenExceptionMatches(normalized.type, exception_type) != 0;
}

Owned ErrorValue::into_instance() && {
    NormalizedError normalized = normalize();
    if (normalized.traceback != nullptr) {
        PyException_SetTraceback(normalized.value, normalized.traceback);
    }
    Owned instance = std::move(payload_->value);
    release();
    return instance;
}

ErrorValue ErrorValue::wrap(std::string message) && {
    ErrorValue wrapper = runtime_error(std::move(message));
    NormalizedError normalized = wrapper.normalize();
    PyException_SetCause(normalized.value, std::move(*this).into_instance().release());
    return wrapper;
}

void ErrorValue::print() {
    NormalizedError normalized = normalize();
    // The error keeps its own references: the interpreter gets new ones.
    PyErr_Restore(new_reference(normalized.type), new_reference(normalized.value),
                  new_reference_or_null(normalized.traceback));
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

// --- Texts of Python objects ------------------------------------------------------

Result<std::string_view> utf8_view(PyObject* str) {
    Py_ssize_t size = 0;
    const char* data = PyUnicode_AsUTF8AndSize(str, &size);
    if (data == nullptr) {
        return ErrorValue::fetch();
    }
    return std::string_view(data, static_cast<size_t>(size));
}

Result<std::string> compose_message(std::initializer_list<std::string_view> pieces) {
    size_t length = 0;
    for (std::string_view piece : pieces) {
        length += piece.size();
    }
    try {
        std::string message;
        message.reserve(length);
        for (std::string_view piece : pieces) {
            message += piece;
        }
        return message;
    } catch (const std::bad_alloc&) {
        return ErrorValue::out_of_memory();
    }
}

namespace {

/// Drops an error met while reading a text for a message, for the
/// placeholder; returns it instead when it must reach the caller.
std::optional<ErrorValue> unless_propagating(ErrorValue error) {
    if (must_propagate(error)) {
        return error;
    }
    std::move(error).discard();
    return std::nullopt;
}

}  // namespace

Result<HeldText> lossy_text(PyObject* str) {
    Result<std::string_view> text = utf8_view(str);
    if (text.ok()) {
        return HeldText{Owned(), text.value()};
    }
    if (std::optional<ErrorValue> error = unless_propagating(std::move(text).error())) {
        return std::move(*error);
    }
    // The encoder and the decoder below fail only when memory runs out, and the
    // text is the caller's, of any size: that MemoryError is passed on.
    Owned bytes = Owned::steal(PyUnicode_AsEncodedString(str, "utf-8", "surrogatepass"));
    if (!bytes) {
        return ErrorValue::fetch();
    }
    Owned repaired =
        Owned::steal(PyUnicode_DecodeUTF8(PyBytes_AS_STRING(bytes.get()), PyBytes_GET_SIZE(bytes.get()), "replace"));
    if (!repaired) {
        return ErrorValue::fetch();
    }
    bytes.reset();
    Result<std::string_view> repaired_text = utf8_view(repaired.get());
    if (!repaired_text.ok()) {
        return std::move(repaired_text).error();
    }
    return HeldText{std::move(repaired), repaired_text.value()};
}

Result<std::optional<HeldText>> type_qualname(PyObject* type) {
    Owned qualname = Owned::steal(PyObject_GetAttr(type, interned_once(QUALNAME_NAME, "__qualname__")));
    if (!qualname) {
        if (std::optional<ErrorValue> error = unless_propagating(ErrorValue::fetch())) {
            return std::move(*error);
        }
        return std::optional<HeldText>();
    }
    if (!PyUnicode_Check(qualname.get())) {
        return std::optional<HeldText>();
    }
    Result<std::string_view> text = utf8_view(qualname.get());
    if (!text.ok()) {
        if (std::optional<ErrorValue> error = unless_propagating(std::move(text).error())) {
            return std::move(*error);
        }
        return std::optional<HeldText>();
    }
    return std::optional<HeldText>(HeldText{std::move(qualname), text.value()});
}

Result<HeldText> type_name_for_message(PyObject* type) {
    Result<std::optional<HeldText>> name = type_qualname(type);
    if (!name.ok()) {
        return std::move(name).error();
    }
    if (!name.value()) {
        return HeldText{Owned(), FAILED_TYPE_NAME};
    }
    return std::move(*name.value());
}

namespace {

/// The text `to_text` (str or repr) makes of an object, with the unprintable
/// fallbacks.
Result<RenderedText> render_with(PyObject* object, PyObject* (*to_text)(PyObject*)) {
    if (Owned text = Owned::steal(to_text(object))) {
        Result<HeldText> lossy = lossy_text(text.get());
        if (!lossy.ok()) {
            return std::move(lossy).error();
        }
        HeldText& held = lossy.value();
        // The text is borrowed from the repaired str, if there is one, or else
        // from the str that to_text made.
        return RenderedText{held.owner ? std::move(held.owner) : std::move(text), {}, held.text, {}};
    }
    ErrorValue error = ErrorValue::fetch();
    if (must_propagate(error)) {
        return error;
    }
    std::move(error).raise();
    PyErr_WriteUnraisable(object);
    Result<std::optional<HeldText>> name = type_qualname(reinterpret_cast<PyObject*>(Py_TYPE(object)));
    if (!name.ok()) {
        return std::move(name).error();
    }
    if (!name.value()) {
        return RenderedText{Owned(), "<unprintable object>", {}, {}};
    }
    HeldText& held = *name.value();
    return RenderedText{std::move(held.owner), "<unprintable ", held.text, " object>"};
}

}  // namespace

Result<RenderedText> render_object(PyObject* object) {
    return render_with(object, &PyObject_Str);
}

std::string render_object_repr(PyObject* object) {
    Result<RenderedText> rendered = render_with(object, &PyObject_Repr);
    if (!rendered.ok()) {
        std::move(rendered).error().raise();
        PyErr_WriteUnraisable(object);
        return "<unprintable object>";
    }
    const RenderedText& text = rendered.value();
    std::string joined(text.before);
    joined += text.text;
    joined += text.after;
    return joined;
}

}  // namespace tarvu
