#pragma once
// The process-wide cell that holds one vocabulary's type object.

#include <string>
#include <vector>

#include "boundary/arguments.h"
#include "boundary/error_value.h"
#include "boundary/shared_state.h"
#include "types/vocabulary.h"

namespace tarvu {

/// The memory layout of one instance of a label vocabulary.
struct InstanceRecord {
    PyObject_HEAD uint8_t value;
    BorrowFlag borrow_flag;
};
static_assert(sizeof(InstanceRecord) == sizeof(PyObject) + 2 * sizeof(void*),
              "header, a byte padded to a word, and the borrow counter");

/// Everything type creation needs from a vocabulary's instantiation of the
/// class protocol.
struct TypeBlueprint {
    const Vocabulary& vocabulary;
    destructor dealloc;
    reprfunc repr;
    unaryfunc nb_int;
    richcmpfunc richcompare;
    newfunc new_instance;
    /// Set on the type after creation; calling the class then skips type_call.
    vectorcallfunc call_class;
    PyMethodDef* methods;
    /// Makes one class attribute; a failure is an internal fault.
    PyObject* (*create_class_attribute)(uint8_t value);
};

/// One class's type object, whether its dictionary has been filled, and the
/// threads filling it right now. Building and filling run under `lock`;
/// `filled` is published, so a reader that sees it set also sees the type.
struct TypeCell {
    PyTypeObject* type = nullptr;
    bool filled = false;
    BuildLock lock;
    std::vector<unsigned long> filling_threads;
    // Built once per class and kept for the life of the process: older
    // interpreters keep pointing into the type name and the slot table.
    std::string* type_name = nullptr;
    std::string* doc = nullptr;
    PyType_Slot slots[9] = {};
};

/// Creates the type object if needed and fills its dictionary; every failure
/// becomes "An error occurred while initializing class {name}".
Result<PyTypeObject*> ensure_type(TypeCell& cell, const TypeBlueprint& blueprint);

/// ensure_type for use where the type must exist: a failure is printed and
/// becomes the fault "failed to create type object for {name}".
PyTypeObject* get_type_slow(TypeCell& cell, const TypeBlueprint& blueprint);

/// Memory of freed instances, kept for the next ones to skip the allocator:
/// every label type has the same record, so one list serves all three. The
/// interpreter lock guards it; a free-threaded build has none, so it keeps no
/// list at all.
struct FreeInstances {
    static constexpr size_t CAPACITY = 64;
    size_t count = 0;
    void* blocks[CAPACITY] = {};
};
extern constinit FreeInstances FREE_INSTANCES;

/// Allocates an instance of `type` holding `value` (null with MemoryError set
/// on failure). The label types are neither collected nor subclassable, so
/// their allocator, PyType_GenericAlloc, would do no more than PyObject_New
/// besides zeroing memory whose every field is set here and checking for GC.
inline PyObject* allocate_instance(PyTypeObject* type, uint8_t value) {
    InstanceRecord* record;
#if !defined(Py_GIL_DISABLED)
    if (FREE_INSTANCES.count > 0) [[likely]] {
        record = static_cast<InstanceRecord*>(FREE_INSTANCES.blocks[--FREE_INSTANCES.count]);
        PyObject_Init(reinterpret_cast<PyObject*>(record), type);
    } else
#endif
    {
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
#if !defined(Py_GIL_DISABLED)
    if (free_memory == PyObject_Free && FREE_INSTANCES.count < FreeInstances::CAPACITY) [[likely]] {
        FREE_INSTANCES.blocks[FREE_INSTANCES.count++] = instance;
        return;
    }
#endif
    free_memory(instance);
}

/// Whether a call of `type` may skip type_call: __new__ is still `own_new` and
/// __init__ is still object's, which ignores the arguments.
inline bool constructs_directly(PyTypeObject* type, newfunc own_new) {
    return type->tp_new == own_new && type->tp_init == PyBaseObject_Type.tp_init;
}

/// Calls the class the way the interpreter does without a vectorcall slot:
/// an argument tuple and keyword dictionary through type_call.
PyObject* call_type_ordinarily(PyObject* type, PyObject* const* args, size_t nargsf, PyObject* kwnames);

/// The fault for an instance that could not be created where creation cannot
/// fail in correct operation.
[[noreturn]] void instance_creation_failed();

}  // namespace tarvu
