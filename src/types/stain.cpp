#include "types/label_classes.h"

namespace tarvu {

template class LabelClass<STAIN>;

}  // namespace tarvu
