// The day stamp: day number modulo 1024 as two base32 characters.
#pragma once

#include "librewrite.h"

#include <cstdint>

namespace rewrite::timestamp {

inline constexpr std::int64_t seconds_per_day = 86400;
inline constexpr std::uint32_t cycle = 1024; // day stamps repeat after this many days

} // namespace rewrite::timestamp
