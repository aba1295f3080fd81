// The shared object's one exported symbol.

#include "module.h"

TARVU_EXPORT PyObject* PyInit_tarvu(void) {
    return tarvu::initialize_module();
}
