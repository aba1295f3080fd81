#pragma once
// The owned-reference handle.

#include <cassert>
#include <utility>

#include "boundary/compat.h"

namespace tarvu {

/// Queues one release in POOL, to be made by the next call guard that opens on
/// any thread (defined with the pool).
void queue_decref(PyObject* object);

/// Owns exactly one strong reference, or nothing. The release is made at once
/// when the thread holds the interpreter, which is whenever the module runs
/// but one case: a thread that the interpreter ends at exit (pthread_exit
/// while it waits for the lock) unwinds through the module's frames without
/// it, and a count changed then would race the finalising thread, so the
/// release is queued in POOL instead. That choice is made here and nowhere else.
class Owned {
public:
    Owned() = default;
    Owned(const Owned&) = delete;
    Owned& operator=(const Owned&) = delete;
    Owned(Owned&& other) noexcept : object_(std::exchange(other.object_, nullptr)) {}
    Owned& operator=(Owned&& other) noexcept {
        if (this != &other) {
            reset();
            object_ = std::exchange(other.object_, nullptr);
        }
        return *this;
    }
    ~Owned() { reset(); }

    /// Takes over a reference the caller owns (may be null).
    [[nodiscard]] static Owned steal(PyObject* object) { return Owned(object); }
    /// Adds a reference to a borrowed object (may be null) and owns it.
    [[nodiscard]] static Owned new_ref(PyObject* object) {
        Py_XINCREF(object);
        return Owned(object);
    }

    PyObject* get() const { return object_; }
    /// Hands the reference to the caller (usually the interpreter).
    [[nodiscard]] PyObject* release() { return std::exchange(object_, nullptr); }
    explicit operator bool() const { return object_ != nullptr; }

    void reset() {
        if (PyObject* object = std::exchange(object_, nullptr)) {
            if (compat::holds_interpreter()) [[likely]] {
                Py_DECREF(object);
            } else {
                queue_decref(object);
            }
        }
    }

    /// reset() for a frame that holds the interpreter for certain: one that
    /// runs only inside a call from it, never in the unwind at exit. The
    /// release is made at once without asking, which is not free before 3.12.
    void reset_holding_interpreter() {
        assert(compat::holds_interpreter() && "released without the interpreter");
        if (PyObject* object = std::exchange(object_, nullptr)) {
            Py_DECREF(object);
        }
    }

private:
    explicit Owned(PyObject* object) : object_(object) {}
    PyObject* object_ = nullptr;
};

/// Adds a reference to `object` and returns it, for a caller that hands the new
/// reference on at once (a return value, a tuple item).
inline PyObject* new_reference(PyObject* object) {
    Py_INCREF(object);
    return object;
}

/// new_reference for an object that may be null.
inline PyObject* new_reference_or_null(PyObject* object) {
    Py_XINCREF(object);
    return object;
}

}  // namespace tarvu
