#include "boundary/reference_pool.h"

namespace tarvu {

ReferencePool POOL;

void ReferencePool::push_incref(PyObject* object) {
    std::lock_guard<std::mutex> lock(mutex_);
    pending_increfs_.push_back(object);
    dirty_.store(true, std::memory_order_release);
}

void ReferencePool::push_decref(PyObject* object) {
    std::lock_guard<std::mutex> lock(mutex_);
    pending_decrefs_.push_back(object);
    dirty_.store(true, std::memory_order_release);
}

void queue_incref(PyObject* object) {
    POOL.push_incref(object);
}

void queue_decref(PyObject* object) {
    POOL.push_decref(object);
}

void apply_pending_pool_changes() {
    POOL.apply_pending();
}

void ReferencePool::apply_pending() {
    std::vector<PyObject*> increfs;
    std::vector<PyObject*> decrefs;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        dirty_.store(false, std::memory_order_relaxed);
        if (pending_increfs_.empty() && pending_decrefs_.empty()) {
            return;
        }
        increfs.swap(pending_increfs_);
        decrefs.swap(pending_decrefs_);
    }
    for (PyObject* object : increfs) {
        Py_INCREF(object);
    }
    for (PyObject* object : decrefs) {
        Py_DECREF(object);
    }
}

}  // namespace tarvu
