#include "types/diagnosis.h"

#include "types/label_protocol.h"

namespace tarvu {

// Declared extern in label_classes.h, which every other user includes.
template class LabelClass<DIAGNOSIS>;

}  // namespace tarvu
