// SHA-1 (FIPS 180-1) behind the hash descriptor mHMACD_SHA1.
#pragma once

#include "librewrite.h"

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>

namespace rewrite::sha1 {

inline constexpr std::size_t block_size = 64;
inline constexpr std::size_t digest_size = 20;

using State = std::span<std::uint32_t, 5>;

inline constexpr std::array<std::uint32_t, 5> initial_state{0x67452301u, 0xEFCDAB89u, 0x98BADCFEu,
                                                            0x10325476u, 0xC3D2E1F0u};

// Compresses `blocks` consecutive 64-byte blocks into the chaining state.
// Three implementations: the portable one, one with the x86 SHA extensions,
// and `compress`, which uses the fastest the processor offers (chosen once,
// on first use).
using CompressFn = void (*)(State state, const unsigned char *data, std::size_t blocks) noexcept;

void compress_portable(State state, const unsigned char *data, std::size_t blocks) noexcept;
void compress_shani(State state, const unsigned char *data, std::size_t blocks) noexcept;
void compress(State state, const unsigned char *data, std::size_t blocks) noexcept;

// True when this processor has the instructions compress_shani needs.
bool has_shani() noexcept;

// The implementation compress uses; tests may switch it (null restores the
// automatic choice).
CompressFn active_compress() noexcept;
void force_compress(CompressFn fn) noexcept;

} // namespace rewrite::sha1
