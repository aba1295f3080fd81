"""The three label vocabularies: members, parsing, lookup, comparison, type."""

import copy
import gc
import inspect
import operator
import pickle
import struct
import sys
import sysconfig
import weakref

import pytest
from conftest import VOCABS, VOCABS_BY_NAME, borrow_counter
from index_objects import Index

NO_MATCH = "Matching variant not found"


def member(vocab, name):
    return getattr(vocab.cls, name)


def parse_fails(cls, text):
    """True if cls(text) raises exactly RuntimeError("Matching variant ...")."""
    try:
        cls(text)
    except RuntimeError as exc:
        return type(exc) is RuntimeError and exc.args == (NO_MATCH,)
    return False


# --- members ---------------------------------------------------------------

def test_member_table(vocab):
    cls, names = vocab.cls, [name for name, _ in vocab.members]
    for name, value in vocab.members:
        m = member(vocab, name)
        assert type(m) is cls
        assert int(m) == value and type(int(m)) is int
        assert repr(m) == str(m) == f"{vocab.name}.{name}" == f"{m}"
        assert m.to_string() == name
        for _ in range(2):  # the first str made gives its hash to later ones
            assert hash(m.to_string()) == hash(name)
            assert hash(repr(m)) == hash(f"{vocab.name}.{name}")
    # The class attributes are stored in declaration order.
    assert [k for k, v in vars(cls).items() if type(v) is cls] == names
    listed = cls.list()
    assert type(listed) is list
    assert [(m.to_string(), int(m)) for m in listed] == list(vocab.members)


def test_made_members_are_new_objects_equal_to_the_attributes(vocab):
    cls = vocab.cls
    attributes = [member(vocab, name) for name, _ in vocab.members]
    assert all(a is member(vocab, n)  # the same object on every access
               for a, (n, _) in zip(attributes, vocab.members))
    first, second = cls.list(), cls.list()
    assert first is not second and first == second == attributes
    for (name, value), attr, a, b in zip(vocab.members, attributes, first,
                                         second):
        made = [a, b, cls.from_int(value), cls(name)]
        assert all(m == attr and type(m) is cls for m in made)
        assert len({id(m) for m in made + [attr]}) == 5


def test_memory_of_freed_members_serves_any_class(vocab):
    # Both counts read the same local: from 3.14 on, the interpreter lends a
    # local to the call without counting it, but still counts the result of
    # an attribute read, so mixing the two forms reads one apart.
    cls = vocab.cls
    before = sys.getrefcount(cls)
    for other in VOCABS:
        freed = other.cls.list()
        del freed
        made = [cls.from_int(v) for v in vocab.values]
        assert [(type(m), m == v) for m, v in zip(made, vocab.values)] == [
            (cls, True)] * len(made)
        del made
    assert sys.getrefcount(cls) == before  # each member held its class once


# --- from_int -------------------------------------------------------------

def test_from_int_finds_every_member_and_names_every_gap(vocab):
    for name, value in vocab.members:
        found = vocab.cls.from_int(value)
        assert found.to_string() == name and int(found) == value
    for v in vocab.non_values:
        with pytest.raises(RuntimeError) as info:
            vocab.cls.from_int(v)
        assert type(info.value) is RuntimeError
        assert info.value.args == (vocab.miss(v),)


# --- parsing --------------------------------------------------------------

ACCEPTED = {
    "Stain": [
        ("H&E", "HE"), ("h&e", "HE"), ("H E", "HE"), ("h_e", "HE"),
        ("H & E", "HE"), ("_he_", "HE"), ("  HE", "HE"), ("HE  ", "HE"),
        ("H&&E", "HE"), ("H_&_E", "HE"), ("cd_20", "CD20"),
        ("CD 20", "CD20"), ("Cd20", "CD20"), ("cd20", "CD20"),
        ("c d 6 8", "CD68"), ("CD 3 0", "CD30"), ("CD 3", "CD3"),
        ("UNKNOWN", "Unknown"), ("un_known", "Unknown"),
    ],
    "Diagnosis": [
        ("hl", "HL"), ("H L", "HL"), ("h_l", "HL"), ("HL   ", "HL"),
        ("Hl", "HL"), ("f l", "FL"), ("d_l_b_c_l", "DLBCL"),
        ("D L B C L", "DLBCL"), ("dlbcl", "DLBCL"), ("M C L", "MCL"),
        ("cll", "CLL"), ("Ltds", "LTDS"), ("UNKNOWN", "Unknown"),
        ("un_known", "Unknown"),
    ],
    "TileLabel": [
        ("Connective Tissue", "ConnectiveTissue"),
        ("connective_tissue", "ConnectiveTissue"),
        ("CONNECTIVETISSUE", "ConnectiveTissue"),
        ("_Connective Tissue_", "ConnectiveTissue"),
        ("Connective tissue ", "ConnectiveTissue"),
        ("Bone Marrow", "Bonemarrow"), ("bone_marrow", "Bonemarrow"),
        ("BONEMARROW", "Bonemarrow"), ("Bone", "Bone"), ("CNS", "Cns"),
        ("c n s", "Cns"), ("non existing", "NonExisting"),
        ("Non_Existing", "NonExisting"), ("muscle striated", "MuscleStriated"),
        ("Muscle_Smooth", "MuscleSmooth"), ("blood_vessel", "BloodVessel"),
        ("Mucosa Large Intestine", "MucosaLargeIntestine"),
        ("mucosa small intestine", "MucosaSmallIntestine"),
        ("epithelium squamous", "EpitheliumSquamous"),
        ("tumor_invasive", "TumorInvasive"), ("fatty tissue", "FattyTissue"),
        ("Tumor", "Tumor"), ("TUMOR", "Tumor"), ("artefact", "Artefact"),
        ("EMPTY", "Empty"), ("other", "Other"), ("Unlabeled", "Unlabeled"),
    ],
}

REJECTED = {
    "Stain": [
        "CD300", "CD3x", "CD-20", "CD2O", "20", "68", "H and E", "HandE",
        "H+E", "H/E", "(H&E)", "H&E Staining", "HES", "CD20+", "CD3e",
        "Hematoxylin and eosin", "H\tE", "HE\t", "H\u00a0E", "\uff28\uff25",
        # Told apart by both of the last two characters, and by the first two.
        "CD28", "CD60", "CD38", "CD23", "CD08", "XD20", "CX20", "HX", "XE",
        # Control characters one bit away from a digit are not digits.
        "CD\x13", "CD2\x10", "CD\x16\x18",
    ],
    "Diagnosis": [
        "H&L", "CL", "DLBC", "DLBCLL", "MCLL", "2", "HL\t", "H-L",
        "HL\u00a0", "\uff28\uff2c", "cHL", "Hodgkin lymphoma", "DLBCL, NOS",
        "DLBCL-NOS", "CLL/SLL", "FL grade 3A", "Mantle cell lymphoma", "N/A",
        "HX", "XL", "MLL", "CCL", "CLX", "MCX", "LTDX", "DLBCX",
    ],
    "TileLabel": [
        "Bone-Marrow", "Non-Existing", "T.umor", "Artifact", "Tumour", "Tumo",
        "TumorX", "Tumor\t", "Tumor\u00a0", "Bone&Marrow", "Tumor\n",
        "Tumor\r", "\ufeffTumor", "Tumor: Positive", "01_TUMOR", "TUM",
        "invasive tumor", "connective-tissue", "adipose tissue", "fat",
        "vessel", "necrosis_or_debris", "lymphatics", "smooth muscle",
        "squamous epithelium", "central nervous system", "unlabelled",
        "Region*", "Stroma", "_0", "Tum\u00f6r", "16",
    ],
}


@pytest.mark.parametrize("vocab_name, text, name", [
    (v, text, name) for v, pairs in ACCEPTED.items() for text, name in pairs])
def test_accepted_spellings(vocab_name, text, name):
    vocab = VOCABS_BY_NAME[vocab_name]
    parsed = vocab.cls(text)
    assert type(parsed) is vocab.cls
    assert parsed.to_string() == name


@pytest.mark.parametrize("vocab_name, text", [
    (v, text) for v, texts in REJECTED.items() for text in texts])
def test_rejected_spellings(vocab_name, text):
    assert parse_fails(VOCABS_BY_NAME[vocab_name].cls, text)


def test_every_name_parses_in_any_ascii_case_and_spacing(vocab):
    for name, value in vocab.members:
        for text in (name, name.lower(), name.upper(), name.swapcase(),
                     " ".join(name), "_".join(name.lower()),
                     f" _{name}_ ", name + " " * 10000):
            assert vocab.cls(text) == value, text
        if "&" in vocab.removed:
            assert vocab.cls("&".join(name) + "&") == value


def test_only_whole_names_match(vocab):
    cls = vocab.cls
    folded = {name.lower() for name, _ in vocab.members}
    wrong = []
    for name, value in vocab.members:
        texts = [name[:-1], name[1:], name + "x", "x" + name, name + name,
                 name + "\x00", "\x00" + name, name[:1] + "\x00" + name[1:],
                 name + "\t", "\u00a0" + name, name + ".", name + "-",
                 name + "&" if "&" not in vocab.removed else name + "+",
                 str(value), "".join(chr(ord(c) + 0xFEE0) for c in name)]
        # Every single-character change that does not spell another name.
        for i, c in enumerate(name):
            others = ["q" if c.lower() != "q" else "z", "9" if c != "9" else "8"]
            if c.isdigit():  # one bit away: a control character
                others.append(chr(ord(c) ^ 0x20))
            for other in others:
                changed = name[:i] + other + name[i + 1:]
                if changed.lower() not in folded:
                    texts.append(changed)
        wrong += [t for t in texts if t.lower() not in folded
                  and not parse_fails(cls, t)]
    assert wrong == []


def test_only_ascii_letters_fold(vocab):
    # Each of these folds to an ASCII letter under Unicode case rules (Kelvin
    # sign to k, long s to S, dotless i to I), never under ASCII ones.
    lookalike = {"k": "\u212a", "s": "\u017f", "i": "\u0131"}
    texts = ["\u0130"]
    for name, _ in vocab.members:
        texts += [name[:i] + lookalike[c.lower()] + name[i + 1:]
                  for i, c in enumerate(name) if c.lower() in lookalike]
    assert len(texts) > 1
    assert [t for t in texts if not parse_fails(vocab.cls, t)] == []


# A short id for the long text: pytest puts the test id in an environment
# variable, which Windows limits to 32767 characters.
@pytest.mark.parametrize("text", ["", " ", "_", " _ ", "  __  ", "&&", "&",
                                  " & _ ", "\x00", pytest.param("_" * 100000, id="100000 underscores")])
def test_texts_that_clean_to_nothing_or_nonsense_fail(vocab, text):
    assert parse_fails(vocab.cls, text)


# --- comparison -----------------------------------------------------------

def test_members_compare_by_value_with_members_and_integers(vocab):
    cls = vocab.cls
    for name, value in vocab.members:
        m = member(vocab, name)
        assert (m == value) is True and (value == m) is True
        assert (m != value) is False and (value != m) is False
        assert m == cls.from_int(value) and not m != cls.from_int(value)
        assert m == Index(value) and Index(value) == m
        for other_name, other_value in vocab.members:
            if other_name != name:
                assert m != member(vocab, other_name)
                assert not m == other_value
        for stranger in (float(value), value + 256, value - 256, 2 ** 70,
                         -2 ** 70, str(value), name, None, [value]):
            assert (m == stranger) is False and (m != stranger) is True
    assert cls.from_int(1) == True and cls.from_int(0) == False  # noqa: E712


def test_members_of_other_vocabularies_are_never_equal(vocab):
    for other in VOCABS:
        if other is not vocab:
            for value in (0, 1):  # member values of every vocabulary
                mine, theirs = vocab.cls.from_int(value), other.cls.from_int(
                    value)
                assert not mine == theirs and mine != theirs
                assert not theirs == mine and theirs != mine


def test_index_of_a_foreign_operand_is_tried_first(vocab):
    m = vocab.cls.list()[0]
    for result in (300, -1, 2 ** 70, ValueError("no"), TypeError("no")):
        operand = Index(result)
        assert not m == operand and m != operand
        assert operand.calls >= 2  # called even though the answer is no
    assert m.__eq__(Index(ValueError())) is NotImplemented
    assert m.__eq__("x") is NotImplemented
    assert m.__eq__(int(m)) is True and m.__ne__(int(m)) is False


class Interrupt(BaseException):
    pass


@pytest.mark.parametrize("exc", [KeyboardInterrupt(), SystemExit(3), Interrupt(),
                                 MemoryError(), RecursionError("deep")],
                         ids=lambda exc: type(exc).__name__)
@pytest.mark.parametrize("compare", [operator.eq, operator.ne])
def test_interrupts_and_exhaustion_in_index_are_not_answers(vocab, exc, compare):
    operand = Index(exc)
    with pytest.raises(type(exc)) as info:
        compare(vocab.cls.list()[0], operand)
    assert info.value is exc and operand.calls == 1


def test_comparison_at_the_recursion_limit_raises(vocab):
    m = vocab.cls.list()[-1]
    operand, answers = Index(int(m)), []

    def descend():  # __index__ runs one frame deeper than each comparison
        answers.append(m == operand)
        descend()

    with pytest.raises(RecursionError):
        descend()
    assert all(answers) and len(answers) > 50


@pytest.mark.parametrize("op", ["<", "<=", ">", ">="])
def test_members_have_no_order(vocab, op):
    compare = {"<": operator.lt, "<=": operator.le, ">": operator.gt,
               ">=": operator.ge}[op]
    a, b = vocab.cls.list()[:2]
    operand = Index(1)
    for left, right in ((a, b), (a, 1), (a, operand)):
        with pytest.raises(TypeError) as info:
            compare(left, right)
        assert info.value.args[0].startswith(f"'{op}' not supported")
    assert operand.calls == 0
    assert getattr(a, {"<": "__lt__", "<=": "__le__", ">": "__gt__",
                       ">=": "__ge__"}[op])(b) is NotImplemented


def test_sorting_needs_a_key(vocab):
    shuffled = vocab.cls.list()[::-1]
    with pytest.raises(TypeError):
        sorted(shuffled)
    assert sorted(shuffled, key=int) == vocab.cls.list()


# --- instances and the type -------------------------------------------------

def test_members_are_unhashable_truthy_and_not_indices(vocab):
    for m in vocab.cls.list():
        with pytest.raises(TypeError, match="unhashable type"):
            hash(m)
        with pytest.raises(TypeError):
            {m}
        assert bool(m) is True  # even the member whose value is 0
        with pytest.raises(TypeError):
            operator.index(m)
        with pytest.raises(TypeError):
            [0, 1, 2][m]


def test_instances_hold_nothing_but_their_value(vocab):
    cls = vocab.cls
    m = cls.list()[-1]
    word = struct.calcsize("P")
    # Object header, the member value padded to a word, the borrow counter.
    assert sys.getsizeof(m) == cls.__basicsize__ == object.__basicsize__ + 2 * word
    assert cls.__itemsize__ == cls.__dictoffset__ == cls.__weakrefoffset__ == 0
    assert not gc.is_tracked(m)
    with pytest.raises(AttributeError):
        m.note = 1
    with pytest.raises(AttributeError):
        setattr(m, vocab.members[0][0], m)
    with pytest.raises(TypeError):
        weakref.ref(m)


def test_self_is_counted_as_borrowed_while_the_operands_index_runs(vocab):
    m = vocab.cls.list()[0]
    seen = []

    class Peek:
        def __index__(self):
            seen.append(borrow_counter(m).value)
            return vocab.members[0][1]

    assert (m == Peek()) is True and (m == 1000) is False
    # A free-threaded build never writes the counter of a shared borrow.
    assert seen == [0 if sysconfig.get_config_var("Py_GIL_DISABLED") else 1] and borrow_counter(m).value == 0


def test_an_exclusively_borrowed_member_is_refused_and_left_alone(vocab):
    m, other = vocab.cls.list()[0], vocab.cls.list()[0]
    value, counter = int(m), borrow_counter(m)
    counter.value = -1
    try:
        for call in (m.to_string, lambda: repr(m), lambda: int(m)):
            with pytest.raises(RuntimeError, match="^Already mutably borrowed$"):
                call()
        # Both sides answer NotImplemented, so == falls back to identity.
        assert (m == value, m == other, other == m, m != value) == (False, False, False, True)
        assert counter.value == -1
    finally:
        counter.value = 0


def test_class_attributes_and_static_methods_through_instances(vocab):
    cls = vocab.cls
    m = cls.list()[0]
    for name, value in vocab.members:
        assert getattr(m, name) is getattr(cls, name)
        assert m.from_int(value) == value and type(m.from_int(value)) is cls
    assert m.list() == cls.list()


def test_class_cannot_be_subclassed(vocab):
    with pytest.raises(TypeError, match="not an acceptable base type"):
        type("Derived", (vocab.cls,), {})


REPLACED_SLOTS = {
    "__new__": ("T.__new__ = staticmethod(lambda cls, s: ('new', s))",
                "('new', 'tumor') ('new', 'bone')"),
    "__init__": ("T.__init__ = lambda self, s: print('init', s, end=' ')",
                 "init tumor TileLabel.Tumor init bone TileLabel.Bone"),
    "__init__-raises": ("def init(self, s): raise KeyError(s)\nT.__init__ = init",
                        "KeyError('tumor') KeyError('bone')"),
}


@pytest.mark.parametrize("slot", REPLACED_SLOTS)
def test_calls_follow_a_replaced_new_or_init(run_python, slot):
    replace, expected = REPLACED_SLOTS[slot]
    done = run_python(
        "import tarvu\nT = tarvu.TileLabel\nT('tumor')\n" + replace + "\n"
        "for call in (lambda: T('tumor'), lambda: T(s='bone')):\n"
        "    try:\n        print(call(), end=' ')\n"
        "    except KeyError as e:\n        print(repr(e), end=' ')\n")
    assert done.stdout.strip() == expected, done.stderr


def test_type_presentation(vocab):
    cls = vocab.cls
    assert cls.__name__ == cls.__qualname__ == vocab.name
    assert cls.__module__ == "builtins"
    assert repr(cls) == f"<class 'builtins.{vocab.name}'>"
    assert cls.__bases__ == (object,)
    assert cls.__doc__ == ""
    if sys.version_info >= (3, 10):  # older type creation drops the signature
        assert cls.__text_signature__ == "(s)"
        assert str(inspect.signature(cls)) == "(s)"
    assert cls.__hash__ is None
    public = sorted(k for k, v in vars(cls).items()
                    if not k.startswith("_") and type(v) is not cls)
    assert public == ["from_int", "list", "to_string"]
    for slot in ("__int__", "__repr__", "__eq__", "__ne__", "__new__"):
        assert slot in vars(cls), slot
    for slot in ("__str__", "__index__", "__bool__", "__init__", "__float__",
                 "__dict__", "__weakref__", "__reduce__", "__getnewargs__"):
        assert slot not in vars(cls), slot


@pytest.mark.parametrize("method, signature", [
    ("from_int", "(v)"), ("list", "()"), ("to_string", "($self)")])
def test_method_signatures(vocab, method, signature):
    unbound = getattr(vocab.cls, method)
    assert unbound.__text_signature__ == signature
    assert not unbound.__doc__  # nothing after the signature


def test_members_do_not_pickle_or_copy(vocab):
    m = vocab.cls.list()[0]
    for protocol in range(pickle.HIGHEST_PROTOCOL + 1):
        with pytest.raises((TypeError, pickle.PicklingError)):
            pickle.dumps(m, protocol)
    for duplicate in (copy.copy, copy.deepcopy):
        with pytest.raises((TypeError, pickle.PicklingError)):
            duplicate(m)
