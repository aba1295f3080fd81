#pragma once
// Stain: the stain a slide was prepared with.

#include "types/vocabulary.h"

namespace tarvu {

inline constexpr Member STAIN_MEMBERS[] = {
    {0, "Unknown"}, {1, "HE"}, {3, "CD3"}, {20, "CD20"}, {30, "CD30"}, {68, "CD68"},
};

// "H&E" is how haematoxylin and eosin is usually written, so Stain alone also
// drops ampersands.
inline constexpr Vocabulary STAIN = {
    "Stain",
    STAIN_MEMBERS,
    " _&",
    "No stain for number ",
};

static_assert(is_well_formed(STAIN));

}  // namespace tarvu
