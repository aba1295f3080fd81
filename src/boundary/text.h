#pragma once
// Texts of Python objects, as they appear in the module's messages.

#include <cstdint>
#include <cstring>
#include <initializer_list>
#include <optional>
#include <string>
#include <string_view>

#include "boundary/error_value.h"

namespace tarvu {

/// A borrowed view of a str's UTF-8 form, valid while the str lives; the
/// codec's error (a lone surrogate) when it has none.
Result<std::string_view> utf8_view(PyObject* str);

/// Copies `text` to `to` with at most two overlapping moves of one width. The
/// module's texts are a few dozen bytes at most, where a call to memcpy costs
/// more than the copy itself.
inline void copy_short_text(char* to, std::string_view text) {
    const char* from = text.data();
    const size_t n = text.size();
    auto copy_ends = [&]<class Word>(Word) {
        Word first, last;
        std::memcpy(&first, from, sizeof(Word));
        std::memcpy(&last, from + n - sizeof(Word), sizeof(Word));
        std::memcpy(to, &first, sizeof(Word));
        std::memcpy(to + n - sizeof(Word), &last, sizeof(Word));
    };
    struct Bytes16 {
        uint64_t words[2];
    };
    if (n >= 16) {
        if (n > 32) {
            std::memcpy(to, from, n);
        } else {
            copy_ends(Bytes16{});
        }
    } else if (n >= 8) {
        copy_ends(uint64_t{});
    } else if (n >= 4) {
        copy_ends(uint32_t{});
    } else if (n > 0) {
        to[0] = from[0];
        to[n / 2] = from[n / 2];
        to[n - 1] = from[n - 1];
    }
}

/// A new str holding ASCII text (`head` then `tail`), copied straight into the
/// object instead of going through the UTF-8 decoder.
inline PyObject* new_ascii_str(std::string_view head, std::string_view tail = {}) {
    PyObject* str = PyUnicode_New(static_cast<Py_ssize_t>(head.size() + tail.size()), 127);
    if (str != nullptr) {
        char* data = compat::compact_ascii_data(str);
        copy_short_text(data, head);
        copy_short_text(data + head.size(), tail);
    }
    return str;
}

/// UTF-8 text borrowed from a str that `owner` keeps alive; an empty owner
/// means the text is a constant or borrowed from a str the caller holds.
struct HeldText {
    Owned owner;
    std::string_view text;
};

/// An object's text as a message shows it: `before`, `text` and `after` in a
/// row (a placeholder wraps a type name), borrowed from `owner` or constant.
struct RenderedText {
    Owned owner;
    std::string_view before;
    std::string_view text;
    std::string_view after;
};

/// Joins the pieces of a message that embeds caller text into the one copy
/// made of it. The caller chooses that text's size, so an allocation that
/// cannot be had is a MemoryError instead of the module's allocation-failure
/// abort.
Result<std::string> compose_message(std::initializer_list<std::string_view> pieces);

/// UTF-8 text of a str, borrowed from it; a str the codec refuses (lone
/// surrogates) is encoded with "surrogatepass" and every invalid sequence
/// replaced by U+FFFD, in a new str that the result holds. Fails only with a
/// MemoryError (or what must_propagate passes on).
Result<HeldText> lossy_text(PyObject* str);

/// The `__qualname__` of a type, if it can be read and is a str. A failure of
/// the read is dropped (no name) unless must_propagate passes it on: the name
/// may be computed by Python code, where a Ctrl-C must not be lost.
Result<std::optional<HeldText>> type_qualname(PyObject* type);

/// The type name used in conversion messages, with its fixed fallback.
Result<HeldText> type_name_for_message(PyObject* type);

/// The str() text of an object for a message. An object whose str() fails in
/// an ordinary way is reported as unraisable and shown as
/// "<unprintable {type} object>"; an interrupt, exhausted memory or the
/// recursion limit is passed on.
Result<RenderedText> render_object(PyObject* object);

/// The same with repr(), for debug forms, as one string: a failure that
/// render_object would pass on is reported as unraisable there too, since a
/// fault text has no way to carry it.
std::string render_object_repr(PyObject* object);

/// An interned str kept in `cell` for the life of the process, created on
/// first use; safe to call from parallel threads.
PyObject* interned_once(PyObject*& cell, const char* text);

}  // namespace tarvu
