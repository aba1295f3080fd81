#include "module.h"

#include <array>
#include <utility>

#include "boundary/call_guard.h"
#include "boundary/owned.h"
#include "boundary/shared_state.h"
#include "boundary/text.h"
#include "types/label_classes.h"

namespace tarvu {

namespace {

constexpr const char ALREADY_INITIALIZED[] = "PyO3 modules may only be initialized once per interpreter process";
constexpr int MODULE_API_VERSION = 1013;

/// A registration per vocabulary, in list order.
template <const Vocabulary&... vocabularies>
constexpr std::array<Registration, sizeof...(vocabularies)> registrations_of(VocabularyList<vocabularies...>) {
    return {{{vocabularies.class_name, &LabelClass<vocabularies>::ensure_type}...}};
}

constexpr auto REGISTRATIONS = registrations_of(Vocabularies{});

PyObject* interned_all() {
    return interned_once(ALL_NAME, "__all__");
}

/// The module's export list, created on first use.
Result<Owned> export_list(PyObject* module) {
    Owned all = Owned::steal(PyObject_GetAttr(module, interned_all()));
    if (all) {
        if (!PyList_Check(all.get())) {
            return ErrorValue::conversion_failure(all.get(), "PyList");
        }
        return all;
    }
    ErrorValue error = ErrorValue::fetch();
    if (!error.is_instance_of(PyExc_AttributeError)) {
        return error;
    }
    std::move(error).discard();
    Owned created = Owned::steal(PyList_New(0));
    if (!created) {
        api_call_failed();
    }
    if (PyObject_SetAttr(module, interned_all(), created.get()) < 0) {
        return ErrorValue::fetch();
    }
    return created;
}

}  // namespace

std::atomic<bool> INITIALIZED{false};

PyModuleDef MODULE_DEFINITION = {
    PyModuleDef_HEAD_INIT,
    "tarvu",
    "",  // an empty __doc__, not None
    0,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
};

PyObject* ALL_NAME = nullptr;  // the interned "__all__"; filled once by interned_once

std::span<const Registration> registration_list() {
    return REGISTRATIONS;
}

namespace {

/// A new str holding `text`, owned by the open call guard.
PyObject* temporary_str(const char* text) {
    PyObject* str = PyUnicode_FromString(text);
    if (str == nullptr) {
        api_call_failed();
    }
    register_owned(str);
    return str;
}

}  // namespace

Status add_to_module(PyObject* module, const char* name, PyObject* value) {
    Result<Owned> all = export_list(module);
    if (!all.ok()) {
        return std::move(all).error();
    }
    if (PyList_Append(all.value().get(), temporary_str(name)) < 0) {
        fault_describing("could not append __name__ to __all__: ", ErrorValue::fetch());
    }
    if (PyObject_SetAttr(module, temporary_str(name), value) < 0) {
        return ErrorValue::fetch();
    }
    return Ok{};
}

Status run_module_body(PyObject* module, std::span<const Registration> registrations) {
    for (const Registration& registration : registrations) {
        // Each type is built right before its own add step, so a failure leaves
        // the earlier classes added and the later ones unbuilt.
        Result<PyTypeObject*> type = registration.ensure_type();
        if (!type.ok()) {
            return std::move(type).error();
        }
        TARVU_TRY(add_to_module(module, registration.name, reinterpret_cast<PyObject*>(type.value())));
    }
    return Ok{};
}

PyObject* initialize_module() {
    return trampoline([]() -> Result<PyObject*> {
        Owned module = Owned::steal(PyModule_Create2(&MODULE_DEFINITION, MODULE_API_VERSION));
        if (!module) {
            return ErrorValue::fetch();  // the flag stays clear: a later call may succeed
        }
        if (declare_free_threading_safe(module.get()) < 0) {
            return ErrorValue::fetch();
        }
        // Tested after creating the module, so a repeated call creates and then
        // destroys one module; set before the body runs, so a failed first
        // initialisation also uses up the process's only one.
        if (INITIALIZED.exchange(true, std::memory_order_acq_rel)) {
            return ErrorValue::lazy(PyExc_ImportError, ALREADY_INITIALIZED);
        }
        TARVU_TRY(run_module_body(module.get(), registration_list()));
        return module.release();
    });
}

}  // namespace tarvu
