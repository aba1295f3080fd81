#include "boundary/thread_state.h"

#include <pthread.h>

#include <cstdlib>

#include "boundary/fault.h"

namespace tarvu {

constinit TARVU_THREAD_LOCAL GuardThreadState GUARD_THREAD_STATE = {0, {nullptr, 0, 0, OwnedListState::Unused}};

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

/// Makes the calling thread's list live, registering its per-thread destructor.
void start_owned_objects() {
    pthread_once(&OWNED_OBJECTS_KEY_ONCE, &create_owned_objects_key);
    // Any non-null value makes the destructor run for this thread.
    if (pthread_setspecific(OWNED_OBJECTS_KEY, &OWNED_OBJECTS) != 0) {
        abort_on_allocation_failure();
    }
    OWNED_OBJECTS.state = OwnedListState::Live;
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

void register_owned(PyObject* object) {
    if (GIL_COUNT <= 0 || OWNED_OBJECTS.state == OwnedListState::Destroyed) [[unlikely]] {
        // No guard here will release it (none is open, or the list is gone at
        // thread exit). The caller may still be using it, so it cannot go now:
        // the next guard to open, on any thread, releases it.
        queue_decref(object);
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

}  // namespace tarvu
