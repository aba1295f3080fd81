#include "types/instance.h"

namespace tarvu {

constinit FreeInstances FREE_INSTANCES;

}  // namespace tarvu
