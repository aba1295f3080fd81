#include "module.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "support.h"
#include "types/label_classes.h"

namespace tarvu {
namespace {

using test::describe;
using test::describe_pending;
using test::Described;
using test::eval_python;
using test::FrameTest;
using test::GuardScope;
using test::Raised;
using test::Ref;
using test::run_python;
using test::str_of;
using test::take_raised;

PyObject* main_dict() {
    return PyModule_GetDict(PyImport_AddModule("__main__"));
}

/// Binds `object` in __main__ under `name`, for the Python snippets.
void bind(const char* name, PyObject* object) {
    ASSERT_EQ(PyDict_SetItemString(main_dict(), name, object), 0);
}

/// Python's repr of `target.__all__`, or "<missing>".
std::string all_of(PyObject* target) {
    Ref all(PyObject_GetAttrString(target, "__all__"));
    if (!all) {
        PyErr_Clear();
        return "<missing>";
    }
    Ref repr(PyObject_Repr(all.get()));
    return str_of(repr.get());
}

// --- Add step ---------------------------------------------------------------------------------

class AddToModule : public FrameTest {};

TEST_F(AddToModule, CreatesTheExportListOnAFreshModuleThenAppendsToIt) {
    Ref module(PyModule_New("fresh"));
    Ref first = eval_python("object()");
    const Py_ssize_t references = Py_REFCNT(first.get());

    ASSERT_TRUE(add_to_module(module.get(), "First", first.get()).ok());
    EXPECT_EQ(all_of(module.get()), "['First']");
    EXPECT_EQ(Py_REFCNT(first.get()), references + 1) << "the module holds its own reference";

    ASSERT_TRUE(add_to_module(module.get(), "Second", Py_None).ok());
    EXPECT_EQ(all_of(module.get()), "['First', 'Second']");
    EXPECT_EQ(Ref(PyObject_GetAttrString(module.get(), "First")).get(), first.get());
    EXPECT_EQ(Ref(PyObject_GetAttrString(module.get(), "Second")).get(), Py_None);
}

TEST_F(AddToModule, AppendsToAListSubclass) {
    Ref module(PyModule_New("subclassed"));
    bind("subclassed", module.get());
    run_python(
        "class Exports(list): pass\n"
        "subclassed.__all__ = Exports(['Before'])\n");
    ASSERT_TRUE(add_to_module(module.get(), "After", Py_None).ok());
    EXPECT_EQ(all_of(module.get()), "['Before', 'After']");
}

TEST_F(AddToModule, RefusesAnExportListThatIsNotAList) {
    Ref module(PyModule_New("not_a_list"));
    bind("not_a_list", module.get());
    run_python("not_a_list.__all__ = 3");
    Status status = add_to_module(module.get(), "Name", Py_None);
    ASSERT_FALSE(status.ok());
    EXPECT_EQ(describe(std::move(status).error()),
              (Described{"TypeError", "'int' object cannot be converted to 'PyList'"}));
    EXPECT_FALSE(PyObject_HasAttrString(module.get(), "Name"));
}

TEST_F(AddToModule, PassesOnAnyOtherFailureToReadTheExportList) {
    run_python(
        "read_failure = KeyError('no export list today')\n"
        "class Unreadable:\n"
        "    @property\n"
        "    def __all__(self): raise read_failure\n");
    Ref target = eval_python("Unreadable()");
    Ref expected = eval_python("read_failure");
    Status status = add_to_module(target.get(), "Name", Py_None);
    ASSERT_FALSE(status.ok());
    std::move(status).error().raise();
    EXPECT_EQ(take_raised().value.get(), expected.get());
}

TEST_F(AddToModule, TreatsAnAttributeErrorSubclassAsAMissingList) {
    run_python(
        "class MissingExports(AttributeError): pass\n"
        "class Lazy:\n"
        "    def __getattr__(self, name): raise MissingExports(name)\n");
    Ref target = eval_python("Lazy()");
    ASSERT_TRUE(add_to_module(target.get(), "Name", Py_None).ok());
    EXPECT_EQ(all_of(target.get()), "['Name']");
}

TEST_F(AddToModule, PassesOnAFailureToAssignAndKeepsTheNameListed) {
    run_python(
        "class Frozen:\n"
        "    def __init__(self, exports):\n"
        "        if exports is not None: object.__setattr__(self, '__all__', exports)\n"
        "    def __setattr__(self, name, value): raise PermissionError(name)\n");
    Ref without_list = eval_python("Frozen(None)");
    Status status = add_to_module(without_list.get(), "Name", Py_None);
    ASSERT_FALSE(status.ok());
    EXPECT_EQ(describe(std::move(status).error()), (Described{"PermissionError", "__all__"}));

    Ref with_list = eval_python("Frozen([])");
    Status second = add_to_module(with_list.get(), "Name", Py_None);
    ASSERT_FALSE(second.ok());
    EXPECT_EQ(describe(std::move(second).error()), (Described{"PermissionError", "Name"}));
    EXPECT_EQ(all_of(with_list.get()), "['Name']") << "appended before the attribute is assigned";
}

// --- Module body ----------------------------------------------------------------------------------

bool THIRD_ENSURED = false;

Result<PyTypeObject*> ensure_first() {
    return &PyFloat_Type;
}
Result<PyTypeObject*> ensure_failing() {
    Ref failure = eval_python("body_failure");
    PyObject* type = reinterpret_cast<PyObject*>(Py_TYPE(failure.get()));
    Py_INCREF(type);
    PyErr_Restore(type, failure.release(), nullptr);
    return ErrorValue::fetch();
}
Result<PyTypeObject*> ensure_third() {
    THIRD_ENSURED = true;
    return &PyBool_Type;
}

constexpr Registration FAKE_REGISTRATIONS[] = {
    {"First", &ensure_first},
    {"Failing", &ensure_failing},
    {"Third", &ensure_third},
};

class ModuleBody : public FrameTest {};

TEST_F(ModuleBody, StopsAtTheFirstFailingEntryAndReturnsItsErrorUnchanged) {
    run_python("body_failure = RuntimeError('An error occurred while initializing class Failing')");
    Ref expected = eval_python("body_failure");
    Ref module(PyModule_New("partial"));
    THIRD_ENSURED = false;

    Status status = run_module_body(module.get(), FAKE_REGISTRATIONS);

    ASSERT_FALSE(status.ok());
    std::move(status).error().raise();
    EXPECT_EQ(take_raised().value.get(), expected.get());
    EXPECT_EQ(all_of(module.get()), "['First']");
    EXPECT_EQ(Ref(PyObject_GetAttrString(module.get(), "First")).get(), reinterpret_cast<PyObject*>(&PyFloat_Type));
    EXPECT_FALSE(PyObject_HasAttrString(module.get(), "Failing"));
    EXPECT_FALSE(THIRD_ENSURED) << "entries after a failure are never built";
}

TEST(RegistrationList, RegistersTheThreeClassesInOrder) {
    std::vector<std::string> names;
    for (const Registration& registration : registration_list()) {
        names.emplace_back(registration.name);
    }
    EXPECT_THAT(names, ::testing::ElementsAre("Diagnosis", "Stain", "TileLabel"));
}

// --- Module initialisation, once per process --------------------------------------------------------
// INITIALIZED and the type cells are process-wide, so each scenario runs in a
// fresh copy of the process.

/// Makes allocations in the interpreter's object domain fail while installed:
/// all of them, or only those of at least `minimum_failing_size` bytes.
class FailingObjectAllocator {
public:
    explicit FailingObjectAllocator(size_t minimum_failing_size) : minimum_failing_size_(minimum_failing_size) {
        PyMem_GetAllocator(PYMEM_DOMAIN_OBJ, &original_);
        PyMemAllocatorEx failing = {this, &malloc_hook, &calloc_hook, &realloc_hook, &free_hook};
        PyMem_SetAllocator(PYMEM_DOMAIN_OBJ, &failing);
    }
    ~FailingObjectAllocator() { PyMem_SetAllocator(PYMEM_DOMAIN_OBJ, &original_); }
    FailingObjectAllocator(const FailingObjectAllocator&) = delete;
    FailingObjectAllocator& operator=(const FailingObjectAllocator&) = delete;

    size_t refused() const { return refused_; }

private:
    bool refuses(size_t size) {
        if (size >= minimum_failing_size_) {
            ++refused_;
            return true;
        }
        return false;
    }
    static void* malloc_hook(void* context, size_t size) {
        auto* self = static_cast<FailingObjectAllocator*>(context);
        return self->refuses(size) ? nullptr : self->original_.malloc(self->original_.ctx, size);
    }
    static void* calloc_hook(void* context, size_t count, size_t size) {
        auto* self = static_cast<FailingObjectAllocator*>(context);
        return self->refuses(count * size) ? nullptr : self->original_.calloc(self->original_.ctx, count, size);
    }
    static void* realloc_hook(void* context, void* pointer, size_t size) {
        auto* self = static_cast<FailingObjectAllocator*>(context);
        return self->refuses(size) ? nullptr : self->original_.realloc(self->original_.ctx, pointer, size);
    }
    static void free_hook(void* context, void* pointer) {
        auto* self = static_cast<FailingObjectAllocator*>(context);
        self->original_.free(self->original_.ctx, pointer);
    }

    PyMemAllocatorEx original_{};
    size_t minimum_failing_size_;
    size_t refused_ = 0;
};

/// How many module objects named "tarvu" are alive.
long live_tarvu_modules() {
#ifdef Py_GIL_DISABLED
    // An interpreter fault, not the module's: free-threaded 3.13 defers the
    // reference counts of module objects, so a module whose last reference
    // went is freed only by the next collection.
    Ref collected = eval_python("__import__('gc').collect()");
#endif
    Ref count = eval_python(
        "sum(1 for o in __import__('gc').get_objects()"
        "    if type(o) is type(__import__('sys')) and o.__dict__.get('__name__') == 'tarvu')");
    return count ? PyLong_AsLong(count.get()) : -1;
}

/// Creates what the frame caches on first need, so that a failing allocator
/// hits only the step under test.
void warm_up_frame() {
    GuardScope guard;
    ASSERT_NE(panic_exception_type(), nullptr);
}

void expect_a_complete_module(PyObject* module) {
    ASSERT_NE(module, nullptr);
    EXPECT_EQ(all_of(module), "['Diagnosis', 'Stain', 'TileLabel']");
    EXPECT_EQ(str_of(Ref(PyObject_GetAttrString(module, "__doc__")).get()), "");
    for (const char* name : {"Diagnosis", "Stain", "TileLabel"}) {
        Ref type(PyObject_GetAttrString(module, name));
        EXPECT_TRUE(type && PyType_Check(type.get())) << name;
    }
}

const Described ALREADY_INITIALIZED{"ImportError", "PyO3 modules may only be initialized once per interpreter process"};

TEST(InitializeModule, ASecondCallIsRefusedAndItsModuleDestroyed) {
    test::expect_in_fresh_process([] {
        EXPECT_FALSE(INITIALIZED.load());
        Ref module(initialize_module());
        expect_a_complete_module(module.get());
        EXPECT_TRUE(INITIALIZED.load());
        EXPECT_EQ(live_tarvu_modules(), 1);

        EXPECT_EQ(initialize_module(), nullptr);
        EXPECT_EQ(describe_pending(), ALREADY_INITIALIZED);
        EXPECT_EQ(live_tarvu_modules(), 1) << "the refused call's module is still alive";
    });
}

TEST(InitializeModule, AFailedModuleCreationLeavesTheFlagClear) {
    test::expect_in_fresh_process([] {
        warm_up_frame();
        PyObject* module;
        {
            FailingObjectAllocator failing(0);
            module = initialize_module();
            EXPECT_GT(failing.refused(), 0u);
        }
        EXPECT_EQ(module, nullptr);
        EXPECT_EQ(describe_pending().type, "MemoryError");
        EXPECT_FALSE(INITIALIZED.load());

        Ref retried(initialize_module());
        expect_a_complete_module(retried.get());
    });
}

TEST(InitializeModule, AFailedBodyUsesUpTheProcesssOneInitialisation) {
    test::expect_in_fresh_process([] {
        warm_up_frame();
        PyObject* module;
        {
            // Only a type object is this large: building Diagnosis fails.
            FailingObjectAllocator failing(sizeof(PyHeapTypeObject));
            module = initialize_module();
            EXPECT_GT(failing.refused(), 0u);
        }
        EXPECT_EQ(module, nullptr);
        Raised raised = take_raised();
        ASSERT_TRUE(raised.value);
        EXPECT_EQ(raised.type.get(), PyExc_RuntimeError);
        EXPECT_EQ(str_of(raised.value.get()), "An error occurred while initializing class Diagnosis");
        Ref cause(PyException_GetCause(raised.value.get()));
        EXPECT_TRUE(cause && PyErr_GivenExceptionMatches(cause.get(), PyExc_MemoryError));
        EXPECT_TRUE(INITIALIZED.load());
        EXPECT_EQ(live_tarvu_modules(), 0) << "the failed call's module is still alive";

        EXPECT_EQ(initialize_module(), nullptr);
        EXPECT_EQ(describe_pending(), ALREADY_INITIALIZED) << "not the first failure again";
        EXPECT_EQ(live_tarvu_modules(), 0);
    });
}

TEST(InitializeModule, AClassThatCannotBeBuiltStopsTheBodyAfterTheClassesBeforeIt) {
    test::expect_in_fresh_process([] {
        warm_up_frame();
        {
            GuardScope guard;
            ASSERT_TRUE(LabelClass<DIAGNOSIS>::ensure_type().ok());
        }
        Ref module(PyModule_New("tarvu"));
        ASSERT_TRUE(module);
        std::optional<ErrorValue> failure;
        {
            GuardScope guard;
            // Diagnosis exists already; the next type object, Stain's, cannot be allocated.
            FailingObjectAllocator failing(sizeof(PyHeapTypeObject));
            Status body = run_module_body(module.get(), registration_list());
            EXPECT_GT(failing.refused(), 0u);
            ASSERT_FALSE(body.ok());
            failure.emplace(std::move(body).error());
            std::move(*failure).raise();
            failure.reset();
        }
        Raised raised = take_raised();
        ASSERT_TRUE(raised.value);
        EXPECT_EQ(raised.type.get(), PyExc_RuntimeError);
        EXPECT_EQ(str_of(raised.value.get()), "An error occurred while initializing class Stain");
        Ref cause(PyException_GetCause(raised.value.get()));
        EXPECT_TRUE(cause && PyErr_GivenExceptionMatches(cause.get(), PyExc_MemoryError));
        EXPECT_EQ(all_of(module.get()), "['Diagnosis']");
        EXPECT_TRUE(PyObject_HasAttrString(module.get(), "Diagnosis"));
        EXPECT_FALSE(PyObject_HasAttrString(module.get(), "Stain"));
        EXPECT_EQ(LabelClass<STAIN>::cell().type, nullptr);
        EXPECT_EQ(LabelClass<TILE_LABEL>::cell().type, nullptr) << "a class after the failing one was built";
    });
}

}  // namespace
}  // namespace tarvu
