#include "boundary/text.h"

#include "boundary/owned.h"
#include "boundary/shared_state.h"
#include "boundary/thread_state.h"

namespace tarvu {

namespace {

PyObject* QUALNAME_NAME = nullptr;  // filled once by interned_once

constexpr const char FAILED_TYPE_NAME[] = "<failed to extract type name>";

}  // namespace

PyObject* interned_once(PyObject*& cell, const char* text) {
    if (PyObject* name = load_published(cell)) {
        return name;
    }
    Owned name = Owned::steal(PyUnicode_InternFromString(text));
    if (!name) {
        api_call_failed();
    }
    if (publish_if_empty(cell, name.get())) {
        // The cell keeps the reference for the life of the process.
        static_cast<void>(name.release());
    }
    // Otherwise a parallel caller interned the same str first, and the handle
    // drops our second reference to that object.
    return load_published(cell);
}

Result<std::string_view> utf8_view(PyObject* str) {
    Py_ssize_t size = 0;
    const char* data = PyUnicode_AsUTF8AndSize(str, &size);
    if (data == nullptr) {
        return ErrorValue::fetch();
    }
    return std::string_view(data, static_cast<size_t>(size));
}

std::string lossy_text(PyObject* str) {
    Result<std::string_view> text = utf8_view(str);
    if (text.ok()) {
        return std::string(text.value());
    }
    std::move(text).error().discard();
    Owned bytes = Owned::steal(PyUnicode_AsEncodedString(str, "utf-8", "surrogatepass"));
    if (!bytes) {
        api_call_failed();
    }
    Owned repaired =
        Owned::steal(PyUnicode_DecodeUTF8(PyBytes_AS_STRING(bytes.get()), PyBytes_GET_SIZE(bytes.get()), "replace"));
    if (!repaired) {
        api_call_failed();
    }
    // Valid UTF-8 once decoded with "replace": only a MemoryError can stop it.
    Result<std::string_view> repaired_text = utf8_view(repaired.get());
    if (!repaired_text.ok()) {
        std::move(repaired_text).error().raise();
        api_call_failed();
    }
    return std::string(repaired_text.value());
}

std::optional<std::string> type_qualname(PyObject* type) {
    PyObject* qualname = PyObject_GetAttr(type, interned_once(QUALNAME_NAME, "__qualname__"));
    if (qualname == nullptr) {
        ErrorValue::fetch().discard();
        return std::nullopt;
    }
    register_owned(qualname);
    if (!PyUnicode_Check(qualname)) {
        return std::nullopt;
    }
    Result<std::string_view> text = utf8_view(qualname);
    if (!text.ok()) {
        std::move(text).error().discard();
        return std::nullopt;
    }
    return std::string(text.value());
}

std::string type_name_for_message(PyObject* type) {
    std::optional<std::string> name = type_qualname(type);
    return name ? std::move(*name) : std::string(FAILED_TYPE_NAME);
}

namespace {

/// The text `to_text` (str or repr) makes of an object, with the unprintable
/// fallbacks.
std::string render_with(PyObject* object, PyObject* (*to_text)(PyObject*)) {
    if (Owned text = Owned::steal(to_text(object))) {
        return lossy_text(text.get());
    }
    ErrorValue error = ErrorValue::fetch();
    std::move(error).raise();
    PyErr_WriteUnraisable(object);
    std::optional<std::string> name = type_qualname(reinterpret_cast<PyObject*>(Py_TYPE(object)));
    if (!name) {
        return "<unprintable object>";
    }
    return "<unprintable " + *name + " object>";
}

}  // namespace

std::string render_object(PyObject* object) {
    return render_with(object, &PyObject_Str);
}

std::string render_object_repr(PyObject* object) {
    return render_with(object, &PyObject_Repr);
}

}  // namespace tarvu
