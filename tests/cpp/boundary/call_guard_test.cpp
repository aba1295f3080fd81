#include "boundary/call_guard.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <atomic>
#include <future>
#include <stdexcept>
#include <thread>
#include <vector>

#include "support.h"

namespace tarvu {
namespace {

using test::describe_pending;
using test::Described;
using test::eval_python;
using test::Raised;
using test::Ref;
using test::run_python;
using test::take_raised;

void define_tracked() {
    run_python(
        "if 'Tracked' not in globals():\n"
        "    class Tracked:\n"
        "        log = []\n"
        "        def __init__(self, name): self.name = name\n"
        "        def __del__(self): Tracked.log.append(self.name)\n");
}

/// An object that logs its name when it is deallocated, so tests can see
/// when, and in which order, references are released.
Ref make_tracked(const char* name) {
    define_tracked();
    return eval_python((std::string("Tracked('") + name + "')").c_str());
}

/// The names deallocated since the last call, in order.
std::vector<std::string> take_deallocation_log() {
    define_tracked();
    Ref log = eval_python("Tracked.log");
    std::vector<std::string> names;
    if (!log) return names;
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(log.get()); ++i) {
        names.push_back(test::str_of(PyList_GET_ITEM(log.get(), i)));
    }
    run_python("Tracked.log.clear()");
    return names;
}

/// Opens and closes one call guard with an empty body.
void pass_through_call_guard() {
    PyObject* result = trampoline([]() -> Result<PyObject*> {
        Py_INCREF(Py_None);
        return Py_None;
    });
    Py_XDECREF(result);
}

/// Runs `work` on a thread of its own, which has no call guard open.
template <class Work>
void on_thread_without_guard(Work work) {
    std::thread thread([&] {
        EXPECT_EQ(GUARD_THREAD_STATE.gil_count, 0);
        work();
    });
    thread.join();
}

TEST(ReferencePool, ChangesFromAThreadWithoutGuardWaitForTheNextGuard) {
    Ref kept = make_tracked("kept");
    Ref released = make_tracked("released");
    take_deallocation_log();
    const Py_ssize_t kept_before = Py_REFCNT(kept.get());
    PyObject* released_object = released.release();  // its only reference goes to the pool

    on_thread_without_guard([&] {
        queue_incref(kept.get());
        queue_incref(kept.get());
        register_decref(kept.get());
        register_decref(released_object);
    });
    EXPECT_EQ(Py_REFCNT(kept.get()), kept_before) << "applied without a call guard";
    EXPECT_THAT(take_deallocation_log(), ::testing::IsEmpty());

    pass_through_call_guard();
    EXPECT_EQ(Py_REFCNT(kept.get()), kept_before + 1);
    EXPECT_THAT(take_deallocation_log(), ::testing::ElementsAre("released"));

    pass_through_call_guard();  // the pool was emptied: nothing is applied twice
    EXPECT_EQ(Py_REFCNT(kept.get()), kept_before + 1);
    Py_DECREF(kept.get());
}

TEST(ReferencePool, IncrementsAreAppliedBeforeDecrements) {
    Ref tracked = make_tracked("survivor");
    take_deallocation_log();
    ASSERT_EQ(Py_REFCNT(tracked.get()), 1);
    PyObject* object = tracked.release();

    // Queued in the order that would free the object if applied as queued.
    on_thread_without_guard([&] {
        register_decref(object);
        queue_incref(object);
    });
    pass_through_call_guard();

    EXPECT_THAT(take_deallocation_log(), ::testing::IsEmpty());
    EXPECT_EQ(Py_REFCNT(object), 1);
    Py_DECREF(object);
    EXPECT_THAT(take_deallocation_log(), ::testing::ElementsAre("survivor"));
}

TEST(ReferencePool, ThreadsQueueingWhileAnotherThreadOpensGuardsLoseNoChange) {
    constexpr int THREADS = 4;
    constexpr int ROUNDS = 20000;
    Ref object(PyList_New(0));
    const Py_ssize_t before = Py_REFCNT(object.get());

    std::atomic<int> finished{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < THREADS; ++t) {
        threads.emplace_back([&] {
            // Each increment is queued before the matching decrement, so the
            // count never drops below `before` whatever batches the guards take.
            for (int i = 0; i < ROUNDS; ++i) {
                queue_incref(object.get());
                queue_incref(object.get());
                register_decref(object.get());
            }
            finished.fetch_add(1);
        });
    }
    int guards = 0;
    while (finished.load() < THREADS) {
        pass_through_call_guard();
        ++guards;
    }
    for (std::thread& thread : threads) {
        thread.join();
    }
    pass_through_call_guard();

    EXPECT_EQ(Py_REFCNT(object.get()), before + THREADS * ROUNDS) << "after " << guards << " guards";
    for (int i = 0; i < THREADS * ROUNDS; ++i) {
        Py_DECREF(object.get());
    }
}

/// Who holds the interpreter lock when the test asks holds_interpreter. The
/// test arranges it itself, so the answer expected follows from the
/// arrangement and not from the interpreter's record of the holder, which is
/// what the check reads.
enum class LockScene { Holding, NobodyHolds, AnotherThreadHolds, HoldingOnAnotherThread, HoldingInSubinterpreter };

const char* const LOCK_SCENE_NAMES[] = {"Holding", "NobodyHolds", "AnotherThreadHolds", "HoldingOnAnotherThread",
                                        "HoldingInSubinterpreter"};

/// Ends a new sub-interpreter at once; the main thread keeps its own state.
void run_subinterpreter(bool (*inside)() = nullptr, bool* answer = nullptr) {
    PyThreadState* main_state = PyThreadState_Get();
    PyThreadState* sub = Py_NewInterpreter();
    ASSERT_NE(sub, nullptr);
    if (inside != nullptr) {
        *answer = inside();
    }
    Py_EndInterpreter(sub);
    PyThreadState_Swap(main_state);
}

/// holds_interpreter's answer on the main thread, or on the second thread.
bool holds_interpreter_in(LockScene scene) {
    switch (scene) {
        case LockScene::Holding:
            return compat::holds_interpreter();
        case LockScene::NobodyHolds: {
            PyThreadState* saved = PyEval_SaveThread();
            bool answer = compat::holds_interpreter();
            PyEval_RestoreThread(saved);
            return answer;
        }
        case LockScene::AnotherThreadHolds:
        case LockScene::HoldingOnAnotherThread: {
            PyThreadState* saved = PyEval_SaveThread();
            std::promise<bool> held;
            std::promise<void> asked;
            std::thread other([&] {
                PyGILState_STATE gil = PyGILState_Ensure();
                held.set_value(compat::holds_interpreter());
                asked.get_future().wait();
                PyGILState_Release(gil);
            });
            bool other_answer = held.get_future().get();
            bool main_answer = compat::holds_interpreter();
            asked.set_value();
            other.join();
            PyEval_RestoreThread(saved);
            return scene == LockScene::AnotherThreadHolds ? main_answer : other_answer;
        }
        case LockScene::HoldingInSubinterpreter: {
            bool answer = false;
            run_subinterpreter(&compat::holds_interpreter, &answer);
            return answer;
        }
    }
    return false;
}

class HoldsInterpreter : public ::testing::TestWithParam<std::tuple<LockScene, bool>> {};

// Before 3.12 the interpreter's own per-thread test answers "holds" for every
// thread once a sub-interpreter has existed, lock or no lock.
TEST_P(HoldsInterpreter, AnswersWhetherThisThreadHoldsTheLock) {
    const auto [scene, subinterpreter_first] = GetParam();
    if (subinterpreter_first) {
        run_subinterpreter();
    }
    const bool holding = scene != LockScene::NobodyHolds && scene != LockScene::AnotherThreadHolds;
    EXPECT_EQ(holds_interpreter_in(scene), holding);
}

INSTANTIATE_TEST_SUITE_P(
    LockScenes, HoldsInterpreter,
    ::testing::Combine(::testing::Values(LockScene::Holding, LockScene::NobodyHolds, LockScene::AnotherThreadHolds,
                                         LockScene::HoldingOnAnotherThread, LockScene::HoldingInSubinterpreter),
                       ::testing::Bool()),
    [](const ::testing::TestParamInfo<std::tuple<LockScene, bool>>& info) {
        return std::string(LOCK_SCENE_NAMES[static_cast<int>(std::get<0>(info.param))]) +
               (std::get<1>(info.param) ? "AfterASubinterpreter" : "");
    });

TEST(CallGuard, NestedGuardsRestoreTheCountAndReleaseOnlyTheirOwnTemporaries) {
    take_deallocation_log();
    const intptr_t count_before = GUARD_THREAD_STATE.gil_count;
    size_t length_before = 0;
    size_t length_in_outer = 0;

    PyObject* result = trampoline([&]() -> Result<PyObject*> {
        EXPECT_EQ(GUARD_THREAD_STATE.gil_count, count_before + 1);
        length_before = GUARD_THREAD_STATE.owned_objects.length;
        register_owned(make_tracked("outer").release());
        length_in_outer = GUARD_THREAD_STATE.owned_objects.length;

        PyObject* inner = trampoline([&]() -> Result<PyObject*> {
            EXPECT_EQ(GUARD_THREAD_STATE.gil_count, count_before + 2);
            register_owned(make_tracked("inner 1").release());
            register_owned(make_tracked("inner 2").release());
            register_owned(make_tracked("inner 3").release());
            return ErrorValue::lazy(PyExc_ValueError, "inner failure");
        });
        EXPECT_EQ(inner, nullptr);
        EXPECT_EQ(describe_pending(), (Described{"ValueError", "inner failure"}));

        EXPECT_THAT(take_deallocation_log(), ::testing::ElementsAre("inner 1", "inner 2", "inner 3"));
        EXPECT_EQ(GUARD_THREAD_STATE.gil_count, count_before + 1);
        EXPECT_EQ(GUARD_THREAD_STATE.owned_objects.length, length_in_outer);
        Py_INCREF(Py_None);
        return Py_None;
    });
    Py_XDECREF(result);

    EXPECT_THAT(take_deallocation_log(), ::testing::ElementsAre("outer"));
    EXPECT_EQ(GUARD_THREAD_STATE.gil_count, count_before);
    EXPECT_EQ(GUARD_THREAD_STATE.owned_objects.length, length_before);
}

TEST(CallGuard, ReleasingMoreTemporariesThanTheInlineBufferKeepsTheirOrder) {
    take_deallocation_log();
    std::vector<std::string> expected;
    PyObject* result = trampoline([&]() -> Result<PyObject*> {
        for (int i = 0; i < 40; ++i) {
            expected.push_back(std::to_string(i));
            register_owned(make_tracked(expected.back().c_str()).release());
        }
        Py_INCREF(Py_None);
        return Py_None;
    });
    Py_XDECREF(result);
    EXPECT_EQ(take_deallocation_log(), expected);
}

TEST(CallGuard, AfterTheThreadsListIsDestroyedTemporariesGoToTheNextGuard) {
    define_tracked();
    take_deallocation_log();
    std::vector<std::string> released_inside_body;
    std::vector<std::string> released_at_close;
    std::vector<std::string> released_by_next_guard;
    Py_BEGIN_ALLOW_THREADS;
    std::thread([&] {
        PyGILState_STATE state = PyGILState_Ensure();
        // As during thread exit, once the per-thread destructor has run.
        GUARD_THREAD_STATE.owned_objects = {nullptr, 0, 0, OwnedListState::Destroyed};
        PyObject* result = trampoline([&]() -> Result<PyObject*> {
            register_owned(make_tracked("late").release());
            // Still usable here: released neither now nor by this guard.
            released_inside_body = take_deallocation_log();
            Py_INCREF(Py_None);
            return Py_None;
        });
        Py_XDECREF(result);
        released_at_close = take_deallocation_log();
        EXPECT_EQ(GUARD_THREAD_STATE.gil_count, 0);
        EXPECT_EQ(GUARD_THREAD_STATE.owned_objects.length, 0u);
        PyObject* next = trampoline([&]() -> Result<PyObject*> {
            Py_INCREF(Py_None);
            return Py_None;
        });
        Py_XDECREF(next);
        released_by_next_guard = take_deallocation_log();
        PyGILState_Release(state);
    }).join();
    Py_END_ALLOW_THREADS;
    EXPECT_TRUE(released_inside_body.empty());
    EXPECT_TRUE(released_at_close.empty());
    EXPECT_THAT(released_by_next_guard, ::testing::ElementsAre("late"));
}

TEST(CallGuard, TemporariesRegisteredWithNoGuardOpenGoToTheNextGuard) {
    define_tracked();
    take_deallocation_log();
    ASSERT_EQ(GUARD_THREAD_STATE.gil_count, 0);
    register_owned(make_tracked("outside").release());
    EXPECT_TRUE(take_deallocation_log().empty());
    PyObject* next = trampoline([&]() -> Result<PyObject*> {
        Py_INCREF(Py_None);
        return Py_None;
    });
    Py_XDECREF(next);
    EXPECT_THAT(take_deallocation_log(), ::testing::ElementsAre("outside"));
}

TEST(CallGuard, SuccessReturnsTheBodysReferenceWithNothingPending) {
    Ref object(PyList_New(0));
    const Py_ssize_t before = Py_REFCNT(object.get());
    PyObject* result = trampoline([&]() -> Result<PyObject*> {
        Py_INCREF(object.get());
        return object.get();
    });
    EXPECT_EQ(result, object.get());
    EXPECT_EQ(PyErr_Occurred(), nullptr);
    EXPECT_EQ(Py_REFCNT(object.get()), before + 1);
    Py_XDECREF(result);
}

TEST(CallGuard, AnErrorValueTakenFromTheInterpreterIsRaisedAsExactlyTheSameObjects) {
    run_python(
        "def _fail():\n"
        "    raise KeyError('taken')\n"
        "try:\n"
        "    _fail()\n"
        "except KeyError as e:\n"
        "    taken_error = e\n");
    Ref instance = eval_python("taken_error");
    Ref traceback(PyException_GetTraceback(instance.get()));
    ASSERT_TRUE(traceback);

    PyObject* result = trampoline([&]() -> Result<PyObject*> {
        Py_INCREF(PyExc_KeyError);
        Py_INCREF(instance.get());
        Py_INCREF(traceback.get());
        PyErr_Restore(PyExc_KeyError, instance.get(), traceback.get());
        return ErrorValue::fetch();
    });

    EXPECT_EQ(result, nullptr);
    Raised raised = take_raised();
    EXPECT_EQ(raised.type.get(), PyExc_KeyError);
    EXPECT_EQ(raised.value.get(), instance.get());
    EXPECT_EQ(raised.traceback.get(), traceback.get());
    EXPECT_EQ(PyErr_Occurred(), nullptr);
}

struct BodyOutcome {
    const char* name;
    Result<PyObject*> (*body)();
    Described expected;
};

void PrintTo(const BodyOutcome& outcome, std::ostream* out) {
    *out << outcome.name;
}

class CallGuardOutcome : public ::testing::TestWithParam<BodyOutcome> {};

TEST_P(CallGuardOutcome, EndsWithNullOneExceptionAndTheStateRestored) {
    const BodyOutcome& outcome = GetParam();
    take_deallocation_log();
    const intptr_t count_before = GUARD_THREAD_STATE.gil_count;
    const size_t length_before = GUARD_THREAD_STATE.owned_objects.length;

    ::testing::internal::CaptureStderr();  // fault reports
    PyObject* result = trampoline([&]() -> Result<PyObject*> {
        register_owned(make_tracked("temporary").release());
        return outcome.body();
    });
    std::string report = ::testing::internal::GetCapturedStderr();

    EXPECT_EQ(result, nullptr);
    Raised raised = take_raised();
    ASSERT_TRUE(raised.value);
    EXPECT_EQ((Described{test::type_name_of(raised.type.get()), test::str_of(raised.value.get())}), outcome.expected);
    Ref args(PyObject_GetAttrString(raised.value.get(), "args"));
    EXPECT_EQ(PyTuple_GET_SIZE(args.get()), 1) << "the message is the only argument";
    EXPECT_THAT(take_deallocation_log(), ::testing::ElementsAre("temporary"));
    EXPECT_EQ(GUARD_THREAD_STATE.gil_count, count_before);
    EXPECT_EQ(GUARD_THREAD_STATE.owned_objects.length, length_before);
    if (outcome.expected.type == "PanicException" && outcome.expected.message != "panic from Rust code") {
        EXPECT_THAT(report, ::testing::HasSubstr(outcome.expected.message));
    }
}

INSTANTIATE_TEST_SUITE_P(
    Bodies, CallGuardOutcome,
    ::testing::Values(
        BodyOutcome{"LazyError",
                    []() -> Result<PyObject*> { return ErrorValue::lazy(PyExc_LookupError, "lazy text"); },
                    {"LookupError", "lazy text"}},
        BodyOutcome{"GeneralError",
                    []() -> Result<PyObject*> { return ErrorValue::general_with_number("No label for number ", 6); },
                    {"RuntimeError", "No label for number 6"}},
        BodyOutcome{"FaultWithText",
                    []() -> Result<PyObject*> { raise_fault("the fault text"); },
                    {"PanicException", "the fault text"}},
        BodyOutcome{"FaultWithoutText",
                    []() -> Result<PyObject*> { throw Fault::without_text(); },
                    {"PanicException", "panic from Rust code"}},
        BodyOutcome{"ForeignException",
                    []() -> Result<PyObject*> { throw std::logic_error("not a fault"); },
                    {"PanicException", "panic from Rust code"}}),
    [](const ::testing::TestParamInfo<BodyOutcome>& info) { return std::string(info.param.name); });

class UnraisableCallGuard : public ::testing::Test {
protected:
    void SetUp() override {
        run_python(
            "import sys\n"
            "unraisable_seen = []\n"
            "previous_unraisablehook = sys.unraisablehook\n"
            "sys.unraisablehook = lambda u: unraisable_seen.append(\n"
            "    (type(u.exc_value).__name__, str(u.exc_value), u.object))\n");
    }
    void TearDown() override { run_python("sys.unraisablehook = previous_unraisablehook"); }

    /// The reports as "{type}: {message}", checking that none names an object.
    std::vector<std::string> reports() {
        Ref seen = eval_python("unraisable_seen");
        std::vector<std::string> texts;
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(seen.get()); ++i) {
            PyObject* report = PyList_GET_ITEM(seen.get(), i);
            EXPECT_EQ(PyTuple_GET_ITEM(report, 2), Py_None) << "the report has a context object";
            texts.push_back(test::str_of(PyTuple_GET_ITEM(report, 0)) + ": " +
                            test::str_of(PyTuple_GET_ITEM(report, 1)));
        }
        return texts;
    }
};

TEST_F(UnraisableCallGuard, AFaultIsReportedThroughTheUnraisableHook) {
    const intptr_t count_before = GUARD_THREAD_STATE.gil_count;
    ::testing::internal::CaptureStderr();
    trampoline_unraisable([]() -> Status { raise_fault("fault in dealloc"); });
    ::testing::internal::GetCapturedStderr();

    EXPECT_THAT(reports(), ::testing::ElementsAre("PanicException: fault in dealloc"));
    EXPECT_EQ(PyErr_Occurred(), nullptr);
    EXPECT_EQ(GUARD_THREAD_STATE.gil_count, count_before);
}

TEST_F(UnraisableCallGuard, AnErrorValueIsReportedAndSuccessIsSilent) {
    trampoline_unraisable([]() -> Status { return Ok{}; });
    trampoline_unraisable([]() -> Status { return ErrorValue::lazy(PyExc_ValueError, "dealloc error"); });
    EXPECT_THAT(reports(), ::testing::ElementsAre("ValueError: dealloc error"));
    EXPECT_EQ(PyErr_Occurred(), nullptr);
}

struct ProhibitedCount {
    intptr_t count;
    const char* message_pattern;
};

void PrintTo(const ProhibitedCount& prohibited, std::ostream* out) {
    *out << "GIL_COUNT " << prohibited.count;
}

class ProhibitedGilAccess : public ::testing::TestWithParam<ProhibitedCount> {};

TEST_P(ProhibitedGilAccess, EndsTheProcessThroughThePanicTrap) {
    const ProhibitedCount& prohibited = GetParam();
    const std::string pattern = std::string(prohibited.message_pattern) + ".*uncaught panic at ffi boundary";
    EXPECT_DEATH(
        {
            GUARD_THREAD_STATE.gil_count = prohibited.count;
            pass_through_call_guard();
        },
        pattern);
}

INSTANTIATE_TEST_SUITE_P(
    NegativeCounts, ProhibitedGilAccess,
    ::testing::Values(
        ProhibitedCount{-1, "Access to the GIL is prohibited while a __traverse__ implmentation is running\\."},
        ProhibitedCount{-2, "Access to the GIL is currently prohibited\\."}),
    [](const ::testing::TestParamInfo<ProhibitedCount>& info) { return "Minus" + std::to_string(-info.param.count); });

}  // namespace
}  // namespace tarvu
