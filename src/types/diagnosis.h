#pragma once
// Diagnosis: the diagnosis attached to a case.

#include "types/vocabulary.h"

namespace tarvu {

inline constexpr Member DIAGNOSIS_MEMBERS[] = {
    {0, "Unknown"}, {1, "HL"}, {2, "DLBCL"}, {3, "CLL"}, {4, "FL"}, {5, "MCL"}, {6, "LTDS"},
};

inline constexpr Vocabulary DIAGNOSIS = {
    "Diagnosis",
    DIAGNOSIS_MEMBERS,
    " _",
    "No diagnosis for number ",
};

static_assert(is_well_formed(DIAGNOSIS));

}  // namespace tarvu
