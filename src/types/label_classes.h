#pragma once
// The classes of the vocabularies listed in vocabularies.h: the module
// registers one for each, in list order, and each is the class protocol
// instantiated for its vocabulary.

#include "types/label_protocol.h"
#include "types/vocabularies.h"
// Every data header of the list; made by src/sources.cmake.
#include "vocabulary_data.h"

namespace tarvu {

/// A list of vocabularies as template arguments, so that each element can name
/// its class directly.
template <const Vocabulary&... vocabularies>
struct VocabularyList {
    template <const Vocabulary& next>
    using append = VocabularyList<vocabularies..., next>;
};

#define TARVU_APPEND_VOCABULARY(constant, stem) ::append<constant>
/// Every vocabulary, in registration order.
using Vocabularies = VocabularyList<> TARVU_VOCABULARIES(TARVU_APPEND_VOCABULARY);
#undef TARVU_APPEND_VOCABULARY

// Each class is instantiated in a unit of its own, which src/sources.cmake
// makes per vocabulary: g++ inlines less into a unit that holds all of them,
// and every failing call pays.
#define TARVU_EXTERN_CLASS(constant, stem) extern template class LabelClass<constant>;
TARVU_VOCABULARIES(TARVU_EXTERN_CLASS)
#undef TARVU_EXTERN_CLASS

}  // namespace tarvu
