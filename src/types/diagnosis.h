#pragma once
// Diagnosis: the diagnosis attached to a case.

#include "types/vocabulary.h"

namespace tarvu {

inline constexpr Member DIAGNOSIS_MEMBERS[] = {
    {0, "Unknown", "Diagnosis.Unknown"}, {1, "HL", "Diagnosis.HL"}, {2, "DLBCL", "Diagnosis.DLBCL"},
    {3, "CLL", "Diagnosis.CLL"},         {4, "FL", "Diagnosis.FL"}, {5, "MCL", "Diagnosis.MCL"},
    {6, "LTDS", "Diagnosis.LTDS"},
};

inline constexpr Vocabulary DIAGNOSIS = {
    "Diagnosis",
    DIAGNOSIS_MEMBERS,
    " _",
    "No diagnosis for number ",
};

static_assert(std::size(DIAGNOSIS_MEMBERS) == 7);
static_assert(is_well_formed(DIAGNOSIS));

}  // namespace tarvu
