#include "boundary/call_guard.h"

#include <pthread.h>

#include <cstdlib>
#include <cstring>

namespace tarvu {

constinit TARVU_THREAD_LOCAL GuardThreadState GUARD_THREAD_STATE = {0, {nullptr, 0, 0, OwnedListState::Unused}};

ReferencePool POOL;

namespace {

pthread_key_t OWNED_OBJECTS_KEY;
pthread_once_t OWNED_OBJECTS_KEY_ONCE = PTHREAD_ONCE_INIT;

/// Runs at thread exit. No call guard is open then, so the list is empty: it
/// only frees the buffer and marks the list destroyed.
void destroy_owned_objects(void*) {
    std::free(OWNED_OBJECTS.items);
    OWNED_OBJECTS = {nullptr, 0, 0, OwnedListState::Destroyed};
}

void create_owned_objects_key() {
    if (pthread_key_create(&OWNED_OBJECTS_KEY, &destroy_owned_objects) != 0) {
        abort_on_allocation_failure();
    }
}

void grow_owned_objects() {
    size_t capacity = OWNED_OBJECTS.capacity == 0 ? 16 : OWNED_OBJECTS.capacity * 2;
    void* items = std::realloc(OWNED_OBJECTS.items, capacity * sizeof(PyObject*));
    if (items == nullptr) {
        abort_on_allocation_failure();
    }
    OWNED_OBJECTS.items = static_cast<PyObject**>(items);
    OWNED_OBJECTS.capacity = capacity;
}

}  // namespace

void start_owned_objects() {
    pthread_once(&OWNED_OBJECTS_KEY_ONCE, &create_owned_objects_key);
    // Any non-null value makes the destructor run for this thread.
    if (pthread_setspecific(OWNED_OBJECTS_KEY, &OWNED_OBJECTS) != 0) {
        abort_on_allocation_failure();
    }
    OWNED_OBJECTS.state = OwnedListState::Live;
}

namespace detail {

void raise_error(ErrorValue&& error) {
    std::move(error).raise();
}

void raise_unraisable(ErrorValue&& error) {
    std::move(error).raise();
    PyErr_WriteUnraisable(nullptr);
}

}  // namespace detail

void register_owned(PyObject* object) {
    if (GIL_COUNT <= 0 || OWNED_OBJECTS.state == OwnedListState::Destroyed) [[unlikely]] {
        // No guard here will release it (none is open, or the list is gone at
        // thread exit). The caller may still be using it, so it cannot go now:
        // the next guard to open, on any thread, releases it.
        POOL.push_decref(object);
        return;
    }
    if (OWNED_OBJECTS.state == OwnedListState::Unused) {
        start_owned_objects();
    }
    if (OWNED_OBJECTS.length == OWNED_OBJECTS.capacity) {
        grow_owned_objects();
    }
    OWNED_OBJECTS.items[OWNED_OBJECTS.length++] = object;
}

void GILPool::release_owned_after(size_t mark) {
    // Detach first: a release may run a finaliser that re-enters the module and
    // registers temporaries of its own above the mark.
    size_t count = OWNED_OBJECTS.length - mark;
    PyObject* inline_buffer[16];
    PyObject** detached = inline_buffer;
    if (count > std::size(inline_buffer)) {
        detached = static_cast<PyObject**>(std::malloc(count * sizeof(PyObject*)));
        if (detached == nullptr) {
            abort_on_allocation_failure();
        }
    }
    std::memcpy(detached, OWNED_OBJECTS.items + mark, count * sizeof(PyObject*));
    OWNED_OBJECTS.length = mark;
    for (size_t i = 0; i < count; ++i) {
        Py_DECREF(detached[i]);
    }
    if (detached != inline_buffer) {
        std::free(detached);
    }
}

void refuse_prohibited_gil_access(intptr_t count) {
    if (count == -1) {
        raise_fault("Access to the GIL is prohibited while a __traverse__ implmentation is running.");
    }
    raise_fault("Access to the GIL is currently prohibited.");
}

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
