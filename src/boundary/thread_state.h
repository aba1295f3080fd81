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

/// Number of call guards open on this thread. -1: interpreter-lock access is
/// prohibited while a traversal runs; any other negative value: prohibited.
/// The module never stores a negative value itself.
extern constinit TARVU_THREAD_LOCAL intptr_t GIL_COUNT;

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
extern constinit TARVU_THREAD_LOCAL OwnedObjects OWNED_OBJECTS;

/// Makes the calling thread's list live, registering its per-thread destructor.
void start_owned_objects();

/// Gives the call guard that is open on this thread one reference to release
/// when it closes. With no guard open, or once the list was destroyed (thread
/// exit), the next guard to open releases it instead.
void register_owned(PyObject* object);

}  // namespace tarvu
