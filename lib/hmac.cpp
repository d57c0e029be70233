// HMAC over a hash descriptor, and HMAC-SHA1 from keyed states. Over a
// descriptor the hash is driven only through its start, process and end;
// one heap context per computation serves the key digest, the inner and the
// outer hash. The keyed states are SHA-1 contexts stopped after the padded
// key block, computed by the same code; resuming from them costs no
// allocation and no key compression.
#include "hmac.h"

#include "sha1.h"

#include <cstdlib>
#include <cstring>

namespace rewrite::hmac {
namespace {

// K0 of RFC 2104 in k0 (block_size bytes): the key zero-padded, or its
// digest zero-padded when the key is longer than a block. hash_ctx is a
// context of the descriptor, used for that digest.
void make_key_block(const mHMACD &desc, void *hash_ctx, const void *key, std::size_t keylen,
                    unsigned char *k0) {
    const auto block = static_cast<std::size_t>(desc.block_size);
    std::size_t used = keylen;
    if (keylen > block) {
        desc.start(hash_ctx);
        desc.process(hash_ctx, key, static_cast<int32_t>(keylen));
        desc.end(hash_ctx, k0);
        used = static_cast<std::size_t>(desc.digest_size);
    } else if (used != 0) {
        std::memcpy(k0, key, used);
    }
    std::memset(k0 + used, 0, block - used);
}

// Starts the hash in hash_ctx and feeds it one block of K0 XOR pad.
void start_padded(const mHMACD &desc, void *hash_ctx, const unsigned char *k0, unsigned char pad) {
    const auto size = static_cast<std::size_t>(desc.block_size);
    unsigned char padded[max_block_size];
    for (std::size_t i = 0; i < size; ++i)
        padded[i] = static_cast<unsigned char>(k0[i] ^ pad);
    desc.start(hash_ctx);
    desc.process(hash_ctx, padded, desc.block_size);
    secure_zero(padded, size);
}

bool fits(const mHMACD &desc) {
    return desc.block_size > 0 && desc.digest_size > 0 && desc.ctx_size > 0 &&
           static_cast<std::size_t>(desc.block_size) <= max_block_size &&
           static_cast<std::size_t>(desc.digest_size) <= max_digest_size &&
           desc.digest_size <= desc.block_size;
}

// HMAC-SHA1 of one message under N keys (1 or 2) at once, from their keyed
// states: the compressions of the message, then one of the inner digest.
template <std::size_t N>
void hmac_lanes(const std::array<const Sha1Key *, N> &keys, const void *data, std::int32_t len,
                const std::array<unsigned char *, N> &out) noexcept {
    using Words = std::array<std::uint32_t, 5>;
    std::array<Words, N> state;
    std::array<std::array<unsigned char, sha1::block_size>, N> block;
    std::array<unsigned char *, N> blocks;
    for (std::size_t i = 0; i < N; ++i)
        blocks[i] = block[i].data();
    // One block into each lane's state: in[i] for lane i.
    auto compress_lanes = [&state](const auto &in) {
        if constexpr (N == 1)
            sha1::compress(state[0], in[0], 1);
        else
            sha1::compress2(state[0], in[0], state[1], in[1]);
    };
    auto compress_own_blocks = [&] { compress_lanes(blocks); };
    // Both hashes resume after their key block, which their lengths count.
    constexpr std::uint64_t key_bits = 8 * sha1::block_size;
    const std::size_t n = len > 0 ? static_cast<std::size_t>(len) : 0;
    const auto *bytes = static_cast<const unsigned char *>(data);

    // Inner hash: whole blocks straight from the message, the rest padded.
    for (std::size_t i = 0; i < N; ++i)
        state[i] = keys[i]->inner;
    const std::size_t whole = n / sha1::block_size;
    for (std::size_t b = 0; b < whole; ++b) {
        std::array<const unsigned char *, N> in;
        in.fill(bytes + b * sha1::block_size);
        compress_lanes(in);
    }
    const std::size_t rest = n % sha1::block_size;
    for (unsigned char *b : blocks)
        if (rest != 0) std::memcpy(b, bytes + whole * sha1::block_size, rest);
    sha1::finish<N>(blocks, rest, key_bits + 8 * std::uint64_t{n}, compress_own_blocks);

    // Outer hash: one block, the inner digest padded.
    for (std::size_t i = 0; i < N; ++i) {
        sha1::write_digest(state[i], blocks[i]);
        state[i] = keys[i]->outer;
    }
    sha1::finish<N>(blocks, sha1::digest_size, key_bits + 8 * sha1::digest_size,
                    compress_own_blocks);
    for (std::size_t i = 0; i < N; ++i)
        sha1::write_digest(state[i], out[i]);
    // Nothing to wipe: the copies of the key states were overwritten by
    // their compressions; block and state hold the inner digests and the
    // values.
}

} // namespace

void secure_zero(void *p, std::size_t n) noexcept {
    std::memset(p, 0, n);
    // The memory is about to be released or to go out of scope; this
    // barrier tells the compiler it may still be read, so the stores stay.
    __asm__ __volatile__("" : : "r"(p) : "memory");
}

void sha1_key(Sha1Key &key, const void *bytes, std::size_t len) noexcept {
    mSHA1_ctx ctx;
    unsigned char k0[sha1::block_size];
    make_key_block(mHMACD_SHA1, &ctx, bytes, len, k0);
    start_padded(mHMACD_SHA1, &ctx, k0, inner_pad);
    std::memcpy(key.inner.data(), ctx.state, sizeof ctx.state);
    start_padded(mHMACD_SHA1, &ctx, k0, outer_pad);
    std::memcpy(key.outer.data(), ctx.state, sizeof ctx.state);
    secure_zero(&ctx, sizeof ctx);
    secure_zero(k0, sizeof k0);
}

void sha1_hmac(const Sha1Key &key, const void *data, std::int32_t len,
               unsigned char *out) noexcept {
    hmac_lanes<1>({&key}, data, len, {out});
}

void sha1_hmac2(const Sha1Key &a, const Sha1Key &b, const void *data, std::int32_t len,
                unsigned char *out_a, unsigned char *out_b) noexcept {
    hmac_lanes<2>({&a, &b}, data, len, {out_a, out_b});
}

} // namespace rewrite::hmac

using namespace rewrite::hmac;

extern "C" {

int mHMAC_start(mHMAC_ctx *ctx, const mHMACD *desc, const void *key, int32_t keylen) {
    // A descriptor wider than the context could hold is refused like a
    // missing one rather than overrunning key_block or digest.
    if (desc == nullptr || !fits(*desc) || keylen < 0) return -1;
    ctx->desc = desc;
    // The context is the caller's C record, so the hash context it owns is
    // plain heap memory, released in mHMAC_end.
    ctx->hash_ctx = std::malloc(static_cast<std::size_t>(desc->ctx_size));
    if (ctx->hash_ctx == nullptr) return -1;

    make_key_block(*desc, ctx->hash_ctx, key, static_cast<std::size_t>(keylen), ctx->key_block);
    start_padded(*desc, ctx->hash_ctx, ctx->key_block, inner_pad);
    return 0;
}

int mHMAC_process(mHMAC_ctx *ctx, const void *data, int32_t len) {
    return ctx->desc->process(ctx->hash_ctx, data, len);
}

int mHMAC_end(mHMAC_ctx *ctx, unsigned char *out) {
    const mHMACD &desc = *ctx->desc;
    desc.end(ctx->hash_ctx, ctx->digest);
    start_padded(desc, ctx->hash_ctx, ctx->key_block, outer_pad);
    desc.process(ctx->hash_ctx, ctx->digest, desc.digest_size);
    desc.end(ctx->hash_ctx, ctx->digest);
    // The hash state was keyed: leave nothing of it in freed memory.
    secure_zero(ctx->hash_ctx, static_cast<std::size_t>(desc.ctx_size));
    std::free(ctx->hash_ctx);
    ctx->hash_ctx = nullptr;
    if (out != nullptr) mHMAC_gethash(ctx, out);
    return 0;
}

int mHMAC_gethash(mHMAC_ctx *ctx, unsigned char *out) {
    std::memcpy(out, ctx->digest, static_cast<std::size_t>(ctx->desc->digest_size));
    return 0;
}

} // extern "C"
