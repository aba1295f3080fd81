#pragma once
// Per-thread state of the call guard.

#include <cstddef>
#include <cstdint>

#include "boundary/reference_pool.h"

// Initial-exec TLS: the module's per-thread state is a few words, well within
// the static TLS surplus that glibc keeps for dlopen'ed objects.
#define TARVU_THREAD_LOCAL thread_local __attribute__((tls_model("initial-exec")))

namespace tarvu {

/// Lifecycle of a thread's OWNED_OBJECTS list.
enum class OwnedListState : uint8_t { Unused, Live, Destroyed };

/// Temporary references registered during calls on this thread; each entry owns
/// one reference. Trivially destructible so that access needs no TLS guard; the
/// buffer is freed by a per-thread destructor registered on first use.
struct OwnedObjects {
    PyObject** items;
    size_t length;
    size_t capacity;
    OwnedListState state;
};

/// The call guard's per-thread state, in one thread-local block, since every
/// guard reads both parts.
struct GuardThreadState {
    /// Number of call guards open on this thread. -1: interpreter-lock access
    /// is prohibited while a traversal runs; any other negative value:
    /// prohibited. The module never stores a negative value itself.
    intptr_t gil_count;
    OwnedObjects owned_objects;
};
extern constinit TARVU_THREAD_LOCAL GuardThreadState GUARD_THREAD_STATE;

// The two parts under their own names, usable as variables.
#define GIL_COUNT (::tarvu::GUARD_THREAD_STATE.gil_count)
#define OWNED_OBJECTS (::tarvu::GUARD_THREAD_STATE.owned_objects)

/// Gives the call guard that is open on this thread one reference to release
/// when it closes. With no guard open, or once the list was destroyed (thread
/// exit), the next guard to open releases it instead.
void register_owned(PyObject* object);

/// Adds one reference now if this thread has a call guard open, else queues it.
inline void register_incref(PyObject* object) {
    if (GIL_COUNT > 0) {
        Py_INCREF(object);
    } else {
        queue_incref(object);
    }
}

/// Releases one reference now if this thread has a call guard open and holds
/// the interpreter, else queues it.
inline void register_decref(PyObject* object) {
    if (GIL_COUNT > 0 && compat::holds_interpreter()) [[likely]] {
        Py_DECREF(object);
    } else {
        queue_decref(object);
    }
}

}  // namespace tarvu
