// srs__get_domain_start and strncpytolower.
#include "librewrite.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace {

constexpr std::uint32_t kUnusable = 0xFFFFFFFFu;

// A copy of text (with its terminator) at the very end of a heap block of
// exact size, so that AddressSanitizer reports any read past the terminator.
std::unique_ptr<char[]> exact_copy(std::string_view text) {
    std::unique_ptr<char[]> p(new char[text.size() + 1]);
    std::memcpy(p.get(), text.data(), text.size());
    p[text.size()] = '\0';
    return p;
}

struct DomainCase {
    const char *name;
    std::string address;
    std::uint32_t expected;
};

TEST(AddressDomainStart, NullAddressIsUnusable) {
    EXPECT_EQ(srs__get_domain_start(nullptr), kUnusable);
}

TEST(AddressDomainStart, Table) {
    const std::string a254(254, 'a');
    const std::string a255(255, 'a');
    const std::string a256(256, 'a');
    const DomainCase cases[] = {
        {"empty", "", kUnusable},
        {"at first", "@x", 1},
        {"plain", "ab@cd", 3},
        {"first of two", "ab@cd@ef", 3},
        {"no at", "abc", 0},
        {"lone at", "@", 1},
        {"high byte before at", "\xC4@x", 2},
        {"escaped byte skipped", "a\\xb@c", 5},
        {"escaped at met first", "a\\@b@c", kUnusable},
        {"escaped at leading", "\\@b", kUnusable},
        {"escaped backslash", "\\\\@c", 3},
        {"escape ends string", "a\\x", 0},
        {"trailing backslash", "abc\\", 0},
        {"at index 255", a255 + "@d", 256},
        {"at index 256", a256 + "@d", 0},
        {"escaped at at 254", a254 + "\\@", kUnusable},
        {"escaped at at 255", a255 + "\\@", kUnusable},
        {"escape crosses limit", a254 + "\\x@", 0},
        {"long, no at", std::string(300, 'b'), 0},
        // Bytes after the terminator must never be looked at.
        {"at after terminator", std::string("ab\0@x", 5), 0},
        {"at after trailing backslash", std::string("ab\\\0@x", 6), 0},
        {"at after escaped pair", std::string("a\\x\0@x", 6), 0},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        const auto buf = exact_copy(c.address);
        EXPECT_EQ(srs__get_domain_start(buf.get()), c.expected);
    }
}

struct LowerCase {
    const char *name;
    std::string_view src; // terminator included where it is part of the input
    std::int32_t n;
    std::string_view written; // bytes expected at the start of dst
    std::int32_t ret;
};

using namespace std::string_view_literals;

TEST(AddressToLower, Table) {
    constexpr char kSentinel = '#';
    const LowerCase cases[] = {
        {"address", "Alice@Example.ORG\0"sv, 50, "alice@example.org\0"sv, 17},
        {"limit before end", "ABC\0"sv, 2, "ab"sv, 2},
        {"limit at terminator", "ABC\0"sv, 3, "abc"sv, 3},
        {"limit includes terminator", "ABC\0"sv, 4, "abc\0"sv, 3},
        {"zero limit", "ABC\0"sv, 0, ""sv, 0},
        {"negative limit", "ABC\0"sv, -5, ""sv, 0},
        {"empty", "\0"sv, 5, "\0"sv, 0},
        {"stops at terminator", "AB\0CD\0"sv, 6, "ab\0"sv, 2},
        {"neighbours of letters", "@[`{Z\xC4\xDA\0"sv, 10, "@[`{z\xC4\xDA\0"sv, 7},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        // src without extra bytes after its last one (ASan catches over-reads).
        std::vector<char> src(c.src.begin(), c.src.end());
        std::vector<char> dst(64, kSentinel);
        EXPECT_EQ(strncpytolower(dst.data(), src.data(), c.n), c.ret);
        EXPECT_EQ(std::string_view(dst.data(), c.written.size()), c.written);
        for (std::size_t i = c.written.size(); i < dst.size(); ++i)
            ASSERT_EQ(dst[i], kSentinel) << "byte " << i << " written";
    }
}

TEST(AddressToLower, EveryByteValue) {
    char src[256];
    for (int b = 1; b <= 255; ++b)
        src[b - 1] = static_cast<char>(b);
    src[255] = '\0';
    char dst[256];
    std::memset(dst, 0x55, sizeof dst);
    ASSERT_EQ(strncpytolower(dst, src, 256), 255);
    for (int b = 1; b <= 255; ++b) {
        const int expected = (b >= 0x41 && b <= 0x5A) ? b + 0x20 : b;
        EXPECT_EQ(static_cast<unsigned char>(dst[b - 1]), expected) << "byte " << b;
    }
    EXPECT_EQ(dst[255], '\0');
}

TEST(AddressToLower, InPlace) {
    char buf[] = "MiXeD@Case.ORG";
    EXPECT_EQ(strncpytolower(buf, buf, sizeof buf), 14);
    EXPECT_STREQ(buf, "mixed@case.org");
}

} // namespace
