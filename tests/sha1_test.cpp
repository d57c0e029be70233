// SHA-1 of librewrite: the FIPS 180 example digests, a differential check
// against OpenSSL's libcrypto for every length up to 300 bytes fed in random
// pieces, the block buffering of mSHA1_process, the digest read-back and the
// descriptor mHMACD_SHA1.
#include "librewrite.h"

#include "bytes.h"
#include "implementations.h"

#include <gtest/gtest.h>
#include <openssl/sha.h>

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <random>
#include <string>
#include <vector>

using bytes::hex;
using bytes::random_bytes;
using bytes::random_pieces;

namespace {

REWRITE_EACH_COMPRESSION(Sha1Known);
REWRITE_EACH_COMPRESSION(Sha1Differential);

using Digest = std::array<unsigned char, 20>;

Digest openssl_sha1(const std::vector<unsigned char> &data) {
    Digest d;
    SHA1(data.data(), data.size(), d.data());
    return d;
}

// Feeds data to process(ctx, ...) in the given pieces.
template <typename Process>
void feed(Process process, void *ctx, const std::vector<unsigned char> &data,
          const std::vector<std::size_t> &pieces) {
    std::size_t at = 0;
    for (std::size_t k : pieces) {
        process(ctx, data.data() + at, static_cast<int32_t>(k));
        at += k;
    }
    ASSERT_EQ(at, data.size());
}

std::string pieces_text(const std::vector<std::size_t> &pieces) {
    std::string s;
    for (std::size_t k : pieces)
        s += std::to_string(k) + " ";
    return s;
}

Digest sha1_whole(const std::vector<unsigned char> &data) {
    mSHA1_ctx ctx;
    Digest d;
    mSHA1_start(&ctx);
    mSHA1_process(&ctx, data.data(), static_cast<int32_t>(data.size()));
    mSHA1_end(&ctx, d.data());
    return d;
}

std::vector<unsigned char> bytes_of(const std::string &s) {
    return {s.begin(), s.end()};
}

// ---- Known digests ----------------------------------------------------------

struct KnownCase {
    const char *name;
    std::string message;
    const char *digest;
};

TEST_P(Sha1Known, FipsExamplesWholeAndInPieces) {
    const KnownCase cases[] = {
        {"empty", "", "da39a3ee5e6b4b0d3255bfef95601890afd80709"},
        {"abc", "abc", "a9993e364706816aba3e25717850c26c9cd0d89d"},
        {"448 bits", "abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq",
         "84983e441c3bd26ebaae4aa1f95129e5e54670f1"},
        {"896 bits",
         "abcdefghbcdefghicdefghijdefghijkefghijklfghijklmghijklmnhijklmnoijklmnopjklmnopqklmno"
         "pqrlmnopqrsmnopqrstnopqrstu",
         "a49b2446a02c645bf419f995b67091253a04a259"},
    };
    std::mt19937 rng(180);
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        const auto data = bytes_of(c.message);
        EXPECT_EQ(hex(sha1_whole(data)), c.digest);

        // One byte at a time.
        mSHA1_ctx ctx;
        Digest d;
        mSHA1_start(&ctx);
        for (unsigned char b : data)
            mSHA1_process(&ctx, &b, 1);
        mSHA1_end(&ctx, d.data());
        EXPECT_EQ(hex(d), c.digest);

        const auto pieces = random_pieces(rng, data.size());
        mSHA1_start(&ctx);
        feed(mSHA1_process, &ctx, data, pieces);
        mSHA1_end(&ctx, d.data());
        EXPECT_EQ(hex(d), c.digest) << "pieces: " << pieces_text(pieces);
    }
}

TEST_P(Sha1Known, OneMillionA) {
    const char *expected = "34aa973cd4c4daa4f61eeb2bdbad27316534016f";
    const std::vector<unsigned char> chunk(1000, 'a');
    // Piece sizes coprime with 64 keep the buffer partly filled across calls;
    // 1000 is the plain case.
    for (std::size_t piece : {std::size_t{1000}, std::size_t{997}, std::size_t{13}}) {
        SCOPED_TRACE("piece " + std::to_string(piece));
        mSHA1_ctx ctx;
        mSHA1_start(&ctx);
        std::size_t left = 1000000;
        while (left != 0) {
            const std::size_t k = std::min({piece, left, chunk.size()});
            mSHA1_process(&ctx, chunk.data(), static_cast<int32_t>(k));
            left -= k;
        }
        EXPECT_EQ(ctx.bit_count + 8u * ctx.buffered, 8000000u);
        Digest d;
        mSHA1_end(&ctx, d.data());
        EXPECT_EQ(hex(d), expected);
    }
}

// ---- Differential against OpenSSL ------------------------------------------

TEST_P(Sha1Differential, EveryLengthUpTo300InRandomPieces) {
    std::mt19937 rng(20240601);
    for (std::size_t n = 0; n <= 300; ++n) {
        const auto data = random_bytes(rng, n);
        const std::string expected = hex(openssl_sha1(data));
        SCOPED_TRACE("length " + std::to_string(n));

        EXPECT_EQ(hex(sha1_whole(data)), expected);

        for (int round = 0; round < 3; ++round) {
            const auto pieces = random_pieces(rng, n);
            mSHA1_ctx ctx;
            Digest d;
            mSHA1_start(&ctx);
            feed(mSHA1_process, &ctx, data, pieces);
            mSHA1_end(&ctx, d.data());
            EXPECT_EQ(hex(d), expected) << "pieces: " << pieces_text(pieces);
        }
    }
}

TEST_P(Sha1Differential, ThroughTheDescriptor) {
    const mHMACD &desc = mHMACD_SHA1;
    ASSERT_GT(desc.ctx_size, 0);
    // operator new[] memory is aligned for any fundamental type.
    std::unique_ptr<unsigned char[]> storage(
        new unsigned char[static_cast<std::size_t>(desc.ctx_size)]);
    void *ctx = storage.get();

    std::mt19937 rng(7);
    for (std::size_t n = 0; n <= 300; ++n) {
        const auto data = random_bytes(rng, n);
        const auto pieces = random_pieces(rng, n);
        SCOPED_TRACE("length " + std::to_string(n) + ", pieces: " + pieces_text(pieces));
        EXPECT_EQ(desc.start(ctx), 0);
        feed(desc.process, ctx, data, pieces);
        Digest d;
        d.fill(0);
        EXPECT_EQ(desc.end(ctx, d.data()), 0);
        EXPECT_EQ(hex(d), hex(openssl_sha1(data)));
    }
}

TEST_P(Sha1Differential, UnalignedSource) {
    // Whole blocks are compressed straight from the caller's memory: start
    // them at every offset within a word.
    std::mt19937 rng(11);
    const auto backing = random_bytes(rng, 200 + 8);
    for (std::size_t offset = 1; offset < 8; ++offset) {
        const std::vector<unsigned char> data(backing.begin() + static_cast<std::ptrdiff_t>(offset),
                                              backing.begin() +
                                                  static_cast<std::ptrdiff_t>(offset + 200));
        mSHA1_ctx ctx;
        Digest d;
        mSHA1_start(&ctx);
        mSHA1_process(&ctx, backing.data() + offset, 200);
        mSHA1_end(&ctx, d.data());
        EXPECT_EQ(hex(d), hex(openssl_sha1(data))) << "offset " << offset;
    }
}

// ---- Buffering -----------------------------------------------------------

TEST(Sha1Buffering, OneWholeBlockLeavesNothingBuffered) {
    const std::vector<unsigned char> data(64, 0x61);
    mSHA1_ctx ctx;
    mSHA1_start(&ctx);
    mSHA1_process(&ctx, data.data(), 64);
    EXPECT_EQ(ctx.buffered, 0u);
    EXPECT_EQ(ctx.bit_count, 512u);
    Digest d;
    mSHA1_end(&ctx, d.data());
    EXPECT_EQ(hex(d), hex(openssl_sha1(data)));
}

TEST(Sha1Buffering, SplitInputMatchesWholeInput) {
    std::mt19937 rng(3);
    const auto data = random_bytes(rng, 70);

    mSHA1_ctx whole;
    mSHA1_start(&whole);
    mSHA1_process(&whole, data.data(), 70);

    mSHA1_ctx split;
    mSHA1_start(&split);
    mSHA1_process(&split, data.data(), 30);
    EXPECT_EQ(split.buffered, 30u);
    EXPECT_EQ(split.bit_count, 0u);
    mSHA1_process(&split, data.data() + 30, 0);
    EXPECT_EQ(split.buffered, 30u);
    mSHA1_process(&split, data.data() + 30, 40);

    for (const mSHA1_ctx *c : {&whole, &split}) {
        EXPECT_EQ(c->bit_count, 512u);
        EXPECT_EQ(c->buffered, 6u);
        EXPECT_EQ(0, std::memcmp(c->buffer, data.data() + 64, 6));
    }
    EXPECT_EQ(0, std::memcmp(whole.state, split.state, sizeof whole.state));

    Digest a, b;
    mSHA1_end(&whole, a.data());
    mSHA1_end(&split, b.data());
    EXPECT_EQ(hex(a), hex(b));
    EXPECT_EQ(hex(a), hex(openssl_sha1(data)));
}

TEST(Sha1Buffering, TailsAroundTheLengthField) {
    // 55 buffered bytes take the padding and length in one final block,
    // 56 to 63 need a second one; 64 + 55.. adds a whole block before.
    std::mt19937 rng(5);
    for (std::size_t n : {55u, 56u, 57u, 62u, 63u, 64u + 55u, 64u + 56u, 64u + 63u}) {
        const auto data = random_bytes(rng, n);
        mSHA1_ctx ctx;
        mSHA1_start(&ctx);
        mSHA1_process(&ctx, data.data(), static_cast<int32_t>(n));
        EXPECT_EQ(ctx.buffered, n % 64) << n;
        EXPECT_EQ(ctx.bit_count, 512u * (n / 64)) << n;
        Digest d;
        mSHA1_end(&ctx, d.data());
        EXPECT_EQ(hex(d), hex(openssl_sha1(data))) << n;
    }
}

TEST(Sha1Buffering, BlockCompressesOnly) {
    std::mt19937 rng(9);
    const auto block = random_bytes(rng, 64);
    mSHA1_ctx ctx;
    mSHA1_start(&ctx);
    std::memset(ctx.buffer, 0xA5, sizeof ctx.buffer);
    EXPECT_EQ(mSHA1_block(&ctx, block.data()), 0);
    EXPECT_EQ(ctx.bit_count, 0u);
    EXPECT_EQ(ctx.buffered, 0u);
    for (unsigned char b : ctx.buffer)
        ASSERT_EQ(b, 0xA5);

    // Accounting for the block by hand gives the digest of the block.
    ctx.bit_count = 512;
    Digest d;
    mSHA1_end(&ctx, d.data());
    EXPECT_EQ(hex(d), hex(openssl_sha1(block)));
}

TEST(Sha1Buffering, StartResetsAUsedContext) {
    std::mt19937 rng(13);
    const auto junk = random_bytes(rng, 150);
    mSHA1_ctx ctx;
    mSHA1_start(&ctx);
    mSHA1_process(&ctx, junk.data(), 150);
    mSHA1_start(&ctx);
    EXPECT_EQ(ctx.bit_count, 0u);
    EXPECT_EQ(ctx.buffered, 0u);
    const auto data = bytes_of("abc");
    mSHA1_process(&ctx, data.data(), 3);
    Digest d;
    mSHA1_end(&ctx, d.data());
    EXPECT_EQ(hex(d), "a9993e364706816aba3e25717850c26c9cd0d89d");
}

// ---- Reading the digest ----------------------------------------------------

TEST(Sha1Digest, EndWithoutOutputThenGethash) {
    std::mt19937 rng(17);
    for (std::size_t n : {0u, 3u, 56u, 64u, 100u}) {
        const auto data = random_bytes(rng, n);
        const std::string expected = hex(openssl_sha1(data));
        mSHA1_ctx ctx;
        mSHA1_start(&ctx);
        mSHA1_process(&ctx, data.data(), static_cast<int32_t>(n));
        EXPECT_EQ(mSHA1_end(&ctx, nullptr), 0);

        std::array<unsigned char, 32> first, second;
        first.fill(0xEE);
        second.fill(0x11);
        EXPECT_EQ(mSHA1_gethash(&ctx, first.data()), 0);
        EXPECT_EQ(mSHA1_gethash(&ctx, second.data()), 0);
        EXPECT_EQ(hex(first.data(), 20), expected) << n;
        EXPECT_EQ(hex(second.data(), 20), expected) << n;
        // Exactly 20 bytes are written.
        for (std::size_t i = 20; i < first.size(); ++i) {
            EXPECT_EQ(first[i], 0xEE) << i;
            EXPECT_EQ(second[i], 0x11) << i;
        }
    }
}

TEST(Sha1Digest, EndWithOutputThenGethashAgree) {
    const auto data = bytes_of("abc");
    mSHA1_ctx ctx;
    mSHA1_start(&ctx);
    mSHA1_process(&ctx, data.data(), 3);
    Digest from_end, from_get;
    from_end.fill(0);
    from_get.fill(0);
    EXPECT_EQ(mSHA1_end(&ctx, from_end.data()), 0);
    mSHA1_gethash(&ctx, from_get.data());
    EXPECT_EQ(hex(from_end), "a9993e364706816aba3e25717850c26c9cd0d89d");
    EXPECT_EQ(hex(from_get), hex(from_end));
}

// ---- Descriptor ------------------------------------------------------------

TEST(Sha1Descriptor, Fields) {
    EXPECT_EQ(mHMACD_SHA1.block_size, 64);
    EXPECT_EQ(mHMACD_SHA1.digest_size, 20);
    EXPECT_EQ(mHMACD_SHA1.ctx_size, static_cast<int32_t>(sizeof(mSHA1_ctx)));
    EXPECT_TRUE(mHMACD_SHA1.start == &mSHA1_start);
    EXPECT_TRUE(mHMACD_SHA1.block == &mSHA1_block);
    EXPECT_TRUE(mHMACD_SHA1.process == &mSHA1_process);
    EXPECT_TRUE(mHMACD_SHA1.end == &mSHA1_end);
}

} // namespace
