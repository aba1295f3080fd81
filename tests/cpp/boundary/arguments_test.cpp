#include "boundary/arguments.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <utility>
#include <variant>
#include <vector>

#include "boundary/text.h"
#include "support.h"

namespace tarvu {
namespace {

using test::describe;
using test::Described;
using test::eval_python;
using test::FrameTest;
using test::Raised;
using test::Ref;
using test::run_python;
using test::str_of;
using test::take_raised;

// Descriptions beyond the module's own one-parameter entry points.
constexpr std::string_view A[] = {"a"};
constexpr std::string_view AB[] = {"a", "b"};
constexpr std::string_view ABC[] = {"a", "b", "c"};
constexpr KeywordOnlyParameter K_REQUIRED_M_OPTIONAL[] = {{"k", true}, {"m", false}};
constexpr KeywordOnlyParameter XYZ_REQUIRED[] = {{"x", true}, {"y", true}, {"z", true}};

constexpr FunctionDescription NOTHING = {nullptr, "nothing", {}, 0, 0, {}};                      // nothing()
constexpr FunctionDescription TWO = {nullptr, "two", AB, 0, 2, {}};                              // two(a, b)
constexpr FunctionDescription THREE = {"Cls", "three", ABC, 0, 3, {}};                           // Cls.three(a, b, c)
constexpr FunctionDescription FIRST_ONLY = {nullptr, "first_only", AB, 1, 2, {}};                // first_only(a, /, b)
constexpr FunctionDescription ALL_ONLY = {nullptr, "all_only", ABC, 3, 3, {}};                   // all_only(a, b, c, /)
constexpr FunctionDescription OPTIONAL = {nullptr, "optional", ABC, 0, 1, {}};                   // optional(a, b=, c=)
constexpr FunctionDescription KEYWORDS = {nullptr, "keywords", A, 0, 1, K_REQUIRED_M_OPTIONAL};  // (a, *, k, m=)
constexpr FunctionDescription THREE_KEYWORDS = {nullptr, "three_keywords", {}, 0, 0, XYZ_REQUIRED};  // (*, x, y, z)

/// One call: positional values, then keywords in the caller's order. Values
/// are small ints; a successful call is checked slot by slot (0: empty).
struct Call {
    const char* name;
    const FunctionDescription* description;
    std::vector<long> positional;
    std::vector<std::pair<const char*, long>> keywords;
    std::variant<std::vector<long>, const char*> expected;  // slots, or the TypeError message
};

void PrintTo(const Call& call, std::ostream* out) {
    *out << call.name;
}

/// Slot contents as the ints they hold (0 for an empty slot).
std::vector<long> slot_values(const std::vector<PyObject*>& slots) {
    std::vector<long> values;
    for (PyObject* slot : slots) {
        values.push_back(slot == nullptr ? 0 : PyLong_AsLong(slot));
    }
    return values;
}

/// The outcome of one extraction: the slot values, or the error it became.
using Outcome = std::variant<std::vector<long>, Described>;

Outcome outcome_of(Status status, const std::vector<PyObject*>& slots) {
    if (status.ok()) {
        return slot_values(slots);
    }
    return describe(std::move(status).error());
}

/// The two input shapes, built from the same names and values.
class CallShapes {
public:
    CallShapes(std::vector<Ref> positional, std::vector<std::pair<Ref, Ref>> keywords)
        : positional_(std::move(positional)), keywords_(std::move(keywords)) {}

    /// With `empty_container`, a call without keywords passes an empty
    /// dictionary instead of null.
    Outcome through_tuple_and_dict(const FunctionDescription& description, bool empty_container) const {
        Ref args(PyTuple_New(static_cast<Py_ssize_t>(positional_.size())));
        for (size_t i = 0; i < positional_.size(); ++i) {
            PyTuple_SET_ITEM(args.get(), static_cast<Py_ssize_t>(i), Ref::borrowed(positional_[i].get()).release());
        }
        Ref kwargs;
        if (!keywords_.empty() || empty_container) {
            kwargs = Ref(PyDict_New());
            for (const auto& [name, value] : keywords_) {
                EXPECT_EQ(PyDict_SetItem(kwargs.get(), name.get(), value.get()), 0);
            }
        }
        std::vector<PyObject*> slots(description.slot_count(), nullptr);
        return outcome_of(extract_arguments_tuple_dict(description, args.get(), kwargs.get(), slots), slots);
    }

    /// With `offset_flag`, the positional count carries the flag that lends
    /// the slot before the vector, as the interpreter passes it; with
    /// `empty_container`, a call without keywords passes an empty name tuple.
    Outcome through_vector(const FunctionDescription& description, bool offset_flag, bool empty_container) const {
        std::vector<PyObject*> vector{nullptr};  // the lent slot
        for (const Ref& value : positional_) vector.push_back(value.get());
        for (const auto& keyword : keywords_) vector.push_back(keyword.second.get());
        Ref kwnames;
        if (!keywords_.empty() || empty_container) {
            kwnames = Ref(PyTuple_New(static_cast<Py_ssize_t>(keywords_.size())));
            for (size_t i = 0; i < keywords_.size(); ++i) {
                PyTuple_SET_ITEM(kwnames.get(), static_cast<Py_ssize_t>(i),
                                 Ref::borrowed(keywords_[i].first.get()).release());
            }
        }
        size_t nargsf = positional_.size();
        if (offset_flag) nargsf |= PY_VECTORCALL_ARGUMENTS_OFFSET;
        std::vector<PyObject*> slots(description.slot_count(), nullptr);
        return outcome_of(extract_arguments_fastcall(description, vector.data() + 1, static_cast<Py_ssize_t>(nargsf),
                                                     kwnames.get(), slots),
                          slots);
    }

    /// Runs every shape and expects the same outcome from each.
    void expect_everywhere(const FunctionDescription& description, const Outcome& expected) const {
        EXPECT_EQ(through_tuple_and_dict(description, false), expected) << "tuple and dict";
        EXPECT_EQ(through_vector(description, false, false), expected) << "vector and names";
        EXPECT_EQ(through_vector(description, true, false), expected) << "vector with the offset flag";
        if (keywords_.empty()) {
            EXPECT_EQ(through_tuple_and_dict(description, true), expected) << "tuple and empty dict";
            EXPECT_EQ(through_vector(description, true, true), expected) << "vector and empty names";
        }
    }

private:
    std::vector<Ref> positional_;
    std::vector<std::pair<Ref, Ref>> keywords_;
};

CallShapes shapes_of(const Call& call) {
    std::vector<Ref> positional;
    for (long value : call.positional) positional.emplace_back(PyLong_FromLong(value));
    std::vector<std::pair<Ref, Ref>> keywords;
    for (const auto& [name, value] : call.keywords) {
        keywords.emplace_back(Ref(PyUnicode_FromString(name)), Ref(PyLong_FromLong(value)));
    }
    return CallShapes(std::move(positional), std::move(keywords));
}

class Extraction : public FrameTest, public ::testing::WithParamInterface<Call> {};

TEST_P(Extraction, BothInputShapesGiveTheExpectedOutcome) {
    const Call& call = GetParam();
    Outcome expected = std::holds_alternative<const char*>(call.expected)
                           ? Outcome(Described{"TypeError", std::get<const char*>(call.expected)})
                           : Outcome(std::get<std::vector<long>>(call.expected));
    shapes_of(call).expect_everywhere(*call.description, expected);
}

using Slots = std::vector<long>;

INSTANTIATE_TEST_SUITE_P(
    Calls, Extraction,
    ::testing::Values(
        // Two and three positional parameters.
        Call{"TwoByPosition", &TWO, {1, 2}, {}, Slots{1, 2}}, Call{"TwoMixed", &TWO, {1}, {{"b", 2}}, Slots{1, 2}},
        Call{"TwoByKeywordInAnyOrder", &TWO, {}, {{"b", 2}, {"a", 1}}, Slots{1, 2}},
        Call{"TwoMissingBoth", &TWO, {}, {}, "two() missing 2 required positional arguments: 'a' and 'b'"},
        Call{"TwoMissingSecond", &TWO, {1}, {}, "two() missing 1 required positional argument: 'b'"},
        Call{"TwoTooMany", &TWO, {1, 2, 3}, {}, "two() takes 2 positional arguments but 3 were given"},
        Call{"TooManyBeforeAnyKeyword",
             &TWO,
             {1, 2, 3},
             {{"x", 1}},
             "two() takes 2 positional arguments but 3 were given"},
        Call{"KeywordForAFilledSlot", &TWO, {1}, {{"a", 2}}, "two() got multiple values for argument 'a'"},
        Call{"FirstBadKeywordWins",
             &TWO,
             {},
             {{"b", 1}, {"x", 2}, {"a", 3}, {"y", 4}},
             "two() got an unexpected keyword argument 'x'"},
        Call{"UnexpectedBeforeMissing", &TWO, {}, {{"x", 2}}, "two() got an unexpected keyword argument 'x'"},
        Call{"KeywordNamesAreCaseSensitive", &TWO, {1}, {{"B", 2}}, "two() got an unexpected keyword argument 'B'"},
        Call{"ThreeMissingAll",
             &THREE,
             {},
             {},
             "Cls.three() missing 3 required positional arguments: 'a', 'b', and 'c'"},
        Call{"ThreeMissingOuterTwo",
             &THREE,
             {},
             {{"b", 2}},
             "Cls.three() missing 2 required positional arguments: 'a' and 'c'"},
        Call{"ThreeMissingMiddle", &THREE, {1}, {{"c", 3}}, "Cls.three() missing 1 required positional argument: 'b'"},
        Call{"ThreeTooMany", &THREE, {1, 2, 3, 4}, {}, "Cls.three() takes 3 positional arguments but 4 were given"},
        Call{"NothingGivenOne", &NOTHING, {7}, {}, "nothing() takes 0 positional arguments but 1 was given"},
        Call{"NothingGivenNothing", &NOTHING, {}, {}, Slots{}},
        // Positional-only parameters.
        Call{"PositionalOnlyByPosition", &FIRST_ONLY, {1}, {{"b", 2}}, Slots{1, 2}},
        Call{"PositionalOnlyByKeyword",
             &FIRST_ONLY,
             {},
             {{"a", 1}, {"b", 2}},
             "first_only() got some positional-only arguments passed as keyword arguments: 'a'"},
        Call{"PositionalOnlyGivenTwice",
             &FIRST_ONLY,
             {1, 2},
             {{"a", 1}},
             "first_only() got some positional-only arguments passed as keyword arguments: 'a'"},
        Call{"PositionalOnlyBeforeMissing",
             &ALL_ONLY,
             {},
             {{"b", 1}, {"a", 2}},
             "all_only() got some positional-only arguments passed as keyword arguments: 'b' and 'a'"},
        Call{"ThreePositionalOnlyByKeyword",
             &ALL_ONLY,
             {},
             {{"c", 1}, {"a", 2}, {"b", 3}},
             "all_only() got some positional-only arguments passed as keyword arguments: 'c', 'a', and 'b'"},
        Call{"UnexpectedBeatsPositionalOnly",
             &ALL_ONLY,
             {},
             {{"a", 1}, {"x", 2}},
             "all_only() got an unexpected keyword argument 'x'"},
        // Optional positional parameters.
        Call{"OptionalLeftEmpty", &OPTIONAL, {1}, {}, Slots{1, 0, 0}},
        Call{"OptionalSkipsOne", &OPTIONAL, {}, {{"c", 3}, {"a", 1}}, Slots{1, 0, 3}},
        Call{"OptionalMissingRequired",
             &OPTIONAL,
             {},
             {{"b", 2}},
             "optional() missing 1 required positional argument: 'a'"},
        Call{"OptionalTooManyOne",
             &OPTIONAL,
             {1, 2, 3, 4},
             {},
             "optional() takes from 1 to 3 positional arguments but 4 were given"},
        // Keyword-only parameters.
        Call{"KeywordOnlyRequiredGiven", &KEYWORDS, {1}, {{"k", 2}}, Slots{1, 2, 0}},
        Call{"KeywordOnlyBoth", &KEYWORDS, {}, {{"m", 3}, {"k", 2}, {"a", 1}}, Slots{1, 2, 3}},
        Call{"KeywordOnlyMissing", &KEYWORDS, {1}, {{"m", 3}}, "keywords() missing 1 required keyword argument: 'k'"},
        Call{"PositionalReportedBeforeKeywordOnly",
             &KEYWORDS,
             {},
             {},
             "keywords() missing 1 required positional argument: 'a'"},
        Call{"KeywordOnlyNotByPosition",
             &KEYWORDS,
             {1, 2},
             {},
             "keywords() takes 1 positional arguments but 2 were given"},
        Call{"KeywordOnlyGivenByPositionalName",
             &KEYWORDS,
             {1},
             {{"a", 1}},
             "keywords() got multiple values for argument 'a'"},
        Call{"ThreeKeywordOnlyMissing",
             &THREE_KEYWORDS,
             {},
             {},
             "three_keywords() missing 3 required keyword arguments: 'x', 'y', and 'z'"},
        Call{"TwoKeywordOnlyMissing",
             &THREE_KEYWORDS,
             {},
             {{"y", 1}},
             "three_keywords() missing 2 required keyword arguments: 'x' and 'z'"}),
    [](const ::testing::TestParamInfo<Call>& info) { return std::string(info.param.name); });

// --- Keyword names that are not plain text ------------------------------------------------------

class KeywordNames : public FrameTest {
protected:
    /// Extracts a call of TWO with 1 by position and 2 under the keyword name
    /// that `name_expression` evaluates to.
    void pass_keyword(const char* name_expression, const Outcome& expected) {
        Ref name = eval_python(name_expression);
        std::vector<Ref> positional;
        positional.emplace_back(PyLong_FromLong(1));
        std::vector<std::pair<Ref, Ref>> keywords;
        keywords.emplace_back(std::move(name), Ref(PyLong_FromLong(2)));
        CallShapes shapes(std::move(positional), std::move(keywords));
        shapes.expect_everywhere(TWO, expected);
    }
};

TEST_F(KeywordNames, ANameThatIsNotAStrFailsWithoutArgumentPrefix) {
    pass_keyword("1", Described{"TypeError", "'int' object cannot be converted to 'PyString'"});
    pass_keyword("b'b'", Described{"TypeError", "'bytes' object cannot be converted to 'PyString'"});
}

TEST_F(KeywordNames, AStrSubclassNameMatchesByItsText) {
    run_python("class Name(str): pass");
    pass_keyword("Name('b')", Slots{1, 2});
}

TEST_F(KeywordNames, ANameWithALoneSurrogateIsUnexpectedAndShownWithReplacementCharacters) {
    pass_keyword(
        "'b\\udcff'",
        Described{"TypeError", "two() got an unexpected keyword argument 'b\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD'"});
}

TEST_F(KeywordNames, AnUnexpectedNameIsRenderedWithStr) {
    run_python(
        "class Shown(str):\n"
        "    def __str__(self): return 'shown'\n");
    pass_keyword("Shown('x')", Described{"TypeError", "two() got an unexpected keyword argument 'shown'"});
}

TEST_F(KeywordNames, AnUnprintableNameIsReportedAsUnraisable) {
    run_python(
        "import sys\n"
        "class Unprintable(str):\n"
        "    def __str__(self): raise ValueError('no text')\n"
        "unprintable_seen = []\n"
        "previous_unraisablehook = sys.unraisablehook\n"
        "sys.unraisablehook = lambda u: unprintable_seen.append(type(u.exc_value).__name__)\n");
    pass_keyword("Unprintable('x')",
                 Described{"TypeError", "two() got an unexpected keyword argument '<unprintable Unprintable object>'"});
    run_python("sys.unraisablehook = previous_unraisablehook");
    EXPECT_EQ(str_of(eval_python("unprintable_seen").get()), "['ValueError', 'ValueError', 'ValueError']");
}

TEST_F(KeywordNames, ANameRepeatedInAVectorCallGivesMultipleValues) {
    // Only a vector call can name a parameter twice: a dict cannot. The first
    // value must not stay bound behind the error.
    Ref one(PyLong_FromLong(1)), two(PyLong_FromLong(2)), b(PyUnicode_FromString("b"));
    Ref kwnames(PyTuple_Pack(2, b.get(), b.get()));
    PyObject* vector[] = {one.get(), two.get(), two.get()};
    std::vector<PyObject*> slots(TWO.slot_count(), nullptr);
    EXPECT_EQ(outcome_of(extract_arguments_fastcall(TWO, vector, 1, kwnames.get(), slots), slots),
              Outcome(Described{"TypeError", "two() got multiple values for argument 'b'"}));
}

// --- Message pieces -----------------------------------------------------------------------------

TEST(ParameterList, JoinsOneTwoAndMoreNames) {
    auto joined = [](std::vector<std::string_view> names) {
        std::string message;
        push_parameter_list(message, names);
        return message;
    };
    EXPECT_EQ(joined({}), "");
    EXPECT_EQ(joined({"a"}), "'a'");
    EXPECT_EQ(joined({"a", "b"}), "'a' and 'b'");
    EXPECT_EQ(joined({"a", "b", "c"}), "'a', 'b', and 'c'");
    EXPECT_EQ(joined({"a", "b", "c", "d"}), "'a', 'b', 'c', and 'd'");
}

// --- argument_extraction_error ---------------------------------------------------------------------

/// The pending exception as an error value.
ErrorValue pending_from(const char* statement_raising) {
    run_python(
        (std::string("try:\n    ") + statement_raising + "\nexcept BaseException as e:\n    incoming = e\n").c_str());
    Ref incoming = eval_python("incoming");
    PyObject* type = reinterpret_cast<PyObject*>(Py_TYPE(incoming.get()));
    Py_INCREF(type);
    PyErr_Restore(type, incoming.release(), nullptr);
    return ErrorValue::fetch();
}

class ArgumentExtractionError : public FrameTest {};

TEST_F(ArgumentExtractionError, PrefixesALazyTypeError) {
    Ref object(PyLong_FromLong(3));
    EXPECT_EQ(describe(argument_extraction_error("s", ErrorValue::conversion_failure(object.get(), "PyString"))),
              (Described{"TypeError", "argument 's': 'int' object cannot be converted to 'PyString'"}));
}

TEST_F(ArgumentExtractionError, PrefixesATakenTypeErrorAndCopiesItsCause) {
    ErrorValue incoming = pending_from("raise TypeError('bad value') from KeyError('root')");
    Ref root = eval_python("incoming.__cause__");
    std::move(argument_extraction_error("v", std::move(incoming))).raise();

    Raised raised = take_raised();
    EXPECT_EQ(raised.type.get(), PyExc_TypeError);
    EXPECT_EQ(str_of(raised.value.get()), "argument 'v': bad value");
    EXPECT_NE(raised.value.get(), eval_python("incoming").get());
    EXPECT_EQ(Ref(PyException_GetCause(raised.value.get())).get(), root.get());
    EXPECT_EQ(Ref(PyException_GetContext(raised.value.get())).get(), nullptr) << "the incoming error is not chained";
    EXPECT_EQ(str_of(Ref(PyObject_GetAttrString(raised.value.get(), "__suppress_context__")).get()), "True");
}

TEST_F(ArgumentExtractionError, WithoutCauseSuppressesTheContextAnyway) {
    std::move(argument_extraction_error("v", pending_from("raise TypeError('plain')"))).raise();
    Raised raised = take_raised();
    EXPECT_EQ(str_of(raised.value.get()), "argument 'v': plain");
    EXPECT_EQ(Ref(PyException_GetCause(raised.value.get())).get(), nullptr);
    EXPECT_EQ(str_of(Ref(PyObject_GetAttrString(raised.value.get(), "__suppress_context__")).get()), "True");
}

class PassedUnchanged : public FrameTest, public ::testing::WithParamInterface<const char*> {};

TEST_P(PassedUnchanged, AnythingButAnExactTypeErrorKeepsItsIdentity) {
    run_python("class TypeErrorSubclass(TypeError): pass");
    ErrorValue incoming = pending_from(GetParam());
    Ref original = eval_python("incoming");
    std::move(argument_extraction_error("v", std::move(incoming))).raise();
    Raised raised = take_raised();
    EXPECT_EQ(raised.value.get(), original.get());
    EXPECT_THAT(str_of(raised.value.get()), ::testing::Not(::testing::HasSubstr("argument 'v'")));
}

std::string name_of_exception(const ::testing::TestParamInfo<const char*>& info) {
    constexpr const char* NAMES[] = {"TypeErrorSubclass", "OverflowError", "UnicodeEncodeError", "ValueError"};
    return NAMES[info.index];
}

INSTANTIATE_TEST_SUITE_P(Exceptions, PassedUnchanged,
                         ::testing::Values("raise TypeErrorSubclass('subclass')", "raise OverflowError('too big')",
                                           "'\\udcff'.encode('utf-8')", "raise ValueError('other')"),
                         name_of_exception);

TEST_F(ArgumentExtractionError, LeavesALazyOverflowErrorUnchanged) {
    EXPECT_EQ(describe(argument_extraction_error("v", ErrorValue::integer_out_of_range())),
              (Described{"OverflowError", "out of range integral type conversion attempted"}));
}

// --- Conversions -------------------------------------------------------------------------------------

struct U8Case {
    const char* name;
    const char* expression;
    std::variant<int, Described> expected;
};

void PrintTo(const U8Case& u8, std::ostream* out) {
    *out << u8.expression;
}

class ExtractU8 : public FrameTest, public ::testing::WithParamInterface<U8Case> {
protected:
    static void SetUpTestSuite() {
        run_python(
            "class Index:\n"
            "    def __init__(self, value): self.value = value\n"
            "    def __index__(self): return self.value\n"
            "class BadIndex:\n"
            "    def __index__(self): raise KeyError('from index')\n");
    }
};

TEST_P(ExtractU8, ConvertsThroughIndexWithinZeroTo255) {
    const U8Case& u8 = GetParam();
    Ref object = eval_python(u8.expression);
    Result<uint8_t> result = extract_u8(object.get());
    if (std::holds_alternative<int>(u8.expected)) {
        ASSERT_TRUE(result.ok()) << describe(std::move(result).error()).message;
        EXPECT_EQ(result.value(), std::get<int>(u8.expected));
    } else {
        ASSERT_FALSE(result.ok());
        EXPECT_EQ(describe(std::move(result).error()), std::get<Described>(u8.expected));
    }
}

const Described OUT_OF_RANGE{"OverflowError", "out of range integral type conversion attempted"};

INSTANTIATE_TEST_SUITE_P(
    Values, ExtractU8,
    ::testing::Values(
        U8Case{"Zero", "0", 0}, U8Case{"True", "True", 1}, U8Case{"Max", "255", 255},
        U8Case{"IntSubclass", "type('Sub', (int,), {})(7)", 7}, U8Case{"IndexObject", "Index(3)", 3},
        U8Case{"Above", "256", OUT_OF_RANGE}, U8Case{"Negative", "-1", OUT_OF_RANGE},
        U8Case{"NegativeOfAMemberValue", "-255", OUT_OF_RANGE}, U8Case{"LowDigitInRange", "2**30 + 5", OUT_OF_RANGE},
        U8Case{"LowDigitsInRange", "2**62 + 5", OUT_OF_RANGE}, U8Case{"IndexAbove", "Index(300)", OUT_OF_RANGE},
        U8Case{"BeyondLong", "2**100", Described{"OverflowError", "Python int too large to convert to C long"}},
        U8Case{"NegativeBeyondLong", "-2**100",
               Described{"OverflowError", "Python int too large to convert to C long"}},
        U8Case{"Float", "1.0", Described{"TypeError", "'float' object cannot be interpreted as an integer"}},
        U8Case{"Str", "'1'", Described{"TypeError", "'str' object cannot be interpreted as an integer"}},
        U8Case{"IndexRaises", "BadIndex()", Described{"KeyError", "'from index'"}}),
    [](const ::testing::TestParamInfo<U8Case>& info) { return std::string(info.param.name); });

class ExtractText : public FrameTest {};

TEST_F(ExtractText, ANewAsciiStrHoldsExactlyItsTextAtEveryLength) {
    // Each length class of the short copy, and the joints between them.
    const std::string alphabet = "abcdefghijklmnopqrstuvwxyz0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZ";
    for (size_t head = 0; head <= 40; ++head) {
        for (size_t tail : {0, 1, 3, 9}) {
            Ref str(
                new_ascii_str(std::string_view(alphabet).substr(0, head), std::string_view(alphabet).substr(40, tail)));
            EXPECT_EQ(str_of(str.get()), alphabet.substr(0, head) + alphabet.substr(40, tail)) << head << "+" << tail;
        }
    }
}

TEST_F(ExtractText, BorrowsTheUtf8FormOfAStr) {
    Ref text = eval_python("'H&E \\u00e9'");
    Result<std::string_view> result = extract_text(text.get());
    ASSERT_TRUE(result.ok());
    EXPECT_EQ(result.value(), "H&E \xC3\xA9");
    EXPECT_EQ(result.value().data(), PyUnicode_AsUTF8(text.get())) << "a view, not a copy";
}

TEST_F(ExtractText, AcceptsAStrSubclass) {
    Ref text = eval_python("type('Text', (str,), {})('Tumor')");
    Result<std::string_view> result = extract_text(text.get());
    ASSERT_TRUE(result.ok());
    EXPECT_EQ(result.value(), "Tumor");
}

TEST_F(ExtractText, RefusesAnythingElse) {
    Ref bytes = eval_python("b'HE'");
    Result<std::string_view> result = extract_text(bytes.get());
    ASSERT_FALSE(result.ok());
    EXPECT_EQ(describe(std::move(result).error()),
              (Described{"TypeError", "'bytes' object cannot be converted to 'PyString'"}));
}

TEST_F(ExtractText, PassesOnTheEncodeErrorOfALoneSurrogate) {
    Ref text = eval_python("'H\\udcffE'");
    Result<std::string_view> result = extract_text(text.get());
    ASSERT_FALSE(result.ok());
    Described described = describe(std::move(result).error());
    EXPECT_EQ(described.type, "UnicodeEncodeError");
    EXPECT_THAT(described.message, ::testing::HasSubstr("surrogates not allowed"));
}

}  // namespace
}  // namespace tarvu
