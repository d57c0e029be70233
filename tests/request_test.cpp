// The daemon's request parser, called directly on the bytes a connection
// delivered: command word, address/alias split, the 1023-character limit,
// and a text that ends at its first NUL byte.
#include "request.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using srs_tool::parse_request;
using srs_tool::Request;
using Kind = Request::Kind;

std::string kind_name(Kind k) {
    switch (k) {
    case Kind::forward:
        return "forward";
    case Kind::reverse:
        return "reverse";
    case Kind::malformed:
        return "malformed";
    }
    return "?";
}

struct Case {
    std::string received;
    Kind kind;
    std::string address;
    std::string alias;
};

std::string printable(const std::string &s) {
    std::string out;
    for (const char c : s) {
        if (c == '\n')
            out += "\\n";
        else if (c == '\r')
            out += "\\r";
        else if (c == '\0')
            out += "\\0";
        else
            out += c;
    }
    return out.size() > 60 ? out.substr(0, 60) + "...(" + std::to_string(s.size()) + ")" : out;
}

TEST(RequestParse, Table) {
    using namespace std::string_literals;
    const std::string x1100(1100, 'x');
    const std::vector<Case> cases = {
        // Command word in any case.
        {"forward a@b c\n", Kind::forward, "a@b", "c"},
        {"FORWARD a@b c\n", Kind::forward, "a@b", "c"},
        {"FoRwArD a@b c\n", Kind::forward, "a@b", "c"},
        {"reverse SRS0=h=TT=d=u@fwd\n", Kind::reverse, "SRS0=h=TT=d=u@fwd", ""},
        {"REVERSE x@y\n", Kind::reverse, "x@y", ""},
        {"rEvErSe x@y\n", Kind::reverse, "x@y", ""},
        // Forward needs an address, a blank and an alias field.
        {"forward a@b\n", Kind::malformed, "", ""},
        {"forward\n", Kind::malformed, "", ""},
        {"forward \n", Kind::malformed, "", ""},
        {"forward  c\n", Kind::forward, "", "c"},
        {"forward a@b \n", Kind::forward, "a@b", ""},
        {"forward a@b c d\n", Kind::forward, "a@b", "c d"},
        {"forward a@b  c\n", Kind::forward, "a@b", " c"},
        {"forward a@b c\r\n", Kind::forward, "a@b", "c\r"},
        {"forward a@b\tc\n", Kind::malformed, "", ""},
        // Without a newline the last character is not searched for the blank.
        {"forward a@b c", Kind::forward, "a@b", "c"},
        {"forward a@b ", Kind::malformed, "", ""},
        {"forward ab", Kind::malformed, "", ""},
        {"forward  c", Kind::forward, "", "c"},
        {"forward x", Kind::malformed, "", ""},
        {"forward ", Kind::malformed, "", ""},
        // Reverse takes everything after its blank.
        {"reverse \n", Kind::reverse, "", ""},
        {"reverse ", Kind::reverse, "", ""},
        {"reverse SRS0=h=TT=d=u@fwd\r\n", Kind::reverse, "SRS0=h=TT=d=u@fwd\r", ""},
        {"reverse  a b \n", Kind::reverse, " a b ", ""},
        {"reverse\n", Kind::malformed, "", ""},
        {"reverseX a@b\n", Kind::malformed, "", ""},
        {"forwardX a@b c\n", Kind::malformed, "", ""},
        {" forward a@b c\n", Kind::malformed, "", ""},
        // Anything else.
        {"hello\n", Kind::malformed, "", ""},
        {"\n", Kind::malformed, "", ""},
        {"", Kind::malformed, "", ""},
        {"forwar\n", Kind::malformed, "", ""},
        // At most 1023 characters count.
        {"forward a@b " + x1100 + "\n", Kind::forward, "a@b", std::string(1011, 'x')},
        {"reverse " + x1100 + "\n", Kind::reverse, std::string(1015, 'x'), ""},
        {"reverse " + std::string(1014, 'x') + "\n", Kind::reverse, std::string(1014, 'x'), ""},
        {"reverse " + std::string(1015, 'x') + "\n", Kind::reverse, std::string(1015, 'x'), ""},
        {"forward " + std::string(1013, 'x') + " c", Kind::forward, std::string(1013, 'x'), "c"},
        // The blank at position 1022 is the last character kept: not searched.
        {"forward " + std::string(1014, 'x') + " c\n", Kind::malformed, "", ""},
        // The text ends at its first NUL byte.
        {"forward a@b\0 c\n"s, Kind::malformed, "", ""},
        {"forward a@b c\0d\n"s, Kind::forward, "a@b", "c"},
        {"reverse a@b\0xyz\n"s, Kind::reverse, "a@b", ""},
        {"\0forward a@b c\n"s, Kind::malformed, "", ""},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(printable(c.received));
        const Request r = parse_request(c.received);
        EXPECT_EQ(kind_name(r.kind), kind_name(c.kind));
        if (c.kind == Kind::malformed) continue;
        EXPECT_EQ(r.address, c.address);
        EXPECT_EQ(r.alias, c.alias);
    }
}

} // namespace
