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

    /// Applies and clears the pending changes: increments first, then
    /// decrements, each in queue order, so that changes that cancel out never
    /// deallocate an object.
    void update_counts() {
        if (dirty_.load(std::memory_order_acquire)) {
            apply_pending();
        }
    }

private:
    void apply_pending();

    std::mutex mutex_;
    std::vector<PyObject*> pending_increfs_;
    std::vector<PyObject*> pending_decrefs_;
    std::atomic<bool> dirty_{false};
};

extern ReferencePool POOL;

/// Adds one reference now if this thread has a call guard open, else queues it.
inline void register_incref(PyObject* object) {
    if (GIL_COUNT > 0) {
        Py_INCREF(object);
    } else {
        POOL.push_incref(object);
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
        POOL.push_decref(object);
    }
}

/// Applies and clears POOL.
inline void update_counts() {
    POOL.update_counts();
}

}  // namespace tarvu
