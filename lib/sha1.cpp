// SHA-1 as FIPS 180-1 defines it, in incremental form. Whole blocks are
// compressed straight from the caller's memory; only a partial block is
// copied into the context. The compression uses the x86 SHA extensions when
// the processor has them, and portable code otherwise.
#include "sha1.h"

#include <atomic>
#include <bit>
#include <cstring>
#include <utility>

#if defined(__x86_64__) || defined(__i386__)
#define REWRITE_SHA1_X86 1
#include <cpuid.h>
#include <immintrin.h>
#endif

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

State state_of(mSHA1_ctx &c) noexcept {
    return State(c.state);
}

void compress_one(State state, const unsigned char *block) noexcept {
    std::array<std::uint32_t, 80> w;
    for (std::size_t t = 0; t < 16; ++t)
        w[t] = load_be32(block + 4 * t);
    for (std::size_t t = 16; t < 80; ++t)
        w[t] = std::rotl(w[t - 3] ^ w[t - 8] ^ w[t - 14] ^ w[t - 16], 1);

    std::uint32_t a = state[0], b = state[1], c = state[2], d = state[3], e = state[4];
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

#ifdef REWRITE_SHA1_X86

#define REWRITE_SHA_TARGET __attribute__((target("sha,sse4.1,ssse3")))

// One group of four rounds, g = 0 to 19, with the message schedule for the
// groups ahead: msg[g % 4] holds words 4g to 4g + 3, e alternates between
// the two registers that carry E into the next group.
template <int G>
REWRITE_SHA_TARGET inline __attribute__((always_inline)) void group(__m128i &abcd, __m128i (&e)[2],
                                                                    __m128i (&msg)[4]) noexcept {
    constexpr int cur = G % 2;
    constexpr int next = 1 - cur;
    constexpr int m = G % 4;
    if constexpr (G == 0) {
        e[0] = _mm_add_epi32(e[0], msg[0]);
    } else {
        e[cur] = _mm_sha1nexte_epu32(e[cur], msg[m]);
    }
    e[next] = abcd;
    if constexpr (G >= 3 && G <= 18)
        msg[(G + 1) % 4] = _mm_sha1msg2_epu32(msg[(G + 1) % 4], msg[m]);
    abcd = _mm_sha1rnds4_epu32(abcd, e[cur], G / 5);
    if constexpr (G >= 1 && G <= 16)
        msg[(G + 3) % 4] = _mm_sha1msg1_epu32(msg[(G + 3) % 4], msg[m]);
    if constexpr (G >= 2 && G <= 17) msg[(G + 2) % 4] = _mm_xor_si128(msg[(G + 2) % 4], msg[m]);
}

// One chain of compressions in registers: the state, and the message
// schedule and E registers of the block being compressed.
struct Lane {
    __m128i abcd;
    __m128i e_start;
    __m128i abcd_saved;
    __m128i e_saved;
    __m128i e[2];
    __m128i msg[4];
};

REWRITE_SHA_TARGET inline __attribute__((always_inline)) Lane load_lane(State state) noexcept {
    Lane l;
    l.abcd =
        _mm_shuffle_epi32(_mm_loadu_si128(reinterpret_cast<const __m128i *>(state.data())), 0x1B);
    l.e_start = _mm_set_epi32(static_cast<int>(state[4]), 0, 0, 0);
    return l;
}

REWRITE_SHA_TARGET inline __attribute__((always_inline)) void store_lane(State state,
                                                                         const Lane &l) noexcept {
    _mm_storeu_si128(reinterpret_cast<__m128i *>(state.data()), _mm_shuffle_epi32(l.abcd, 0x1B));
    state[4] = static_cast<std::uint32_t>(_mm_extract_epi32(l.e_start, 3));
}

REWRITE_SHA_TARGET inline __attribute__((always_inline)) void
begin_block(Lane &l, const unsigned char *data) noexcept {
    // Big-endian words: reverse the bytes of each 32-bit word and the order
    // of the words in the register.
    const __m128i byte_order = _mm_set_epi64x(0x0001020304050607LL, 0x08090a0b0c0d0e0fLL);
    l.abcd_saved = l.abcd;
    l.e_saved = l.e_start;
    for (int i = 0; i < 4; ++i)
        l.msg[i] = _mm_shuffle_epi8(
            _mm_loadu_si128(reinterpret_cast<const __m128i *>(data + 16 * i)), byte_order);
    l.e[0] = l.e_start;
    l.e[1] = l.e_start;
}

REWRITE_SHA_TARGET inline __attribute__((always_inline)) void end_block(Lane &l) noexcept {
    l.e_start = _mm_sha1nexte_epu32(l.e[0], l.e_saved);
    l.abcd = _mm_add_epi32(l.abcd, l.abcd_saved);
}

// The 20 groups of a block for each lane, group by group across the lanes:
// the chains do not depend on one another, so the processor overlaps their
// latencies.
template <int G, class... Lanes>
REWRITE_SHA_TARGET inline __attribute__((always_inline)) void
group_of_each(Lanes &...lanes) noexcept {
    (group<G>(lanes.abcd, lanes.e, lanes.msg), ...);
}

template <int... G, class... Lanes>
REWRITE_SHA_TARGET inline __attribute__((always_inline)) void
all_groups(std::integer_sequence<int, G...>, Lanes &...lanes) noexcept {
    (group_of_each<G>(lanes...), ...);
}

REWRITE_SHA_TARGET void compress_x86(State state, const unsigned char *data,
                                     std::size_t blocks) noexcept {
    Lane l = load_lane(state);
    for (; blocks != 0; --blocks, data += block_size) {
        begin_block(l, data);
        all_groups(std::make_integer_sequence<int, 20>{}, l);
        end_block(l);
    }
    store_lane(state, l);
}

REWRITE_SHA_TARGET void compress2_x86(State a, const unsigned char *block_a, State b,
                                      const unsigned char *block_b) noexcept {
    Lane la = load_lane(a);
    Lane lb = load_lane(b);
    begin_block(la, block_a);
    begin_block(lb, block_b);
    all_groups(std::make_integer_sequence<int, 20>{}, la, lb);
    end_block(la);
    end_block(lb);
    store_lane(a, la);
    store_lane(b, lb);
}

bool detect_shani() noexcept {
    unsigned a = 0, b = 0, c = 0, d = 0;
    if (__get_cpuid(1, &a, &b, &c, &d) == 0) return false;
    const bool ssse3 = (c & bit_SSSE3) != 0;
    const bool sse41 = (c & bit_SSE4_1) != 0;
    if (__get_cpuid_count(7, 0, &a, &b, &c, &d) == 0) return false;
    return ssse3 && sse41 && (b & bit_SHA) != 0;
}

#else

void compress_x86(State state, const unsigned char *data, std::size_t blocks) noexcept {
    compress_portable(state, data, blocks);
}

void compress2_x86(State a, const unsigned char *block_a, State b,
                   const unsigned char *block_b) noexcept {
    compress_portable(a, block_a, 1);
    compress_portable(b, block_b, 1);
}

bool detect_shani() noexcept {
    return false;
}

#endif

// The implementation in use: chosen on first use, lock-free to read.
std::atomic<CompressFn> chosen{nullptr};

CompressFn automatic() noexcept {
    return detect_shani() ? compress_shani : compress_portable;
}

} // namespace

void compress_portable(State state, const unsigned char *data, std::size_t blocks) noexcept {
    for (; blocks != 0; --blocks, data += block_size)
        compress_one(state, data);
}

void compress_shani(State state, const unsigned char *data, std::size_t blocks) noexcept {
    compress_x86(state, data, blocks);
}

bool has_shani() noexcept {
    return detect_shani();
}

CompressFn active_compress() noexcept {
    CompressFn fn = chosen.load(std::memory_order_relaxed);
    if (fn == nullptr) {
        fn = automatic();
        chosen.store(fn, std::memory_order_relaxed);
    }
    return fn;
}

// Chosen when the program starts, not on first use: the processor is asked
// once (CPUID is slow under virtualisation), and processes forked later
// inherit the choice instead of each asking again.
[[maybe_unused]] const CompressFn chosen_at_start = active_compress();

void force_compress(CompressFn fn) noexcept {
    chosen.store(fn != nullptr ? fn : automatic(), std::memory_order_relaxed);
}

void compress(State state, const unsigned char *data, std::size_t blocks) noexcept {
    active_compress()(state, data, blocks);
}

void compress2(State a, const unsigned char *block_a, State b,
               const unsigned char *block_b) noexcept {
    const CompressFn fn = active_compress();
    if (fn == compress_shani) {
        compress2_x86(a, block_a, b, block_b);
    } else {
        fn(a, block_a, 1);
        fn(b, block_b, 1);
    }
}

void write_digest(std::span<const std::uint32_t, 5> state, unsigned char *out) noexcept {
    for (std::size_t i = 0; i < 5; ++i)
        store_be32(out + 4 * i, state[i]);
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
    compress(state_of(as_ctx(ctx)), static_cast<const unsigned char *>(block), 1);
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
        compress(state_of(c), c.buffer, 1);
        c.bit_count += 512;
        p += room;
        remaining -= room;
    }
    if (const std::size_t blocks = remaining / block_size; blocks != 0) {
        compress(state_of(c), p, blocks);
        c.bit_count += 512 * static_cast<std::uint64_t>(blocks);
        p += blocks * block_size;
        remaining -= blocks * block_size;
    }
    if (remaining != 0) std::memcpy(c.buffer, p, remaining);
    c.buffered = static_cast<std::uint32_t>(remaining);
    return 0;
}

int mSHA1_end(void *ctx, unsigned char *out) {
    auto &c = as_ctx(ctx);
    c.bit_count += 8u * c.buffered;
    finish<1>({c.buffer}, c.buffered, c.bit_count, [&c] { compress(state_of(c), c.buffer, 1); });
    if (out != nullptr) mSHA1_gethash(ctx, out);
    return 0;
}

int mSHA1_gethash(void *ctx, unsigned char *out) {
    write_digest(state_of(as_ctx(ctx)), out);
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
