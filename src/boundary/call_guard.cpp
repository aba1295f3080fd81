#include "boundary/call_guard.h"

#include <cstdlib>
#include <cstring>

namespace tarvu {

namespace detail {

namespace {

/// Makes the error current. Composing the message of a conversion failure
/// reads a type's `__qualname__`, which may run Python code, and a
/// PanicException taken back there is a fault like any other: the error is
/// then raised as the PanicException the fault becomes, as inside the body. No
/// other error runs Python code or faults while it is raised: one that cannot
/// be made (its message, its instance, the PanicException type) leaves the
/// interpreter's MemoryError pending instead.
void raise_with_fault_catch(ErrorValue&& error) {
    if (!error.runs_python_code_when_raised()) {
        std::move(error).raise();
        return;
    }
    try {
        std::move(error).raise();
    } catch (Fault& fault) {
        std::move(error).discard();
        ErrorValue::from_fault(std::move(fault)).raise();
    }
}

}  // namespace

void raise_error(ErrorValue&& error) {
    raise_with_fault_catch(std::move(error));
}

void raise_unraisable(ErrorValue&& error) {
    raise_with_fault_catch(std::move(error));
    PyErr_WriteUnraisable(nullptr);
}

}  // namespace detail

void GILPool::release_owned_after(size_t mark) {
    // Detach first: a release may run a finaliser that re-enters the module and
    // registers temporaries of its own above the mark.
    OwnedObjects& list = GUARD_THREAD_STATE.owned_objects;
    size_t count = list.length - mark;
    PyObject* inline_buffer[16];
    PyObject** detached = inline_buffer;
    if (count > std::size(inline_buffer)) {
        detached = static_cast<PyObject**>(std::malloc(count * sizeof(PyObject*)));
        if (detached == nullptr) {
            abort_on_allocation_failure();
        }
    }
    std::memcpy(detached, list.items + mark, count * sizeof(PyObject*));
    list.length = mark;
    for (size_t i = 0; i < count; ++i) {
        // Each entry owns one reference, and a guard closes holding the
        // interpreter: the release is the guard's own.
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

}  // namespace tarvu
