"""Generate tile_annotations.csv, a made-up but realistic tile-annotation export.

The file imitates what a lab's annotation tool hands over: an Excel "CSV UTF-8"
export (byte-order mark, CRLF line ends) with one row per image tile. Each slide
has one stain and one diagnosis, spelled the same way on every row of that slide
but differently from slide to slide; tile labels are spelled per row, the way
several annotators type them. Some texts need the example's alias table and some
are beyond repair, as in real data.

The output is fixed by the seed, so re-running this script reproduces the
committed CSV byte for byte:

    python examples/data/make_tile_annotations.py [--out PATH]
"""

from __future__ import annotations

import argparse
import csv
import random
from pathlib import Path
from typing import Dict, List, Sequence, Tuple

SEED = 20240751
SLIDE_COUNT = 40
ROW_COUNT = 3000
TILE_SIZE = 512
GRID = 24  # tiles per side of the scanned region of a slide

# (text as typed, weight). Weights are relative within one list.
Spellings = Sequence[Tuple[str, float]]

# One entry per slide-level stain: the spellings a slide may carry.
STAIN_SPELLINGS: Dict[str, Spellings] = {
    "HE": [("H&E", 6), ("HE", 2), ("h&e", 1), ("H & E", 1), ("h e", 1), ("H_E", 1)],
    "CD20": [("CD20", 3), ("cd_20", 1), ("CD 20", 1), ("CD-20", 1)],
    "CD3": [("CD3", 3), ("cd3", 1), ("CD 3", 1)],
    "CD30": [("CD30", 3), ("Cd30", 1)],
    "CD68": [("CD68", 2), ("CD-68", 1)],
}
STAIN_WEIGHTS = {"HE": 10, "CD20": 4, "CD3": 3, "CD30": 2, "CD68": 2}

DIAGNOSIS_SPELLINGS: Dict[str, Spellings] = {
    "DLBCL": [("DLBCL", 4), ("dlbcl", 1), ("d l b c l", 1), ("DLBCL ", 1)],
    "HL": [("HL", 3), ("hl", 1)],
    "CLL": [("CLL", 3), ("cll", 1)],
    "FL": [("FL", 3), ("f l", 1)],
    "MCL": [("MCL", 3), ("M C L", 1)],
    "LTDS": [("LTDS", 1)],
    "Unknown": [("unknown", 1), ("Unknown", 1)],
}
DIAGNOSIS_WEIGHTS = {"DLBCL": 8, "HL": 4, "CLL": 3, "FL": 3, "MCL": 3, "LTDS": 1, "Unknown": 1}

# Slides whose slide-level text no alias can repair: a stain that was never
# filled in, a diagnosis nobody knew yet, one with a WHO qualifier attached.
BROKEN_SLIDES = {7: ("stain", ""), 19: ("diagnosis", "n/a"), 31: ("diagnosis", "DLBCL, NOS")}

TILE_SPELLINGS: Dict[str, Spellings] = {
    "Tumor": [("Tumor", 60), ("tumor", 20), ("TUMOR", 5), ("Tumour", 12), ("\ufeffTumor", 1)],
    "ConnectiveTissue": [
        ("Connective tissue", 6),
        ("connective_tissue", 3),
        ("ConnectiveTissue", 2),
        ("Connective Tissue ", 1),
    ],
    "FattyTissue": [("FATTY_TISSUE", 4), ("Fatty tissue", 3), ("fatty tissue", 2)],
    "Necrosis": [("Necrosis", 12), ("necrosis", 6), ("Necrosis\r", 1)],
    "Blood": [("Blood", 3), ("blood", 1)],
    "BloodVessel": [("Blood vessel", 3), ("blood_vessel", 2)],
    "Lymphatic": [("Lymphatic", 2), ("lymphatic", 1)],
    "Empty": [("Empty", 3), ("EMPTY", 2), ("empty", 1)],
    "Artefact": [("Artefact", 4), ("artefact", 2), ("Artifact", 2), ("artifact", 1)],
    "Unlabeled": [("Unlabeled", 2), ("unlabeled", 1)],
    "Other": [("Other", 2), ("other", 1)],
    "MuscleSmooth": [("Muscle smooth", 2), ("smooth muscle", 2), ("Smooth_Muscle", 1)],
    "Muscle": [("Muscle", 1)],
    "MuscleStriated": [("muscle striated", 1)],
    "Mucosa": [("Mucosa", 1), ("MUCOSA", 1)],
    "Epithelium": [("Epithelium", 1)],
    "Bonemarrow": [("bone marrow", 3), ("Bone Marrow", 2), ("bone-marrow", 2)],
    "Bone": [("Bone", 1)],
    "NonExisting": [("non existing", 2), ("non-existing", 2), ("Non_Existing", 1)],
    "TumorInvasive": [("tumor_invasive", 1), ("Tumor invasive", 1)],
    "TumorPartial": [("Tumor partial", 1)],
}
TILE_WEIGHTS = {
    "Tumor": 300,
    "ConnectiveTissue": 120,
    "FattyTissue": 100,
    "Necrosis": 60,
    "Blood": 40,
    "BloodVessel": 50,
    "Lymphatic": 50,
    "Empty": 80,
    "Artefact": 40,
    "Unlabeled": 30,
    "Other": 20,
    "MuscleSmooth": 30,
    "Muscle": 10,
    "MuscleStriated": 8,
    "Mucosa": 8,
    "Epithelium": 8,
    "Bonemarrow": 25,
    "Bone": 6,
    "NonExisting": 10,
    "TumorInvasive": 12,
    "TumorPartial": 5,
}
# Tile texts no alias can repair, with their share of all rows: a tile nobody
# labelled, a QuPath derived class, a code from another data set's legend.
BROKEN_TILE_TEXTS = [("", 0.004), ("Tumor: Positive", 0.002), ("TUM", 0.002)]

HEADER = ["slide_id", "stain", "diagnosis", "tile_x", "tile_y", "tile_label"]


def pick(rng: random.Random, weighted: Spellings) -> str:
    texts = [text for text, _ in weighted]
    weights = [weight for _, weight in weighted]
    return rng.choices(texts, weights)[0]


def tiles_per_slide(rng: random.Random) -> List[int]:
    """Uneven slide sizes that still add up to ROW_COUNT."""
    counts = [ROW_COUNT // SLIDE_COUNT] * SLIDE_COUNT
    for i in range(SLIDE_COUNT):
        shift = rng.randint(-30, 30)
        counts[i] += shift
        counts[(i + 1) % SLIDE_COUNT] -= shift
    return counts


def tile_label_text(rng: random.Random) -> str:
    draw = rng.random()
    for text, share in BROKEN_TILE_TEXTS:
        if draw < share:
            return text
        draw -= share
    label = pick(rng, list(TILE_WEIGHTS.items()))
    return pick(rng, TILE_SPELLINGS[label])


def make_rows(rng: random.Random) -> List[List[str]]:
    rows: List[List[str]] = []
    accession_numbers = sorted(rng.sample(range(100, 10000), SLIDE_COUNT))
    for index, count in enumerate(tiles_per_slide(rng)):
        slide_id = f"S{19 + 3 * index // SLIDE_COUNT}-{accession_numbers[index]:05d}"
        texts = {
            "stain": pick(rng, STAIN_SPELLINGS[pick(rng, list(STAIN_WEIGHTS.items()))]),
            "diagnosis": pick(rng, DIAGNOSIS_SPELLINGS[pick(rng, list(DIAGNOSIS_WEIGHTS.items()))]),
        }
        if index in BROKEN_SLIDES:
            column, text = BROKEN_SLIDES[index]
            texts[column] = text
        # Tiles come in scan order, row by row, like the tiler writes them.
        cells = sorted(rng.sample(range(GRID * GRID), count))
        for cell in cells:
            tile_y, tile_x = divmod(cell, GRID)
            rows.append(
                [
                    slide_id,
                    texts["stain"],
                    texts["diagnosis"],
                    str(tile_x * TILE_SIZE),
                    str(tile_y * TILE_SIZE),
                    tile_label_text(rng),
                ]
            )
    return rows


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument(
        "--out",
        type=Path,
        default=Path(__file__).with_name("tile_annotations.csv"),
        help="where to write the CSV (default: next to this script)",
    )
    args = parser.parse_args()
    rows = make_rows(random.Random(SEED))
    # utf-8-sig and the default excel dialect (CRLF) give what a spreadsheet's
    # "CSV UTF-8" export gives; the dialect also quotes values holding "\r".
    with open(args.out, "w", encoding="utf-8-sig", newline="") as out:
        writer = csv.writer(out)
        writer.writerow(HEADER)
        writer.writerows(rows)
    print(f"wrote {len(rows)} rows to {args.out}")


if __name__ == "__main__":
    main()
