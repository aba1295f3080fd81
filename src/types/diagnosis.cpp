#include "types/label_classes.h"

namespace tarvu {

template class LabelClass<DIAGNOSIS>;

}  // namespace tarvu
