#include "types/label_protocol.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>

#include "support.h"
#include "types/label_classes.h"

namespace tarvu {
namespace {

using test::blocks_in_use;
using test::describe;
using test::Described;
using test::eval_python;
using test::FrameTest;
using test::Raised;
using test::Ref;
using test::run_python;
using test::str_of;
using test::take_raised;

// Vocabularies of the tests' own, each with a type cell of its own. PROBE
// differs from the module's where it can: values up to 255, gaps between them,
// and a removed-character set that keeps spaces and underscores.
inline constexpr Member PROBE_MEMBERS[] = {{2, "Alpha"}, {7, "Beta"}, {64, "Gamma"}, {128, "Delta"}, {255, "Omega"}};
inline constexpr Vocabulary PROBE = {"Probe", PROBE_MEMBERS, "-.", "No probe for number "};
static_assert(is_well_formed(PROBE));

inline constexpr Member NESTED_MEMBERS[] = {{0, "One"}, {1, "Two"}};
inline constexpr Vocabulary NESTED = {"Nested", NESTED_MEMBERS, " _", "No nested for number "};

// Storing a class attribute named __dict__ fails: the type's own __dict__ is
// read-only.
inline constexpr Member BROKEN_MEMBERS[] = {{0, "First"}, {1, "__dict__"}, {2, "Third"}};
inline constexpr Vocabulary BROKEN = {"Broken", BROKEN_MEMBERS, " _", "No broken for number "};

using ProbeClass = LabelClass<PROBE>;
using NestedClass = LabelClass<NESTED>;
using BrokenClass = LabelClass<BROKEN>;

/// Binds `type` in __main__ under `name`, for the Python the tests run there.
void expose(const char* name, PyTypeObject* type) {
    ASSERT_EQ(PyObject_SetAttrString(PyImport_AddModule("__main__"), name, reinterpret_cast<PyObject*>(type)), 0);
}

/// The member value of a class attribute, read from the instance record:
/// int() would ask for the type, and so try to fill an unfilled one again.
long member_value(PyObject* type, const char* name) {
    Ref attribute(PyObject_GetAttrString(type, name));
    if (!attribute) {
        PyErr_Clear();
        return -1;
    }
    if (Py_TYPE(attribute.get()) != reinterpret_cast<PyTypeObject*>(type)) {
        ADD_FAILURE() << name << " is not an instance of its class";
        return -1;
    }
    return reinterpret_cast<InstanceRecord*>(attribute.get())->value;
}

class LabelProtocol : public FrameTest {};

TEST_F(LabelProtocol, EnsureTypeCreatesTheTypeAndFillsItsDictionaryOnce) {
    Result<PyTypeObject*> type = ProbeClass::ensure_type();
    ASSERT_TRUE(type.ok()) << describe(std::move(type).error()).message;
    PyObject* type_object = reinterpret_cast<PyObject*>(type.value());
    EXPECT_TRUE(ProbeClass::cell().filled);
    EXPECT_TRUE(ProbeClass::cell().filling_threads.empty());
    EXPECT_EQ(member_value(type_object, "Alpha"), 2);
    EXPECT_EQ(member_value(type_object, "Beta"), 7);

    Ref alpha(PyObject_GetAttrString(type_object, "Alpha"));
    Result<PyTypeObject*> again = ProbeClass::ensure_type();
    ASSERT_TRUE(again.ok());
    EXPECT_EQ(again.value(), type.value());
    EXPECT_EQ(ProbeClass::get_type(), type.value());
    EXPECT_EQ(Ref(PyObject_GetAttrString(type_object, "Alpha")).get(), alpha.get()) << "filled only once";
}

TEST_F(LabelProtocol, ANestedRequestDuringFillingGetsTheUnfilledType) {
    TypeCell& cell = NestedClass::cell();
    ASSERT_EQ(cell.type, nullptr) << "this vocabulary is used by this test only";
    const unsigned long this_thread = PyThread_get_thread_ident();

    // As if member creation on this thread asked for the type mid-filling.
    cell.filling_threads.push_back(this_thread);
    PyTypeObject* unfilled = NestedClass::get_type();
    ASSERT_NE(unfilled, nullptr);
    EXPECT_EQ(cell.type, unfilled);
    EXPECT_FALSE(cell.filled);
    EXPECT_FALSE(PyObject_HasAttrString(reinterpret_cast<PyObject*>(unfilled), "One"));
    EXPECT_THAT(cell.filling_threads, ::testing::ElementsAre(this_thread)) << "the outer request still fills";

    cell.filling_threads.clear();
    Result<PyTypeObject*> filled = NestedClass::ensure_type();
    ASSERT_TRUE(filled.ok());
    EXPECT_EQ(filled.value(), unfilled) << "created once";
    EXPECT_TRUE(cell.filled);
    EXPECT_EQ(member_value(reinterpret_cast<PyObject*>(unfilled), "One"), 0);
    EXPECT_EQ(member_value(reinterpret_cast<PyObject*>(unfilled), "Two"), 1);
}

TEST_F(LabelProtocol, AFailedAttributeStoreIsWrappedTwiceAndLeavesTheCellUnfilled) {
    for (int attempt = 1; attempt <= 2; ++attempt) {
        SCOPED_TRACE("attempt " + std::to_string(attempt));
        Result<PyTypeObject*> type = BrokenClass::ensure_type();
        ASSERT_FALSE(type.ok());
        std::move(type).error().raise();
        Raised raised = take_raised();

        EXPECT_EQ(raised.type.get(), PyExc_RuntimeError);
        EXPECT_EQ(str_of(raised.value.get()), "An error occurred while initializing class Broken");
        Ref inner(PyException_GetCause(raised.value.get()));
        ASSERT_TRUE(inner);
        EXPECT_EQ(reinterpret_cast<PyObject*>(Py_TYPE(inner.get())), PyExc_RuntimeError);
        EXPECT_EQ(str_of(inner.get()), "An error occurred while initializing `Broken.__dict__`");
        Ref underlying(PyException_GetCause(inner.get()));
        ASSERT_TRUE(underlying);
        EXPECT_EQ(reinterpret_cast<PyObject*>(Py_TYPE(underlying.get())), PyExc_AttributeError);

        TypeCell& cell = BrokenClass::cell();
        ASSERT_NE(cell.type, nullptr);
        EXPECT_FALSE(cell.filled);
        EXPECT_TRUE(cell.filling_threads.empty());
        PyObject* type_object = reinterpret_cast<PyObject*>(cell.type);
        EXPECT_EQ(member_value(type_object, "First"), 0) << "stored before the failure";
        EXPECT_FALSE(PyObject_HasAttrString(type_object, "Third")) << "stored after the failure";
    }
}

/// Every entry point applies the reference changes queued in POOL before its
/// body, on the path that skips the guard's bookkeeping as on the guarded one:
/// an entry that skipped the test would keep a released object alive past the
/// call. Each expression calls one entry point of the class and no other
/// (`held.pop()` leaves only the popped instance's deallocation).
class PendingPoolAtEntry : public ::testing::TestWithParam<const char*> {};

TEST_P(PendingPoolAtEntry, IsAppliedBeforeTheBody) {
    expose("Probe", ProbeClass::get_type());
    run_python("m = Probe.Alpha\nheld = [Probe('beta')]");
    Ref kept = eval_python("object()");
    const Py_ssize_t before = Py_REFCNT(kept.get());
    queue_decref(new_reference(kept.get()));
    { Ref result = eval_python(GetParam()); }
    EXPECT_EQ(Py_REFCNT(kept.get()), before) << GetParam();
}

INSTANTIATE_TEST_SUITE_P(EntryPoints, PendingPoolAtEntry,
                         ::testing::Values("m == 2", "m != m", "m == 'Alpha'", "m.__lt__(2)", "int(m)", "repr(m)",
                                           "m.to_string()", "Probe('alpha')", "Probe(s='alpha')",
                                           "Probe.__new__(Probe, 'alpha')", "Probe.from_int(7)", "Probe.list()",
                                           "held.pop()"));

/// Each member of PROBE through every way in: a text with its own removed
/// characters and mixed case, its number, its text forms and comparisons.
struct ProbeMember {
    const char* text;
    int value;
    const char* expected;  // (repr, to_string, int of from_int, == from_int, == value, != value, == value + 1)
};

class ProbeMembers : public ::testing::TestWithParam<ProbeMember> {};

TEST_P(ProbeMembers, ParseFromIntTextFormsAndComparisonAgree) {
    expose("Probe", ProbeClass::get_type());
    const std::string code =
        std::string("m = Probe('") + GetParam().text + "')\nv = " + std::to_string(GetParam().value);
    run_python(code.c_str());
    Ref seen = eval_python(
        "(repr(m), m.to_string(), int(Probe.from_int(v)), m == Probe.from_int(v), m == v, m != v, m == (v + 1) % 256)");
    EXPECT_EQ(str_of(seen.get()), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(
    Probe, ProbeMembers,
    ::testing::Values(ProbeMember{"al-pha", 2, "('Probe.Alpha', 'Alpha', 2, True, True, False, False)"},
                      ProbeMember{"BETA", 7, "('Probe.Beta', 'Beta', 7, True, True, False, False)"},
                      ProbeMember{".gam.ma.", 64, "('Probe.Gamma', 'Gamma', 64, True, True, False, False)"},
                      ProbeMember{"dElTa", 128, "('Probe.Delta', 'Delta', 128, True, True, False, False)"},
                      ProbeMember{"-O-m-e-g-a-", 255, "('Probe.Omega', 'Omega', 255, True, True, False, False)"}),
    [](const auto& info) { return "Value" + std::to_string(info.param.value); });

/// Texts and numbers that name no member of PROBE: spaces and underscores
/// stay in its texts, and its gaps and 0 have no member.
class ProbeMisses : public ::testing::TestWithParam<std::pair<const char*, const char*>> {};

TEST_P(ProbeMisses, RaiseTheirMessage) {
    expose("Probe", ProbeClass::get_type());
    const std::string code = std::string("try:\n    ") + GetParam().first +
                             "\nexcept RuntimeError as e:\n    message = str(e)\nelse:\n    message = None";
    run_python(code.c_str());
    EXPECT_EQ(str_of(eval_python("message").get()), GetParam().second);
}

INSTANTIATE_TEST_SUITE_P(Probe, ProbeMisses,
                         ::testing::Values(std::pair{"Probe('al pha')", "Matching variant not found"},
                                           std::pair{"Probe('omega_')", "Matching variant not found"},
                                           std::pair{"Probe('')", "Matching variant not found"},
                                           std::pair{"Probe.from_int(254)", "No probe for number 254"},
                                           std::pair{"Probe.from_int(0)", "No probe for number 0"}),
                         [](const auto& info) { return "Case" + std::to_string(info.index); });

/// Each class's members as the documented tables list them: how many, and the
/// reprs of the first and the last (whose text starts after every other's).
struct Listing {
    PyTypeObject* (*type)();
    size_t count;
    const char* first_repr;
    const char* last_repr;
};

class Listings : public ::testing::TestWithParam<Listing> {};

TEST_P(Listings, CountAndReprs) {
    expose("C", GetParam().type());
    Ref count = eval_python("len(C.list())");
    EXPECT_EQ(PyLong_AsSize_t(count.get()), GetParam().count);
    EXPECT_EQ(str_of(eval_python("repr(C.list()[0])").get()), GetParam().first_repr);
    EXPECT_EQ(str_of(eval_python("repr(C.list()[-1])").get()), GetParam().last_repr);
}

INSTANTIATE_TEST_SUITE_P(
    Vocabularies, Listings,
    ::testing::Values(Listing{&LabelClass<DIAGNOSIS>::get_type, 7, "Diagnosis.Unknown", "Diagnosis.LTDS"},
                      Listing{&LabelClass<STAIN>::get_type, 6, "Stain.Unknown", "Stain.CD68"},
                      Listing{&LabelClass<TILE_LABEL>::get_type, 28, "TileLabel.Unlabeled", "TileLabel.Bonemarrow"},
                      Listing{&ProbeClass::get_type, 5, "Probe.Alpha", "Probe.Omega"}),
    [](const auto& info) {
        const std::string_view repr = info.param.first_repr;
        return std::string(repr.substr(0, repr.find('.')));
    });

/// A call that the lean path finishes by itself gets the same answer on the
/// guarded path (the same result, or the same exception and message), where
/// a pending POOL change sends it; the two paths would drift apart if either
/// kept a rule of its own.
class GuardedPathAnswers : public ::testing::TestWithParam<const char*> {
protected:
    void SetUp() override {
        expose("Probe", ProbeClass::get_type());
        Ref expression(PyUnicode_FromString(GetParam()));
        ASSERT_EQ(PyObject_SetAttrString(PyImport_AddModule("__main__"), "expression", expression.get()), 0);
        run_python(
            "m = Probe.Alpha\n"
            "def outcome(expression):\n"
            "    try:\n"
            "        return repr(eval(expression))\n"
            "    except Exception as error:\n"
            "        return f'{type(error).__name__}: {error}'\n");
    }

    /// The expression's outcome with a pool change pending, which sends the
    /// call down the guarded path.
    static Ref guarded_outcome() {
        Ref kept = eval_python("object()");
        const Py_ssize_t before = Py_REFCNT(kept.get());
        queue_decref(new_reference(kept.get()));
        Ref outcome = eval_python("outcome(expression)");
        EXPECT_EQ(Py_REFCNT(kept.get()), before) << "the pending change was applied, so the guard ran";
        return outcome;
    }
};

TEST_P(GuardedPathAnswers, AsTheLeanPathDoes) {
    Ref lean = eval_python("outcome(expression)");
    Ref guarded = guarded_outcome();
    EXPECT_EQ(str_of(guarded.get()), str_of(lean.get())) << GetParam();
}

// Every early return of a guarded body (a miss, an operand read through the
// general way, a hand-over from the lean entry) gives back what it took: a
// reference kept per call would keep its object allocated.
TEST_P(GuardedPathAnswers, LeaveNothingAllocatedPerCall) {
    guarded_outcome();  // first-use caches (kept messages, the type) are made here
    constexpr int CALLS = 32;
    const Py_ssize_t before = blocks_in_use();
    for (int call = 0; call < CALLS; ++call) {
        guarded_outcome();
    }
    EXPECT_LT(blocks_in_use() - before, CALLS) << GetParam();
}

INSTANTIATE_TEST_SUITE_P(LeanCalls, GuardedPathAnswers,
                         ::testing::Values("m == 2", "m != 7", "m == Probe.Beta", "m != m", "m.__eq__('Alpha')",
                                           "m.__lt__(2)", "Probe('beta')", "Probe('zeta')", "Probe(s='alpha')",
                                           "Probe.__new__(Probe, 'zeta')", "Probe.from_int(7)", "Probe.from_int(3)",
                                           "Probe.from_int(v=2)"));

}  // namespace
}  // namespace tarvu
