// srs_reverse on arbitrary bytes with every option, database mode and
// buffer size: never a crash or a write outside the buffer, the buffer
// untouched after an error, a terminated result within it on success.
#include "fuzz_input.h"
#include "librewrite.h"

#include <cstdlib>
#include <cstring>
#include <memory>

namespace {

struct HandleCloser {
    void operator()(srs_handle *h) const { srs_close(h); }
};

void check(bool ok) {
    if (!ok) std::abort();
}

// A store that knows every identifier: it writes a fixed address when it
// fits, as a real store would.
int lookup(srs_handle *, const char *id, int id_len, char *buf, uint32_t len) {
    check(id_len >= 0);
    for (int i = 0; i < id_len; ++i)
        check(id[i] != '\0');
    static const char address[] = "sender@example.org";
    if (len < sizeof address) return SRS_BUFFER_TOO_SMALL;
    std::memcpy(buf, address, sizeof address);
    return SRS_OK;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, std::size_t size) {
    fuzz::Input in(data, size);
    const uint32_t hash_min = static_cast<uint32_t>(in.below(30));
    const uint32_t max_age = static_cast<uint32_t>(in.below(2100));
    const bool stamped = in.flag(), hashed = in.flag(), database = in.flag();
    const auto buffer_len = static_cast<uint32_t>(in.below(301));
    const std::string address = in.text();

    std::unique_ptr<srs_handle, HandleCloser> h(srs_open("secret", 6, max_age, 6, 1));
    check(h != nullptr);
    h->hash_min = hash_min; // 0 included
    srs_set_option(h.get(), SRS_OPT_TIMESTAMP, stamped);
    srs_set_option(h.get(), SRS_OPT_HASH, hashed);
    if (database) srs_set_db_functions(h.get(), nullptr, lookup);
    srs_add_secret(h.get(), "older", 5);

    auto out = std::make_unique<char[]>(buffer_len);
    std::memset(out.get(), '#', buffer_len);
    const int rc = srs_reverse(h.get(), address.c_str(), out.get(), buffer_len);
    if (SRS_IS_ERROR(rc)) {
        for (uint32_t i = 0; i < buffer_len; ++i)
            check(out[i] == '#');
    } else {
        check(rc == SRS_OK || rc == SRS_CASE_BROKEN);
        check(std::memchr(out.get(), '\0', buffer_len) != nullptr);
    }
    return 0;
}
