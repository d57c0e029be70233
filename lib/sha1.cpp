// SHA-1 as FIPS 180-1 defines it, in incremental form. Whole blocks are
// compressed straight from the caller's memory; only a partial block is
// copied into the context.
#include "sha1.h"

#include <bit>
#include <cstring>

namespace rewrite::sha1 {
namespace {

constexpr std::uint32_t load_be32(const unsigned char *p) noexcept {
    return (std::uint32_t{p[0]} << 24) | (std::uint32_t{p[1]} << 16) | (std::uint32_t{p[2]} << 8) |
           std::uint32_t{p[3]};
}

constexpr void store_be32(unsigned char *p, std::uint32_t v) noexcept {
    p[0] = static_cast<unsigned char>(v >> 24);
    p[1] = static_cast<unsigned char>(v >> 16);
    p[2] = static_cast<unsigned char>(v >> 8);
    p[3] = static_cast<unsigned char>(v);
}

mSHA1_ctx &as_ctx(void *ctx) noexcept {
    return *static_cast<mSHA1_ctx *>(ctx);
}

void compress_ctx(mSHA1_ctx &c, const unsigned char *block) noexcept {
    State s;
    std::memcpy(s.data(), c.state, sizeof c.state);
    compress(s, std::span<const unsigned char, block_size>(block, block_size));
    std::memcpy(c.state, s.data(), sizeof c.state);
}

} // namespace

void compress(State &state, std::span<const unsigned char, block_size> block) noexcept {
    std::array<std::uint32_t, 80> w;
    for (std::size_t t = 0; t < 16; ++t)
        w[t] = load_be32(&block[4 * t]);
    for (std::size_t t = 16; t < 80; ++t)
        w[t] = std::rotl(w[t - 3] ^ w[t - 8] ^ w[t - 14] ^ w[t - 16], 1);

    auto [a, b, c, d, e] = state;
    auto round = [&](std::uint32_t f, std::uint32_t k, std::uint32_t wt) {
        const std::uint32_t temp = std::rotl(a, 5) + f + e + k + wt;
        e = d;
        d = c;
        c = std::rotl(b, 30);
        b = a;
        a = temp;
    };
    for (std::size_t t = 0; t < 20; ++t)
        round((b & c) | (~b & d), 0x5A827999u, w[t]);
    for (std::size_t t = 20; t < 40; ++t)
        round(b ^ c ^ d, 0x6ED9EBA1u, w[t]);
    for (std::size_t t = 40; t < 60; ++t)
        round((b & c) | (b & d) | (c & d), 0x8F1BBCDCu, w[t]);
    for (std::size_t t = 60; t < 80; ++t)
        round(b ^ c ^ d, 0xCA62C1D6u, w[t]);

    state[0] += a;
    state[1] += b;
    state[2] += c;
    state[3] += d;
    state[4] += e;
}

} // namespace rewrite::sha1

using namespace rewrite::sha1;

extern "C" {

int mSHA1_start(void *ctx) {
    auto &c = as_ctx(ctx);
    c.bit_count = 0;
    c.buffered = 0;
    std::memcpy(c.state, initial_state.data(), sizeof c.state);
    return 0;
}

int mSHA1_block(void *ctx, const void *block) {
    compress_ctx(as_ctx(ctx), static_cast<const unsigned char *>(block));
    return 0;
}

int mSHA1_process(void *ctx, const void *data, int32_t len) {
    if (len <= 0) return 0; // nothing to feed; data may then be null
    auto &c = as_ctx(ctx);
    const auto *p = static_cast<const unsigned char *>(data);
    auto remaining = static_cast<std::size_t>(len);

    if (c.buffered != 0) {
        const std::size_t room = block_size - c.buffered;
        if (remaining < room) {
            std::memcpy(c.buffer + c.buffered, p, remaining);
            c.buffered += static_cast<std::uint32_t>(remaining);
            return 0;
        }
        std::memcpy(c.buffer + c.buffered, p, room);
        compress_ctx(c, c.buffer);
        c.bit_count += 512;
        p += room;
        remaining -= room;
    }
    while (remaining >= block_size) {
        compress_ctx(c, p);
        c.bit_count += 512;
        p += block_size;
        remaining -= block_size;
    }
    if (remaining != 0) std::memcpy(c.buffer, p, remaining);
    c.buffered = static_cast<std::uint32_t>(remaining);
    return 0;
}

int mSHA1_end(void *ctx, unsigned char *out) {
    auto &c = as_ctx(ctx);
    const std::uint32_t k = c.buffered;
    c.buffer[k] = 0x80;
    c.bit_count += 8u * k;
    if (k < 56) {
        std::memset(c.buffer + k + 1, 0, 55 - k);
    } else {
        std::memset(c.buffer + k + 1, 0, 63 - k);
        compress_ctx(c, c.buffer);
        std::memset(c.buffer, 0, 56);
    }
    for (int i = 0; i < 8; ++i)
        c.buffer[56 + i] = static_cast<unsigned char>(c.bit_count >> (56 - 8 * i));
    compress_ctx(c, c.buffer);
    if (out != nullptr) mSHA1_gethash(ctx, out);
    return 0;
}

int mSHA1_gethash(void *ctx, unsigned char *out) {
    const auto &c = as_ctx(ctx);
    for (std::size_t i = 0; i < 5; ++i)
        store_be32(out + 4 * i, c.state[i]);
    return 0;
}

const mHMACD mHMACD_SHA1 = {
    static_cast<int32_t>(block_size),
    static_cast<int32_t>(digest_size),
    static_cast<int32_t>(sizeof(mSHA1_ctx)),
    mSHA1_start,
    mSHA1_block,
    mSHA1_process,
    mSHA1_end,
};

} // extern "C"
