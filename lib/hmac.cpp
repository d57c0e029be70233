// HMAC over a hash descriptor. The hash is driven only through the
// descriptor's start, process and end; one heap context per computation
// serves the key digest, the inner and the outer hash.
#include "hmac.h"

#include <array>
#include <cstdlib>
#include <cstring>

namespace rewrite::hmac {
namespace {

// Hashes the first block_size bytes of K0 XOR pad into a freshly started hash.
void start_padded(const mHMAC_ctx &ctx, unsigned char pad) {
    const auto size = static_cast<std::size_t>(ctx.desc->block_size);
    std::array<unsigned char, max_block_size> padded;
    for (std::size_t i = 0; i < size; ++i)
        padded[i] = static_cast<unsigned char>(ctx.key_block[i] ^ pad);
    ctx.desc->start(ctx.hash_ctx);
    ctx.desc->process(ctx.hash_ctx, padded.data(), ctx.desc->block_size);
}

bool fits(const mHMACD &desc) {
    return desc.block_size > 0 && desc.digest_size > 0 && desc.ctx_size > 0 &&
           static_cast<std::size_t>(desc.block_size) <= max_block_size &&
           static_cast<std::size_t>(desc.digest_size) <= max_digest_size &&
           desc.digest_size <= desc.block_size;
}

} // namespace

void secure_zero(void *p, std::size_t n) noexcept {
    std::memset(p, 0, n);
    // The memory is about to be released or to go out of scope; this
    // barrier tells the compiler it may still be read, so the stores stay.
    __asm__ __volatile__("" : : "r"(p) : "memory");
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

    std::size_t used;
    if (keylen > desc->block_size) {
        desc->start(ctx->hash_ctx);
        desc->process(ctx->hash_ctx, key, keylen);
        desc->end(ctx->hash_ctx, ctx->key_block);
        used = static_cast<std::size_t>(desc->digest_size);
    } else {
        used = static_cast<std::size_t>(keylen);
        if (used != 0) std::memcpy(ctx->key_block, key, used);
    }
    std::memset(ctx->key_block + used, 0, static_cast<std::size_t>(desc->block_size) - used);
    start_padded(*ctx, inner_pad);
    return 0;
}

int mHMAC_process(mHMAC_ctx *ctx, const void *data, int32_t len) {
    return ctx->desc->process(ctx->hash_ctx, data, len);
}

int mHMAC_end(mHMAC_ctx *ctx, unsigned char *out) {
    const mHMACD &desc = *ctx->desc;
    desc.end(ctx->hash_ctx, ctx->digest);
    start_padded(*ctx, outer_pad);
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
