#pragma once
// Per-thread state of the call guard.

#include <cstddef>
#include <cstdint>

#include "boundary/compat.h"

// Initial-exec TLS: a plain %fs-relative access on every call instead of a
// __tls_get_addr call. The module's per-thread state is a few words, well within
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

/// The call guard's per-thread state, in one thread-local block: every guard
/// reads both parts, and one block costs each entry point one thread-pointer
/// offset to keep instead of two (a register fewer to save on every call).
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

/// Makes the calling thread's list live, registering its per-thread destructor.
void start_owned_objects();

/// Gives the call guard that is open on this thread one reference to release
/// when it closes. With no guard open, or once the list was destroyed (thread
/// exit), the next guard to open releases it instead.
void register_owned(PyObject* object);

}  // namespace tarvu
