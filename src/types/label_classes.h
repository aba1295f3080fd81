#pragma once
// The list of vocabularies: the module registers a class for each, in this
// order, and each class is the class protocol instantiated for its vocabulary.

#include "types/diagnosis.h"
#include "types/label_protocol.h"
#include "types/stain.h"
#include "types/tile_label.h"

namespace tarvu {

/// A list of vocabularies as template arguments, so that each element can name
/// its class directly.
template <const Vocabulary&... vocabularies>
struct VocabularyList {};

/// Every vocabulary, in registration order (the order of the module's __all__).
using Vocabularies = VocabularyList<DIAGNOSIS, STAIN, TILE_LABEL>;

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
