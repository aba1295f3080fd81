#pragma once
// The module entry: definition record, registration list, module body.

#include <span>

#include "boundary/error_value.h"
#include "boundary/process_state.h"

namespace tarvu {

/// One class the module body registers: its name and how to obtain its type.
struct Registration {
    const char* name;
    Result<PyTypeObject*> (*ensure_type)();
};

/// The classes of the module, in registration order.
std::span<const Registration> registration_list();

/// The whole of PyInit_tarvu: a new module, or null with an exception set.
PyObject* initialize_module();

/// Registers every class of `registrations` on `module`, stopping at the first
/// failure.
Status run_module_body(PyObject* module, std::span<const Registration> registrations);

/// Appends `name` to the module's __all__ (creating the list if the module has
/// none) and binds `value` under `name`.
Status add_to_module(PyObject* module, const char* name, PyObject* value);

}  // namespace tarvu
