#pragma once
// The three label classes, each instantiated once in its vocabulary's unit.

#include "types/diagnosis.h"
#include "types/label_protocol.h"
#include "types/stain.h"
#include "types/tile_label.h"

namespace tarvu {

using DiagnosisClass = LabelClass<DIAGNOSIS>;
using StainClass = LabelClass<STAIN>;
using TileLabelClass = LabelClass<TILE_LABEL>;

extern template class LabelClass<DIAGNOSIS>;
extern template class LabelClass<STAIN>;
extern template class LabelClass<TILE_LABEL>;

}  // namespace tarvu
