# Type information for the tarvu extension module.
#
# The three classes are closed enumerations implemented in C++: they cannot be
# subclassed, their members are instances stored as class attributes, and they
# are unhashable because they define equality without a hash. The docstrings
# say what a member cannot do and what to do instead, where an editor shows
# them; the runtime classes carry no docstrings of their own.
import builtins
from typing import ClassVar, Final, SupportsIndex, final

__all__ = ["Diagnosis", "Stain", "TileLabel"]

@final
class Diagnosis:
    """Closed vocabulary of the diagnosis attached to a case; each member is a class attribute.

    Unhashable: key sets, dicts and Counter by int(m), not by the member.
    Unpicklable and uncopyable: send int(m) and rebuild with Diagnosis.from_int.
    == holds with members and ints only: never with floats (16.0) or strs.
    Parsing, from_int and list() make new instances: keep Diagnosis.HL for one object.
    """
    # Final: rebinding or deleting a member changes the class for the whole process.
    Unknown: Final[Diagnosis]
    HL: Final[Diagnosis]
    DLBCL: Final[Diagnosis]
    CLL: Final[Diagnosis]
    FL: Final[Diagnosis]
    MCL: Final[Diagnosis]
    LTDS: Final[Diagnosis]

    # Equality without a hash: the interpreter sets __hash__ to None.
    __hash__: ClassVar[None]  # type: ignore[assignment]

    def __new__(cls, s: str) -> Diagnosis:
        """Parse s, ignoring ASCII case, spaces and underscores; RuntimeError if it names no member. A new instance."""
    @staticmethod
    def from_int(v: SupportsIndex) -> Diagnosis:
        """The member whose value is v, as a new instance; RuntimeError if none has it, OverflowError outside 0 to 255."""
    # The method named list shadows the builtin inside this class body.
    @staticmethod
    def list() -> builtins.list[Diagnosis]:
        """Every member, in declaration (= value) order, as new instances."""
    def to_string(self) -> str:
        """The member's name, which Diagnosis(s) parses back: write this to text files (str() gives the repr)."""
    def __int__(self) -> int:
        """The member value: the key for sets and dicts, and what to send to other processes."""
    def __eq__(self, other: object, /) -> bool:
        """True for an equal member of this class or its value as an int; False for floats, strs and other classes."""
    def __ne__(self, other: object, /) -> bool:
        """The negation of ==."""

@final
class Stain:
    """Closed vocabulary of the stain a slide was prepared with; each member is a class attribute.

    Unhashable: key sets, dicts and Counter by int(m), not by the member.
    Unpicklable and uncopyable: send int(m) and rebuild with Stain.from_int.
    == holds with members and ints only: never with floats (16.0) or strs.
    Parsing, from_int and list() make new instances: keep Stain.HE for one object.
    """
    # Final: rebinding or deleting a member changes the class for the whole process.
    Unknown: Final[Stain]
    HE: Final[Stain]
    CD3: Final[Stain]
    CD20: Final[Stain]
    CD30: Final[Stain]
    CD68: Final[Stain]

    # Equality without a hash: the interpreter sets __hash__ to None.
    __hash__: ClassVar[None]  # type: ignore[assignment]

    def __new__(cls, s: str) -> Stain:
        """Parse s, ignoring ASCII case, spaces, underscores and ampersands; RuntimeError if it names no member. A new instance."""
    @staticmethod
    def from_int(v: SupportsIndex) -> Stain:
        """The member whose value is v, as a new instance; RuntimeError if none has it, OverflowError outside 0 to 255."""
    # The method named list shadows the builtin inside this class body.
    @staticmethod
    def list() -> builtins.list[Stain]:
        """Every member, in declaration (= value) order, as new instances."""
    def to_string(self) -> str:
        """The member's name, which Stain(s) parses back: write this to text files (str() gives the repr)."""
    def __int__(self) -> int:
        """The member value: the key for sets and dicts, and what to send to other processes."""
    def __eq__(self, other: object, /) -> bool:
        """True for an equal member of this class or its value as an int; False for floats, strs and other classes."""
    def __ne__(self, other: object, /) -> bool:
        """The negation of ==."""

@final
class TileLabel:
    """Closed vocabulary of the tissue class assigned to one image tile; each member is a class attribute.

    Unhashable: key sets, dicts and Counter by int(m), not by the member.
    Unpicklable and uncopyable: send int(m) and rebuild with TileLabel.from_int.
    == holds with members and ints only: never with floats (16.0) or strs.
    Parsing, from_int and list() make new instances: keep TileLabel.Tumor for one object.
    """
    # Final: rebinding or deleting a member changes the class for the whole process.
    Unlabeled: Final[TileLabel]
    Unknown: Final[TileLabel]
    Other: Final[TileLabel]
    NonExisting: Final[TileLabel]
    Artefact: Final[TileLabel]
    Empty: Final[TileLabel]
    Tumor: Final[TileLabel]
    TumorPartial: Final[TileLabel]
    TumorInvasive: Final[TileLabel]
    ConnectiveTissue: Final[TileLabel]
    Blood: Final[TileLabel]
    BloodVessel: Final[TileLabel]
    FattyTissue: Final[TileLabel]
    Necrosis: Final[TileLabel]
    Lymphatic: Final[TileLabel]
    Muscle: Final[TileLabel]
    MuscleSmooth: Final[TileLabel]
    MuscleStriated: Final[TileLabel]
    Mucosa: Final[TileLabel]
    MucosaStomach: Final[TileLabel]
    MucosaLargeIntestine: Final[TileLabel]
    MucosaSmallIntestine: Final[TileLabel]
    Epithelium: Final[TileLabel]
    EpitheliumSquamous: Final[TileLabel]
    EpitheliumGland: Final[TileLabel]
    Cns: Final[TileLabel]
    Bone: Final[TileLabel]
    Bonemarrow: Final[TileLabel]

    # Equality without a hash: the interpreter sets __hash__ to None.
    __hash__: ClassVar[None]  # type: ignore[assignment]

    def __new__(cls, s: str) -> TileLabel:
        """Parse s, ignoring ASCII case, spaces and underscores; RuntimeError if it names no member. A new instance."""
    @staticmethod
    def from_int(v: SupportsIndex) -> TileLabel:
        """The member whose value is v, as a new instance; RuntimeError if none has it, OverflowError outside 0 to 255."""
    # The method named list shadows the builtin inside this class body.
    @staticmethod
    def list() -> builtins.list[TileLabel]:
        """Every member, in declaration (= value) order, as new instances."""
    def to_string(self) -> str:
        """The member's name, which TileLabel(s) parses back: write this to text files (str() gives the repr)."""
    def __int__(self) -> int:
        """The member value: the key for sets and dicts, and what to send to other processes."""
    def __eq__(self, other: object, /) -> bool:
        """True for an equal member of this class or its value as an int; False for floats, strs and other classes."""
    def __ne__(self, other: object, /) -> bool:
        """The negation of ==."""
