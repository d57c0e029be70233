// The socketmap front end's pieces, called directly: the netstring parser
// (complete, incomplete, malformed and over-long requests, never a look
// past the limit), the split of an address as Postfix writes it, the
// quoting of an SRS local part, and the excluded domains.
#include "socketmap.h"

#include <gtest/gtest.h>

#include <string>

namespace {

using srs_tool::Netstring;
using Status = Netstring::Status;
using namespace std::string_literals;

TEST(SocketmapNetstring, ParsesWhatPostfixSends) {
    struct Case {
        std::string received;
        Status status;
        std::string payload;
        std::size_t size;
    };
    const std::string big(10000, 'x');
    const Case cases[] = {
        {"26:forward alice@orig.example,", Status::complete, "forward alice@orig.example", 30},
        // Two requests in one read: the first only.
        {"3:abc,3:def,", Status::complete, "abc", 6},
        {"0:,", Status::complete, "", 3},
        {"05:hello,", Status::complete, "hello", 9}, // leading zeros are digits too
        {"5:a\0b\nc,"s, Status::complete, "a\0b\nc"s, 8},
        {"10000:" + big + ",", Status::complete, big, 10007},
        // Not yet all there.
        {"", Status::incomplete, "", 0},
        {"2", Status::incomplete, "", 0},
        {"24:forward", Status::incomplete, "", 0},
        {"3:abc", Status::incomplete, "", 0},
        // Not a netstring.
        {":abc,", Status::malformed, "", 0},
        {"x3:abc,", Status::malformed, "", 0},
        {"-1:,", Status::malformed, "", 0},
        {"3;abc,", Status::malformed, "", 0},
        {"3:abcd,", Status::malformed, "", 0},
        {"3:ab,", Status::incomplete, "", 0}, // the ',' is a payload byte
        {"3:abc;", Status::malformed, "", 0},
        {"forward a@b\n", Status::malformed, "", 0},
        // Longer than allowed: refused before the payload is waited for.
        {"10001:", Status::too_long, "", 0},
        {"100000", Status::too_long, "", 0},
        {"99999999999999999999:", Status::too_long, "", 0},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.received.substr(0, 40));
        const Netstring n = srs_tool::parse_netstring(c.received);
        EXPECT_EQ(n.status, c.status);
        if (c.status != Status::complete) continue;
        EXPECT_EQ(std::string(n.payload), c.payload);
        EXPECT_EQ(n.size, c.size);
    }
    EXPECT_EQ(srs_tool::netstring("OK a@b"), "6:OK a@b,");
    EXPECT_EQ(srs_tool::netstring("NOTFOUND "), "9:NOTFOUND ,");
}

TEST(SocketmapAddress, SplitsAndQuotesLocalParts) {
    struct Split {
        std::string address;
        bool ok;
        std::string local, domain;
    };
    const Split splits[] = {
        {"alice@orig.example", true, "alice", "orig.example"},
        {"\"john doe\"@orig.example", true, "john doe", "orig.example"},
        {"\"a\\\"b\\\\c\"@x", true, "a\"b\\c", "x"},
        {"\"a@b\"@x", true, "a@b", "x"},
        {"a@b@c", true, "a@b", "c"}, // unquoted: the last '@'
        {"SRS0=h=TT=d=l@srs.example", true, "SRS0=h=TT=d=l", "srs.example"},
        {"nobody", false, "", ""},
        {"@x", false, "", ""},
        {"a@", false, "", ""},
        {"\"open@x", false, "", ""},
        {"\"a\"x@y", false, "", ""},
        {"\"\"@x", false, "", ""},
    };
    for (const Split &c : splits) {
        SCOPED_TRACE(c.address);
        const auto a = srs_tool::split_address(c.address);
        ASSERT_EQ(a.has_value(), c.ok);
        if (!a) continue;
        EXPECT_EQ(a->local, c.local);
        EXPECT_EQ(a->domain, c.domain);
    }
    const std::pair<std::string, std::string> quoting[] = {
        {"alice", "alice"},
        {"SRS0=Ab+/9z=J5=orig.example=first.last", "SRS0=Ab+/9z=J5=orig.example=first.last"},
        {"SRS0=h=J5=orig.example=john doe", "\"SRS0=h=J5=orig.example=john doe\""},
        {"a\"b\\c", "\"a\\\"b\\\\c\""},
        {"a..b", "\"a..b\""},
        {".a", "\".a\""},
        {"a.", "\"a.\""},
        {"a(b)", "\"a(b)\""},
        {"j\xc3\xb6rg", "j\xc3\xb6rg"}, // UTF-8 is no reason to quote
    };
    for (const auto &[local, written] : quoting)
        EXPECT_EQ(srs_tool::quote_local_part(local), written) << local;
}

TEST(SocketmapAddress, ExcludedDomains) {
    srs_tool::Settings settings;
    settings.alias = "srs.example";
    settings.excludes = {"local.example", ".corp.example"};
    const std::pair<const char *, bool> cases[] = {
        {"srs.example", true},     {"SRS.Example", true},      {"local.example", true},
        {"LOCAL.example", true},   {"sub.local.example", false}, // no leading dot: itself only
        {"corp.example", true},    {"a.corp.example", true},   {"a.b.Corp.Example", true},
        {"xcorp.example", false},  {"orig.example", false},    {"srs.example.org", false},
    };
    for (const auto &[domain, excluded] : cases)
        EXPECT_EQ(srs_tool::excluded_domain(settings, domain), excluded) << domain;
}

} // namespace
