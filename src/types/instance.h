#pragma once
// Instances of the label classes: their record, the borrow counter and the
// checks that come before reading one, and the free list of their memory.

#include <cstddef>
#include <cstdint>
#include <utility>

#include "boundary/error_value.h"
#include "boundary/shared_state.h"

namespace tarvu {

/// The borrow counter of an instance: 0 free, n > 0 shared borrows, -1 exclusive.
using BorrowFlag = Py_ssize_t;
inline constexpr BorrowFlag EXCLUSIVELY_BORROWED = -1;
inline constexpr const char ALREADY_MUTABLY_BORROWED[] = "Already mutably borrowed";

/// Whether the counter says an exclusive borrow is held.
inline bool exclusively_borrowed(BorrowFlag* flag) {
    if constexpr (FREE_THREADED) {
        return __atomic_load_n(flag, __ATOMIC_RELAXED) == EXCLUSIVELY_BORROWED;
    } else {
        return *flag == EXCLUSIVELY_BORROWED;
    }
}

/// A shared borrow of an instance, given back when this goes out of scope.
///
/// Without an interpreter lock the borrow only checks the counter and leaves
/// it alone. Instances never change after creation and nothing takes an
/// exclusive borrow of them, so the count guards nothing there; counting
/// would make every thread that reads a shared class attribute write the same
/// word, and parallel readers would queue on that cache line.
class SharedBorrow {
public:
    explicit SharedBorrow(BorrowFlag* flag) : flag_(flag) {
        if constexpr (!FREE_THREADED) {
            *flag_ += 1;
        }
    }
    SharedBorrow(SharedBorrow&& other) noexcept : flag_(std::exchange(other.flag_, nullptr)) {}
    ~SharedBorrow() {
        if constexpr (!FREE_THREADED) {
            if (flag_ != nullptr) *flag_ -= 1;
        }
    }
    SharedBorrow(const SharedBorrow&) = delete;
    SharedBorrow& operator=(const SharedBorrow&) = delete;
    SharedBorrow& operator=(SharedBorrow&&) = delete;

private:
    BorrowFlag* flag_;
};

/// Whether `object` is an instance of `type`: the label types cannot be
/// subclassed (LABEL_TYPE_FLAGS), so no subtype has instances to look for.
inline bool is_instance_of_type(PyObject* object, PyTypeObject* type) {
    return Py_TYPE(object) == type;
}

inline BorrowFlag* borrow_flag_of(PyObject* object, size_t flag_offset) {
    return reinterpret_cast<BorrowFlag*>(reinterpret_cast<char*>(object) + flag_offset);
}

/// Whether a shared borrow of `object` as an instance of `type` would be
/// given; for a caller that drops the failure unseen (no error value is made).
inline bool shared_borrow_allowed(PyObject* object, PyTypeObject* type, size_t flag_offset) {
    return is_instance_of_type(object, type) && !exclusively_borrowed(borrow_flag_of(object, flag_offset));
}

/// The checks of a shared borrow of `object` as an instance of `type`, whose
/// records keep their borrow counter at `flag_offset`, without taking it.
///
/// For a body that runs no Python code while it reads the instance: nothing
/// can look at the counter between the increment and the decrement that a
/// counting borrow makes there, so leaving it alone changes nothing but the
/// cost of the call. A body that may run Python code meanwhile (an operand's
/// __index__) holds a SharedBorrow, which counts.
inline Status check_shared_borrow(PyObject* object, PyTypeObject* type, const char* class_name, size_t flag_offset) {
    if (!is_instance_of_type(object, type)) [[unlikely]] {
        return ErrorValue::conversion_failure(object, class_name);
    }
    if (exclusively_borrowed(borrow_flag_of(object, flag_offset))) [[unlikely]] {
        return ErrorValue::lazy(PyExc_RuntimeError, ALREADY_MUTABLY_BORROWED);
    }
    return Ok{};
}

/// The memory layout of one instance of a label vocabulary.
struct InstanceRecord {
    PyObject_HEAD uint8_t value;
    BorrowFlag borrow_flag;
};
static_assert(sizeof(InstanceRecord) == sizeof(PyObject) + 2 * sizeof(void*),
              "header, a byte padded to a word, and the borrow counter");

/// Memory of freed instances, kept for the next ones to skip the allocator:
/// every label type has the same record, so one list serves all three. The
/// interpreter lock guards it; a free-threaded build has none, so it keeps no
/// list at all.
struct FreeInstances {
    static constexpr size_t CAPACITY = 64;
    size_t count = 0;
    void* blocks[CAPACITY] = {};
};

/// Allocates an instance of `type` holding `value` (null with MemoryError set
/// on failure). The label types are neither collected nor subclassable, so
/// their allocator, PyType_GenericAlloc, would do no more than PyObject_New
/// besides zeroing memory whose every field is set here and checking for GC.
inline PyObject* allocate_instance(PyTypeObject* type, uint8_t value) {
    InstanceRecord* record;
    if (!FREE_THREADED && FREE_INSTANCES.count > 0) [[likely]] {
        record = static_cast<InstanceRecord*>(FREE_INSTANCES.blocks[--FREE_INSTANCES.count]);
        PyObject_Init(reinterpret_cast<PyObject*>(record), type);
    } else {
        record = PyObject_New(InstanceRecord, type);
        if (record == nullptr) {
            return nullptr;
        }
    }
    record->value = value;
    record->borrow_flag = 0;
    return reinterpret_cast<PyObject*>(record);
}

/// Gives back the memory of an instance whose type frees with `free_memory`:
/// kept for allocate_instance when it came from PyObject_New's allocator and
/// the list has room, else freed.
inline void free_instance(PyObject* instance, freefunc free_memory) {
    if (!FREE_THREADED && free_memory == PyObject_Free && FREE_INSTANCES.count < FreeInstances::CAPACITY) [[likely]] {
        FREE_INSTANCES.blocks[FREE_INSTANCES.count++] = instance;
        return;
    }
    free_memory(instance);
}

}  // namespace tarvu
