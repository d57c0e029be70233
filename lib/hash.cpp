// The hash token: computing the digest with one secret, verifying a hash
// text found in an address against every secret of the handle.
#include "hash.h"

#include "hmac.h"

#include <algorithm>
#include <array>
#include <cstdint>

namespace rewrite::hash {
namespace {

struct Key {
    const char *bytes;
    std::uint32_t len;
};

// Any negative index, or one past the further secrets, names the primary.
Key key_for(const srs_handle &h, int index) {
    if (index >= 0 && index < h.secret_count)
        return {h.secrets[index].secret, h.secrets[index].secret_len};
    return {h.secret, h.secret_len};
}

// HMAC-SHA1 of data under key; false when no hash context could be had.
bool digest_with(Key key, const char *data, int len, unsigned char *digest) {
    mHMAC_ctx ctx;
    if (mHMAC_start(&ctx, &mHMACD_SHA1, key.bytes, static_cast<int32_t>(key.len)) != 0)
        return false;
    mHMAC_process(&ctx, data, len);
    mHMAC_end(&ctx, digest);
    hmac::secure_zero(&ctx, sizeof ctx); // K0 is the secret itself
    return true;
}

constexpr unsigned char fold(unsigned char c) {
    return (c >= 'A' && c <= 'Z') ? static_cast<unsigned char>(c + ('a' - 'A')) : c;
}

enum class Match { none, exact, folded };

// Compares the hash text with the leading characters of the computed text
// the way strncmp/strncasecmp would (the computed text ends with its
// terminator at position 28), but reads every position up to that point so
// the time taken does not tell where the texts first differ.
Match compare(const std::array<char, text_size + 1> &computed, const char *hash,
              std::size_t hash_len) {
    const std::size_t n = std::min(hash_len, computed.size());
    unsigned exact = 0;
    unsigned folded = 0;
    for (std::size_t i = 0; i < n; ++i) {
        const auto a = static_cast<unsigned char>(computed[i]);
        const auto b = static_cast<unsigned char>(hash[i]);
        exact |= static_cast<unsigned>(a ^ b);
        folded |= static_cast<unsigned>(fold(a) ^ fold(b));
    }
    if (exact == 0) return Match::exact;
    return folded == 0 ? Match::folded : Match::none;
}

} // namespace
} // namespace rewrite::hash

using namespace rewrite::hash;

extern "C" {

int srs__hash(const srs_handle *handle, int secret_index, const char *data, int len,
              unsigned char *digest, int *digest_len) {
    if (!digest_with(key_for(*handle, secret_index), data, len, digest)) return SRS_INTERNAL_ERROR;
    *digest_len = static_cast<int>(digest_size);
    return SRS_OK;
}

int srs__hash_verify(const srs_handle *handle, const char *data, int len, const char *hash,
                     int hash_len) {
    if (handle->hash_min > static_cast<uint32_t>(hash_len)) return SRS_HASH_TOO_SHORT;
    if (hash_len < 0) return SRS_CHECK_FAILED; // no text has a negative length
    const auto hash_chars = static_cast<std::size_t>(hash_len);
    for (int index = -1; index < handle->secret_count; ++index) {
        std::array<unsigned char, digest_size> digest;
        std::array<char, text_size + 1> text;
        if (!digest_with(key_for(*handle, index), data, len, digest.data())) continue;
        srs__base64enc(digest.data(), digest_size, text.data(), text.size());
        switch (compare(text, hash, hash_chars)) {
        case Match::exact:
            return SRS_OK;
        case Match::folded:
            return SRS_CASE_BROKEN;
        case Match::none:
            break;
        }
    }
    return SRS_CHECK_FAILED;
}

} // extern "C"
