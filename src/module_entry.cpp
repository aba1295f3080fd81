// The shared object's one exported symbol.

#include "module.h"

extern "C" __attribute__((visibility("default"))) PyObject* PyInit_tarvu(void) {
    return tarvu::initialize_module();
}
