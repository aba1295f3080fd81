#pragma once
// The process-wide cell that holds one vocabulary's type object.

#include <string>
#include <vector>

#include "boundary/error_value.h"
#include "boundary/shared_state.h"
#include "types/instance.h"
#include "types/vocabulary.h"

namespace tarvu {

/// The flags of every label type. Without Py_TPFLAGS_BASETYPE the classes
/// cannot be subclassed, so an object is an instance of one exactly when its
/// type is that class, which the comparisons rely on.
inline constexpr unsigned long LABEL_TYPE_FLAGS = Py_TPFLAGS_DEFAULT;
static_assert((LABEL_TYPE_FLAGS & Py_TPFLAGS_BASETYPE) == 0);

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
    /// The type once `filled` is set, published after it; null before. A
    /// call's fast path compares an object's type with it: one test says both
    /// that the class is ready and that the object is an instance of it.
    PyTypeObject* ready = nullptr;
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
