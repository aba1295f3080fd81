#pragma once
// Per-thread state of the call guard.

#include <atomic>
#include <cstddef>
#include <cstdint>

#include "boundary/reference_pool.h"

// General-dynamic TLS. The module is loaded with dlopen, where initial-exec TLS
// has to come out of the small static TLS reserve that every native library in
// the process draws on (OpenMP runtimes, imaging libraries), and the import
// fails outright once that is used up. guard_thread_state() makes up most of
// the cost whenever the loader did find room in static TLS.
#define TARVU_THREAD_LOCAL thread_local __attribute__((tls_model("global-dynamic")))

// Linux on x86-64: the TLS ABI whose thread pointer and descriptors
// guard_thread_state() relies on.
#if defined(__x86_64__) && defined(__linux__)
#define TARVU_STATIC_TLS_OFFSET 1
#else
#define TARVU_STATIC_TLS_OFFSET 0
#endif

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
// The assembler name lets guard_thread_state_slow find the block's TLS
// descriptor.
extern constinit TARVU_THREAD_LOCAL GuardThreadState GUARD_THREAD_STATE asm("tarvu_guard_thread_state");

#if TARVU_STATIC_TLS_OFFSET
/// The block's offset from the thread pointer once it is known to be the same
/// on every thread (the loader placed the block in static TLS); 0 until then,
/// and for good where the block is allocated per thread.
extern std::atomic<intptr_t> GUARD_THREAD_STATE_OFFSET;

/// This thread's block through the general-dynamic access, learning
/// GUARD_THREAD_STATE_OFFSET on the way.
[[gnu::cold, gnu::noinline]] GuardThreadState& guard_thread_state_slow();
#endif

/// This thread's guard state. A guard reaches it once and keeps the pointer.
[[gnu::always_inline]] inline GuardThreadState& guard_thread_state() {
#if TARVU_STATIC_TLS_OFFSET
    // The general-dynamic access calls __tls_get_addr. The compilers' TLS
    // descriptors (-mtls-dialect=gnu2) cost less, but where the block has to
    // be allocated per thread, glibc before 2.40 clobbers vector registers the
    // calling code still holds. So a known static offset is used directly.
    const intptr_t offset = GUARD_THREAD_STATE_OFFSET.load(std::memory_order_relaxed);
    if (offset != 0) [[likely]] {
        // The thread control block starts with its own address (x86-64 TLS ABI).
        char* block;
        asm("add %%fs:0, %0" : "=r"(block) : "0"(offset) : "cc");
        return *reinterpret_cast<GuardThreadState*>(block);
    }
    return guard_thread_state_slow();
#else
    return GUARD_THREAD_STATE;
#endif
}

// The two parts under their own names, usable as variables, for code outside
// the guard's own steps.
#define GIL_COUNT (::tarvu::guard_thread_state().gil_count)
#define OWNED_OBJECTS (::tarvu::guard_thread_state().owned_objects)

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
