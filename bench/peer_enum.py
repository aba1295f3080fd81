"""The three label vocabularies in plain Python, as a reference point for the benchmark.

This is how a Python user would write them without a native module: stdlib
``enum.IntEnum`` classes, text parsing through the ``_missing_`` hook (so
``TileLabel('Bone')`` works), and prebuilt dictionaries for both lookups. It
accepts and rejects the same texts and numbers as tarvu and raises the same
``RuntimeError`` messages; it differs where IntEnum's own nature shows: members
are singletons, hashable, ordered and ints (``TileLabel(16)`` looks up a value,
``Stain.HE == Diagnosis.HL`` is true), and ``str()`` gives the number.
"""

import enum


class _VocabularyType(type(enum.IntEnum)):
    """Lets the classes be called with the text by keyword, TileLabel(s='Bone'),
    as tarvu's are; the enum machinery names that parameter `value`."""

    def __call__(cls, value=None, *args, s=None, **kwargs):
        return super().__call__(value if s is None else s, *args, **kwargs)


class _Vocabulary(enum.IntEnum, metaclass=_VocabularyType):
    """Behaviour shared by the three vocabularies; each sets its tables in _finish()."""

    @classmethod
    def _missing_(cls, value):
        # Only reached for values that are no member value, so a str here is a text to parse.
        if not isinstance(value, str):
            return None
        # Names are ASCII, so a text with any other character can never match; checking
        # that first also keeps str.lower() from folding non-ASCII letters (the Kelvin
        # sign lowers to "k").
        if value.isascii():
            for removed in cls._removed_characters:
                value = value.replace(removed, "")
            member = cls._by_folded_name.get(value.lower())
            if member is not None:
                return member
        raise RuntimeError("Matching variant not found")

    @classmethod
    def from_int(cls, v):
        member = cls._by_value.get(v)
        if member is None:
            raise RuntimeError(cls._from_int_message.format(v=v))
        return member

    @classmethod
    def list(cls):
        return [*cls]

    def to_string(self):
        return self._name_

    def __repr__(self):
        return f"{type(self).__name__}.{self._name_}"


def _finish(cls, removed_characters, from_int_message):
    # Set after the class statement: in the body these names would become members.
    cls._removed_characters = removed_characters
    cls._from_int_message = from_int_message
    cls._by_folded_name = {member.name.lower(): member for member in cls}
    cls._by_value = {member.value: member for member in cls}
    return cls


class Stain(_Vocabulary):
    Unknown = 0
    HE = 1
    CD3 = 3
    CD20 = 20
    CD30 = 30
    CD68 = 68


class Diagnosis(_Vocabulary):
    Unknown = 0
    HL = 1
    DLBCL = 2
    CLL = 3
    FL = 4
    MCL = 5
    LTDS = 6


class TileLabel(_Vocabulary):
    Unlabeled = 0
    Unknown = 1
    Other = 2
    NonExisting = 3
    Artefact = 4
    Empty = 5
    Tumor = 16
    TumorPartial = 17
    TumorInvasive = 18
    ConnectiveTissue = 19
    Blood = 20
    BloodVessel = 21
    FattyTissue = 22
    Necrosis = 23
    Lymphatic = 24
    Muscle = 25
    MuscleSmooth = 26
    MuscleStriated = 27
    Mucosa = 28
    MucosaStomach = 29
    MucosaLargeIntestine = 30
    MucosaSmallIntestine = 31
    Epithelium = 32
    EpitheliumSquamous = 33
    EpitheliumGland = 34
    Cns = 35
    Bone = 36
    Bonemarrow = 37


_finish(Stain, (" ", "_", "&"), "No stain for number {v}")
_finish(Diagnosis, (" ", "_"), "No diagnosis for number {v}")
_finish(TileLabel, (" ", "_"), "No label for number {v}")

__all__ = ["Diagnosis", "Stain", "TileLabel"]
