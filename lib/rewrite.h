// The SRS rewriting core: handle, options, result codes, forward and
// reverse rewriting, database mode.
#pragma once

#include "librewrite.h"

#include <cstddef>
#include <cstdint>

namespace rewrite::core {

inline constexpr std::uint32_t default_max_age = 31;
inline constexpr std::uint32_t default_hash_length = 6;
inline constexpr std::uint32_t hash_length_from_min =
    7; // a lone minimum of 7+ also sets the length
inline constexpr std::int32_t secrets_growth = 8;

// True for the three characters that may follow an SRS0/SRS1 tag.
constexpr bool is_separator(int c) {
    return c == '+' || c == '-' || c == '=';
}

} // namespace rewrite::core
