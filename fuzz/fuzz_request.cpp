// The daemon's request parser and the secrets-file reader on arbitrary
// bytes: never a crash, fields always inside what was received, and each
// secret a non-empty line piece without its newline.
#include "fuzz_input.h"
#include "options.h"
#include "request.h"

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

    std::FILE *file = fmemopen(const_cast<char *>(bytes.data()), bytes.size(), "r");
    if (file == nullptr) return 0; // an empty buffer cannot be opened
    srs_tool::Settings settings;
    check(srs_tool::read_secrets_file(file, settings));
    std::fclose(file);
    for (const char *secret : settings.secret_list) {
        const std::size_t n = std::strlen(secret);
        check(n >= 1 && n <= 1023);
        check(std::strchr(secret, '\n') == nullptr);
    }
    return 0;
}
