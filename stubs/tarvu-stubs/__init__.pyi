# Type information for the tarvu extension module.
#
# The three classes are closed enumerations implemented in C++: they cannot be
# subclassed, their members are instances stored as class attributes, and they
# are unhashable because they define equality without a hash.
import builtins
from typing import ClassVar, SupportsIndex, final

__all__ = ["Diagnosis", "Stain", "TileLabel"]


@final
class Diagnosis:
    """Closed vocabulary of the diagnosis attached to a case."""

    Unknown: ClassVar[Diagnosis]
    HL: ClassVar[Diagnosis]
    DLBCL: ClassVar[Diagnosis]
    CLL: ClassVar[Diagnosis]
    FL: ClassVar[Diagnosis]
    MCL: ClassVar[Diagnosis]
    LTDS: ClassVar[Diagnosis]

    # Equality without a hash: the interpreter sets __hash__ to None.
    __hash__: ClassVar[None]  # type: ignore[assignment]

    def __new__(cls, s: str) -> Diagnosis: ...
    @staticmethod
    def from_int(v: SupportsIndex) -> Diagnosis: ...
    # The method named list shadows the builtin inside this class body.
    @staticmethod
    def list() -> builtins.list[Diagnosis]: ...
    def to_string(self) -> str: ...
    def __int__(self) -> int: ...
    def __eq__(self, other: object, /) -> bool: ...
    def __ne__(self, other: object, /) -> bool: ...

@final
class Stain:
    """Closed vocabulary of the stain a slide was prepared with."""

    Unknown: ClassVar[Stain]
    HE: ClassVar[Stain]
    CD3: ClassVar[Stain]
    CD20: ClassVar[Stain]
    CD30: ClassVar[Stain]
    CD68: ClassVar[Stain]

    # Equality without a hash: the interpreter sets __hash__ to None.
    __hash__: ClassVar[None]  # type: ignore[assignment]

    def __new__(cls, s: str) -> Stain: ...
    @staticmethod
    def from_int(v: SupportsIndex) -> Stain: ...
    # The method named list shadows the builtin inside this class body.
    @staticmethod
    def list() -> builtins.list[Stain]: ...
    def to_string(self) -> str: ...
    def __int__(self) -> int: ...
    def __eq__(self, other: object, /) -> bool: ...
    def __ne__(self, other: object, /) -> bool: ...

@final
class TileLabel:
    """Closed vocabulary of the tissue class assigned to one image tile."""

    Unlabeled: ClassVar[TileLabel]
    Unknown: ClassVar[TileLabel]
    Other: ClassVar[TileLabel]
    NonExisting: ClassVar[TileLabel]
    Artefact: ClassVar[TileLabel]
    Empty: ClassVar[TileLabel]
    Tumor: ClassVar[TileLabel]
    TumorPartial: ClassVar[TileLabel]
    TumorInvasive: ClassVar[TileLabel]
    ConnectiveTissue: ClassVar[TileLabel]
    Blood: ClassVar[TileLabel]
    BloodVessel: ClassVar[TileLabel]
    FattyTissue: ClassVar[TileLabel]
    Necrosis: ClassVar[TileLabel]
    Lymphatic: ClassVar[TileLabel]
    Muscle: ClassVar[TileLabel]
    MuscleSmooth: ClassVar[TileLabel]
    MuscleStriated: ClassVar[TileLabel]
    Mucosa: ClassVar[TileLabel]
    MucosaStomach: ClassVar[TileLabel]
    MucosaLargeIntestine: ClassVar[TileLabel]
    MucosaSmallIntestine: ClassVar[TileLabel]
    Epithelium: ClassVar[TileLabel]
    EpitheliumSquamous: ClassVar[TileLabel]
    EpitheliumGland: ClassVar[TileLabel]
    Cns: ClassVar[TileLabel]
    Bone: ClassVar[TileLabel]
    Bonemarrow: ClassVar[TileLabel]

    # Equality without a hash: the interpreter sets __hash__ to None.
    __hash__: ClassVar[None]  # type: ignore[assignment]

    def __new__(cls, s: str) -> TileLabel: ...
    @staticmethod
    def from_int(v: SupportsIndex) -> TileLabel: ...
    # The method named list shadows the builtin inside this class body.
    @staticmethod
    def list() -> builtins.list[TileLabel]: ...
    def to_string(self) -> str: ...
    def __int__(self) -> int: ...
    def __eq__(self, other: object, /) -> bool: ...
    def __ne__(self, other: object, /) -> bool: ...
