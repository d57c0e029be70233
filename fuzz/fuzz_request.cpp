// The daemon's request parser and the secrets-file reader on arbitrary
// bytes: never a crash, fields always inside what was received, and each
// secret a non-empty line piece without its newline.
#include "fuzz_input.h"
#include "request.h"
#include "secrets.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <strings.h>

namespace {

void check(bool ok) {
    if (!ok) std::abort();
}

bool inside(std::string_view field, std::string_view whole) {
    return field.empty() || (field.data() >= whole.data() &&
                             field.data() + field.size() <= whole.data() + whole.size());
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, std::size_t size) {
    fuzz::Input in(data, size);
    const bool as_file = in.flag();
    std::string_view bytes = in.rest();

    if (!as_file) {
        // What the daemon hands over: at most 1023 bytes, up to and including
        // the first newline.
        bytes = bytes.substr(0, std::min(bytes.find('\n'), std::size_t{1022}) + 1);
        const auto r = srs_tool::parse_request(bytes);
        check(inside(r.address, bytes) && inside(r.alias, bytes));
        check(r.address.find('\0') == std::string_view::npos);
        check(r.alias.find('\0') == std::string_view::npos);
        using Kind = srs_tool::Request::Kind;
        if (r.kind == Kind::forward) {
            check(strncasecmp(bytes.data(), "forward ", 8) == 0);
            check(r.address.find(' ') == std::string_view::npos);
            check(r.alias.find('\n') == std::string_view::npos);
        } else if (r.kind == Kind::reverse) {
            check(strncasecmp(bytes.data(), "reverse ", 8) == 0);
            check(r.address.find('\n') == std::string_view::npos);
        } else {
            check(r.address.empty() && r.alias.empty());
        }
        return 0;
    }

    // The secrets of a file's content: each one a line piece of 1 to 1023
    // characters without its newline, and together, with the newlines, the
    // content without its empty lines.
    std::size_t total = 0;
    srs_tool::split_secrets(bytes, [&](std::string_view secret) {
        check(secret.size() >= 1 && secret.size() <= 1023);
        check(secret.find('\n') == std::string_view::npos);
        check(inside(secret, bytes));
        total += secret.size();
    });
    check(total <= bytes.size());
    check(total + static_cast<std::size_t>(std::count(bytes.begin(), bytes.end(), '\n')) ==
          bytes.size()); // nothing but the newlines is dropped
    return 0;
}
