#include "boundary/text.h"

#include "boundary/error_value.h"
#include "boundary/owned.h"

namespace tarvu {

namespace {

PyObject* QUALNAME_NAME = nullptr;  // protected by the interpreter lock

constexpr const char FAILED_TYPE_NAME[] = "<failed to extract type name>";

}  // namespace

PyObject* interned_qualname() {
    if (QUALNAME_NAME == nullptr) {
        PyObject* name = PyUnicode_InternFromString("__qualname__");
        if (name == nullptr) {
            api_call_failed();
        }
        // A re-entrant call may have filled the cell meanwhile; keep the first.
        if (QUALNAME_NAME == nullptr) {
            QUALNAME_NAME = name;
        } else {
            register_decref(name);
        }
    }
    return QUALNAME_NAME;
}

std::string lossy_text(PyObject* str) {
    Py_ssize_t size = 0;
    if (const char* data = PyUnicode_AsUTF8AndSize(str, &size)) {
        return std::string(data, static_cast<size_t>(size));
    }
    if (auto error = ErrorValue::take()) {
        std::move(*error).discard();
    }
    Owned bytes = Owned::steal(PyUnicode_AsEncodedString(str, "utf-8", "surrogatepass"));
    if (!bytes) {
        api_call_failed();
    }
    Owned repaired = Owned::steal(PyUnicode_DecodeUTF8(PyBytes_AS_STRING(bytes.get()),
                                                       PyBytes_GET_SIZE(bytes.get()), "replace"));
    if (!repaired) {
        api_call_failed();
    }
    const char* data = PyUnicode_AsUTF8AndSize(repaired.get(), &size);
    if (data == nullptr) {
        api_call_failed();
    }
    return std::string(data, static_cast<size_t>(size));
}

std::optional<std::string> type_qualname(PyObject* type) {
    PyObject* qualname = PyObject_GetAttr(type, interned_qualname());
    if (qualname == nullptr) {
        ErrorValue::fetch().discard();
        return std::nullopt;
    }
    register_owned(qualname);
    if (!PyUnicode_Check(qualname)) {
        return std::nullopt;
    }
    Py_ssize_t size = 0;
    const char* data = PyUnicode_AsUTF8AndSize(qualname, &size);
    if (data == nullptr) {
        ErrorValue::fetch().discard();
        return std::nullopt;
    }
    return std::string(data, static_cast<size_t>(size));
}

std::string type_name_for_message(PyObject* type) {
    std::optional<std::string> name = type_qualname(type);
    return name ? std::move(*name) : std::string(FAILED_TYPE_NAME);
}

std::string render_object(PyObject* object) {
    PyObject* text = PyObject_Str(object);
    if (text != nullptr) {
        register_owned(text);
        return lossy_text(text);
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

}  // namespace tarvu
