// Address scanning, case folding and the base64/base32 encodings of tokens.
#pragma once

#include "librewrite.h"

#include <array>
#include <cstdint>
#include <string_view>

namespace rewrite::address {

// Addresses and aliases are read up to this many characters.
inline constexpr std::size_t max_length = 256;

// srs__get_domain_start's result for an unusable address.
inline constexpr std::uint32_t unusable = 0xFFFFFFFFu;

inline constexpr unsigned char rev_space = 0xFE;
inline constexpr unsigned char rev_invalid = 0xFF;

inline constexpr std::string_view base64_alphabet =
    "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
inline constexpr std::string_view base32_alphabet = "ABCDEFGHIJKLMNOPQRSTUVWXYZ234567";

// Character code 0..127 to value; '=' maps to the alphabet's size, the four
// white-space codes to 0xFE, everything else to 0xFF.
constexpr std::array<unsigned char, 128> reverse_table(std::string_view alphabet) {
    std::array<unsigned char, 128> rev{};
    rev.fill(rev_invalid);
    for (const std::size_t c : {9u, 10u, 13u, 32u})
        rev[c] = rev_space; // tab, LF, CR, space
    rev['='] = static_cast<unsigned char>(alphabet.size());
    for (std::size_t v = 0; v < alphabet.size(); ++v)
        rev[static_cast<unsigned char>(alphabet[v])] = static_cast<unsigned char>(v);
    return rev;
}

inline constexpr auto base64_reverse = reverse_table(base64_alphabet);
inline constexpr auto base32_reverse = reverse_table(base32_alphabet);

// Length of a terminated text counted up to max_length (0 for NULL).
std::size_t bounded_length(const char *text) noexcept;

} // namespace rewrite::address
