#pragma once
// The owned-reference handle.

#include <utility>

#include "boundary/reference_pool.h"

namespace tarvu {

/// Owns exactly one strong reference, or nothing. Released through
/// register_decref, which applies it now inside a call guard and defers it to
/// POOL elsewhere; that choice is made here and nowhere else.
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
            register_decref(object);
        }
    }

private:
    explicit Owned(PyObject* object) : object_(object) {}
    PyObject* object_ = nullptr;
};

}  // namespace tarvu
