// Base64 and base32 alphabets, reverse tables, encoders and the base64
// decoder, checked against RFC 4648 vectors, OpenSSL and a bitwise reference.
#include "librewrite.h"

#include <gtest/gtest.h>
#include <openssl/evp.h>

#include <cstdint>
#include <cstring>
#include <memory>
#include <random>
#include <string>
#include <string_view>
#include <vector>

namespace {

using namespace std::string_view_literals;
using Bytes = std::vector<unsigned char>;

constexpr char kFill = '#';
constexpr unsigned char kByteFill = 0xA5;
constexpr std::uint32_t kLenFill = 0xDEADBEEFu;

Bytes bytes_of(std::string_view s) {
    return Bytes(s.begin(), s.end());
}

Bytes random_bytes(std::mt19937 &rng, std::size_t n) {
    std::uniform_int_distribution<int> dist(0, 255);
    Bytes b(n);
    for (auto &x : b)
        x = static_cast<unsigned char>(dist(rng));
    return b;
}

Bytes from_hex(std::string_view hex) {
    Bytes b;
    for (std::size_t i = 0; i + 1 < hex.size(); i += 2)
        b.push_back(
            static_cast<unsigned char>(std::stoi(std::string(hex.substr(i, 2)), nullptr, 16)));
    return b;
}

// ---- Alphabets and reverse tables --------------------------------------------

TEST(EncoderTables, Alphabets) {
    EXPECT_EQ(std::string_view(srs__BASE64, 64),
              "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/");
    EXPECT_EQ(std::string_view(srs__BASE32, 32), "ABCDEFGHIJKLMNOPQRSTUVWXYZ234567");
}

bool is_space(int c) {
    return c == 9 || c == 10 || c == 13 || c == 32;
}

int expected_rev64(int c) {
    if (c >= 'A' && c <= 'Z') return c - 'A';
    if (c >= 'a' && c <= 'z') return c - 'a' + 26;
    if (c >= '0' && c <= '9') return c - '0' + 52;
    if (c == '+') return 62;
    if (c == '/') return 63;
    if (c == '=') return 64;
    return is_space(c) ? 0xFE : 0xFF;
}

int expected_rev32(int c) {
    if (c >= 'A' && c <= 'Z') return c - 'A';
    if (c >= '2' && c <= '7') return c - '2' + 26;
    if (c == '=') return 32;
    return is_space(c) ? 0xFE : 0xFF;
}

TEST(EncoderTables, ReverseTablesAllEntries) {
    for (int c = 0; c < 128; ++c) {
        EXPECT_EQ(srs__BASE64rev[c], expected_rev64(c)) << "base64 code " << c;
        EXPECT_EQ(srs__BASE32rev[c], expected_rev32(c)) << "base32 code " << c;
    }
}

TEST(EncoderTables, ReverseTableSpotValues) {
    EXPECT_EQ(srs__BASE32rev['Q'], 16);
    EXPECT_EQ(srs__BASE32rev['7'], 31);
    EXPECT_EQ(srs__BASE32rev['q'], 0xFF);
    EXPECT_EQ(srs__BASE32rev['1'], 0xFF);
    EXPECT_EQ(srs__BASE32rev['='], 32);
    EXPECT_EQ(srs__BASE32rev[' '], 0xFE);
    EXPECT_EQ(srs__BASE64rev['q'], 42);
    EXPECT_EQ(srs__BASE64rev['='], 64);
    EXPECT_EQ(srs__BASE64rev['\t'], 0xFE);
    EXPECT_EQ(srs__BASE64rev['-'], 0xFF);
}

// ---- Encoders -----------------------------------------------------------------

using EncodeFn = int (*)(const void *, uint32_t, char *, uint32_t);

struct Encoded {
    int rc;
    std::vector<char> out; // exactly outlen bytes, pre-filled with kFill
};

Encoded encode(EncodeFn fn, const Bytes &data, std::size_t outlen) {
    Encoded e{0, std::vector<char>(outlen, kFill)};
    e.rc = fn(data.data(), static_cast<uint32_t>(data.size()), e.out.data(),
              static_cast<uint32_t>(outlen));
    return e;
}

bool untouched(const std::vector<char> &v, std::size_t from = 0) {
    for (std::size_t i = from; i < v.size(); ++i)
        if (v[i] != kFill) return false;
    return true;
}

// Exactly text.size() + 1 bytes succeed; one fewer fails with nothing written.
void expect_encodes_with_exact_room(EncodeFn fn, const Bytes &data, std::string_view text) {
    const Encoded ok = encode(fn, data, text.size() + 1);
    ASSERT_EQ(ok.rc, SRS_OK);
    EXPECT_EQ(std::string_view(ok.out.data(), text.size()), text);
    EXPECT_EQ(ok.out[text.size()], '\0');

    const Encoded small = encode(fn, data, text.size());
    EXPECT_EQ(small.rc, SRS_BUFFER_TOO_SMALL);
    EXPECT_TRUE(untouched(small.out));
}

struct Vector {
    std::string_view data;
    std::string_view text;
};

// RFC 4648 section 10.
constexpr Vector kBase64Rfc[] = {
    {"", ""},
    {"f", "Zg=="},
    {"fo", "Zm8="},
    {"foo", "Zm9v"},
    {"foob", "Zm9vYg=="},
    {"fooba", "Zm9vYmE="},
    {"foobar", "Zm9vYmFy"},
};
constexpr Vector kBase32Rfc[] = {
    {"", ""},
    {"f", "MY======"},
    {"fo", "MZXQ===="},
    {"foo", "MZXW6==="},
    {"foob", "MZXW6YQ="},
    {"fooba", "MZXW6YTB"},
    {"foobar", "MZXW6YTBOI======"},
};

TEST(Base64Encode, RfcVectorsAndExactRoom) {
    for (const auto &v : kBase64Rfc) {
        SCOPED_TRACE(v.data);
        expect_encodes_with_exact_room(srs__base64enc, bytes_of(v.data), v.text);
    }
}

TEST(Base64Encode, DigestSized) {
    // A 20-byte digest: 28 characters ending with one pad.
    expect_encodes_with_exact_room(srs__base64enc, Bytes(20, 0xFF), "//////////////////////////8=");
}

TEST(Base64Encode, NoRoomAtAll) {
    EXPECT_EQ(srs__base64enc("", 0, nullptr, 0), SRS_BUFFER_TOO_SMALL);
    char c = kFill;
    EXPECT_EQ(srs__base64enc("abc", 3, &c, 0), SRS_BUFFER_TOO_SMALL);
    EXPECT_EQ(c, kFill);
}

TEST(Base64Encode, MatchesOpenSsl) {
    std::mt19937 rng(4648);
    for (std::size_t n = 0; n <= 100; ++n) {
        SCOPED_TRACE(n);
        const Bytes data = random_bytes(rng, n);
        std::vector<unsigned char> ref(4 * ((n + 2) / 3) + 1);
        const int reflen = EVP_EncodeBlock(ref.data(), data.data(), static_cast<int>(n));
        ASSERT_EQ(static_cast<std::size_t>(reflen), 4 * ((n + 2) / 3));
        const std::string_view text(reinterpret_cast<const char *>(ref.data()), reflen);

        // Extra room: the terminator is the last byte written.
        const Encoded e = encode(srs__base64enc, data, text.size() + 8);
        ASSERT_EQ(e.rc, SRS_OK);
        EXPECT_EQ(std::string_view(e.out.data(), text.size()), text);
        EXPECT_EQ(e.out[text.size()], '\0');
        EXPECT_TRUE(untouched(e.out, text.size() + 1));
    }
}

// Reference base32: the data as a string of bits, cut into groups of five.
std::string base32_reference(const Bytes &data) {
    static constexpr std::string_view alphabet = "ABCDEFGHIJKLMNOPQRSTUVWXYZ234567";
    std::string bits;
    for (unsigned char b : data)
        for (int k = 7; k >= 0; --k)
            bits += ((b >> k) & 1) ? '1' : '0';
    while (bits.size() % 5 != 0)
        bits += '0';
    std::string text;
    for (std::size_t i = 0; i < bits.size(); i += 5)
        text += alphabet[std::stoul(bits.substr(i, 5), nullptr, 2)];
    while (text.size() % 8 != 0)
        text += '=';
    return text;
}

TEST(Base32Encode, RfcVectorsAndExactRoom) {
    for (const auto &v : kBase32Rfc) {
        SCOPED_TRACE(v.data);
        expect_encodes_with_exact_room(srs__base32enc, bytes_of(v.data), v.text);
    }
}

TEST(Base32Encode, KnownVectors) {
    // Produced by Python's base64.b32encode.
    constexpr Vector cases[] = {
        {"ff", "74======"},
        {"ffff", "777Q===="},
        {"ffffff", "77776==="},
        {"ffffffff", "777777Y="},
        {"ffffffffff", "77777777"},
        {"00", "AA======"},
        {"9c", "TQ======"},
        {"e5a1", "4WQQ===="},
        {"3f7b02", "H55QE==="},
        {"d40c91e8", "2QGJD2A="},
        {"7a21f0c36b", "PIQ7BQ3L"},
        {"01b3c5d7e9f2468ace", "AGZ4LV7J6JDIVTQ="},
        {"8e4f20d19b7c35a6e01f4d", "RZHSBUM3PQ22NYA7JU======"},
        {"f00dcafe0123456789abcdef", "6AG4V7QBENCWPCNLZXXQ===="},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.data);
        expect_encodes_with_exact_room(srs__base32enc, from_hex(c.data), c.text);
    }
}

TEST(Base32Encode, MatchesBitwiseReference) {
    std::mt19937 rng(3548);
    for (std::size_t n = 0; n <= 60; ++n) {
        SCOPED_TRACE(n);
        const Bytes data = random_bytes(rng, n);
        const std::string text = base32_reference(data);
        ASSERT_EQ(text.size(), 8 * ((n + 4) / 5));
        const Encoded e = encode(srs__base32enc, data, text.size() + 8);
        ASSERT_EQ(e.rc, SRS_OK);
        EXPECT_EQ(std::string_view(e.out.data(), text.size()), text);
        EXPECT_EQ(e.out[text.size()], '\0');
        EXPECT_TRUE(untouched(e.out, text.size() + 1));
    }
}

TEST(Base32Encode, NoRoomAtAll) {
    EXPECT_EQ(srs__base32enc("", 0, nullptr, 0), SRS_BUFFER_TOO_SMALL);
}

// ---- Decoder ------------------------------------------------------------------

struct Decoded {
    int rc;
    Bytes out; // exactly outlen bytes, pre-filled with kByteFill
    std::uint32_t len;
};

// The text sits in a heap block of exactly its size, with no terminator, so
// AddressSanitizer reports any read past textlen.
Decoded decode(std::string_view text, std::size_t outlen) {
    std::unique_ptr<char[]> t(new char[text.size()]);
    if (!text.empty()) std::memcpy(t.get(), text.data(), text.size());
    Decoded d{0, Bytes(outlen, kByteFill), kLenFill};
    d.rc = srs__base64dec(t.get(), static_cast<uint32_t>(text.size()), d.out.data(),
                          static_cast<uint32_t>(outlen), &d.len);
    return d;
}

bool untouched(const Bytes &v, std::size_t from = 0) {
    for (std::size_t i = from; i < v.size(); ++i)
        if (v[i] != kByteFill) return false;
    return true;
}

void expect_decodes(std::string_view text, const Bytes &expected, std::size_t outlen) {
    const Decoded d = decode(text, outlen);
    ASSERT_EQ(d.rc, SRS_OK);
    ASSERT_EQ(d.len, expected.size());
    EXPECT_EQ(Bytes(d.out.begin(), d.out.begin() + static_cast<std::ptrdiff_t>(d.len)), expected);
    EXPECT_TRUE(untouched(d.out, d.len));
}

TEST(Base64Decode, RfcVectorsAndExactRoom) {
    for (const auto &v : kBase64Rfc) {
        SCOPED_TRACE(v.text);
        const Bytes expected = bytes_of(v.data);
        expect_decodes(v.text, expected, expected.size());
        expect_decodes(v.text, expected, expected.size() + 4);
        if (!expected.empty()) {
            const Decoded small = decode(v.text, expected.size() - 1);
            EXPECT_EQ(small.rc, SRS_BUFFER_TOO_SMALL);
            EXPECT_TRUE(untouched(small.out));
            EXPECT_EQ(small.len, kLenFill);
        }
    }
}

TEST(Base64Decode, DecodedLengthMayBeNull) {
    unsigned char out[3] = {0, 0, 0};
    EXPECT_EQ(srs__base64dec("Zm9v", 4, out, sizeof out, nullptr), SRS_OK);
    EXPECT_EQ(std::string_view(reinterpret_cast<char *>(out), 3), "foo");
}

TEST(Base64Decode, NullText) {
    unsigned char out = kByteFill;
    std::uint32_t len = kLenFill;
    EXPECT_EQ(srs__base64dec(nullptr, 0, &out, 1, &len), SRS_OK);
    EXPECT_EQ(len, 0u);
    len = kLenFill;
    EXPECT_EQ(srs__base64dec(nullptr, 4, &out, 1, &len), SRS_BAD_PARAMETER);
    EXPECT_EQ(len, kLenFill);
    EXPECT_EQ(out, kByteFill);
}

TEST(Base64Decode, WhiteSpaceSkipped) {
    const Vector cases[] = {
        {"foobar", "Zm9v\nYmFy"}, {"foobar", " Zm9v\r\nYmFy\t"},
        {"foo", "Z\tm\r9\nv"},    {"f", "Zg=\n="},
        {"fo", "Zm8 ="},          {"", " \t\r\n"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.text);
        expect_decodes(c.text, bytes_of(c.data), c.data.size());
    }
}

TEST(Base64Decode, MalformedRefused) {
    const std::string_view cases[] = {
        "Z"sv,
        "Zg"sv,
        "Zg="sv,
        "Zg==="sv,
        "Z==="sv,
        "===="sv,
        "="sv,
        "Zm9vY"sv,
        "Zm9v=Zm9v"sv,
        "Zm9vY=Fy"sv, // pad before data, right length
        "Zg==Zg=="sv, // data after a padded quantum
        "Zm9v===="sv,
        "Zh=="sv, // non-canonical: leftover bits set
        "Zm9="sv,
        "Zm8-"sv,
        "Zm8_"sv,
        "Zm.v"sv,
        "Zm9v\x80"sv,
        "Zm\xEDv"sv,  // 'm' with the top bit set
        "Zm9v\xA0"sv, // no-break space
        "Zm9\xff"sv,
        "Zm\0v"sv,
        "Zm\x0B"
        "9v"sv, // vertical tab is not white space here
        "Zm\f9v"sv,
    };
    for (const auto text : cases) {
        SCOPED_TRACE(::testing::PrintToString(std::string(text)));
        const Decoded d = decode(text, 16);
        EXPECT_EQ(d.rc, SRS_BAD_PARAMETER);
        EXPECT_TRUE(untouched(d.out));
        EXPECT_EQ(d.len, kLenFill);
    }
}

// Last character before the padding, every value: only zero unused bits pass.
TEST(Base64Decode, UnusedBitsBeforePadding) {
    for (std::size_t v = 0; v < 64; ++v) {
        const char c = srs__BASE64[v];
        SCOPED_TRACE(c);
        const std::string two_pads = std::string("Z") + c + "==";
        const std::string one_pad = std::string("Zm") + c + "=";
        if (v % 16 == 0)
            expect_decodes(two_pads, Bytes{static_cast<unsigned char>(0x64 | (v >> 4))}, 1);
        else
            EXPECT_EQ(decode(two_pads, 1).rc, SRS_BAD_PARAMETER);
        if (v % 4 == 0)
            expect_decodes(one_pad, Bytes{0x66, static_cast<unsigned char>(0x60 | (v >> 2))}, 2);
        else
            EXPECT_EQ(decode(one_pad, 2).rc, SRS_BAD_PARAMETER);
    }
}

TEST(Base64Decode, RoundTrip) {
    std::mt19937 rng(1987);
    for (std::size_t n = 0; n <= 100; ++n) {
        SCOPED_TRACE(n);
        const Bytes data = random_bytes(rng, n);
        const Encoded e = encode(srs__base64enc, data, 4 * ((n + 2) / 3) + 1);
        ASSERT_EQ(e.rc, SRS_OK);
        expect_decodes(std::string_view(e.out.data()), data, n);
    }
}

// Random canonical texts, decoded by OpenSSL as the reference.
TEST(Base64Decode, MatchesOpenSsl) {
    static constexpr std::string_view alphabet =
        "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::mt19937 rng(2006);
    std::uniform_int_distribution<int> sextet(0, 63);
    for (int round = 0; round < 200; ++round) {
        std::string text;
        const int quanta = round % 25;
        for (int q = 0; q < 4 * quanta; ++q)
            text += alphabet[sextet(rng)];
        const int pads = quanta == 0 ? 0 : round % 3;
        if (pads != 0) {
            // Clear the bits the padding leaves unused.
            const int mask = pads == 1 ? 0x3C : 0x30;
            text.resize(text.size() - static_cast<std::size_t>(pads));
            text.back() = alphabet[static_cast<std::size_t>(sextet(rng) & mask)];
            text.append(static_cast<std::size_t>(pads), '=');
        }
        SCOPED_TRACE(text);

        Bytes ref(text.size() / 4 * 3 + 1);
        const int reflen =
            EVP_DecodeBlock(ref.data(), reinterpret_cast<const unsigned char *>(text.data()),
                            static_cast<int>(text.size()));
        ASSERT_GE(reflen, pads);
        ref.resize(static_cast<std::size_t>(reflen - pads)); // OpenSSL keeps the pad bytes
        expect_decodes(text, ref, ref.size());
    }
}

} // namespace
