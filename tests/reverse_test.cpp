// Reverse rewriting: checks, restored addresses and result codes. Addresses
// with chosen stamps and hashes are built with OpenSSL's HMAC, not ours.
#include "oracle.h"

#include <gtest/gtest.h>

#include <array>
#include <string>
#include <vector>

namespace {

using oracle::Handle;

struct Result {
    int rc;
    std::string text;
    bool untouched; // the buffer was left as it was
};

Result reverse(srs_handle *h, const char *address, uint32_t len = 512) {
    std::vector<char> buf(513, '#');
    const int rc = srs_reverse(h, address, buf.data(), len);
    const bool untouched = std::string(buf.data(), buf.size()) == std::string(buf.size(), '#');
    return {rc, untouched ? std::string() : std::string(buf.data()), untouched};
}

// An SRS0 address as a forwarder with `secret` writes it.
std::string srs0(std::string_view secret, const std::string &stamp, const std::string &domain,
                 const std::string &local, std::size_t hash_chars = 6, char separator = '=') {
    const std::string hash = oracle::hash_text(secret, oracle::lower(stamp + domain + local));
    std::string out = std::string("SRS0") + separator + hash.substr(0, hash_chars) + "=";
    if (!stamp.empty()) out += stamp + "=";
    return out + domain + "=" + local + "@fwd.example";
}

std::string forward(srs_handle *h, const std::string &address, const char *alias = "fwd.example") {
    std::array<char, 512> out;
    const int rc = srs_forward(h, address.c_str(), alias, out.data(), out.size());
    EXPECT_EQ(rc, SRS_OK) << address;
    return rc == SRS_OK ? std::string(out.data()) : std::string();
}

TEST(ReverseRoundTrip, SendersComeBackCaseAndAll) {
    const std::vector<std::string> senders = {
        "a@b",
        "Jane.Doe@Example.ORG",
        "user+tag=x=y@example.com", // '=' in the local part
        "\"quoted local\"@example.com",
        "o'brien!#$%&*/?^`{|}~@sub.example",
        "bs\\x@example.com",              // an escaped character before the '@'
        "\xC3\xA9l\xC3\xA8ve@exemple.fr", // bytes above 0x7F
        // The longest sender whose SRS0 address still has its '@' within the
        // 256 characters that are read: local part 5 + 7 + 3 + 4 + 235 = 254.
        std::string(235, 'L') + "@d.e",
    };
    for (const char separator : {'=', '+', '-'}) {
        for (const bool stamped : {true, false}) {
            for (const bool hashed : {true, false}) {
                Handle h = oracle::open("secret");
                srs_set_separator(h.get(), separator);
                srs_set_option(h.get(), SRS_OPT_TIMESTAMP, stamped);
                srs_set_option(h.get(), SRS_OPT_HASH, hashed);
                for (const std::string &sender : senders) {
                    SCOPED_TRACE(testing::Message()
                                 << separator << stamped << hashed << " " << sender);
                    const Result r = reverse(h.get(), forward(h.get(), sender).c_str());
                    EXPECT_EQ(r.rc, SRS_OK);
                    EXPECT_EQ(r.text, sender);
                }
            }
        }
    }
}

TEST(ReverseRoundTrip, EveryHashLength) {
    for (uint32_t length = 1; length <= 27; ++length) {
        SCOPED_TRACE(length);
        Handle h = oracle::open("secret", 0, length, 1);
        const std::string sender = "user@example.com";
        EXPECT_EQ(reverse(h.get(), forward(h.get(), sender).c_str()).text, sender);
    }
}

TEST(ReverseRoundTrip, FurtherSecretsAndRotation) {
    Handle old_key = oracle::open("old-secret");
    const std::string rewritten = forward(old_key.get(), "user@example.com");

    Handle rotated = oracle::open("new-secret");
    EXPECT_EQ(reverse(rotated.get(), rewritten.c_str()).rc, SRS_HASH_FORGED);
    ASSERT_EQ(srs_add_secret(rotated.get(), "other", 5), SRS_OK);
    ASSERT_EQ(srs_add_secret(rotated.get(), "old-secret", 10), SRS_OK);
    const Result r = reverse(rotated.get(), rewritten.c_str());
    EXPECT_EQ(r.rc, SRS_OK);
    EXPECT_EQ(r.text, "user@example.com");
}

TEST(ReverseSrs1, GivesTheFirstForwardersAddress) {
    Handle h = oracle::open("secret");
    const std::string srs0_address = "SRS0+HHHHHH=TT=example.com=user@hop1.example";
    const std::string srs1 = forward(h.get(), srs0_address, "hop2.example");
    const Result r = reverse(h.get(), srs1.c_str());
    EXPECT_EQ(r.rc, SRS_OK);
    EXPECT_EQ(r.text, srs0_address);

    // SRS1 ignores the SRS0 options: no stamp of its own, and a hash always.
    srs_set_option(h.get(), SRS_OPT_HASH, 0);
    srs_set_option(h.get(), SRS_OPT_TIMESTAMP, 0);
    EXPECT_EQ(reverse(h.get(), srs1.c_str()).text, srs0_address);

    // Built by hand: an empty host and an empty remainder are read as such.
    const std::string bare = "SRS1=" + oracle::hash_text("secret", "").substr(0, 6) + "==@x";
    EXPECT_EQ(reverse(h.get(), bare.c_str()).text, "SRS0@");
}

TEST(ReverseCase, FoldedAddressesGiveCaseBroken) {
    Handle h = oracle::open("secret");
    const std::string srs0_address = forward(h.get(), "User@Example.COM");
    // With timestamps on: the lower-cased stamp is read like its capitals.
    Result r = reverse(h.get(), oracle::lower(srs0_address).c_str());
    EXPECT_EQ(r.rc, SRS_CASE_BROKEN);
    EXPECT_EQ(r.text, "user@example.com");

    const std::string srs1 = forward(h.get(), "SRS0=AbCdEf=TT=Dom=Loc@Hop1", "Hop2");
    r = reverse(h.get(), oracle::lower(srs1).c_str());
    EXPECT_EQ(r.rc, SRS_CASE_BROKEN);
    EXPECT_EQ(r.text, "SRS0=abcdef=tt=dom=loc@hop1");

    // The tag's case is not covered by the hash.
    std::string tag_changed = srs0_address;
    tag_changed[0] = 's';
    EXPECT_EQ(reverse(h.get(), tag_changed.c_str()).rc, SRS_OK);
}

TEST(ReverseErrors, ChecksInOrder) {
    Handle h = oracle::open("secret");
    const std::string today = oracle::stamp_days_ago(0);
    const std::string expired = oracle::stamp_days_ago(32);
    const std::string good = srs0("secret", today, "example.com", "user");
    std::string forged = good;
    forged[5] = forged[5] == 'A' ? 'B' : 'A';
    struct Case {
        std::string address;
        int rc;
    };
    const std::vector<Case> cases = {
        // Unusable addresses.
        {"", SRS_BAD_PARAMETER},
        {"SRS0=x=y=z=w", SRS_BAD_PARAMETER},
        {"@SRS0=x", SRS_BAD_PARAMETER},
        {"SRS0=h=TT=d=l@", SRS_BAD_PARAMETER},
        {"SRS0\\@x=y@z", SRS_BAD_PARAMETER},
        // Not an SRS address.
        {"user@example.com", SRS_NOT_SRS},
        {"SRS2=h=TT=d=l@x", SRS_NOT_SRS},
        {"SRS0x=h=TT=d=l@x", SRS_NOT_SRS},
        {"SRS0@x", SRS_NOT_SRS},
        {"SRS@=x", SRS_NOT_SRS},
        // Fields without their closing '=' inside the local part.
        {"SRS0=hash@=x", SRS_BAD_SYNTAX},
        {"SRS1=hash=host@x", SRS_BAD_SYNTAX},
        {"SRS1=hash@x", SRS_BAD_SYNTAX},
        {"SRS0=h=" + today + "x@y", SRS_BAD_SYNTAX},
        {"SRS0=h=" + today + "@y", SRS_BAD_SYNTAX},
        {"SRS0=h=" + today + "=nodomain@y", SRS_BAD_SYNTAX},
        // Stamps: bad characters, then the window, before the hash.
        {"SRS0=h=1A=d=l@x", SRS_TIMESTAMP_BAD_CHARS},
        {"SRS0=h=A9=d=l@x", SRS_TIMESTAMP_BAD_CHARS},
        {"SRS0=h=\xC1"
         "A=d=l@x",
         SRS_TIMESTAMP_BAD_CHARS},
        {"SRS0=h=@x", SRS_TIMESTAMP_BAD_CHARS},
        {srs0("secret", expired, "example.com", "user"), SRS_TIMESTAMP_EXPIRED},
        {srs0("secret", oracle::stamp_days_ago(-1), "example.com", "user"), SRS_TIMESTAMP_EXPIRED},
        {srs0("wrong", expired, "example.com", "user"), SRS_TIMESTAMP_EXPIRED},
        // Hashes: forged, made with another secret, too short.
        {forged, SRS_HASH_FORGED},
        {srs0("wrong", today, "example.com", "user"), SRS_HASH_FORGED},
        {srs0("secret", today, "example.com", "user", 5), SRS_HASH_FORGED},
        {"SRS1=" + oracle::hash_text("wrong", "hop1=x").substr(0, 6) + "=hop1==x@y",
         SRS_HASH_FORGED},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.address);
        const Result r = reverse(h.get(), c.address.c_str());
        EXPECT_EQ(r.rc, c.rc);
        EXPECT_TRUE(r.untouched); // nothing unverified is handed out
    }
    EXPECT_EQ(reverse(h.get(), nullptr).rc, SRS_BAD_PARAMETER);
    EXPECT_EQ(reverse(nullptr, good.c_str()).rc, SRS_BAD_HANDLE);
    EXPECT_EQ(reverse(h.get(), good.c_str()).rc, SRS_OK);
}

TEST(ReverseErrors, OptionsMustMatchTheWriter) {
    Handle h = oracle::open("secret");
    const std::string stamped = forward(h.get(), "user@example.com");
    srs_set_option(h.get(), SRS_OPT_TIMESTAMP, 0);
    // The stamp is read as the sender domain: the hash no longer matches.
    EXPECT_EQ(reverse(h.get(), stamped.c_str()).rc, SRS_HASH_FORGED);
    // An address with no '=' after the tag needs its hash field.
    srs_set_option(h.get(), SRS_OPT_TIMESTAMP, 1);
    EXPECT_EQ(reverse(h.get(), "SRS0=abcdef@=x").rc, SRS_BAD_SYNTAX);
    // With hashes off, no hash field is read at all.
    srs_set_option(h.get(), SRS_OPT_HASH, 0);
    const std::string unhashed = "SRS0=" + oracle::stamp_days_ago(3) + "=Dom=Loc@anything";
    EXPECT_EQ(reverse(h.get(), unhashed.c_str()).text, "Loc@Dom");
}

TEST(ReverseEdges, FieldsAndDomains) {
    Handle h = oracle::open("secret");
    const std::string today = oracle::stamp_days_ago(0);
    struct Case {
        std::string address;
        std::string expected;
    };
    const std::vector<Case> cases = {
        // Only the first '=' after the stamp ends the sender domain.
        {srs0("secret", today, "d.org", "a=b=c"), "a=b=c@d.org"},
        // Empty sender domain or local part are passed through.
        {srs0("secret", today, "", "user"), "user@"},
        {srs0("secret", today, "d.org", ""), "@d.org"},
        // Any separator, in lower case too, whatever the handle's.
        {"srs0+" + srs0("secret", today, "d", "l").substr(5), "l@d"},
        {"SRS0-" + srs0("secret", today, "d", "l").substr(5), "l@d"},
        // A stamp from the edge of the window.
        {srs0("secret", oracle::stamp_days_ago(31), "d", "l"), "l@d"},
        // The whole 27-character hash text is accepted.
        {srs0("secret", today, "d", "l", 27), "l@d"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.address);
        const Result r = reverse(h.get(), c.address.c_str());
        EXPECT_EQ(r.rc, SRS_OK);
        EXPECT_EQ(r.text, c.expected);
    }
    // The domain after the '@' never enters the result or the hash.
    std::string other_domain = srs0("secret", today, "d", "l");
    other_domain = other_domain.substr(0, other_domain.find('@')) + "@=anything@else";
    EXPECT_EQ(reverse(h.get(), other_domain.c_str()).text, "l@d");
}

TEST(ReverseEdges, HashLengthsAroundTheLimits) {
    const std::string today = oracle::stamp_days_ago(0);
    const std::string five = srs0("secret", today, "d", "l", 5);
    Handle min5 = oracle::open("secret", 0, 6, 5);
    EXPECT_EQ(reverse(min5.get(), five.c_str()).rc, SRS_OK);
    Handle min6 = oracle::open("secret", 0, 6, 6);
    EXPECT_EQ(reverse(min6.get(), five.c_str()).rc, SRS_HASH_FORGED);
    Handle min28 = oracle::open("secret", 0, 6, 28);
    EXPECT_EQ(reverse(min28.get(), srs0("secret", today, "d", "l", 27).c_str()).rc,
              SRS_HASH_FORGED);

    // A hash written whole (28 characters, ending in '=') cannot be read back:
    // the fields shift by one.
    Handle h28 = oracle::open("secret", 0, 28, 6);
    const std::string whole = forward(h28.get(), "l@d");
    EXPECT_EQ(reverse(h28.get(), whole.c_str()).rc, SRS_TIMESTAMP_BAD_CHARS);
    srs_set_option(h28.get(), SRS_OPT_TIMESTAMP, 0);
    EXPECT_EQ(reverse(h28.get(), forward(h28.get(), "l@d").c_str()).rc, SRS_HASH_FORGED);
}

TEST(ReverseEdges, LongestLocalPart) {
    Handle h = oracle::open("secret");
    srs_set_option(h.get(), SRS_OPT_HASH, 0);
    srs_set_option(h.get(), SRS_OPT_TIMESTAMP, 0);
    // The '@' at position 254, one domain character after it: 256 in all.
    const std::string longest = "SRS0=d=" + std::string(247, 'l') + "@x";
    EXPECT_EQ(reverse(h.get(), longest.c_str()).text, std::string(247, 'l') + "@d");
    const std::string too_long = "SRS0=d=" + std::string(248, 'l') + "@x";
    EXPECT_EQ(reverse(h.get(), too_long.c_str()).rc, SRS_BAD_PARAMETER);
}

TEST(ReverseErrors, BufferMustHoldTheResult) {
    Handle h = oracle::open("secret");
    for (const std::string &address :
         {forward(h.get(), "user@example.com"), forward(h.get(), "SRS0=h=TT=d=l@hop1")}) {
        SCOPED_TRACE(address);
        const Result full = reverse(h.get(), address.c_str());
        ASSERT_EQ(full.rc, SRS_OK);
        const auto need = static_cast<uint32_t>(full.text.size() + 1);
        EXPECT_EQ(reverse(h.get(), address.c_str(), need).text, full.text);
        const Result small = reverse(h.get(), address.c_str(), need - 1);
        EXPECT_EQ(small.rc, SRS_BUFFER_TOO_SMALL);
        EXPECT_TRUE(small.untouched);
        EXPECT_EQ(srs_reverse(h.get(), address.c_str(), nullptr, 0), SRS_BUFFER_TOO_SMALL);
    }
}

} // namespace
