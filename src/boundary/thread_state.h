#pragma once
// Per-thread state of the call guard.

#include <atomic>
#include <cstddef>
#include <cstdint>

#include "boundary/owned.h"
#include "boundary/reference_pool.h"

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
    /// GIL_COUNT: the number of call guards open on this thread (not a lock
    /// count: the module never takes the interpreter lock). -1: interpreter
    /// access is prohibited while a traversal runs; any other negative value:
    /// prohibited. The module never stores a negative value itself.
    intptr_t gil_count;
    /// OWNED_OBJECTS: the temporaries of the open guards, each marking its
    /// start in it.
    OwnedObjects owned_objects;
};
// The assembler name lets guard_thread_state_slow find the block's TLS
// descriptor.
extern constinit TARVU_THREAD_LOCAL GuardThreadState GUARD_THREAD_STATE asm("tarvu_guard_thread_state");

// guard_thread_state(): this thread's guard state. A guard reaches it once and
// keeps the pointer.
#if TARVU_STATIC_TLS_OFFSET
/// The block's offset from the thread pointer once it is known to be the same
/// on every thread (the loader placed the block in static TLS); 0 until then,
/// and for good where the block is allocated per thread.
extern TARVU_HIDDEN std::atomic<intptr_t> GUARD_THREAD_STATE_OFFSET;

/// This thread's block through the general-dynamic access, learning
/// GUARD_THREAD_STATE_OFFSET on the way.
TARVU_COLD GuardThreadState& guard_thread_state_slow();

TARVU_ALWAYS_INLINE GuardThreadState& guard_thread_state() {
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
}
#else
TARVU_ALWAYS_INLINE GuardThreadState& guard_thread_state() {
    return GUARD_THREAD_STATE;
}
#endif

/// Gives the call guard that is open on this thread one reference to release
/// when it closes. With no guard open, or once the list was destroyed (thread
/// exit), the next guard to open releases it instead.
void register_owned(PyObject* object);

/// Releases one reference now if this thread has a call guard open (and holds
/// the interpreter, which the handle checks), else queues it in POOL.
inline void register_decref(PyObject* object) {
    if (GUARD_THREAD_STATE.gil_count > 0) [[likely]] {
        Owned released = Owned::steal(object);
    } else {
        queue_decref(object);
    }
}

}  // namespace tarvu
