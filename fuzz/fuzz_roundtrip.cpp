// Forward then reverse on arbitrary senders, aliases and options: never a
// crash, never a write outside the caller's buffer (whatever its size), the
// buffer untouched after an error, and whenever forward succeeds on an
// address that reverse can read back, reverse gives it back.
#include "fuzz_input.h"
#include "librewrite.h"

#include <cstdlib>
#include <cstring>
#include <memory>
#include <strings.h>

namespace {

struct HandleCloser {
    void operator()(srs_handle *h) const { srs_close(h); }
};

void check(bool ok) {
    if (!ok) std::abort();
}

bool is_separator(char c) {
    return c == '+' || c == '-' || c == '=';
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, std::size_t size) {
    fuzz::Input in(data, size);
    const uint32_t hash_length = 1 + static_cast<uint32_t>(in.below(30));
    const uint32_t hash_min = 1 + static_cast<uint32_t>(in.below(hash_length));
    const bool stamped = in.flag(), hashed = in.flag();
    const char separators[] = {'=', '+', '-'};
    const char separator = separators[in.below(3)];
    const auto buffer_len = static_cast<uint32_t>(in.below(301));
    const std::string secret = "secret" + std::to_string(in.below(4));
    const std::string sender = in.text();
    const std::string alias = in.text();

    std::unique_ptr<srs_handle, HandleCloser> h(
        srs_open(secret.c_str(), static_cast<uint32_t>(secret.size()), 0, hash_length, hash_min));
    check(h != nullptr);
    srs_set_option(h.get(), SRS_OPT_TIMESTAMP, stamped);
    srs_set_option(h.get(), SRS_OPT_HASH, hashed);
    srs_set_separator(h.get(), separator);

    // A buffer of exactly buffer_len bytes: the sanitizer sees any write past it.
    auto out = std::make_unique<char[]>(buffer_len);
    std::memset(out.get(), '#', buffer_len);
    const int rc = srs_forward(h.get(), sender.c_str(), alias.c_str(), out.get(), buffer_len);
    if (SRS_IS_ERROR(rc)) {
        for (uint32_t i = 0; i < buffer_len; ++i)
            check(out[i] == '#');
        return 0;
    }
    check(rc == SRS_OK);
    check(std::memchr(out.get(), '\0', buffer_len) != nullptr);
    const std::string rewritten(out.get());

    // When reverse can read the address back, it must give the sender back:
    // a plain sender whose domain holds no '@' and no '=' (the first '='
    // after the stamp ends the domain), written with a hash it can read (not
    // the whole 28 characters) and a local part within the 254 characters
    // that reverse reads.
    const char *s = sender.c_str();
    const std::size_t sender_len = std::strlen(s);
    const char *at = std::strchr(s, '@');
    const bool plain = !(sender_len >= 5 && is_separator(s[4]) &&
                         (strncasecmp(s, "SRS0", 4) == 0 || strncasecmp(s, "SRS1", 4) == 0));
    const std::size_t local_len = rewritten.find('@');
    const bool readable = plain && at != nullptr && std::strchr(at + 1, '@') == nullptr &&
                          std::strchr(at + 1, '=') == nullptr && hash_length <= 27 &&
                          local_len != std::string::npos && local_len <= 254;
    if (!readable) return 0;
    char back[512];
    std::memset(back, '#', sizeof back);
    const int rrc = srs_reverse(h.get(), rewritten.c_str(), back, sizeof back);
    check(rrc == SRS_OK);
    check(std::strcmp(back, s) == 0);
    return 0;
}
