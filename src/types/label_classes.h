#pragma once
// The list of vocabularies: the module registers a class for each, in this
// order, and each class is the class protocol instantiated for its vocabulary.

#include <cstddef>
#include <iterator>

#include "types/diagnosis.h"
#include "types/label_protocol.h"
#include "types/stain.h"
#include "types/tile_label.h"

namespace tarvu {

/// Every vocabulary, in registration order (the order of the module's __all__).
inline constexpr const Vocabulary* VOCABULARIES[] = {&DIAGNOSIS, &STAIN, &TILE_LABEL};
inline constexpr size_t VOCABULARY_COUNT = std::size(VOCABULARIES);

/// The label class of VOCABULARIES[index].
template <size_t index>
using LabelClassAt = LabelClass<*VOCABULARIES[index]>;

// By name, for the tests that build one class at a time.
using DiagnosisClass = LabelClass<DIAGNOSIS>;
using StainClass = LabelClass<STAIN>;
using TileLabelClass = LabelClass<TILE_LABEL>;

// Each class is instantiated in its vocabulary's own unit (NAME.cpp): g++
// inlines less into a unit that holds all three, and every failing call pays.
extern template class LabelClass<DIAGNOSIS>;
extern template class LabelClass<STAIN>;
extern template class LabelClass<TILE_LABEL>;

}  // namespace tarvu
