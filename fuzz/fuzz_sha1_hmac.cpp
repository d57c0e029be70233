// SHA-1 and HMAC-SHA1 against OpenSSL, the data fed in random pieces,
// through both compression paths.
#include "fuzz_input.h"
#include "librewrite.h"
#include "sha1.h"

#include <openssl/evp.h>
#include <openssl/hmac.h>
#include <openssl/sha.h>

#include <cstdlib>
#include <cstring>
#include <vector>

namespace {

void check(bool ok) {
    if (!ok) std::abort();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, std::size_t size) {
    fuzz::Input in(data, size);
    const bool portable = in.flag();
    const std::size_t key_len = in.below(140);
    std::vector<unsigned char> key(key_len);
    for (auto &b : key)
        b = in.byte();
    // Piece lengths come from the input too, before the message.
    std::vector<std::size_t> pieces(in.below(8));
    for (auto &p : pieces)
        p = in.below(150);
    const std::string_view msg = in.rest();

    if (portable)
        rewrite::sha1::force_compress(rewrite::sha1::compress_portable);
    else
        rewrite::sha1::force_compress(nullptr);

    auto feed = [&](auto process) {
        std::size_t at = 0;
        for (const std::size_t p : pieces) {
            const std::size_t k = std::min(p, msg.size() - at);
            process(msg.data() + at, static_cast<int32_t>(k));
            at += k;
        }
        process(msg.data() + at, static_cast<int32_t>(msg.size() - at));
    };

    mSHA1_ctx sha;
    mSHA1_start(&sha);
    feed([&](const char *p, int32_t n) { mSHA1_process(&sha, p, n); });
    unsigned char ours[20], theirs[EVP_MAX_MD_SIZE];
    mSHA1_end(&sha, ours);
    SHA1(reinterpret_cast<const unsigned char *>(msg.data()), msg.size(), theirs);
    check(std::memcmp(ours, theirs, 20) == 0);

    mHMAC_ctx mac;
    check(mHMAC_start(&mac, &mHMACD_SHA1, key.data(), static_cast<int32_t>(key.size())) == 0);
    feed([&](const char *p, int32_t n) { mHMAC_process(&mac, p, n); });
    mHMAC_end(&mac, ours);
    unsigned int len = 0;
    HMAC(EVP_sha1(), key.data(), static_cast<int>(key.size()),
         reinterpret_cast<const unsigned char *>(msg.data()), msg.size(), theirs, &len);
    check(len == 20 && std::memcmp(ours, theirs, 20) == 0);
    return 0;
}
