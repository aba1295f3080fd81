#pragma once
// Process-wide state that threads share.
//
// With an interpreter lock, the lock already orders every access, so plain
// loads and stores are enough and cost nothing. A free-threaded interpreter
// (Py_GIL_DISABLED) runs callers truly in parallel: there, a cell filled once
// is published with a release store and read with an acquire load, a race to
// fill it keeps the first value, and slow paths that build shared objects take
// a lock. These helpers are the only place that difference is written.
//
// They use the compiler's __atomic builtins (g++ and clang both have them)
// rather than std::atomic_ref, which the libc++ the manylinux wheels are built
// against does not provide yet.

#include <atomic>
#include <cstdint>

#include "boundary/owned.h"

namespace tarvu {

/// Reads a cell that another thread may fill with `publish` or
/// `publish_if_empty`.
template <class T>
inline T load_published(T& cell) {
#ifdef Py_GIL_DISABLED
    return __atomic_load_n(&cell, __ATOMIC_ACQUIRE);
#else
    return cell;
#endif
}

/// Stores `value` in `cell` for `load_published` readers.
template <class T>
inline void publish(T& cell, T value) {
#ifdef Py_GIL_DISABLED
    __atomic_store_n(&cell, value, __ATOMIC_RELEASE);
#else
    cell = value;
#endif
}

/// Stores `value` in `cell` if it is still null; false if another caller
/// filled it first (the cell keeps that first value).
template <class T>
inline bool publish_if_empty(T*& cell, T* value) {
#ifdef Py_GIL_DISABLED
    T* expected = nullptr;
    return __atomic_compare_exchange_n(&cell, &expected, value, false, __ATOMIC_ACQ_REL, __ATOMIC_ACQUIRE);
#else
    if (cell != nullptr) {
        return false;
    }
    cell = value;
    return true;
#endif
}

/// Serialises the slow path that builds a shared object. A thread may take it
/// again while it holds it, since building one object may ask for it again.
/// Without an interpreter lock this is a mutex that lets the interpreter stop
/// a waiting thread for garbage collection; with one it does nothing, because
/// the interpreter lock already serialises the path.
class BuildLock {
public:
#ifdef Py_GIL_DISABLED
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
#else
    void lock() {}
    void unlock() {}
#endif
};

/// An int from 0 to 255 as a new reference. From CPython 3.12 on these are the
/// interpreter's static, immortal small ints, one set for the whole process
/// (surviving re-initialisation): the first call for each value keeps what
/// PyLong_FromLong returned, and later calls hand out that same object without
/// the call. Older interpreters free their small ints at finalisation, so they
/// always go through PyLong_FromLong.
inline PyObject* new_small_int(uint8_t value) {
#if PY_VERSION_HEX >= 0x030C0000
    static constinit PyObject* known[256] = {};
    if (PyObject* cached = load_published(known[value])) [[likely]] {
        return new_reference(cached);
    }
    PyObject* made = PyLong_FromLong(value);
    if (made != nullptr) {
        publish(known[value], made);  // immortal: the cell needs no reference of its own
    }
    return made;
#else
    return PyLong_FromLong(value);
#endif
}

}  // namespace tarvu
