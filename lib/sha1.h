// SHA-1 (FIPS 180-1) behind the hash descriptor mHMACD_SHA1.
#pragma once

#include "librewrite.h"

#include <array>
#include <cstdint>
#include <span>

namespace rewrite::sha1 {

inline constexpr std::size_t block_size = 64;
inline constexpr std::size_t digest_size = 20;

using State = std::array<std::uint32_t, 5>;

inline constexpr State initial_state{0x67452301u, 0xEFCDAB89u, 0x98BADCFEu, 0x10325476u,
                                     0xC3D2E1F0u};

// One compression of a 64-byte block into the chaining state.
void compress(State &state, std::span<const unsigned char, block_size> block) noexcept;

} // namespace rewrite::sha1
