// SHA-1 (FIPS 180-1) behind the hash descriptor mHMACD_SHA1.
#pragma once

#include "librewrite.h"

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>
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

// Compresses one block into each of two states. With the SHA extensions the
// two chains run interleaved, in little more than the time of one.
void compress2(State a, const unsigned char *block_a, State b,
               const unsigned char *block_b) noexcept;

// Ends N messages of bit_count bits each whose last k bytes (0 to 63) stand
// at the start of their 64-byte buffers: appends the padding and the length
// to each and calls compress_blocks() to compress the N buffers, once, or
// twice when k > 55. Overwrites the buffers.
template <std::size_t N, class CompressBlocks>
void finish(const std::array<unsigned char *, N> &buffers, std::size_t k, std::uint64_t bit_count,
            CompressBlocks compress_blocks) noexcept {
    for (unsigned char *b : buffers) {
        b[k] = 0x80;
        std::memset(b + k + 1, 0, block_size - 1 - k);
    }
    if (k >= block_size - 8) {
        compress_blocks();
        for (unsigned char *b : buffers)
            std::memset(b, 0, block_size - 8);
    }
    for (unsigned char *b : buffers)
        for (std::size_t i = 0; i < 8; ++i)
            b[block_size - 8 + i] = static_cast<unsigned char>(bit_count >> (56 - 8 * i));
    compress_blocks();
}

// Writes the state as the 20 big-endian bytes of a digest.
void write_digest(std::span<const std::uint32_t, 5> state, unsigned char *out) noexcept;

// True when this processor has the instructions compress_shani needs.
bool has_shani() noexcept;

// The implementation compress uses; tests may switch it (null restores the
// automatic choice).
CompressFn active_compress() noexcept;
void force_compress(CompressFn fn) noexcept;

} // namespace rewrite::sha1
