#pragma once
// Argument extraction and conversion.
//
// Every entry point that takes arguments is described by one constant
// FunctionDescription; one matcher assigns positional and keyword arguments to
// parameter slots, and every argument-error message is built here.

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "boundary/error_value.h"

namespace tarvu {

/// A parameter that can only be given by keyword.
struct KeywordOnlyParameter {
    std::string_view name;
    bool required;
};

/// The parameters of one entry point.
struct FunctionDescription {
    const char* class_name;  // null for a module-level function
    const char* function_name;
    std::span<const std::string_view> positional_parameter_names;
    size_t positional_only_count;
    size_t required_positional_count;
    std::span<const KeywordOnlyParameter> keyword_only_parameters;

    size_t slot_count() const { return positional_parameter_names.size() + keyword_only_parameters.size(); }
    /// "{class}.{function}()" or "{function}()".
    std::string full_name() const;

    // Message builders; every extraction failure is a TypeError.
    ErrorValue too_many_positional_arguments(size_t given) const;
    ErrorValue multiple_values_for_argument(std::string_view name) const;
    ErrorValue unexpected_keyword_argument(PyObject* name) const;
    ErrorValue positional_only_keyword_arguments(const std::vector<std::string>& names) const;
    ErrorValue missing_required_positional_arguments(std::span<PyObject* const> slots) const;
    ErrorValue missing_required_keyword_arguments(std::span<PyObject* const> keyword_only_slots) const;
};

/// Appends 'a'; 'a' and 'b'; 'a', 'b', and 'c' (the names quoted).
void push_parameter_list(std::string& message, std::span<const std::string_view> names);

/// "{function} missing {count} required {kind} {noun}: {names}".
ErrorValue missing_required_arguments(const FunctionDescription& description, const char* kind,
                                      std::span<const std::string_view> names);

/// Matches an argument tuple and keyword dictionary (may be null) to `slots`,
/// which hold borrowed references afterwards (null for an absent optional).
Status extract_arguments_tuple_dict_general(const FunctionDescription& description, PyObject* args, PyObject* kwargs,
                                            std::span<PyObject*> slots);

/// The same for a vector call: `nargsf` positional arguments followed by the
/// values of the keyword names in `kwnames` (may be null).
Status extract_arguments_fastcall_general(const FunctionDescription& description, PyObject* const* args,
                                          Py_ssize_t nargsf, PyObject* kwnames, std::span<PyObject*> slots);

/// The usual call: positional arguments only, as many as the parameters allow
/// and no required keyword-only parameter. It cannot fail, so it needs none of
/// the general matcher's checks.
inline bool extract_positional_call(const FunctionDescription& description, PyObject* const* args, size_t given,
                                    std::span<PyObject*> slots) {
    if (given < description.required_positional_count || given > description.positional_parameter_names.size()) {
        return false;
    }
    for (const KeywordOnlyParameter& parameter : description.keyword_only_parameters) {
        if (parameter.required) return false;
    }
    for (size_t i = 0; i < given; ++i) {
        slots[i] = args[i];
    }
    return true;
}

inline Status extract_arguments_tuple_dict(const FunctionDescription& description, PyObject* args, PyObject* kwargs,
                                           std::span<PyObject*> slots) {
    if (args != nullptr && (kwargs == nullptr || PyDict_GET_SIZE(kwargs) == 0) &&
        extract_positional_call(description, compat::tuple_items(args), static_cast<size_t>(PyTuple_GET_SIZE(args)),
                                slots)) [[likely]] {
        return Ok{};
    }
    return extract_arguments_tuple_dict_general(description, args, kwargs, slots);
}

/// The usual call by keyword: every keyword name an ASCII str naming a
/// positional-or-keyword parameter past the positional arguments, once, and
/// every required parameter given. Decided by byte compares of the names, with
/// none of the general matcher's UTF-8 reads; any other call leaves `slots` as
/// it found them (all empty) and returns false. Inlined into each entry
/// point, where the description is a constant: clang otherwise keeps it as a
/// call that walks the names in general.
TARVU_ALWAYS_INLINE bool extract_keyword_call(const FunctionDescription& description, PyObject* const* args,
                                              size_t given, PyObject* kwnames, std::span<PyObject*> slots) {
    const auto& names = description.positional_parameter_names;
    if (given > names.size()) {
        return false;
    }
    for (const KeywordOnlyParameter& parameter : description.keyword_only_parameters) {
        if (parameter.required) return false;
    }
    const Py_ssize_t keyword_count = PyTuple_GET_SIZE(kwnames);
    const size_t first_named = given > description.positional_only_count ? given : description.positional_only_count;
    bool matched = true;
    for (Py_ssize_t k = 0; k < keyword_count && matched; ++k) {
        const char* data;
        Py_ssize_t length;
        PyObject* name = PyTuple_GET_ITEM(kwnames, k);
        matched = false;
        if (!PyUnicode_Check(name) || !compat::compact_ascii_text(name, &data, &length)) break;
        const std::string_view keyword(data, static_cast<size_t>(length));
        for (size_t i = first_named; i < names.size(); ++i) {
            if (names[i] == keyword) {
                matched = slots[i] == nullptr;
                slots[i] = args[given + static_cast<size_t>(k)];
                break;
            }
        }
    }
    for (size_t i = 0; i < given; ++i) slots[i] = args[i];
    for (size_t i = 0; i < description.required_positional_count && matched; ++i) matched = slots[i] != nullptr;
    if (!matched) {
        for (PyObject*& slot : slots) slot = nullptr;
    }
    return matched;
}

/// A vector call made the usual way, positionally or by keyword, matched
/// without the general matcher; false (and `slots` left empty) for any other
/// call, which only the general matcher can match or refuse. It can neither
/// fail nor call back into Python.
TARVU_ALWAYS_INLINE bool extract_usual_fastcall(const FunctionDescription& description, PyObject* const* args,
                                                Py_ssize_t nargsf, PyObject* kwnames, std::span<PyObject*> slots) {
    const auto given = static_cast<size_t>(compat::vectorcall_nargs(nargsf));
    if (kwnames == nullptr || PyTuple_GET_SIZE(kwnames) == 0) [[likely]] {
        return extract_positional_call(description, args, given, slots);
    }
    return extract_keyword_call(description, args, given, kwnames, slots);
}

TARVU_ALWAYS_INLINE Status extract_arguments_fastcall(const FunctionDescription& description, PyObject* const* args,
                                                      Py_ssize_t nargsf, PyObject* kwnames,
                                                      std::span<PyObject*> slots) {
    if (extract_usual_fastcall(description, args, nargsf, kwnames, slots)) [[likely]] {
        return Ok{};
    }
    return extract_arguments_fastcall_general(description, args, nargsf, kwnames, slots);
}

/// Rewrites a conversion error of argument `name`: an exact TypeError gains the
/// prefix "argument '{name}': "; anything else passes unchanged.
ErrorValue argument_extraction_error(std::string_view name, ErrorValue error);

// --- Conversions ----------------------------------------------------------------

/// A borrowed UTF-8 view of a str, valid while the str lives.
Result<std::string_view> extract_text_general(PyObject* object);

inline Result<std::string_view> extract_text(PyObject* object) {
    const char* data;
    Py_ssize_t length;
    if (PyUnicode_Check(object) && compat::compact_ascii_text(object, &data, &length)) [[likely]] {
        return std::string_view(data, static_cast<size_t>(length));
    }
    return extract_text_general(object);
}

/// An integer in 0 to 255, through __index__.
Result<uint8_t> extract_u8_general(PyObject* object);

/// The usual case of extract_u8, which can neither fail nor run Python code:
/// an exact int from 0 to 255 (whose __index__ is itself), read in place.
inline bool exact_u8(PyObject* object, uint8_t* value) {
    long read;
    if (PyLong_CheckExact(object) && compat::small_int_value(object, &read) && read >= 0 && read <= 255) {
        *value = static_cast<uint8_t>(read);
        return true;
    }
    return false;
}

inline Result<uint8_t> extract_u8(PyObject* object) {
    if (uint8_t value; exact_u8(object, &value)) [[likely]] {
        return value;
    }
    return extract_u8_general(object);
}

}  // namespace tarvu
