#include "boundary/arguments.h"

namespace tarvu {

namespace {

constexpr const char DICTIONARY_CHANGED_SIZE[] = "dictionary changed size during iteration";
constexpr const char DICTIONARY_KEYS_CHANGED[] = "dictionary keys changed during iteration";

/// Assigns keyword arguments to slots, in the caller's order; the first bad
/// keyword ends the walk.
class KeywordMatcher {
public:
    KeywordMatcher(const FunctionDescription& description, std::span<PyObject*> slots)
        : description_(description), slots_(slots) {}

    Status match(PyObject* name, PyObject* value) {
        if (!PyUnicode_Check(name)) {
            return ErrorValue::conversion_failure(name, "PyString");
        }
        Result<std::string_view> text = utf8_view(name);
        if (!text.ok()) {
            // A name the codec refuses matches no parameter.
            std::move(text).error().discard();
            return description_.unexpected_keyword_argument(name);
        }
        const std::string_view keyword = text.value();
        const size_t positional_count = description_.positional_parameter_names.size();
        const auto& keyword_only = description_.keyword_only_parameters;
        for (size_t i = 0; i < keyword_only.size(); ++i) {
            if (keyword_only[i].name == keyword) {
                return store(positional_count + i, value, keyword);
            }
        }
        const auto& positional = description_.positional_parameter_names;
        for (size_t i = 0; i < positional.size(); ++i) {
            if (positional[i] == keyword) {
                if (i < description_.positional_only_count) {
                    positional_only_passed_.emplace_back(keyword);
                    return Ok{};
                }
                return store(i, value, keyword);
            }
        }
        return description_.unexpected_keyword_argument(name);
    }

    /// Checks that follow the keyword walk: positional-only names passed by
    /// keyword, then missing required positional and keyword-only parameters.
    Status finish(size_t given) const {
        if (!positional_only_passed_.empty()) {
            return description_.positional_only_keyword_arguments(positional_only_passed_);
        }
        const size_t required = description_.required_positional_count;
        for (size_t i = given; i < required; ++i) {
            if (slots_[i] == nullptr) {
                return description_.missing_required_positional_arguments(slots_);
            }
        }
        const auto& keyword_only = description_.keyword_only_parameters;
        const size_t positional_count = description_.positional_parameter_names.size();
        for (size_t i = 0; i < keyword_only.size(); ++i) {
            if (keyword_only[i].required && slots_[positional_count + i] == nullptr) {
                return description_.missing_required_keyword_arguments(slots_.subspan(positional_count));
            }
        }
        return Ok{};
    }

private:
    Status store(size_t slot, PyObject* value, std::string_view name) {
        if (slots_[slot] != nullptr) {
            return description_.multiple_values_for_argument(name);
        }
        slots_[slot] = value;
        return Ok{};
    }

    const FunctionDescription& description_;
    std::span<PyObject*> slots_;
    std::vector<std::string> positional_only_passed_;  // allocated only when used
};

/// Steps shared by both input shapes before the keyword walk.
Status copy_positional(const FunctionDescription& description, PyObject* const* positional, size_t given,
                       std::span<PyObject*> slots) {
    const size_t capacity = description.positional_parameter_names.size();
    const size_t copied = given < capacity ? given : capacity;
    for (size_t i = 0; i < copied; ++i) {
        slots[i] = positional[i];
    }
    if (given > capacity) {
        return description.too_many_positional_arguments(given);
    }
    return Ok{};
}

/// A TypeError whose message embeds caller text, or the error of composing it.
ErrorValue type_error_embedding(std::initializer_list<std::string_view> pieces) {
    Result<std::string> message = compose_message(pieces);
    if (!message.ok()) {
        return std::move(message).error();
    }
    return ErrorValue::type_error(std::move(message).value());
}

/// The TypeError that replaces a conversion's TypeError, with that error's
/// cause (empty for none), which also suppresses its context; or the error
/// that composing `message` met.
ErrorValue prefixed_type_error(Result<std::string> message, Owned cause) {
    if (!message.ok()) {
        return std::move(message).error();
    }
    ErrorValue rewritten = ErrorValue::type_error(std::move(message).value());
    PyException_SetCause(rewritten.normalize().value, cause.release());
    return rewritten;
}

}  // namespace

// --- Messages ------------------------------------------------------------------------

std::string FunctionDescription::full_name() const {
    std::string name;
    if (class_name != nullptr) {
        name += class_name;
        name += '.';
    }
    name += function_name;
    name += "()";
    return name;
}

ErrorValue FunctionDescription::too_many_positional_arguments(size_t given) const {
    const size_t maximum = positional_parameter_names.size();
    std::string message = full_name() + " takes ";
    if (required_positional_count == maximum) {
        message += std::to_string(maximum);
    } else {
        message += "from " + std::to_string(required_positional_count) + " to " + std::to_string(maximum);
    }
    message += " positional arguments but " + std::to_string(given) + (given == 1 ? " was" : " were") + " given";
    return ErrorValue::type_error(std::move(message));
}

ErrorValue FunctionDescription::multiple_values_for_argument(std::string_view name) const {
    return type_error_embedding({full_name(), " got multiple values for argument '", name, "'"});
}

ErrorValue FunctionDescription::unexpected_keyword_argument(PyObject* name) const {
    // Rendering the name may run Python code (the __str__ of a str subclass),
    // whose interrupt is passed on in place of the TypeError.
    Result<RenderedText> rendered = render_object(name);
    if (!rendered.ok()) {
        return std::move(rendered).error();
    }
    const RenderedText& text = rendered.value();
    return type_error_embedding(
        {full_name(), " got an unexpected keyword argument '", text.before, text.text, text.after, "'"});
}

ErrorValue FunctionDescription::positional_only_keyword_arguments(const std::vector<std::string>& names) const {
    std::vector<std::string_view> views(names.begin(), names.end());
    std::string message = full_name() + " got some positional-only arguments passed as keyword arguments: ";
    push_parameter_list(message, views);
    return ErrorValue::type_error(std::move(message));
}

ErrorValue FunctionDescription::missing_required_positional_arguments(std::span<PyObject* const> slots) const {
    std::vector<std::string_view> missing;
    for (size_t i = 0; i < required_positional_count; ++i) {
        if (slots[i] == nullptr) {
            missing.push_back(positional_parameter_names[i]);
        }
    }
    return missing_required_arguments(*this, "positional", missing);
}

ErrorValue FunctionDescription::missing_required_keyword_arguments(
    std::span<PyObject* const> keyword_only_slots) const {
    std::vector<std::string_view> missing;
    for (size_t i = 0; i < keyword_only_parameters.size(); ++i) {
        if (keyword_only_parameters[i].required && keyword_only_slots[i] == nullptr) {
            missing.push_back(keyword_only_parameters[i].name);
        }
    }
    return missing_required_arguments(*this, "keyword", missing);
}

void push_parameter_list(std::string& message, std::span<const std::string_view> names) {
    for (size_t i = 0; i < names.size(); ++i) {
        if (i > 0) {
            if (names.size() > 2) {
                message += ',';
            }
            message += i == names.size() - 1 ? " and " : " ";
        }
        message += '\'';
        message += names[i];
        message += '\'';
    }
}

ErrorValue missing_required_arguments(const FunctionDescription& description, const char* kind,
                                      std::span<const std::string_view> names) {
    std::string message = description.full_name() + " missing " + std::to_string(names.size()) + " required " + kind +
                          (names.size() == 1 ? " argument: " : " arguments: ");
    push_parameter_list(message, names);
    return ErrorValue::type_error(std::move(message));
}

// --- Extraction ---------------------------------------------------------------------

Status extract_arguments_tuple_dict_general(const FunctionDescription& description, PyObject* args, PyObject* kwargs,
                                            std::span<PyObject*> slots) {
    if (args == nullptr) {
        api_call_failed();
    }
    const size_t given = static_cast<size_t>(PyTuple_GET_SIZE(args));
    TARVU_TRY(copy_positional(description, compat::tuple_items(args), given, slots));
    KeywordMatcher matcher(description, slots);
    if (kwargs != nullptr) {
        const Py_ssize_t initial_size = PyDict_GET_SIZE(kwargs);
        Py_ssize_t remaining = initial_size;
        Py_ssize_t position = 0;
        PyObject* name = nullptr;
        PyObject* value = nullptr;
        while (PyDict_Next(kwargs, &position, &name, &value)) {
            if (remaining == 0) {
                raise_fault(DICTIONARY_KEYS_CHANGED);
            }
            remaining -= 1;
            TARVU_TRY(matcher.match(name, value));
            if (PyDict_GET_SIZE(kwargs) != initial_size) {
                raise_fault(DICTIONARY_CHANGED_SIZE);
            }
        }
    }
    return matcher.finish(given);
}

Status extract_arguments_fastcall_general(const FunctionDescription& description, PyObject* const* args,
                                          Py_ssize_t nargsf, PyObject* kwnames, std::span<PyObject*> slots) {
    const size_t given = static_cast<size_t>(compat::vectorcall_nargs(nargsf));
    TARVU_TRY(copy_positional(description, args, given, slots));
    KeywordMatcher matcher(description, slots);
    if (kwnames != nullptr) {
        const Py_ssize_t keyword_count = PyTuple_GET_SIZE(kwnames);
        for (Py_ssize_t i = 0; i < keyword_count; ++i) {
            TARVU_TRY(matcher.match(PyTuple_GET_ITEM(kwnames, i), args[given + static_cast<size_t>(i)]));
        }
    }
    return matcher.finish(given);
}

ErrorValue argument_extraction_error(std::string_view name, ErrorValue error) {
    // The parameter's name is the module's own: only the text that follows it
    // is the caller's, copied once into the new message.
    const std::string prefix = std::string("argument '").append(name).append("': ");
    if (error.is_lazy()) {
        // A lazy error is raised with its message as the only argument, and has
        // no cause yet: its rendering is its message.
        if (error.type() != PyExc_TypeError) {
            return error;
        }
        Result<std::string> message = error.lazy_message(prefix);
        std::move(error).discard();
        return prefixed_type_error(std::move(message), Owned());
    }
    NormalizedError normalized = error.normalize();
    if (normalized.type != PyExc_TypeError) {
        return error;
    }
    Result<RenderedText> rendered = render_object(normalized.value);
    if (!rendered.ok()) {
        std::move(error).discard();
        return std::move(rendered).error();
    }
    const RenderedText& text = rendered.value();
    Result<std::string> message = compose_message({prefix, text.before, text.text, text.after});
    Owned cause = Owned::steal(PyException_GetCause(normalized.value));
    std::move(error).discard();
    return prefixed_type_error(std::move(message), std::move(cause));
}

// --- Conversions -----------------------------------------------------------------------

Result<std::string_view> extract_text_general(PyObject* object) {
    if (!PyUnicode_Check(object)) {
        return ErrorValue::conversion_failure(object, "PyString");
    }
    return utf8_view(object);
}

Result<uint8_t> extract_u8_general(PyObject* object) {
    long long value;
    if (PyLong_CheckExact(object)) {
        // __index__ of an exact int is the int itself.
        value = compat::long_value(object);
        if (value == -1 && PyErr_Occurred() != nullptr) {
            return ErrorValue::fetch();
        }
    } else {
        Owned index = Owned::steal(PyNumber_Index(object));
        if (!index) {
            return ErrorValue::fetch();
        }
        value = compat::long_value(index.get());
        index.reset();
        if (value == -1 && PyErr_Occurred() != nullptr) {
            return ErrorValue::fetch();
        }
    }
    if (value < 0 || value > 255) {
        return ErrorValue::integer_out_of_range();
    }
    return static_cast<uint8_t>(value);
}

}  // namespace tarvu
