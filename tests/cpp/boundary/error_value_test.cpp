#include "boundary/error_value.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <thread>

#include "boundary/call_guard.h"
#include "support.h"

namespace tarvu {
namespace {

using test::describe;
using test::describe_pending;
using test::Described;
using test::eval_python;
using test::FrameTest;
using test::Raised;
using test::Ref;
using test::run_python;
using test::str_of;
using test::take_raised;

/// A ValueError('x') that was raised by Python code, with its traceback.
Ref raised_instance() {
    run_python(
        "def _raise_x():\n"
        "    raise ValueError('x')\n"
        "try:\n"
        "    _raise_x()\n"
        "except ValueError as e:\n"
        "    raised_x = e\n");
    return eval_python("raised_x");
}

/// Makes `type`, `value`, `traceback` pending (taking new references).
void set_pending(PyObject* type, PyObject* value, PyObject* traceback) {
    Py_XINCREF(type);
    Py_XINCREF(value);
    Py_XINCREF(traceback);
    PyErr_Restore(type, value, traceback);
}

/// Marks `exception` as the one being handled (as inside an except block)
/// for the lifetime of the object.
class HandlingException {
public:
    explicit HandlingException(PyObject* exception) {
        PyErr_GetExcInfo(&saved_type_, &saved_value_, &saved_traceback_);
        Py_INCREF(Py_TYPE(exception));
        Py_INCREF(exception);
        PyErr_SetExcInfo(reinterpret_cast<PyObject*>(Py_TYPE(exception)), exception, nullptr);
    }
    ~HandlingException() { PyErr_SetExcInfo(saved_type_, saved_value_, saved_traceback_); }

private:
    PyObject* saved_type_ = nullptr;
    PyObject* saved_value_ = nullptr;
    PyObject* saved_traceback_ = nullptr;
};

class ErrorValueTest : public FrameTest {};

// --- Raising ---------------------------------------------------------------------------

TEST_F(ErrorValueTest, FetchedAndNormalisedStatesAreRaisedAsExactlyTheObjectsTheyHold) {
    Ref instance = raised_instance();
    Ref traceback(PyException_GetTraceback(instance.get()));
    ASSERT_TRUE(traceback);
    Ref handled = eval_python("KeyError('being handled')");

    for (bool normalise_first : {false, true}) {
        SCOPED_TRACE(normalise_first ? "normalised" : "fetched");
        set_pending(PyExc_ValueError, instance.get(), traceback.get());
        ErrorValue error = ErrorValue::fetch();
        if (normalise_first) {
            NormalizedError normalized = error.normalize();
            EXPECT_EQ(normalized.value, instance.get());
            EXPECT_EQ(normalized.traceback, traceback.get());
        }
        {
            HandlingException handling(handled.get());
            std::move(error).raise();
        }
        Raised raised = take_raised();
        EXPECT_EQ(raised.type.get(), PyExc_ValueError);
        EXPECT_EQ(raised.value.get(), instance.get());
        EXPECT_EQ(raised.traceback.get(), traceback.get());
        EXPECT_EQ(Ref(PyException_GetContext(instance.get())).get(), nullptr);
    }
}

/// Since 3.12 the interpreter normalises every exception it is handed, so a
/// fetched value is always an instance.
constexpr bool INTERPRETER_KEEPS_UNNORMALISED_ERRORS = PY_VERSION_HEX < 0x030C0000;

TEST_F(ErrorValueTest, FetchedStateKeepsAnUnnormalisedValueAsItIs) {
    if (!INTERPRETER_KEEPS_UNNORMALISED_ERRORS) GTEST_SKIP() << "the interpreter normalises on restore";
    Ref message(PyUnicode_FromString("not normalised"));
    set_pending(PyExc_ValueError, message.get(), nullptr);
    ErrorValue error = ErrorValue::fetch();
    std::move(error).raise();

    PyObject *type = nullptr, *value = nullptr, *traceback = nullptr;
    PyErr_Fetch(&type, &value, &traceback);
    Ref owned_type(type), owned_value(value), owned_traceback(traceback);
    EXPECT_EQ(type, PyExc_ValueError);
    EXPECT_EQ(value, message.get());
    EXPECT_EQ(traceback, nullptr);
}

TEST_F(ErrorValueTest, LazyStateRaisesItsTypeWithTheMessageAsOnlyArgumentAndNoContext) {
    Ref handled = eval_python("KeyError('being handled')");
    {
        HandlingException handling(handled.get());
        std::move(ErrorValue::lazy(PyExc_ValueError, "lazy message")).raise();
    }
    Raised raised = take_raised();
    EXPECT_EQ(raised.type.get(), PyExc_ValueError);
    EXPECT_EQ(raised.traceback.get(), nullptr);
    Ref args(PyObject_GetAttrString(raised.value.get(), "args"));
    ASSERT_EQ(PyTuple_GET_SIZE(args.get()), 1);
    EXPECT_EQ(str_of(PyTuple_GET_ITEM(args.get(), 0)), "lazy message");
    EXPECT_EQ(Ref(PyException_GetContext(raised.value.get())).get(), nullptr);
    EXPECT_EQ(Ref(PyException_GetCause(raised.value.get())).get(), nullptr);
}

TEST_F(ErrorValueTest, APythonCallerHandlingAnotherExceptionSeesNoContext) {
    // The same through an entry point called from an except block.
    static PyMethodDef raise_lazy = {
        "raise_lazy",
        [](PyObject*, PyObject*) -> PyObject* {
            return trampoline([]() -> Result<PyObject*> { return ErrorValue::general("Matching variant not found"); });
        },
        METH_NOARGS, nullptr};
    Ref function(PyCFunction_New(&raise_lazy, nullptr));
    ASSERT_TRUE(function);
    ASSERT_EQ(PyDict_SetItemString(PyModule_GetDict(PyImport_AddModule("__main__")), "raise_lazy", function.get()), 0);
    run_python(
        "try:\n"
        "    raise KeyError('being handled')\n"
        "except KeyError:\n"
        "    try:\n"
        "        raise_lazy()\n"
        "    except RuntimeError as e:\n"
        "        from_entry = e\n");
    Ref context = eval_python("(from_entry.__context__, from_entry.__cause__, from_entry.args)");
    EXPECT_EQ(str_of(context.get()), "(None, None, ('Matching variant not found',))");
}

// --- Taking and fetching -----------------------------------------------------------------

TEST_F(ErrorValueTest, TakeWithNothingPendingGivesNothing) {
    ASSERT_EQ(PyErr_Occurred(), nullptr);
    EXPECT_FALSE(ErrorValue::take().has_value());
    EXPECT_EQ(PyErr_Occurred(), nullptr);
}

TEST_F(ErrorValueTest, FetchWithNothingPendingGivesSystemError) {
    EXPECT_EQ(describe(ErrorValue::fetch()),
              (Described{"SystemError", "attempted to fetch exception but none was set"}));
}

// --- Wrapping -----------------------------------------------------------------------------

TEST_F(ErrorValueTest, WrapMakesARuntimeErrorCausedByTheWrappedInstance) {
    Ref instance = raised_instance();
    Ref traceback(PyException_GetTraceback(instance.get()));
    set_pending(PyExc_ValueError, instance.get(), traceback.get());

    ErrorValue wrapped = ErrorValue::fetch().wrap("An error occurred while initializing class Probe");
    std::move(wrapped).raise();
    Raised raised = take_raised();

    EXPECT_EQ(raised.type.get(), PyExc_RuntimeError);
    EXPECT_EQ(str_of(raised.value.get()), "An error occurred while initializing class Probe");
    Ref cause(PyException_GetCause(raised.value.get()));
    EXPECT_EQ(cause.get(), instance.get());
    EXPECT_EQ(Ref(PyException_GetTraceback(cause.get())).get(), traceback.get());
    EXPECT_EQ(str_of(Ref(PyObject_GetAttrString(raised.value.get(), "__suppress_context__")).get()), "True");
}

// --- Debug form -----------------------------------------------------------------------------

TEST_F(ErrorValueTest, DebugFormWithoutTraceback) {
    ErrorValue error = ErrorValue::lazy(PyExc_ValueError, "x");
    EXPECT_EQ(error.debug_form(), "PyErr { type: <class 'ValueError'>, value: ValueError('x'), traceback: None }");
    // The description normalised the error; it is still raised as before.
    EXPECT_EQ(describe(std::move(error)), (Described{"ValueError", "x"}));
}

TEST_F(ErrorValueTest, DebugFormWithTraceback) {
    Ref instance = raised_instance();
    Ref traceback(PyException_GetTraceback(instance.get()));
    set_pending(PyExc_ValueError, instance.get(), traceback.get());
    ErrorValue error = ErrorValue::fetch();
    EXPECT_THAT(error.debug_form(),
                ::testing::MatchesRegex("PyErr \\{ type: <class 'ValueError'>, value: ValueError\\('x'\\), "
                                        "traceback: Some\\(<traceback object at 0x[0-9a-f]+>\\) \\}"));
    std::move(error).discard();
}

TEST_F(ErrorValueTest, DebugFormTakesTheInterpreterLockOnAThreadWithoutIt) {
    // Never raised, so it has no traceback of its own: from 3.14 on, restoring a
    // raised instance without a traceback keeps the one the instance holds.
    Ref instance = eval_python("ValueError('x')");
    set_pending(PyExc_ValueError, instance.get(), nullptr);
    ErrorValue error = ErrorValue::fetch();
    std::string text;
    Py_BEGIN_ALLOW_THREADS;
    std::thread([&] { text = error.debug_form(); }).join();
    Py_END_ALLOW_THREADS;
    EXPECT_EQ(text, "PyErr { type: <class 'ValueError'>, value: ValueError('x'), traceback: None }");
    std::move(error).discard();
}

// --- Dropping -----------------------------------------------------------------------------

// Every way an error value ends gives up the references its payload holds, once: a
// payload leaked or freed twice shows in the instance's count.
enum class Ending { Discarded, Overwritten, NormalisedThenDiscarded, Raised, MovedThenDiscarded };

class EndingAnErrorValue : public ErrorValueTest, public ::testing::WithParamInterface<Ending> {};

TEST_P(EndingAnErrorValue, ReleasesWhatItHeldExactlyOnce) {
    Ref instance = eval_python("ValueError('held')");
    const Py_ssize_t before = Py_REFCNT(instance.get());
    set_pending(PyExc_ValueError, instance.get(), nullptr);
    ErrorValue error = ErrorValue::fetch();
    switch (GetParam()) {
        case Ending::Discarded:
            std::move(error).discard();
            break;
        case Ending::Overwritten:
            error = ErrorValue::lazy(PyExc_TypeError, "other");
            std::move(error).discard();
            break;
        case Ending::NormalisedThenDiscarded:
            error.normalize();
            std::move(error).discard();
            break;
        case Ending::Raised:
            std::move(error).raise();
            PyErr_Clear();
            break;
        case Ending::MovedThenDiscarded: {
            ErrorValue moved = std::move(error);
            std::move(moved).discard();
            std::move(error).discard();  // moved from: holds nothing
            break;
        }
    }
    EXPECT_EQ(Py_REFCNT(instance.get()), before);
}

INSTANTIATE_TEST_SUITE_P(Endings, EndingAnErrorValue,
                         ::testing::Values(Ending::Discarded, Ending::Overwritten, Ending::NormalisedThenDiscarded,
                                           Ending::Raised, Ending::MovedThenDiscarded));

TEST_F(ErrorValueTest, AMovedFromValueIsAFaultToRaiseAndNothingToDrop) {
    ErrorValue error = ErrorValue::lazy(PyExc_ValueError, "moved");
    ErrorValue moved = std::move(error);
    EXPECT_EQ(error.type(), nullptr);
    EXPECT_FALSE(error.is_lazy());
    EXPECT_THROW(std::move(error).raise(), Fault);
    EXPECT_EQ(PyErr_Occurred(), nullptr);
    EXPECT_EQ(describe(std::move(moved)), (Described{"ValueError", "moved"}));
}

// With a guard open but without the interpreter lock: a thread that the interpreter ends
// at exit unwinds through its open guards that way.
class DroppingWithoutTheInterpreterLock : public ErrorValueTest, public ::testing::WithParamInterface<intptr_t> {};

TEST_P(DroppingWithoutTheInterpreterLock, DefersTheReleaseToTheNextGuard) {
    Ref instance = eval_python("ValueError('dropped elsewhere')");
    set_pending(PyExc_ValueError, instance.get(), nullptr);
    const Py_ssize_t held = Py_REFCNT(instance.get());
    std::optional<ErrorValue> error(ErrorValue::fetch());
    EXPECT_EQ(Py_REFCNT(instance.get()), held);

    std::thread([&] {
        GUARD_THREAD_STATE.gil_count = GetParam();
        std::move(*error).discard();
        error.reset();
        GUARD_THREAD_STATE.gil_count = 0;
    }).join();
    EXPECT_EQ(Py_REFCNT(instance.get()), held) << "released without the interpreter lock";
    update_counts();  // what the next call guard does on opening
    EXPECT_EQ(Py_REFCNT(instance.get()), held - 1);
}

INSTANTIATE_TEST_SUITE_P(OpenGuards, DroppingWithoutTheInterpreterLock, ::testing::Values(0, 1));

TEST(ErrorValueDeathTest, DroppingOneNeitherRaisedNorDiscardedFailsItsAssertion) {
    EXPECT_DEATH({ ErrorValue error = ErrorValue::lazy(PyExc_ValueError, "never raised"); },
                 "error value dropped without being raised or discarded");
}

// --- PanicException ---------------------------------------------------------------------------

TEST_F(ErrorValueTest, PanicExceptionTypeDerivesDirectlyFromBaseException) {
    PyObject* type = panic_exception_type();
    ASSERT_NE(type, nullptr);
    EXPECT_EQ(type, panic_exception_type()) << "created once";
    EXPECT_EQ(reinterpret_cast<PyObject*>(reinterpret_cast<PyTypeObject*>(type)->tp_base), PyExc_BaseException);
    EXPECT_FALSE(PyObject_IsSubclass(type, PyExc_Exception));
    EXPECT_EQ(str_of(Ref(PyObject_GetAttrString(type, "__module__")).get()), "pyo3_runtime");
    EXPECT_EQ(str_of(Ref(PyObject_GetAttrString(type, "__qualname__")).get()), "PanicException");
    Ref doc(PyObject_GetAttrString(type, "__doc__"));
    ASSERT_TRUE(doc && PyUnicode_Check(doc.get()));
    EXPECT_EQ(PyUnicode_GET_LENGTH(doc.get()), 235);
    EXPECT_THAT(str_of(doc.get()),
                ::testing::StartsWith("\nThe exception raised when Rust code called from Python panics.\n\n"));
}

struct TakenPanic {
    const char* name;
    const char* setup;  // leaves `panic_value` (None: no value at all)
    const char* text;
    bool needs_unnormalised_errors = false;
};

void PrintTo(const TakenPanic& taken, std::ostream* out) {
    *out << taken.name;
}

class TakingBackAPanic : public ::testing::TestWithParam<TakenPanic> {};

TEST_P(TakingBackAPanic, ResumesAsAFaultWithTheSameText) {
    const TakenPanic& taken = GetParam();
    if (taken.needs_unnormalised_errors && !INTERPRETER_KEEPS_UNNORMALISED_ERRORS) {
        GTEST_SKIP() << "the interpreter never hands back an exception without a value";
    }
    Ref panic_type = Ref::borrowed(panic_exception_type());
    ASSERT_EQ(
        PyDict_SetItemString(PyModule_GetDict(PyImport_AddModule("__main__")), "PanicException", panic_type.get()), 0);
    run_python(taken.setup);
    Ref value = eval_python("panic_value");

    ::testing::internal::CaptureStderr();
    PyObject* result = trampoline([&]() -> Result<PyObject*> {
        set_pending(panic_type.get(), value.get() == Py_None ? nullptr : value.get(), nullptr);
        std::optional<ErrorValue> error = ErrorValue::take();
        ADD_FAILURE() << "take() returned instead of resuming the fault";
        if (error) std::move(*error).discard();
        return nullptr;
    });
    Raised raised = take_raised();
    run_python("import sys; sys.stderr.flush()");
    const std::string report = ::testing::internal::GetCapturedStderr();

    EXPECT_EQ(result, nullptr);
    EXPECT_EQ(raised.type.get(), panic_type.get());
    EXPECT_NE(raised.value.get(), value.get()) << "a new PanicException, not the one taken";
    Ref args(PyObject_GetAttrString(raised.value.get(), "args"));
    ASSERT_EQ(PyTuple_GET_SIZE(args.get()), 1);
    EXPECT_EQ(str_of(PyTuple_GET_ITEM(args.get(), 0)), taken.text);
    EXPECT_THAT(report, ::testing::StartsWith("--- PyO3 is resuming a panic after fetching a PanicException from "
                                              "Python. ---\nPython stack trace below:\n"));
    EXPECT_THAT(report, ::testing::HasSubstr("PanicException"));
    EXPECT_THAT(report, ::testing::Not(::testing::HasSubstr("internal fault"))) << "reported twice";
}

INSTANTIATE_TEST_SUITE_P(
    Values, TakingBackAPanic,
    ::testing::Values(TakenPanic{"WithText", "panic_value = PanicException('text from Python')", "text from Python"},
                      TakenPanic{"WithoutArguments", "panic_value = PanicException()", ""},
                      TakenPanic{"WithoutValue", "panic_value = None", "Unwrapped panic from Python code", true},
                      TakenPanic{"UnprintableValue",
                                 "class _NoStr:\n"
                                 "    def __str__(self): raise ValueError('no str')\n"
                                 "panic_value = PanicException(_NoStr())\n",
                                 "Unwrapped panic from Python code"}),
    [](const ::testing::TestParamInfo<TakenPanic>& info) { return std::string(info.param.name); });

// --- Conversion failures -------------------------------------------------------------------------

TEST_F(ErrorValueTest, ConversionFailureComposesItsMessageOnlyWhenRaised) {
    run_python("class Renamed: pass");
    Ref object = eval_python("Renamed()");
    Ref type = Ref::borrowed(reinterpret_cast<PyObject*>(Py_TYPE(object.get())));
    const Py_ssize_t type_references = Py_REFCNT(type.get());
    ErrorValue error = ErrorValue::conversion_failure(object.get(), "PyList");
    EXPECT_EQ(Py_REFCNT(type.get()), type_references + 1) << "holds the type, not the object";
    run_python("Renamed.__qualname__ = 'LaterName'");
    EXPECT_EQ(describe(std::move(error)),
              (Described{"TypeError", "'LaterName' object cannot be converted to 'PyList'"}));
    EXPECT_EQ(Py_REFCNT(type.get()), type_references);
}

struct UnreadableName {
    const char* name;
    const char* qualname_read;  // the body of the metaclass's __qualname__ lookup
};

void PrintTo(const UnreadableName& unreadable, std::ostream* out) {
    *out << unreadable.qualname_read;
}

class UnreadableTypeName : public FrameTest, public ::testing::WithParamInterface<UnreadableName> {};

TEST_P(UnreadableTypeName, FallsBackToAFixedName) {
    run_python((std::string("class Meta(type):\n"
                            "    def __getattribute__(cls, name):\n"
                            "        if name == '__qualname__':\n"
                            "            ") +
                GetParam().qualname_read +
                "\n"
                "        return super().__getattribute__(name)\n"
                "class Odd(metaclass=Meta): pass\n")
                   .c_str());
    Ref object = eval_python("Odd()");
    EXPECT_EQ(describe(ErrorValue::conversion_failure(object.get(), "PyString")),
              (Described{"TypeError", "'<failed to extract type name>' object cannot be converted to 'PyString'"}));
}

INSTANTIATE_TEST_SUITE_P(Metaclasses, UnreadableTypeName,
                         ::testing::Values(UnreadableName{"ReadRaises", "raise RuntimeError('unreadable')"},
                                           UnreadableName{"NotAStr", "return 42"}),
                         [](const ::testing::TestParamInfo<UnreadableName>& info) {
                             return std::string(info.param.name);
                         });

}  // namespace
}  // namespace tarvu
