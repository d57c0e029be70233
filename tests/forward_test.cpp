// Forward rewriting: plain addresses to SRS0, SRS0 to SRS1, SRS1 to SRS1.
// Expected hashes come from OpenSSL over the lower-cased fields.
#include "oracle.h"

#include <gtest/gtest.h>

#include <array>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

namespace {

using oracle::Handle;

constexpr std::size_t kBuf = 1024;

struct Result {
    int rc;
    std::string text;
};

Result forward(srs_handle *h, const char *address, const char *alias, uint32_t len = kBuf) {
    std::vector<char> buf(kBuf + 1, '#');
    const int rc = srs_forward(h, address, alias, buf.data(), len);
    return {rc, SRS_IS_ERROR(rc) ? std::string() : std::string(buf.data())};
}

// The result's hash under `secret` over the given lower-cased input.
std::string hash(std::string_view secret, std::string_view input, std::size_t chars = 6) {
    return oracle::hash_text(secret, oracle::lower(input)).substr(0, chars);
}

TEST(ForwardPlain, OptionsAndSeparators) {
    struct Case {
        bool timestamp, hashed;
        char separator;
    };
    const Case cases[] = {
        {true, true, '='},  {true, true, '+'},  {true, true, '-'},
        {false, true, '='}, {true, false, '='}, {false, false, '-'},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(testing::Message() << c.timestamp << c.hashed << c.separator);
        Handle h = oracle::open("tops3cret");
        srs_set_option(h.get(), SRS_OPT_TIMESTAMP, c.timestamp);
        srs_set_option(h.get(), SRS_OPT_HASH, c.hashed);
        srs_set_separator(h.get(), c.separator);
        const auto [r, ts] = oracle::on_one_day(
            [&] { return forward(h.get(), "Jane.Doe@Example.ORG", "fwd.example"); });
        ASSERT_EQ(r.rc, SRS_OK);
        std::string expected = std::string("SRS0") + c.separator;
        const std::string stamp_part = c.timestamp ? ts : "";
        if (c.hashed) expected += hash("tops3cret", stamp_part + "Example.ORGJane.Doe") + "=";
        if (c.timestamp) expected += ts + "=";
        expected += "Example.ORG=Jane.Doe@fwd.example";
        EXPECT_EQ(r.text, expected);
    }
}

TEST(ForwardPlain, CaseOfTheInputChangesOnlyTheCopiedFields) {
    Handle h = oracle::open("secret");
    const auto [upper, day1] =
        oracle::on_one_day([&] { return forward(h.get(), "USER@EXAMPLE.COM", "fwd"); });
    const auto [lower, day2] =
        oracle::on_one_day([&] { return forward(h.get(), "user@example.com", "fwd"); });
    ASSERT_EQ(day1, day2);
    EXPECT_EQ(upper.text.substr(0, 15), lower.text.substr(0, 15)); // tag, hash, stamp
    EXPECT_EQ(upper.text.substr(15), "EXAMPLE.COM=USER@fwd");
    EXPECT_EQ(lower.text.substr(15), "example.com=user@fwd");
}

TEST(ForwardPlain, HashLengths) {
    for (uint32_t length : {1u, 6u, 27u, 28u, 40u}) {
        SCOPED_TRACE(length);
        Handle h = oracle::open("secret", 0, length);
        srs_set_option(h.get(), SRS_OPT_TIMESTAMP, 0);
        const Result r = forward(h.get(), "a@b", "c");
        ASSERT_EQ(r.rc, SRS_OK);
        // 28 or more writes the whole text, whose last character is '='.
        const std::string full = oracle::hash_text("secret", "ba");
        EXPECT_EQ(r.text, "SRS0=" + full.substr(0, length) + "=b=a@c");
    }
}

TEST(ForwardKinds, TagDecidesHowTheInputIsRead) {
    Handle h = oracle::open("secret");
    srs_set_option(h.get(), SRS_OPT_TIMESTAMP, 0);
    struct Case {
        const char *address;
        std::string expected;
    };
    const Case cases[] = {
        // Plain: no tag, or a tag not followed by a separator.
        {"a@b", "SRS0=" + hash("secret", "ba") + "=b=a@fwd"},
        {"SRS0xyz@d.org", "SRS0=" + hash("secret", "d.orgsrs0xyz") + "=d.org=SRS0xyz@fwd"},
        {"SRS2=x=y@d.org", "SRS0=" + hash("secret", "d.orgsrs2=x=y") + "=d.org=SRS2=x=y@fwd"},
        // SRS0 input in any case becomes SRS1; its separator stays in the remainder.
        {"srs0+HHHH=TT=d.org=u@hop1",
         "SRS1=" + hash("secret", "hop1+hhhh=tt=d.org=u") + "=hop1=+HHHH=TT=d.org=u@fwd"},
        {"SRS0=x@hop1", "SRS1=" + hash("secret", "hop1=x") + "=hop1==x@fwd"},
        // SRS1 input keeps its host and remainder, gets a new hash.
        {"Srs1=OLD=hop1=+HHHH=TT=d.org=u@hop2",
         "SRS1=" + hash("secret", "hop1+hhhh=tt=d.org=u") + "=hop1=+HHHH=TT=d.org=u@fwd"},
        // Empty old hash and empty remainder are accepted.
        {"SRS1==HOP1=@HOP2", "SRS1=" + hash("secret", "hop1") + "=HOP1=@fwd"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.address);
        const Result r = forward(h.get(), c.address, "fwd");
        ASSERT_EQ(r.rc, SRS_OK);
        EXPECT_EQ(r.text, c.expected);
    }
}

TEST(ForwardKinds, Srs1HasAHashWhateverTheOptions) {
    Handle h = oracle::open("secret");
    srs_set_option(h.get(), SRS_OPT_HASH, 0);
    srs_set_option(h.get(), SRS_OPT_TIMESTAMP, 0);
    srs_set_separator(h.get(), '-');
    EXPECT_EQ(forward(h.get(), "SRS0+x@hop1", "fwd").text,
              "SRS1-" + hash("secret", "hop1+x") + "=hop1=+x@fwd");
}

// Three forwarders, each with its own secret and separator: the SRS1 address
// always points at the first, and its content survives every hop.
TEST(ForwardKinds, ThreeForwarders) {
    Handle a = oracle::open("alpha"), b = oracle::open("bravo"), c = oracle::open("charlie");
    srs_set_separator(a.get(), '+');
    srs_set_separator(b.get(), '-');
    const auto [r1, ts] = oracle::on_one_day(
        [&] { return forward(a.get(), "Sender@Origin.example", "hop1.example"); });
    ASSERT_EQ(r1.rc, SRS_OK);
    const std::string srs0 = r1.text;
    const std::string remainder = srs0.substr(4, srs0.find('@') - 4); // "+HHHHHH=TT=..."
    const Result r2 = forward(b.get(), srs0.c_str(), "hop2.example");
    ASSERT_EQ(r2.rc, SRS_OK);
    EXPECT_EQ(r2.text, "SRS1-" + hash("bravo", "hop1.example" + remainder) +
                           "=hop1.example=" + remainder + "@hop2.example");
    const Result r3 = forward(c.get(), r2.text.c_str(), "hop3.example");
    ASSERT_EQ(r3.rc, SRS_OK);
    EXPECT_EQ(r3.text, "SRS1=" + hash("charlie", "hop1.example" + remainder) +
                           "=hop1.example=" + remainder + "@hop3.example");

    // The first forwarder's address comes back from the last hop.
    std::array<char, 256> back;
    ASSERT_EQ(srs_reverse(c.get(), r3.text.c_str(), back.data(), back.size()), SRS_OK);
    EXPECT_EQ(std::string(back.data()), srs0);
    std::array<char, 256> sender;
    ASSERT_EQ(srs_reverse(a.get(), back.data(), sender.data(), sender.size()), SRS_OK);
    EXPECT_STREQ(sender.data(), "Sender@Origin.example");
}

TEST(ForwardErrors, ChecksInOrder) {
    Handle h = oracle::open("secret");
    const std::string long_alias(257, 'a');
    struct Case {
        srs_handle *handle;
        const char *address;
        const char *alias;
        int rc;
    };
    const Case cases[] = {
        {nullptr, "a@b", "fwd", SRS_BAD_HANDLE},
        {nullptr, nullptr, nullptr, SRS_BAD_HANDLE},
        // Unusable addresses.
        {h.get(), nullptr, "fwd", SRS_BAD_PARAMETER},
        {h.get(), "", "fwd", SRS_BAD_PARAMETER},
        {h.get(), "no-at-sign", "fwd", SRS_BAD_PARAMETER},
        {h.get(), "@domain", "fwd", SRS_BAD_PARAMETER},
        {h.get(), "a@", "fwd", SRS_BAD_PARAMETER},
        {h.get(), "a\\@b@c", "fwd", SRS_BAD_PARAMETER},
        // Unusable aliases.
        {h.get(), "a@b", nullptr, SRS_BAD_PARAMETER},
        {h.get(), "a@b", "", SRS_BAD_PARAMETER},
        {h.get(), "a@b", "x@y", SRS_BAD_PARAMETER},
        {h.get(), "a@b", "@", SRS_BAD_PARAMETER},
        {h.get(), "a@b", long_alias.c_str(), SRS_ADDRESS_TOO_LONG},
        // The alias is checked before the SRS1 syntax.
        {h.get(), "SRS1=HHHH@HOP", "x@y", SRS_BAD_PARAMETER},
        // SRS1 fields without their closing '=' in the local part.
        {h.get(), "SRS1=HHHH@HOP", "fwd", SRS_BAD_SYNTAX},
        {h.get(), "SRS1=HHHH@=HOP", "fwd", SRS_BAD_SYNTAX},
        {h.get(), "SRS1=HHHH=hop1@HOP", "fwd", SRS_BAD_SYNTAX},
        {h.get(), "SRS1+@x=y", "fwd", SRS_BAD_SYNTAX},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(testing::Message() << (c.address ? c.address : "(null)") << " / "
                                        << (c.alias ? c.alias : "(null)"));
        std::array<char, 64> buf;
        buf.fill('#');
        EXPECT_EQ(srs_forward(c.handle, c.address, c.alias, buf.data(), buf.size()), c.rc);
        EXPECT_EQ(std::string(buf.data(), buf.size()), std::string(buf.size(), '#'));
    }
}

TEST(ForwardErrors, LengthLimits) {
    Handle h = oracle::open("secret");
    auto plain = [](std::size_t length) { return std::string(length - 4, 'l') + "@d.e"; };
    // With timestamps an address may have 252 characters, without 255.
    EXPECT_EQ(forward(h.get(), plain(252).c_str(), "fwd").rc, SRS_OK);
    EXPECT_EQ(forward(h.get(), plain(253).c_str(), "fwd").rc, SRS_ADDRESS_TOO_LONG);
    srs_set_option(h.get(), SRS_OPT_TIMESTAMP, 0);
    EXPECT_EQ(forward(h.get(), plain(255).c_str(), "fwd").rc, SRS_OK);
    EXPECT_EQ(forward(h.get(), plain(256).c_str(), "fwd").rc, SRS_ADDRESS_TOO_LONG);
    EXPECT_EQ(forward(h.get(), (plain(255) + std::string(50, 'x')).c_str(), "fwd").rc,
              SRS_ADDRESS_TOO_LONG);

    // SRS0/SRS1 inputs: local part and alias together at most 256 characters
    // (domain start + alias length <= 257).
    const std::string srs0 = "SRS0=" + std::string(95, 'x') + "@h"; // domain start 101
    EXPECT_EQ(forward(h.get(), srs0.c_str(), std::string(156, 'a').c_str()).rc, SRS_OK);
    EXPECT_EQ(forward(h.get(), srs0.c_str(), std::string(157, 'a').c_str()).rc,
              SRS_ADDRESS_TOO_LONG);
    const std::string srs1 = "SRS1=h=host=" + std::string(88, 'x') + "@h"; // domain start 101
    EXPECT_EQ(forward(h.get(), srs1.c_str(), std::string(156, 'a').c_str()).rc, SRS_OK);
    EXPECT_EQ(forward(h.get(), srs1.c_str(), std::string(157, 'a').c_str()).rc,
              SRS_ADDRESS_TOO_LONG);

    // An SRS0 input whose domain runs past 256 characters is refused rather
    // than rewritten with its domain cut short.
    const std::string long_host = "SRS0=x@" + std::string(249, 'h');
    EXPECT_EQ(forward(h.get(), long_host.c_str(), "fwd").rc, SRS_OK);
    EXPECT_EQ(forward(h.get(), (long_host + "h").c_str(), "fwd").rc, SRS_ADDRESS_TOO_LONG);
}

TEST(ForwardErrors, BufferMustHoldTheWholeResult) {
    Handle h = oracle::open("secret");
    for (const char *address :
         {"user@example.com", "SRS0+HHHHHH=TT=d=u@hop1", "SRS1=x=hop1=+y@hop2"}) {
        SCOPED_TRACE(address);
        const auto [full, ts] =
            oracle::on_one_day([&] { return forward(h.get(), address, "fwd.example"); });
        ASSERT_EQ(full.rc, SRS_OK);
        const auto need = static_cast<uint32_t>(full.text.size() + 1);

        std::vector<char> buf(need + 8, '#');
        const auto [rc, ts2] = oracle::on_one_day(
            [&] { return srs_forward(h.get(), address, "fwd.example", buf.data(), need); });
        EXPECT_EQ(rc, SRS_OK);
        EXPECT_EQ(ts, ts2);
        EXPECT_EQ(buf[need - 1], '\0');
        EXPECT_EQ(buf[need], '#');

        std::vector<char> small(need, '#');
        EXPECT_EQ(srs_forward(h.get(), address, "fwd.example", small.data(), need - 1),
                  SRS_BUFFER_TOO_SMALL);
        EXPECT_EQ(std::string(small.data(), need), std::string(need, '#'));
        EXPECT_EQ(srs_forward(h.get(), address, "fwd.example", nullptr, 0), SRS_BUFFER_TOO_SMALL);
    }
}

TEST(ForwardConcurrency, OneHandleManyThreads) {
    Handle h = oracle::open("secret");
    ASSERT_EQ(srs_add_secret(h.get(), "older", 5), SRS_OK);
    std::vector<std::thread> threads;
    std::array<int, 4> failures{};
    for (std::size_t t = 0; t < failures.size(); ++t) {
        threads.emplace_back([&, t] {
            for (int i = 0; i < 500; ++i) {
                const std::string sender =
                    "user" + std::to_string(t) + "." + std::to_string(i) + "@example.org";
                std::array<char, 256> out, back;
                if (srs_forward(h.get(), sender.c_str(), "fwd", out.data(), out.size()) != SRS_OK ||
                    srs_reverse(h.get(), out.data(), back.data(), back.size()) != SRS_OK ||
                    sender != back.data())
                    ++failures[t];
            }
        });
    }
    for (auto &t : threads)
        t.join();
    EXPECT_EQ(failures, (std::array<int, 4>{}));
}

} // namespace
