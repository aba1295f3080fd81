#pragma once
// Internal faults: failures the module does not handle where they happen.
//
// A fault is thrown as a C++ exception and caught only by the call guard, which
// turns it into a PanicException. Expected failures never throw: they travel as
// error values (error_value.h).

#include <string>
#include <string_view>
#include <utility>

namespace tarvu {

/// Where a fault arose. The builtins (GCC and clang alike) take the caller's
/// position when used as default arguments; std::source_location would rule
/// out the older clang that builds the fuzzing harness.
struct SourceLocation {
    const char* file;
    unsigned line;
    static constexpr SourceLocation current(const char* file = __builtin_FILE(), unsigned line = __builtin_LINE()) {
        return {file, line};
    }
};

/// The payload of an internal fault. Carries a text, or none at all.
class Fault {
public:
    static Fault with_text(std::string text) { return Fault(std::move(text), true); }
    static Fault without_text() { return Fault({}, false); }

    bool has_text() const { return has_text_; }
    const std::string& text() const& { return text_; }
    /// Moves the text out: it may be a caller's text of any size.
    std::string text() && { return std::move(text_); }

private:
    Fault(std::string text, bool has_text) : text_(std::move(text)), has_text_(has_text) {}
    std::string text_;
    bool has_text_;
};

/// Reports the fault on standard error (text and where it arose), then throws it.
[[noreturn]] void raise_fault(std::string_view text, SourceLocation where = SourceLocation::current());

/// Throws a fault without reporting it; for a fault that was already reported
/// elsewhere (a PanicException coming back out of the interpreter).
[[noreturn]] void resume_fault(std::string text);

/// A C-API constructor returned null, or the interpreter passed null where it
/// must pass an object: print whatever is pending, then fault.
[[noreturn]] void api_call_failed(SourceLocation where = SourceLocation::current());

/// The module's own heap allocation failed: such a failure is never turned into
/// an exception; the process says so on standard error and aborts.
[[noreturn]] void abort_on_allocation_failure();

/// Aborts after a fault escaped the call guard's fault catch.
[[noreturn]] void abort_uncaught_fault(const char* trap_message);

}  // namespace tarvu
