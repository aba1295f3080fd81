#pragma once
// What distinguishes one label vocabulary from another: pure data, and the
// member texts derived from it at compile time.

#include <array>
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

/// Checks a member table at compile time: ascending values, and ASCII
/// alphanumeric names that stay distinct when ASCII case is ignored. Each
/// vocabulary asserts it beside its data; the class protocol takes any table.
consteval bool is_well_formed(const Vocabulary& vocabulary) {
    const auto& members = vocabulary.members;
    for (size_t i = 0; i < members.size(); ++i) {
        if (i > 0 && members[i].value <= members[i - 1].value) return false;
        const Member& member = members[i];
        if (member.name.empty()) return false;
        for (char c : member.name) {
            bool alphanumeric = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9');
            if (!alphanumeric) return false;
        }
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

/// Each member's repr, "{class}.{name}", laid end to end in one array that the
/// class's text forms point into.
template <const Vocabulary& V>
struct ReprTexts {
    static constexpr std::string_view CLASS_NAME = V.class_name;

    /// The length of one member's repr.
    static constexpr size_t length_of(const Member& member) { return CLASS_NAME.size() + 1 + member.name.size(); }

    static consteval size_t byte_count() {
        size_t count = 0;
        for (const Member& member : V.members) count += length_of(member);
        return count;
    }

    static constexpr std::array<char, byte_count()> BYTES = [] {
        std::array<char, byte_count()> bytes{};
        size_t at = 0;
        for (const Member& member : V.members) {
            for (char c : CLASS_NAME) bytes[at++] = c;
            bytes[at++] = '.';
            for (char c : member.name) bytes[at++] = c;
        }
        return bytes;
    }();

    /// The repr of the member at `index`, in declaration order.
    static constexpr std::string_view of(size_t index) {
        size_t start = 0;
        for (size_t i = 0; i < index; ++i) start += length_of(V.members[i]);
        return {BYTES.data() + start, length_of(V.members[index])};
    }
};

}  // namespace tarvu
