#pragma once
// How threads share the process-wide state (process_state.h), and every
// difference between the default and the free-threaded interpreter.
//
// With an interpreter lock, the lock already orders every access, so plain
// loads and stores are enough and cost nothing. A free-threaded interpreter
// (Py_GIL_DISABLED) runs callers truly in parallel: there, a cell filled once
// is published with a release store and read with an acquire load, a race to
// fill it keeps the first value, and slow paths that build shared objects take
// a lock. Code that compiles on both builds tests FREE_THREADED; what only one
// build can compile is in the one conditional block below.
//
// They use the compiler's __atomic builtins (g++ and clang both have them)
// rather than std::atomic_ref, which the libc++ the manylinux wheels are built
// against does not provide yet.

#include <atomic>
#include <cstdint>

#include "boundary/owned.h"
#include "boundary/process_state.h"

namespace tarvu {

#ifdef Py_GIL_DISABLED

/// Whether the interpreter runs without a lock (free-threaded).
inline constexpr bool FREE_THREADED = true;

/// Serialises the slow path that builds a shared object. A thread may take it
/// again while it holds it, since building one object may ask for it again.
/// Without an interpreter lock this is a mutex that lets the interpreter stop
/// a waiting thread for garbage collection; with one it does nothing, because
/// the interpreter lock already serialises the path.
class BuildLock {
public:
    void lock() {
        const unsigned long self = PyThread_get_thread_ident();
        if (owner_.load(std::memory_order_relaxed) == self) {
            ++depth_;
            return;
        }
        PyMutex_Lock(&mutex_);
        owner_.store(self, std::memory_order_relaxed);
        depth_ = 1;
    }

    void unlock() {
        if (--depth_ == 0) {
            owner_.store(0, std::memory_order_relaxed);
            PyMutex_Unlock(&mutex_);
        }
    }

private:
    PyMutex mutex_ = {};
    std::atomic<unsigned long> owner_{0};
    unsigned depth_ = 0;
};

/// Makes an object that lives until the process ends (a label type, a class
/// attribute) immortal. Without an interpreter lock, every thread that loads
/// such an object it did not create adds and drops a reference with an atomic
/// write to the same word, and threads comparing `TileLabel.Tumor` would queue
/// on those cache lines; an immortal object's count is never written. Called
/// by the creating thread, which owns the count: past the 32-bit local count,
/// CPython makes it immortal.
inline void make_immortal_if_free_threaded(PyObject* object) {
    Py_SET_REFCNT(object, static_cast<Py_ssize_t>(UINT32_MAX) + 1);
}

/// Tells the interpreter that importing the module must not turn its lock
/// back on: every piece of the module's shared state is safe for parallel
/// callers. 0, or -1 with an exception set.
inline int declare_free_threading_safe(PyObject* module) {
    return PyUnstable_Module_SetGIL(module, Py_MOD_GIL_NOT_USED);
}

#else

inline constexpr bool FREE_THREADED = false;

class BuildLock {
public:
    void lock() {}
    void unlock() {}
};

inline void make_immortal_if_free_threaded(PyObject*) {}

inline int declare_free_threading_safe(PyObject*) {
    return 0;
}

#endif

/// Reads a cell that another thread may fill with `publish` or
/// `publish_if_empty`.
template <class T>
inline T load_published(T& cell) {
    if constexpr (FREE_THREADED) {
        return __atomic_load_n(&cell, __ATOMIC_ACQUIRE);
    } else {
        return cell;
    }
}

/// Stores `value` in `cell` for `load_published` readers.
template <class T>
inline void publish(T& cell, T value) {
    if constexpr (FREE_THREADED) {
        __atomic_store_n(&cell, value, __ATOMIC_RELEASE);
    } else {
        cell = value;
    }
}

/// Stores `value` in `cell` if it is still null; false if another caller
/// filled it first (the cell keeps that first value).
template <class T>
inline bool publish_if_empty(T*& cell, T* value) {
    if constexpr (FREE_THREADED) {
        T* expected = nullptr;
        return __atomic_compare_exchange_n(&cell, &expected, value, false, __ATOMIC_ACQ_REL, __ATOMIC_ACQUIRE);
    } else {
        if (cell != nullptr) {
            return false;
        }
        cell = value;
        return true;
    }
}

/// new_small_int's first call for `value`: out of line, so that the callers'
/// usual path needs no frame for the call.
[[gnu::noinline]] inline PyObject* first_small_int(uint8_t value) {
    PyObject* made = PyLong_FromLong(value);
    if (made != nullptr) {
        publish(KNOWN_SMALL_INTS[value], made);  // static: the cell needs no reference of its own
    }
    return made;
}

/// Makes sure new_kept_small_int can hand out the int of `value`; false if it
/// could not be made.
inline bool keep_small_int(uint8_t value) {
    if constexpr (compat::STATIC_SMALL_INTS) {
        return load_published(KNOWN_SMALL_INTS[value]) != nullptr || first_small_int(value) != nullptr;
    }
    return true;
}

/// new_small_int for a value given to keep_small_int before: where the ints
/// are kept, it reads the kept one without a test.
inline PyObject* new_kept_small_int(uint8_t value) {
    if constexpr (compat::STATIC_SMALL_INTS) {
        return new_reference(load_published(KNOWN_SMALL_INTS[value]));
    }
    return PyLong_FromLong(value);
}

/// An int from 0 to 255 as a new reference. Where the interpreter's small ints
/// are static, the first call for each value keeps what PyLong_FromLong
/// returned, and later calls hand out that same object without the call;
/// elsewhere every call goes through PyLong_FromLong.
inline PyObject* new_small_int(uint8_t value) {
    if constexpr (compat::STATIC_SMALL_INTS) {
        if (PyObject* cached = load_published(KNOWN_SMALL_INTS[value])) [[likely]] {
            return new_reference(cached);
        }
        return first_small_int(value);
    }
    return PyLong_FromLong(value);
}

}  // namespace tarvu
