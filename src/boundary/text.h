#pragma once
// Strs the module makes from texts of its own: ASCII copied straight into a
// new str, and interned names kept for the life of the process.

#include <cstdint>
#include <cstring>
#include <string_view>

#include "boundary/compat.h"

namespace tarvu {

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

/// An interned str kept in `cell` for the life of the process, created on
/// first use; safe to call from parallel threads.
PyObject* interned_once(PyObject*& cell, const char* text);

}  // namespace tarvu
