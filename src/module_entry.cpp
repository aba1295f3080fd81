// The shared object's one exported symbol.

#include "module.h"

#if defined(_WIN32)
#define TARVU_EXPORTED __declspec(dllexport)
#else
#define TARVU_EXPORTED __attribute__((visibility("default")))
#endif

extern "C" TARVU_EXPORTED PyObject* PyInit_tarvu(void) {
    return tarvu::initialize_module();
}
