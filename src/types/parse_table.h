#pragma once
// The parse tables of a vocabulary, derived at compile time from its member
// table, and the parse of a text into a member index. Nothing here needs the
// interpreter.

#include <array>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string_view>

#include "types/vocabulary.h"

namespace tarvu {

/// Lookup tables derived from a vocabulary at compile time.
template <const Vocabulary& V>
struct VocabularyTables {
    static constexpr size_t MEMBER_COUNT = V.members.size();
    static constexpr size_t MAX_NAME_LENGTH = [] {
        size_t longest = 0;
        for (const Member& member : V.members) longest = member.name.size() > longest ? member.name.size() : longest;
        return longest;
    }();

    /// Cleaned texts and names are compared as whole words, zero-padded.
    static constexpr size_t WORD_COUNT = (MAX_NAME_LENGTH + 7) / 8;
    static constexpr size_t PADDED_LENGTH = WORD_COUNT * 8;

    struct FoldedName {
        char bytes[PADDED_LENGTH] = {};
    };

    /// Member names with ASCII case folded.
    static constexpr std::array<FoldedName, MEMBER_COUNT> FOLDED_NAMES = [] {
        std::array<FoldedName, MEMBER_COUNT> names{};
        for (size_t i = 0; i < MEMBER_COUNT; ++i) {
            for (size_t k = 0; k < V.members[i].name.size(); ++k)
                names[i].bytes[k] = fold_ascii_case(V.members[i].name[k]);
        }
        return names;
    }();

    /// The words of a folded name or cleaned text: its bytes, zero-padded.
    using Words = std::array<uint64_t, WORD_COUNT>;

    static constexpr Words words_of(const char (&bytes)[PADDED_LENGTH]) {
        Words words{};
        for (size_t b = 0; b < PADDED_LENGTH; ++b)
            words[b / 8] |= static_cast<uint64_t>(static_cast<unsigned char>(bytes[b])) << (8 * (b % 8));
        return words;
    }

    /// What picks the one candidate name for a cleaned text: its length and
    /// its first, middle and last bytes. These are single-byte reads of bytes
    /// the cleaning has just stored one at a time, which the processor hands
    /// over at once, where a read of whole words would wait for them; so the
    /// member is known early and only the confirming compare waits. A
    /// vocabulary whose names these four do not tell apart fails to compile.
    template <class Byte>
    static constexpr uint64_t sample_key(const Byte* cleaned, size_t length) {
        auto at = [&](size_t k) { return uint64_t{static_cast<unsigned char>(cleaned[k])}; };
        return length | at(0) << 8 | at(length / 2) << 16 | at(length - 1) << 24;
    }

    static constexpr size_t HASH_BITS = [] {
        size_t bits = 1;
        while ((size_t{1} << bits) < 4 * MEMBER_COUNT) ++bits;
        return bits;
    }();
    static constexpr size_t slot_of(uint64_t key, uint64_t multiplier) {
        return static_cast<size_t>((key * multiplier) >> (64 - HASH_BITS));
    }
    static constexpr uint64_t name_key(size_t index) {
        return sample_key(FOLDED_NAMES[index].bytes, V.members[index].name.size());
    }

    /// The first odd multiplier (from a fixed sequence) under which every
    /// member name has a slot of its own: a text then needs one table read and
    /// one compare, with no loop over the names of its length.
    static constexpr uint64_t MULTIPLIER = [] {
        uint64_t candidate = 0x9E3779B97F4A7C15u;
        for (int attempt = 0; attempt < 100000; ++attempt) {
            candidate = candidate * 6364136223846793005u + 1442695040888963407u;
            const uint64_t multiplier = candidate | 1;
            std::array<bool, (size_t{1} << HASH_BITS)> taken{};
            bool distinct = true;
            for (size_t i = 0; i < MEMBER_COUNT && distinct; ++i) {
                const size_t slot = slot_of(name_key(i), multiplier);
                distinct = !taken[slot];
                taken[slot] = true;
            }
            if (distinct) return multiplier;
        }
        return uint64_t{0};  // fails the static_assert below
    }();
    static_assert(MULTIPLIER != 0, "member names that length, first, middle and last byte do not tell apart");

    /// Member index by slot (-1: no member).
    static constexpr auto SLOT_MEMBER = [] {
        std::array<int8_t, (size_t{1} << HASH_BITS)> members{};
        members.fill(-1);
        for (size_t i = 0; i < MEMBER_COUNT; ++i) members[slot_of(name_key(i), MULTIPLIER)] = static_cast<int8_t>(i);
        return members;
    }();

    /// Folded names as words.
    static constexpr auto NAME_WORDS = [] {
        std::array<Words, MEMBER_COUNT> names{};
        for (size_t i = 0; i < MEMBER_COUNT; ++i) names[i] = words_of(FOLDED_NAMES[i].bytes);
        return names;
    }();

    /// Member index by member value (-1: no member).
    static constexpr auto INDEX_BY_VALUE = [] {
        std::array<int8_t, 256> indexes{};
        indexes.fill(-1);
        for (size_t i = 0; i < MEMBER_COUNT; ++i) indexes[V.members[i].value] = static_cast<int8_t>(i);
        return indexes;
    }();

    /// Per byte: its folded form, and 0 for a removed character.
    static constexpr auto CLEANED_BYTE = [] {
        std::array<unsigned char, 256> cleaned{};
        for (size_t c = 0; c < 256; ++c) cleaned[c] = static_cast<unsigned char>(fold_ascii_case(static_cast<char>(c)));
        for (char c : V.removed_characters) cleaned[static_cast<unsigned char>(c)] = 0;
        return cleaned;
    }();
    /// Per byte: 1 if the character stays in the cleaned text.
    static constexpr auto IS_KEPT = [] {
        std::array<unsigned char, 256> kept{};
        kept.fill(1);
        for (char c : V.removed_characters) kept[static_cast<unsigned char>(c)] = 0;
        return kept;
    }();

    /// The member whose name equals `text` once the removed characters are gone
    /// and ASCII case is folded; -1 if none. The cleaning does not branch on
    /// the bytes: every byte is written at the current end, which a removed
    /// character leaves where it was and overwrites with the zero padding.
    /// Bytes go four at a time, with the length checked once per four: a
    /// text whose cleaned form outgrows the longest name stops there, and the
    /// buffer has room for the up to three bytes written past that name.
    static int parse(std::string_view text) {
        unsigned char cleaned[PADDED_LENGTH + 4] = {};
        const auto* bytes = reinterpret_cast<const unsigned char*>(text.data());
        const size_t size = text.size();
        size_t length = 0;
        size_t i = 0;
        auto clean = [&](unsigned char byte) {
            cleaned[length] = CLEANED_BYTE[byte];
            length += IS_KEPT[byte];
        };
        for (; i + 4 <= size; i += 4) {
            clean(bytes[i]);
            clean(bytes[i + 1]);
            clean(bytes[i + 2]);
            clean(bytes[i + 3]);
            if (length > MAX_NAME_LENGTH) {
                return -1;
            }
        }
        for (; i < size; ++i) {
            clean(bytes[i]);
        }
        if (length > MAX_NAME_LENGTH) {
            return -1;
        }
        if (length == 0) {
            return -1;
        }
        const int8_t index = SLOT_MEMBER[slot_of(sample_key(cleaned, length), MULTIPLIER)];
        // The length is compared too: a kept NUL byte cleans to the padding's 0.
        if (index < 0 || V.members[static_cast<size_t>(index)].name.size() != length) {
            return -1;
        }
        Words words;
        std::memcpy(words.data(), cleaned, sizeof(words));
        const Words& name = NAME_WORDS[static_cast<size_t>(index)];
        uint64_t difference = 0;
        for (size_t w = 0; w < WORD_COUNT; ++w) difference |= words[w] ^ name[w];
        return difference == 0 ? index : -1;
    }

    static_assert(MEMBER_COUNT < 128);
    // Texts become words by copying their bytes, names by shifting them in.
    static_assert(std::endian::native == std::endian::little);
};

}  // namespace tarvu
