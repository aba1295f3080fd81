#pragma once
// Helpers shared by the C++ tests. The interpreter is started once per process
// by main.cpp; every test runs on the main thread, which holds the interpreter
// lock throughout.

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <utility>

#include "boundary/call_guard.h"
#include "boundary/error_value.h"

namespace tarvu::test {

/// A strong reference held by a test. Released at once: tests hold the
/// interpreter lock, so nothing needs to go through POOL.
class Ref {
public:
    Ref() = default;
    /// Takes over a new reference (may be null).
    explicit Ref(PyObject* object) : object_(object) {}
    static Ref borrowed(PyObject* object) {
        Py_XINCREF(object);
        return Ref(object);
    }
    Ref(Ref&& other) noexcept : object_(std::exchange(other.object_, nullptr)) {}
    Ref& operator=(Ref&& other) noexcept {
        std::swap(object_, other.object_);
        return *this;
    }
    Ref(const Ref&) = delete;
    Ref& operator=(const Ref&) = delete;
    ~Ref() { Py_XDECREF(object_); }

    PyObject* get() const { return object_; }
    PyObject* release() { return std::exchange(object_, nullptr); }
    explicit operator bool() const { return object_ != nullptr; }

private:
    PyObject* object_ = nullptr;
};

/// Runs statements in __main__; a Python error is printed and fails the test.
void run_python(const char* code);

/// Evaluates an expression in __main__; null (and a test failure) on error.
Ref eval_python(const char* expression);

/// Memory blocks in use (sys.getallocatedblocks) once freed objects are given
/// back: the free-threaded build gives freed memory back only at a safe point,
/// which a collection reaches, so the count follows one.
Py_ssize_t blocks_in_use();

/// str() of an object as UTF-8 (with surrogates made visible as U+FFFD).
std::string str_of(PyObject* object);

/// The __name__ of an exception type, or of the type of an exception instance.
std::string type_name_of(PyObject* type_or_instance);

/// The pending exception, normalised and cleared; all null (and a test failure)
/// when nothing is pending.
struct Raised {
    Ref type;
    Ref value;
    Ref traceback;
};
Raised take_raised();

/// What an error value turns into when the call guard raises it.
struct Described {
    std::string type;
    std::string message;
    bool operator==(const Described&) const = default;
};
inline void PrintTo(const Described& described, std::ostream* out) {
    *out << described.type << ": \"" << described.message << '"';
}
/// Raises the error value and describes the exception it became.
Described describe(ErrorValue&& error);
/// Describes the exception pending right now, and clears it.
Described describe_pending();

/// A call guard opened for the lifetime of the object, so that a test calls
/// the frame the way an entry point does.
class GuardScope {
public:
    GuardScope() : pool_(open_call_guard()) {}
    GuardScope(const GuardScope&) = delete;
    GuardScope& operator=(const GuardScope&) = delete;
    ~GuardScope() { close_call_guard(pool_); }

private:
    GILPool pool_;
};

/// Runs inside one call guard and must leave no exception pending.
class FrameTest : public ::testing::Test {
protected:
    void TearDown() override;

private:
    GuardScope guard_;
};

/// Runs `scenario` in a fresh copy of this process (own interpreter, own
/// process-wide state) and fails unless it records no failure there. For
/// scenarios that use up once-per-process state.
void expect_in_fresh_process(const std::function<void()>& scenario);

}  // namespace tarvu::test
