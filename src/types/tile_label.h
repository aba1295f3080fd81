#pragma once
// TileLabel: the tissue class assigned to one image tile.

#include "types/vocabulary.h"

namespace tarvu {

inline constexpr Member TILE_LABEL_MEMBERS[] = {
    {0, "Unlabeled"},
    {1, "Unknown"},
    {2, "Other"},
    {3, "NonExisting"},
    {4, "Artefact"},
    {5, "Empty"},
    {16, "Tumor"},
    {17, "TumorPartial"},
    {18, "TumorInvasive"},
    {19, "ConnectiveTissue"},
    {20, "Blood"},
    {21, "BloodVessel"},
    {22, "FattyTissue"},
    {23, "Necrosis"},
    {24, "Lymphatic"},
    {25, "Muscle"},
    {26, "MuscleSmooth"},
    {27, "MuscleStriated"},
    {28, "Mucosa"},
    {29, "MucosaStomach"},
    {30, "MucosaLargeIntestine"},
    {31, "MucosaSmallIntestine"},
    {32, "Epithelium"},
    {33, "EpitheliumSquamous"},
    {34, "EpitheliumGland"},
    {35, "Cns"},
    {36, "Bone"},
    {37, "Bonemarrow"},
};

inline constexpr Vocabulary TILE_LABEL = {
    "TileLabel",
    TILE_LABEL_MEMBERS,
    " _",
    "No label for number ",
};

static_assert(is_well_formed(TILE_LABEL));

}  // namespace tarvu
