#include "boundary/text.h"

#include "boundary/fault.h"
#include "boundary/owned.h"
#include "boundary/shared_state.h"

namespace tarvu {

PyObject* interned_once(PyObject*& cell, const char* text) {
    if (PyObject* name = load_published(cell)) {
        return name;
    }
    Owned name = Owned::steal(PyUnicode_InternFromString(text));
    if (!name) {
        api_call_failed();
    }
    if (publish_if_empty(cell, name.get())) {
        // The cell keeps the reference for the life of the process.
        static_cast<void>(name.release());
    }
    // Otherwise a parallel caller interned the same str first, and the handle
    // drops our second reference to that object.
    return load_published(cell);
}

}  // namespace tarvu
