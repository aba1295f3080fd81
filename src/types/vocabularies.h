#pragma once
// The list of vocabularies, in registration order (the order of the module's
// __all__): X(CONSTANT, stem) for each, whose Vocabulary CONSTANT is defined
// in types/stem.h. Code expands the list with its own X; src/sources.cmake
// reads these lines too, and makes from each entry the unit that instantiates
// the vocabulary's class and the include of its data header.

#define TARVU_VOCABULARIES(X) \
    X(DIAGNOSIS, diagnosis)   \
    X(STAIN, stain)           \
    X(TILE_LABEL, tile_label)
