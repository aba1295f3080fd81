#pragma once
// What distinguishes one label vocabulary from another: pure data.

#include <cstddef>
#include <cstdint>
#include <iterator>
#include <span>
#include <string_view>

namespace tarvu {

/// One member of a vocabulary.
struct Member {
    uint8_t value;
    std::string_view name;  // also the to_string() text and the class attribute
    std::string_view repr;  // "{class}.{name}"
};

/// The parameters of one label vocabulary.
struct Vocabulary {
    const char* class_name;
    std::span<const Member> members;  // declaration order = ascending value order
    std::string_view removed_characters;
    const char* from_int_message;  // followed by the number in decimal
};

/// ASCII letters folded to lower case; every other byte is left as it is.
constexpr char fold_ascii_case(char c) {
    return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

/// Checks a member table at compile time: ascending values, names that stay
/// distinct when ASCII case is ignored, repr texts of the form "{class}.{name}".
consteval bool is_well_formed(const Vocabulary& vocabulary) {
    std::string_view class_name = vocabulary.class_name;
    const auto& members = vocabulary.members;
    for (size_t i = 0; i < members.size(); ++i) {
        if (i > 0 && members[i].value <= members[i - 1].value) return false;
        const Member& member = members[i];
        if (member.name.empty()) return false;
        for (char c : member.name) {
            bool alphanumeric = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9');
            if (!alphanumeric) return false;
        }
        if (member.repr.size() != class_name.size() + 1 + member.name.size()) return false;
        if (member.repr.substr(0, class_name.size()) != class_name) return false;
        if (member.repr[class_name.size()] != '.') return false;
        if (member.repr.substr(class_name.size() + 1) != member.name) return false;
        for (size_t j = 0; j < i; ++j) {
            const Member& other = members[j];
            if (other.name.size() != member.name.size()) continue;
            bool equal = true;
            for (size_t k = 0; k < member.name.size(); ++k) {
                if (fold_ascii_case(other.name[k]) != fold_ascii_case(member.name[k])) equal = false;
            }
            if (equal) return false;
        }
    }
    return !members.empty();
}

}  // namespace tarvu
