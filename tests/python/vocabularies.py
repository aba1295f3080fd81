"""The vocabularies as the tests expect them, in the module's registration order: the suite's
own oracle, written from the documented tables and independent of src/. Pure data, so that a
process may read it before (or without) importing tarvu: the allocation-failure driver and the
fuzzing harness do.

Each entry: class name, members as (name, value) in declaration order, the message of a
failed from_int as a format with one field for the number, and the removed characters.
"""

VOCABULARIES = (
    (
        "Diagnosis",
        (("Unknown", 0), ("HL", 1), ("DLBCL", 2), ("CLL", 3), ("FL", 4),
         ("MCL", 5), ("LTDS", 6)),
        "No diagnosis for number {}",
        " _",
    ),
    (
        "Stain",
        (("Unknown", 0), ("HE", 1), ("CD3", 3), ("CD20", 20), ("CD30", 30),
         ("CD68", 68)),
        "No stain for number {}",
        " _&",
    ),
    (
        "TileLabel",
        (("Unlabeled", 0), ("Unknown", 1), ("Other", 2), ("NonExisting", 3),
         ("Artefact", 4), ("Empty", 5), ("Tumor", 16), ("TumorPartial", 17),
         ("TumorInvasive", 18), ("ConnectiveTissue", 19), ("Blood", 20),
         ("BloodVessel", 21), ("FattyTissue", 22), ("Necrosis", 23),
         ("Lymphatic", 24), ("Muscle", 25), ("MuscleSmooth", 26),
         ("MuscleStriated", 27), ("Mucosa", 28), ("MucosaStomach", 29),
         ("MucosaLargeIntestine", 30), ("MucosaSmallIntestine", 31),
         ("Epithelium", 32), ("EpitheliumSquamous", 33),
         ("EpitheliumGland", 34), ("Cns", 35), ("Bone", 36),
         ("Bonemarrow", 37)),
        "No label for number {}",
        " _",
    ),
)
