#pragma once
// Error values: exceptions that are not raised yet, and the texts of Python
// objects that their messages embed (reading those texts can fail in turn).
//
// Fallible code returns Result<T>; only the call guard raises, once per error.
// An error the module makes itself stays lazy (a type and a message, no Python
// object) until it is raised or inspected; one taken from the interpreter holds
// exactly the type, value and traceback it was taken with.

#include <cassert>
#include <exception>
#include <initializer_list>
#include <new>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

#include "boundary/fault.h"
#include "boundary/owned.h"

namespace tarvu {

inline constexpr const char NO_EXCEPTION_SET[] = "attempted to fetch exception but none was set";
inline constexpr const char INTEGER_OUT_OF_RANGE[] = "out of range integral type conversion attempted";

/// Borrowed views of a normalised error.
struct NormalizedError {
    PyObject* type;
    PyObject* value;
    PyObject* traceback;  // may be null
};

/// A fixed message known at compile time to be ASCII, with its length, so
/// that raising it needs neither strlen nor the UTF-8 decoder.
struct AsciiMessage {
    const char* text;
    size_t length;
    consteval AsciiMessage(const char* static_text) : text(static_text), length(0) {
        while (static_text[length] != '\0') {
            // A non-ASCII byte makes this a call to a non-constant function:
            // such a message does not compile.
            if (static_cast<unsigned char>(static_text[length]) >= 0x80) not_ascii();
            ++length;
        }
    }

private:
    static void not_ascii() {}
};

template <class T>
class Result;

/// An exception not raised yet, as one owned pointer to its payload (null once
/// raised, discarded or moved from): a failing call moves its error a few times
/// on the way to the guard and every Result has room for one, so moving it is a
/// word, and its fields are written once, in the payload.
class [[nodiscard]] ErrorValue {
public:
    // --- Making error values -------------------------------------------------
    /// A general error: RuntimeError carrying exactly `text` (static storage).
    static ErrorValue general(AsciiMessage text);
    /// A general error whose text ends in a number: "{prefix}{number}".
    static ErrorValue general_with_number(AsciiMessage prefix, unsigned number);
    static ErrorValue runtime_error(std::string message) {
        return lazy_composed_text(PyExc_RuntimeError, std::move(message));
    }
    static ErrorValue type_error(std::string message) {
        return lazy_composed_text(PyExc_TypeError, std::move(message));
    }
    /// A lazy error of a builtin exception type whose message is a text with
    /// static storage (a constant): only the pointer is kept, nothing is copied,
    /// so the text must outlive the error.
    static ErrorValue lazy_static_text(PyObject* builtin_type, const char* static_text);
    /// A lazy error of a builtin exception type whose message was composed at
    /// run time: the error takes the string over.
    static ErrorValue lazy_composed_text(PyObject* builtin_type, std::string message);
    /// lazy_static_text for a literal or a constant array, the usual case; a
    /// pointer into a composed string does not bind here.
    template <size_t N>
    static ErrorValue lazy(PyObject* builtin_type, const char (&constant_text)[N]) {
        return lazy_static_text(builtin_type, constant_text);
    }
    /// `object` was not of the type a conversion needed (a PyDowncastError).
    /// Holds the object's type; the message is composed only when needed.
    static ErrorValue conversion_failure(PyObject* object, const char* static_target);
    /// OverflowError for an integer outside the range of its target.
    static ErrorValue integer_out_of_range() { return lazy(PyExc_OverflowError, INTEGER_OUT_OF_RANGE); }
    /// The PanicException that a caught fault becomes; its text is moved, not
    /// copied, as it may be a caller's (a PanicException taken back).
    static ErrorValue from_fault(Fault&& fault);
    /// The interpreter's MemoryError, for an allocation whose size the caller
    /// chose.
    static ErrorValue out_of_memory();

    // --- Errors from the interpreter ----------------------------------------
    /// Takes the pending exception. A PanicException coming back out of the
    /// interpreter is printed and resumed as a fault instead.
    static std::optional<ErrorValue> take();
    /// Like take(), but a missing exception becomes a SystemError.
    static ErrorValue fetch();
    /// fetch() without the PanicException check; for an error known not to be
    /// one, or while a PanicException taken back is being looked at.
    static ErrorValue fetch_unchecked();

    // --- Using error values ---------------------------------------------------
    ErrorValue(ErrorValue&& other) noexcept : payload_(std::exchange(other.payload_, nullptr)) {}
    ErrorValue& operator=(ErrorValue&& other) noexcept {
        if (this != &other) {
            release();
            payload_ = std::exchange(other.payload_, nullptr);
        }
        return *this;
    }
    ErrorValue(const ErrorValue&) = delete;
    ErrorValue& operator=(const ErrorValue&) = delete;
    ~ErrorValue() {
        // A fault unwinding through a frame drops the errors it held on purpose,
        // and so does the unwind that ends a thread at interpreter exit (the
        // only time the module runs without the interpreter lock).
        assert((payload_ == nullptr || std::uncaught_exceptions() > 0 || !compat::holds_interpreter()) &&
               "error value dropped without being raised or discarded");
        // Moved-from values, of which a failing call leaves several, hold nothing.
        release();
    }

    /// Makes this error the interpreter's pending exception (PyErr_Restore only).
    void raise() &&;
    /// Drops the error on purpose.
    void discard() && { release(); }
    /// Normalises (at most once) and returns borrowed type, instance, traceback.
    NormalizedError normalize();
    /// The exception type, without normalising a lazy error.
    PyObject* type() const;
    bool is_lazy() const;
    /// Whether raising may run Python code: a lazy conversion failure reads
    /// its type's `__qualname__` to compose its message.
    bool runs_python_code_when_raised() const;
    /// `prefix` followed by the message a lazy error will be raised with,
    /// composed now in one string; or the error that composing it met (reading
    /// a type's name may be interrupted, and memory may run out).
    Result<std::string> lazy_message(std::string_view prefix = {}) const;
    /// Whether the exception is an instance of `exception_type` (subclasses count).
    bool is_instance_of(PyObject* exception_type);
    /// A RuntimeError carrying `message` whose __cause__ is this error.
    ErrorValue wrap(std::string message) &&;
    /// Prints a copy through the interpreter; the error is left as it was.
    void print();
    /// "PyErr { type: ..., value: ..., traceback: ... }"; callable without the
    /// interpreter lock.
    std::string debug_form();

private:
    /// The error's state and the references it owns (error_value.cpp).
    struct Payload;

    explicit ErrorValue(Payload* payload) : payload_(payload) {}
    static ErrorValue fetched(Owned type, Owned value, Owned traceback);
    /// Frees the payload, releasing its references; out of line so that
    /// dropping a moved-from value stays a null test.
    static void destroy(Payload* payload) noexcept;
    void release() noexcept {
        if (payload_ != nullptr) {
            destroy(std::exchange(payload_, nullptr));
        }
    }
    /// For a lazy error: the exception type and the argument it is raised with
    /// (both empty, with the error set, if the argument could not be made).
    std::pair<Owned, Owned> lazy_type_and_argument() const;
    /// The exception instance the interpreter would make by calling `type` with
    /// `argument` (a message, or a tuple of arguments); empty with the error
    /// set on failure.
    static Owned new_exception_instance(PyObject* type, Owned argument);
    /// The message as a new str (empty with the error set on failure).
    Owned lazy_message_object() const;
    /// `prefix` and the message of a lazy conversion failure, in one string.
    Result<std::string> conversion_message(std::string_view prefix) const;
    /// Calls `use` with a view of the message a lazy error other than a
    /// conversion failure is raised with.
    template <class Use>
    auto with_lazy_message(Use&& use) const;
    /// Consumes the error; its instance, with its traceback attached.
    Owned into_instance() &&;

    Payload* payload_;
};

// Every Result has room for one, and a failing call moves it several times.
static_assert(sizeof(ErrorValue) == sizeof(void*), "an error value is one pointer wide");

/// Raises a fault whose text is `prefix` followed by the debug form of `error`;
/// for C-API failures the module cannot recover from.
[[noreturn]] void fault_describing(std::string_view prefix, ErrorValue error,
                                   SourceLocation where = SourceLocation::current());

/// The process-wide PanicException type (borrowed), created on first need;
/// null, with the interpreter's error pending, when it cannot be created.
PyObject* panic_exception_type();

/// A value or an error value. A tagged union rather than std::variant: every
/// entry point returns one, and this keeps the success path to a flag test.
template <class T>
class [[nodiscard]] Result {
public:
    Result(T value) : ok_(true) { new (&value_) T(std::move(value)); }
    Result(ErrorValue error) : ok_(false) { new (&error_) ErrorValue(std::move(error)); }
    Result(Result&& other) noexcept : ok_(other.ok_) {
        if (ok_) {
            new (&value_) T(std::move(other.value_));
        } else {
            new (&error_) ErrorValue(std::move(other.error_));
        }
    }
    Result(const Result&) = delete;
    Result& operator=(const Result&) = delete;
    Result& operator=(Result&&) = delete;
    ~Result() {
        if (ok_) {
            value_.~T();
        } else {
            error_.~ErrorValue();
        }
    }

    bool ok() const { return ok_; }
    // Reading the wrong member of the union is undefined: checked where
    // assertions are on (debug builds and the C++ tests).
    T& value() & {
        assert(ok_ && "value() of a failed Result");
        return value_;
    }
    T&& value() && {
        assert(ok_ && "value() of a failed Result");
        return std::move(value_);
    }
    ErrorValue&& error() && {
        assert(!ok_ && "error() of a successful Result");
        return std::move(error_);
    }
    ErrorValue& error() & {
        assert(!ok_ && "error() of a successful Result");
        return error_;
    }

private:
    union {
        T value_;
        ErrorValue error_;
    };
    bool ok_;
};

/// Success without a value.
struct Ok {};
using Status = Result<Ok>;

/// Errors that the module passes on where it would otherwise drop an error
/// for a placeholder or an answer: an interrupt or exit request (anything
/// outside Exception), exhausted memory and the recursion limit. Dropping them
/// would report a failure as success and lose a Ctrl-C.
inline bool must_propagate(const ErrorValue& error) {
    PyObject* type = error.type();
    return !PyErr_GivenExceptionMatches(type, PyExc_Exception) ||
           PyErr_GivenExceptionMatches(type, PyExc_MemoryError) ||
           PyErr_GivenExceptionMatches(type, PyExc_RecursionError);
}

// --- Texts of Python objects, as messages embed them -----------------------------

/// A borrowed view of a str's UTF-8 form, valid while the str lives; the
/// codec's error (a lone surrogate) when it has none.
Result<std::string_view> utf8_view(PyObject* str);

/// UTF-8 text borrowed from a str that `owner` keeps alive; an empty owner
/// means the text is a constant or borrowed from a str the caller holds.
struct HeldText {
    Owned owner;
    std::string_view text;
};

/// An object's text as a message shows it: `before`, `text` and `after` in a
/// row (a placeholder wraps a type name), borrowed from `owner` or constant.
struct RenderedText {
    Owned owner;
    std::string_view before;
    std::string_view text;
    std::string_view after;
};

/// Joins the pieces of a message that embeds caller text into the one copy
/// made of it. The caller chooses that text's size, so an allocation that
/// cannot be had is a MemoryError instead of the module's allocation-failure
/// abort.
Result<std::string> compose_message(std::initializer_list<std::string_view> pieces);

/// UTF-8 text of a str, borrowed from it; a str the codec refuses (lone
/// surrogates) is encoded with "surrogatepass" and every invalid sequence
/// replaced by U+FFFD, in a new str that the result holds. Fails only with a
/// MemoryError (or what must_propagate passes on).
Result<HeldText> lossy_text(PyObject* str);

/// The `__qualname__` of a type, if it can be read and is a str. A failure of
/// the read is dropped (no name) unless must_propagate passes it on: the name
/// may be computed by Python code, where a Ctrl-C must not be lost.
Result<std::optional<HeldText>> type_qualname(PyObject* type);

/// The type name used in conversion messages, with its fixed fallback.
Result<HeldText> type_name_for_message(PyObject* type);

/// The str() text of an object for a message. An object whose str() fails in
/// an ordinary way is reported as unraisable and shown as
/// "<unprintable {type} object>"; an interrupt, exhausted memory or the
/// recursion limit is passed on.
Result<RenderedText> render_object(PyObject* object);

/// The same with repr(), for debug forms, as one string: a failure that
/// render_object would pass on is reported as unraisable there too, since a
/// fault text has no way to carry it.
std::string render_object_repr(PyObject* object);

}  // namespace tarvu

/// Passes a failed Status on: returns its error from the enclosing function.
/// A statement, `TARVU_TRY(step());`; a Result that carries a value is
/// written out where it is used.
#define TARVU_TRY(expression)                                                      \
    if (::tarvu::Status tarvu_try_status = (expression); !tarvu_try_status.ok()) { \
        return std::move(tarvu_try_status).error();                                \
    }                                                                              \
    static_assert(true)
