#include "support.h"

#include <cstdio>
#include <cstdlib>

namespace tarvu::test {

namespace {

std::string take_pending_description();

PyObject* main_globals() {
    if (PyErr_Occurred() != nullptr) {
        ADD_FAILURE() << "Python code run with an exception pending: " << take_pending_description();
    }
    PyObject* main = PyImport_AddModule("__main__");  // borrowed
    return PyModule_GetDict(main);                    // borrowed
}

/// Clears the pending Python error and returns its one-line description.
std::string take_pending_description() {
    Described described = describe_pending();
    return described.type + ": " + described.message;
}

}  // namespace

void run_python(const char* code) {
    Ref result(PyRun_String(code, Py_file_input, main_globals(), main_globals()));
    if (!result) {
        ADD_FAILURE() << "Python code failed: " << take_pending_description() << "\n" << code;
    }
}

Ref eval_python(const char* expression) {
    Ref result(PyRun_String(expression, Py_eval_input, main_globals(), main_globals()));
    if (!result) {
        ADD_FAILURE() << "Python expression failed: " << take_pending_description() << "\n" << expression;
    }
    return result;
}

Py_ssize_t blocks_in_use() {
    Ref count = eval_python("__import__('gc').collect() * 0 + __import__('sys').getallocatedblocks()");
    return count ? PyLong_AsSsize_t(count.get()) : -1;
}

std::string str_of(PyObject* object) {
    Ref text(PyObject_Str(object));
    if (!text) {
        PyErr_Clear();
        return "<str() failed>";
    }
    Ref bytes(PyUnicode_AsEncodedString(text.get(), "utf-8", "replace"));
    if (!bytes) {
        PyErr_Clear();
        return "<not encodable>";
    }
    return std::string(PyBytes_AS_STRING(bytes.get()), static_cast<size_t>(PyBytes_GET_SIZE(bytes.get())));
}

std::string type_name_of(PyObject* type_or_instance) {
    PyObject* type =
        PyType_Check(type_or_instance) ? type_or_instance : reinterpret_cast<PyObject*>(Py_TYPE(type_or_instance));
    Ref name(PyObject_GetAttrString(type, "__name__"));
    if (!name) {
        PyErr_Clear();
        return "<no name>";
    }
    return str_of(name.get());
}

Raised take_raised() {
    PyObject *type = nullptr, *value = nullptr, *traceback = nullptr;
    PyErr_Fetch(&type, &value, &traceback);
    if (type == nullptr) {
        ADD_FAILURE() << "no exception pending";
        return {};
    }
    PyErr_NormalizeException(&type, &value, &traceback);
    if (traceback != nullptr) {
        PyException_SetTraceback(value, traceback);
    }
    return {Ref(type), Ref(value), Ref(traceback)};
}

Described describe_pending() {
    Raised raised = take_raised();
    if (!raised.type) {
        return {"<nothing pending>", ""};
    }
    return {type_name_of(raised.type.get()), str_of(raised.value.get())};
}

Described describe(ErrorValue&& error) {
    if (PyErr_Occurred() != nullptr) {
        ADD_FAILURE() << "an exception was pending before raising: " << take_pending_description();
    }
    std::move(error).raise();
    return describe_pending();
}

void FrameTest::TearDown() {
    if (PyErr_Occurred() != nullptr) {
        ADD_FAILURE() << "the test left an exception pending: " << take_pending_description();
    }
}

namespace {

/// Ends the copy of the process that runs a fresh-process scenario. Result
/// printing is switched off there, so failures are written to stderr, where
/// the parent shows them.
[[noreturn]] void end_fresh_process() {
    const ::testing::TestResult* result = ::testing::UnitTest::GetInstance()->current_test_info()->result();
    for (int i = 0; i < result->total_part_count(); ++i) {
        const ::testing::TestPartResult& part = result->GetTestPartResult(i);
        if (part.failed()) {
            std::fprintf(stderr, "%s:%d: %s\n", part.file_name() ? part.file_name() : "?", part.line_number(),
                         part.message());
        }
    }
    std::fflush(stdout);
    std::fflush(stderr);
    std::_Exit(result->Failed() ? 1 : 0);
}

}  // namespace

void expect_in_fresh_process(const std::function<void()>& scenario) {
    EXPECT_EXIT(
        {
            scenario();
            end_fresh_process();
        },
        ::testing::ExitedWithCode(0), "");
}

}  // namespace tarvu::test
