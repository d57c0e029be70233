// HMAC-SHA1 of librewrite over the mHMACD_SHA1 descriptor: the RFC 2202 test
// cases, a differential check against OpenSSL's HMAC for key lengths 0 to 100
// and messages fed in random pieces (and from keyed states, under one or two
// keys at once), the key block K0, reading the value back, reuse of a context
// and refusal of a missing descriptor.
#include "librewrite.h"

#include "bytes.h"
#include "hmac.h"
#include "implementations.h"

#include <gtest/gtest.h>
#include <openssl/evp.h>
#include <openssl/hmac.h>
#include <openssl/sha.h>

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <random>
#include <string>
#include <vector>

using bytes::hex;
using bytes::random_bytes;
using bytes::random_pieces;

namespace {

REWRITE_EACH_COMPRESSION(HmacKnown);
REWRITE_EACH_COMPRESSION(HmacDifferential);

using Bytes = std::vector<unsigned char>;

Bytes repeat(unsigned char b, std::size_t n) {
    return Bytes(n, b);
}

Bytes text(const char *s) {
    return Bytes(s, s + std::strlen(s));
}

std::string openssl_hmac(const Bytes &key, const Bytes &msg) {
    unsigned char out[EVP_MAX_MD_SIZE];
    unsigned int out_len = 0;
    // HMAC() wants a non-null key pointer even for an empty key.
    static const unsigned char none = 0;
    const unsigned char *k = key.empty() ? &none : key.data();
    if (HMAC(EVP_sha1(), k, static_cast<int>(key.size()), msg.data(), msg.size(), out, &out_len) ==
        nullptr)
        return "openssl failed";
    return hex(out, out_len);
}

// HMAC through librewrite, the message fed in the given pieces.
std::string rewrite_hmac(const Bytes &key, const Bytes &msg,
                         const std::vector<std::size_t> &pieces) {
    mHMAC_ctx ctx;
    if (mHMAC_start(&ctx, &mHMACD_SHA1, key.data(), static_cast<int32_t>(key.size())) != 0)
        return "start failed";
    std::size_t at = 0;
    for (std::size_t k : pieces) {
        mHMAC_process(&ctx, msg.data() + at, static_cast<int32_t>(k));
        at += k;
    }
    if (at != msg.size()) return "bad pieces";
    unsigned char out[20];
    mHMAC_end(&ctx, out);
    return hex(out, sizeof out);
}

std::string rewrite_hmac(const Bytes &key, const Bytes &msg) {
    return rewrite_hmac(key, msg, {msg.size()});
}

std::string pieces_text(const std::vector<std::size_t> &pieces) {
    std::string s;
    for (std::size_t k : pieces)
        s += std::to_string(k) + " ";
    return s;
}

// ---- RFC 2202 ------------------------------------------------------------

struct RfcCase {
    int number;
    Bytes key;
    Bytes data;
    const char *mac;
};

TEST_P(HmacKnown, Rfc2202Sha1Cases) {
    Bytes key4;
    for (unsigned char b = 1; b <= 25; ++b)
        key4.push_back(b);
    const RfcCase cases[] = {
        {1, repeat(0x0b, 20), text("Hi There"), "b617318655057264e28bc0b6fb378c8ef146be00"},
        {2, text("Jefe"), text("what do ya want for nothing?"),
         "effcdf6ae5eb2fa2d27416d5f184df9c259a7c79"},
        {3, repeat(0xaa, 20), repeat(0xdd, 50), "125d7342b9ac11cd91a39af48aa17b4f63f175d3"},
        {4, key4, repeat(0xcd, 50), "4c9007f4026250c6bc8414f9bf50c86c2d7235da"},
        {5, repeat(0x0c, 20), text("Test With Truncation"),
         "4c1a03424b55e07fe7f27be1d58bb9324a9a5a04"},
        {6, repeat(0xaa, 80), text("Test Using Larger Than Block-Size Key - Hash Key First"),
         "aa4ae5e15272d00e95705637ce8a3b55ed402112"},
        {7, repeat(0xaa, 80),
         text("Test Using Larger Than Block-Size Key and Larger Than One Block-Size Data"),
         "e8e99d0f45237d786d6bbaa7965c7808bbff1a91"},
    };
    std::mt19937 rng(2202);
    for (const auto &c : cases) {
        SCOPED_TRACE("test case " + std::to_string(c.number));
        EXPECT_EQ(rewrite_hmac(c.key, c.data), c.mac);
        std::vector<std::size_t> bytewise(c.data.size(), 1);
        EXPECT_EQ(rewrite_hmac(c.key, c.data, bytewise), c.mac);
        const auto pieces = random_pieces(rng, c.data.size());
        EXPECT_EQ(rewrite_hmac(c.key, c.data, pieces), c.mac) << pieces_text(pieces);
    }
}

// ---- Differential against OpenSSL ------------------------------------------

TEST_P(HmacDifferential, KeyLengths0To100AndMessagesInPieces) {
    const std::size_t message_lengths[] = {0, 1, 19, 20, 55, 56, 63, 64, 65, 119, 120, 128, 200};
    std::mt19937 rng(2104);
    for (std::size_t key_len = 0; key_len <= 100; ++key_len) {
        const Bytes key = random_bytes(rng, key_len);
        for (std::size_t msg_len : message_lengths) {
            const Bytes msg = random_bytes(rng, msg_len);
            const auto pieces = random_pieces(rng, msg_len);
            SCOPED_TRACE("key " + std::to_string(key_len) + ", message " + std::to_string(msg_len) +
                         ", pieces " + pieces_text(pieces));
            EXPECT_EQ(rewrite_hmac(key, msg, pieces), openssl_hmac(key, msg));
        }
    }
}

TEST_P(HmacDifferential, FromKeyedStatesOneAndTwoKeysAtATime) {
    // What the handle's secrets use: the key states computed once, then
    // values under one key, or under two keys at once in one pass.
    const std::size_t message_lengths[] = {0, 1, 20, 55, 56, 63, 64, 65, 119, 120, 200};
    std::mt19937 rng(2202104);
    for (std::size_t key_len = 0; key_len <= 100; ++key_len) {
        const Bytes key_a = random_bytes(rng, key_len);
        const Bytes key_b = random_bytes(rng, 100 - key_len);
        rewrite::hmac::Sha1Key a, b;
        rewrite::hmac::sha1_key(a, key_a.data(), key_a.size());
        rewrite::hmac::sha1_key(b, key_b.data(), key_b.size());
        for (std::size_t msg_len : message_lengths) {
            SCOPED_TRACE("key " + std::to_string(key_len) + ", message " + std::to_string(msg_len));
            const Bytes msg = random_bytes(rng, msg_len);
            const auto len = static_cast<int32_t>(msg_len);
            unsigned char one[20], two_a[20], two_b[20];
            rewrite::hmac::sha1_hmac(a, msg.data(), len, one);
            rewrite::hmac::sha1_hmac2(a, b, msg.data(), len, two_a, two_b);
            EXPECT_EQ(hex(one, 20), openssl_hmac(key_a, msg));
            EXPECT_EQ(hex(two_a, 20), openssl_hmac(key_a, msg));
            EXPECT_EQ(hex(two_b, 20), openssl_hmac(key_b, msg));
        }
    }
}

TEST_P(HmacDifferential, NullKeyOfLengthZero) {
    mHMAC_ctx ctx;
    ASSERT_EQ(mHMAC_start(&ctx, &mHMACD_SHA1, nullptr, 0), 0);
    const Bytes msg = text("message");
    mHMAC_process(&ctx, msg.data(), static_cast<int32_t>(msg.size()));
    unsigned char out[20];
    mHMAC_end(&ctx, out);
    EXPECT_EQ(hex(out, sizeof out), openssl_hmac({}, msg));
}

// ---- Key block -------------------------------------------------------------

TEST(HmacKeyBlock, HoldsK0WithoutPads) {
    std::mt19937 rng(64);
    const Bytes key65 = random_bytes(rng, 65);
    const Bytes key100 = random_bytes(rng, 100);
    const Bytes key64 = random_bytes(rng, 64);
    const Bytes key20 = random_bytes(rng, 20);

    auto hashed_then_padded = [](const Bytes &key) {
        Bytes k0(64, 0);
        SHA1(key.data(), key.size(), k0.data());
        return k0;
    };
    auto padded = [](const Bytes &key) {
        Bytes k0(64, 0);
        std::copy(key.begin(), key.end(), k0.begin());
        return k0;
    };

    const struct {
        const char *name;
        Bytes key;
        Bytes k0;
    } cases[] = {
        {"65 bytes: hashed", key65, hashed_then_padded(key65)},
        {"100 bytes: hashed", key100, hashed_then_padded(key100)},
        {"64 bytes: unchanged", key64, key64},
        {"20 bytes: zero padded", key20, padded(key20)},
        {"empty: all zero", {}, Bytes(64, 0)},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        mHMAC_ctx ctx;
        std::memset(&ctx, 0xFF, sizeof ctx); // makes missing zero padding visible
        ASSERT_EQ(mHMAC_start(&ctx, &mHMACD_SHA1, c.key.data(), static_cast<int32_t>(c.key.size())),
                  0);
        EXPECT_EQ(hex(ctx.key_block, sizeof ctx.key_block), hex(c.k0));
        EXPECT_TRUE(ctx.desc == &mHMACD_SHA1);
        EXPECT_NE(ctx.hash_ctx, nullptr);
        mHMAC_end(&ctx, nullptr);
    }
}

// ---- Reading the value and reusing a context -------------------------------

TEST(HmacValue, EndWithoutOutputThenGethash) {
    const Bytes key = text("Jefe");
    const Bytes msg = text("what do ya want for nothing?");
    const std::string expected = "effcdf6ae5eb2fa2d27416d5f184df9c259a7c79";

    mHMAC_ctx ctx;
    ASSERT_EQ(mHMAC_start(&ctx, &mHMACD_SHA1, key.data(), static_cast<int32_t>(key.size())), 0);
    mHMAC_process(&ctx, msg.data(), static_cast<int32_t>(msg.size()));
    EXPECT_EQ(mHMAC_end(&ctx, nullptr), 0);
    EXPECT_EQ(ctx.hash_ctx, nullptr);

    std::array<unsigned char, 64> first, second;
    first.fill(0xC3);
    second.fill(0x3C);
    EXPECT_EQ(mHMAC_gethash(&ctx, first.data()), 0);
    EXPECT_EQ(mHMAC_gethash(&ctx, second.data()), 0);
    EXPECT_EQ(hex(first.data(), 20), expected);
    EXPECT_EQ(hex(second.data(), 20), expected);
    for (std::size_t i = 20; i < first.size(); ++i) {
        EXPECT_EQ(first[i], 0xC3) << "byte " << i << " written";
        EXPECT_EQ(second[i], 0x3C) << "byte " << i << " written";
    }
}

TEST(HmacValue, EndWithOutputAgreesWithGethash) {
    const Bytes key = repeat(0x0b, 20);
    const Bytes msg = text("Hi There");
    mHMAC_ctx ctx;
    ASSERT_EQ(mHMAC_start(&ctx, &mHMACD_SHA1, key.data(), 20), 0);
    mHMAC_process(&ctx, msg.data(), static_cast<int32_t>(msg.size()));
    std::array<unsigned char, 64> from_end;
    from_end.fill(0x77);
    mHMAC_end(&ctx, from_end.data());
    EXPECT_EQ(ctx.hash_ctx, nullptr);
    EXPECT_EQ(hex(from_end.data(), 20), "b617318655057264e28bc0b6fb378c8ef146be00");
    for (std::size_t i = 20; i < from_end.size(); ++i)
        EXPECT_EQ(from_end[i], 0x77) << i;
    unsigned char from_get[20];
    mHMAC_gethash(&ctx, from_get);
    EXPECT_EQ(hex(from_get, 20), hex(from_end.data(), 20));
}

TEST(HmacReuse, SameContextWithOtherKeys) {
    std::mt19937 rng(99);
    const Bytes msg = random_bytes(rng, 77);
    mHMAC_ctx ctx;
    // Long key first, then shorter ones: nothing of an earlier K0 or state
    // may leak into the next value.
    for (std::size_t key_len : {100u, 64u, 20u, 0u, 65u, 1u}) {
        const Bytes key = random_bytes(rng, key_len);
        ASSERT_EQ(mHMAC_start(&ctx, &mHMACD_SHA1, key.data(), static_cast<int32_t>(key_len)), 0);
        mHMAC_process(&ctx, msg.data(), static_cast<int32_t>(msg.size()));
        unsigned char out[20];
        mHMAC_end(&ctx, out);
        EXPECT_EQ(hex(out, 20), openssl_hmac(key, msg)) << "key length " << key_len;
        EXPECT_EQ(ctx.hash_ctx, nullptr);
    }
}

TEST(HmacReuse, ManyStartEndCycles) {
    // Every start allocates a hash context that end must release; the
    // sanitizer build reports any that is lost.
    std::mt19937 rng(1000);
    mHMAC_ctx ctx;
    int wrong = 0;
    for (int i = 0; i < 2000; ++i) {
        const Bytes key = random_bytes(rng, static_cast<std::size_t>(i % 101));
        const Bytes msg = random_bytes(rng, static_cast<std::size_t>(i % 37));
        ASSERT_EQ(mHMAC_start(&ctx, &mHMACD_SHA1, key.data(), static_cast<int32_t>(key.size())), 0);
        mHMAC_process(&ctx, msg.data(), static_cast<int32_t>(msg.size()));
        unsigned char out[20];
        mHMAC_end(&ctx, (i % 2) ? out : nullptr);
        if (i % 2 == 0) mHMAC_gethash(&ctx, out);
        if (hex(out, 20) != openssl_hmac(key, msg)) ++wrong;
        ASSERT_EQ(ctx.hash_ctx, nullptr);
    }
    EXPECT_EQ(wrong, 0);
}

// ---- Refusal ---------------------------------------------------------------

TEST(HmacStart, NullDescriptorLeavesContextUntouched) {
    const Bytes key = text("secret");
    for (unsigned char fill : {0x00, 0x5A}) {
        mHMAC_ctx ctx;
        std::memset(&ctx, fill, sizeof ctx);
        unsigned char before[sizeof ctx];
        std::memcpy(before, &ctx, sizeof ctx);
        EXPECT_EQ(mHMAC_start(&ctx, nullptr, key.data(), static_cast<int32_t>(key.size())), -1);
        EXPECT_EQ(0, std::memcmp(before, &ctx, sizeof ctx)) << "fill " << int{fill};
    }
}

} // namespace
