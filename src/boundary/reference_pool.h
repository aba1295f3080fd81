#pragma once
// Deferred reference-count changes, for threads with no call guard open.

#include <atomic>
#include <mutex>
#include <vector>

#include "boundary/thread_state.h"

namespace tarvu {

/// Reference-count changes requested while the requesting thread had no call
/// guard open. The mutex protects both lists and is a leaf lock: it is never
/// held while references change or while another lock is taken. `dirty` is set
/// after a push and cleared when the lists are taken out, so that a guard can
/// skip the lock while the pool is empty.
class ReferencePool {
public:
    void push_incref(PyObject* object);
    void push_decref(PyObject* object);

    /// Whether changes may be pending (a push happened since the last apply).
    bool may_have_pending() const { return dirty_.load(std::memory_order_acquire); }

    /// Applies and clears the pending changes: increments first, then
    /// decrements, each in queue order, so that changes that cancel out never
    /// deallocate an object.
    void apply_pending();

private:
    std::mutex mutex_;
    std::vector<PyObject*> pending_increfs_;
    std::vector<PyObject*> pending_decrefs_;
    std::atomic<bool> dirty_{false};
};

extern ReferencePool POOL;

// POOL's operations as functions of their own, out of line: an entry point
// that only names them keeps no register for the pool's address.
[[gnu::cold, gnu::noinline]] void queue_incref(PyObject* object);
[[gnu::cold, gnu::noinline]] void queue_decref(PyObject* object);
[[gnu::cold, gnu::noinline]] void apply_pending_pool_changes();

/// Adds one reference now if this thread has a call guard open, else queues it.
inline void register_incref(PyObject* object) {
    if (GIL_COUNT > 0) {
        Py_INCREF(object);
    } else {
        queue_incref(object);
    }
}

/// Releases one reference now if this thread has a call guard open, else queues it.
/// A thread that the interpreter ends at exit (pthread_exit) unwinds through its
/// open guards without the interpreter lock; a count changed then would race the
/// finalising thread, so the release is queued instead (and, at exit, dropped).
inline void register_decref(PyObject* object) {
    if (GIL_COUNT > 0 && PyGILState_Check()) [[likely]] {
        Py_DECREF(object);
    } else {
        queue_decref(object);
    }
}

/// Applies and clears POOL.
inline void update_counts() {
    if (POOL.may_have_pending()) [[unlikely]] {
        apply_pending_pool_changes();
    }
}

}  // namespace tarvu
