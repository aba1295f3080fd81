#include "boundary/text.h"

#include <new>

#include "boundary/owned.h"
#include "boundary/shared_state.h"

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

Result<std::string> compose_message(std::initializer_list<std::string_view> pieces) {
    size_t length = 0;
    for (std::string_view piece : pieces) {
        length += piece.size();
    }
    try {
        std::string message;
        message.reserve(length);
        for (std::string_view piece : pieces) {
            message += piece;
        }
        return message;
    } catch (const std::bad_alloc&) {
        return ErrorValue::out_of_memory();
    }
}

namespace {

/// Drops an error met while reading a text for a message, for the
/// placeholder; returns it instead when it must reach the caller.
std::optional<ErrorValue> unless_propagating(ErrorValue error) {
    if (must_propagate(error)) {
        return error;
    }
    std::move(error).discard();
    return std::nullopt;
}

}  // namespace

Result<HeldText> lossy_text(PyObject* str) {
    Result<std::string_view> text = utf8_view(str);
    if (text.ok()) {
        return HeldText{Owned(), text.value()};
    }
    if (std::optional<ErrorValue> error = unless_propagating(std::move(text).error())) {
        return std::move(*error);
    }
    // The encoder and the decoder below fail only when memory runs out, and the
    // text is the caller's, of any size: that MemoryError is passed on.
    Owned bytes = Owned::steal(PyUnicode_AsEncodedString(str, "utf-8", "surrogatepass"));
    if (!bytes) {
        return ErrorValue::fetch();
    }
    Owned repaired =
        Owned::steal(PyUnicode_DecodeUTF8(PyBytes_AS_STRING(bytes.get()), PyBytes_GET_SIZE(bytes.get()), "replace"));
    if (!repaired) {
        return ErrorValue::fetch();
    }
    bytes.reset();
    Result<std::string_view> repaired_text = utf8_view(repaired.get());
    if (!repaired_text.ok()) {
        return std::move(repaired_text).error();
    }
    return HeldText{std::move(repaired), repaired_text.value()};
}

Result<std::optional<HeldText>> type_qualname(PyObject* type) {
    Owned qualname = Owned::steal(PyObject_GetAttr(type, interned_once(QUALNAME_NAME, "__qualname__")));
    if (!qualname) {
        if (std::optional<ErrorValue> error = unless_propagating(ErrorValue::fetch())) {
            return std::move(*error);
        }
        return std::optional<HeldText>();
    }
    if (!PyUnicode_Check(qualname.get())) {
        return std::optional<HeldText>();
    }
    Result<std::string_view> text = utf8_view(qualname.get());
    if (!text.ok()) {
        if (std::optional<ErrorValue> error = unless_propagating(std::move(text).error())) {
            return std::move(*error);
        }
        return std::optional<HeldText>();
    }
    return std::optional<HeldText>(HeldText{std::move(qualname), text.value()});
}

Result<HeldText> type_name_for_message(PyObject* type) {
    Result<std::optional<HeldText>> name = type_qualname(type);
    if (!name.ok()) {
        return std::move(name).error();
    }
    if (!name.value()) {
        return HeldText{Owned(), FAILED_TYPE_NAME};
    }
    return std::move(*name.value());
}

namespace {

/// The text `to_text` (str or repr) makes of an object, with the unprintable
/// fallbacks.
Result<RenderedText> render_with(PyObject* object, PyObject* (*to_text)(PyObject*)) {
    if (Owned text = Owned::steal(to_text(object))) {
        Result<HeldText> lossy = lossy_text(text.get());
        if (!lossy.ok()) {
            return std::move(lossy).error();
        }
        HeldText& held = lossy.value();
        // The text is borrowed from the repaired str, if there is one, or else
        // from the str that to_text made.
        return RenderedText{held.owner ? std::move(held.owner) : std::move(text), {}, held.text, {}};
    }
    ErrorValue error = ErrorValue::fetch();
    if (must_propagate(error)) {
        return error;
    }
    std::move(error).raise();
    PyErr_WriteUnraisable(object);
    Result<std::optional<HeldText>> name = type_qualname(reinterpret_cast<PyObject*>(Py_TYPE(object)));
    if (!name.ok()) {
        return std::move(name).error();
    }
    if (!name.value()) {
        return RenderedText{Owned(), "<unprintable object>", {}, {}};
    }
    HeldText& held = *name.value();
    return RenderedText{std::move(held.owner), "<unprintable ", held.text, " object>"};
}

}  // namespace

Result<RenderedText> render_object(PyObject* object) {
    return render_with(object, &PyObject_Str);
}

std::string render_object_repr(PyObject* object) {
    Result<RenderedText> rendered = render_with(object, &PyObject_Repr);
    if (!rendered.ok()) {
        std::move(rendered).error().raise();
        PyErr_WriteUnraisable(object);
        return "<unprintable object>";
    }
    const RenderedText& text = rendered.value();
    std::string joined(text.before);
    joined += text.text;
    joined += text.after;
    return joined;
}

}  // namespace tarvu
