#pragma once
// TileLabel: the tissue class assigned to one image tile.

#include "types/vocabulary.h"

namespace tarvu {

inline constexpr Member TILE_LABEL_MEMBERS[] = {
    {0, "Unlabeled", "TileLabel.Unlabeled"},
    {1, "Unknown", "TileLabel.Unknown"},
    {2, "Other", "TileLabel.Other"},
    {3, "NonExisting", "TileLabel.NonExisting"},
    {4, "Artefact", "TileLabel.Artefact"},
    {5, "Empty", "TileLabel.Empty"},
    {16, "Tumor", "TileLabel.Tumor"},
    {17, "TumorPartial", "TileLabel.TumorPartial"},
    {18, "TumorInvasive", "TileLabel.TumorInvasive"},
    {19, "ConnectiveTissue", "TileLabel.ConnectiveTissue"},
    {20, "Blood", "TileLabel.Blood"},
    {21, "BloodVessel", "TileLabel.BloodVessel"},
    {22, "FattyTissue", "TileLabel.FattyTissue"},
    {23, "Necrosis", "TileLabel.Necrosis"},
    {24, "Lymphatic", "TileLabel.Lymphatic"},
    {25, "Muscle", "TileLabel.Muscle"},
    {26, "MuscleSmooth", "TileLabel.MuscleSmooth"},
    {27, "MuscleStriated", "TileLabel.MuscleStriated"},
    {28, "Mucosa", "TileLabel.Mucosa"},
    {29, "MucosaStomach", "TileLabel.MucosaStomach"},
    {30, "MucosaLargeIntestine", "TileLabel.MucosaLargeIntestine"},
    {31, "MucosaSmallIntestine", "TileLabel.MucosaSmallIntestine"},
    {32, "Epithelium", "TileLabel.Epithelium"},
    {33, "EpitheliumSquamous", "TileLabel.EpitheliumSquamous"},
    {34, "EpitheliumGland", "TileLabel.EpitheliumGland"},
    {35, "Cns", "TileLabel.Cns"},
    {36, "Bone", "TileLabel.Bone"},
    {37, "Bonemarrow", "TileLabel.Bonemarrow"},
};

inline constexpr Vocabulary TILE_LABEL = {
    "TileLabel",
    TILE_LABEL_MEMBERS,
    " _",
    "No label for number ",
};

static_assert(std::size(TILE_LABEL_MEMBERS) == 28);
static_assert(is_well_formed(TILE_LABEL));

}  // namespace tarvu
