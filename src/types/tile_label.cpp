#include "types/label_classes.h"

namespace tarvu {

template class LabelClass<TILE_LABEL>;

}  // namespace tarvu
