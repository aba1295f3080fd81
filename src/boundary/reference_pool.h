#pragma once
// POOL: reference-count changes deferred until a thread may make them.

#include <atomic>
#include <mutex>
#include <vector>

#include "boundary/compat.h"
#include "boundary/process_state.h"

namespace tarvu {

/// Reference-count changes requested where they could not be made at once. The
/// mutex protects both lists and is a leaf lock: it is never held while
/// references change or while another lock is taken. `dirty` is set after a
/// push and cleared when the lists are taken out, so that a guard can skip the
/// lock while the pool is empty.
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

// POOL's operations as cold functions of their own: a call guard's success
// path holds only the test of the pool's flag. The handle declares
// queue_decref again rather than depend on the pool's header.
TARVU_COLD void queue_incref(PyObject* object);
TARVU_COLD void queue_decref(PyObject* object);
TARVU_COLD void apply_pending_pool_changes();

/// Applies and clears POOL.
inline void update_counts() {
    if (POOL.may_have_pending()) [[unlikely]] {
        apply_pending_pool_changes();
    }
}

}  // namespace tarvu
