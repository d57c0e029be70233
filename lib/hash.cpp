// The hash token: computing the digest with one secret, verifying a hash
// text found in an address against every secret of the handle. Both start
// from the key states the handle keeps for its secrets, so neither
// compresses a key block nor allocates.
#include "hash.h"

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstring>

namespace rewrite::hash {
namespace {

// The bytes of a secret that count.
std::size_t used_length(std::uint32_t len) {
    return std::min<std::size_t>(len, SRS_MAX_SECRET_LENGTH);
}

// True when state was computed from the secret as it is now.
bool holds(const srs_key_state &state, const char *secret, std::uint32_t len) {
    return state.secret_len == len && std::memcmp(state.secret, secret, used_length(len)) == 0;
}

struct Secret {
    const char *bytes;
    std::uint32_t len;
    const srs_key_state *stored; // null in a handle not made by srs_open
};

// Any negative index, or one past the further secrets, names the primary.
Secret secret_for(const srs_handle &h, int index) {
    if (index >= 0 && index < h.secret_count)
        return {h.secrets[index].secret, h.secrets[index].secret_len,
                h.secret_keys != nullptr ? &h.secret_keys[index] : nullptr};
    return {h.secret, h.secret_len, h.primary_key};
}

// The key states of one secret for one computation: the stored ones while
// they match the secret; else (the secret was changed in place) states
// computed here, on the stack. Reading calls may share the handle between
// threads, so they never write the fresh states into it: the next call that
// may change the handle does (refresh).
class KeyOf {
  public:
    explicit KeyOf(const Secret &s) {
        if (s.stored != nullptr && holds(*s.stored, s.bytes, s.len)) {
            key_ = &s.stored->key;
        } else {
            hmac::sha1_key(local_, s.bytes, used_length(s.len));
            key_ = &local_;
        }
    }
    ~KeyOf() {
        if (key_ == &local_) hmac::secure_zero(&local_, sizeof local_);
    }
    KeyOf(const KeyOf &) = delete;
    KeyOf &operator=(const KeyOf &) = delete;

    const hmac::Sha1Key &operator*() const { return *key_; }

  private:
    hmac::Sha1Key local_;
    const hmac::Sha1Key *key_;
};

// HMAC-SHA1 of data under one secret: two compressions for a short input,
// no allocation.
void digest_with(const Secret &secret, const char *data, int len, unsigned char *digest) {
    const KeyOf key(secret);
    hmac::sha1_hmac(*key, data, len, digest);
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

void encode(const unsigned char *digest, std::size_t chars, char *text) noexcept {
    const std::size_t groups = (chars + 3) / 4;
    const std::size_t bytes = std::min(digest_size, 3 * groups);
    srs__base64enc(digest, static_cast<uint32_t>(bytes), text, text_size + 1);
}

void store(srs_key_state &state, const char *secret, std::uint32_t len) noexcept {
    std::memset(&state, 0, sizeof state);
    state.secret_len = len;
    std::memcpy(state.secret, secret, used_length(len));
    hmac::sha1_key(state.key, secret, used_length(len));
}

void refresh(srs_handle &h) noexcept {
    if (h.primary_key != nullptr && !holds(*h.primary_key, h.secret, h.secret_len))
        store(*h.primary_key, h.secret, h.secret_len);
    if (h.secret_keys == nullptr) return;
    for (int i = 0; i < h.secret_count; ++i) {
        const srs_secret &s = h.secrets[i];
        if (!holds(h.secret_keys[i], s.secret, s.secret_len))
            store(h.secret_keys[i], s.secret, s.secret_len);
    }
}

} // namespace rewrite::hash

using namespace rewrite::hash;

extern "C" {

int srs__hash(const srs_handle *handle, int secret_index, const char *data, int len,
              unsigned char *digest, int *digest_len) {
    digest_with(secret_for(*handle, secret_index), data, len, digest);
    *digest_len = static_cast<int>(digest_size);
    return SRS_OK;
}

int srs__hash_verify(const srs_handle *handle, const char *data, int len, const char *hash,
                     int hash_len) {
    if (handle->hash_min > static_cast<uint32_t>(hash_len)) return SRS_HASH_TOO_SHORT;
    if (hash_len < 0) return SRS_CHECK_FAILED; // no text has a negative length
    const auto hash_chars = static_cast<std::size_t>(hash_len);
    // The secrets in order, primary first, hashed two at a time (the two
    // computations overlap); the first that matches decides.
    for (int index = -1; index < handle->secret_count; index += 2) {
        const bool pair = index + 1 < handle->secret_count;
        std::array<std::array<unsigned char, digest_size>, 2> digest;
        if (pair) {
            const KeyOf a(secret_for(*handle, index));
            const KeyOf b(secret_for(*handle, index + 1));
            rewrite::hmac::sha1_hmac2(*a, *b, data, len, digest[0].data(), digest[1].data());
        } else {
            digest_with(secret_for(*handle, index), data, len, digest[0].data());
        }
        for (std::size_t k = 0; k < (pair ? 2u : 1u); ++k) {
            std::array<char, text_size + 1> text;
            encode(digest[k].data(), hash_chars, text.data()); // compare reads hash_chars of it
            switch (compare(text, hash, hash_chars)) {
            case Match::exact:
                return SRS_OK;
            case Match::folded:
                return SRS_CASE_BROKEN;
            case Match::none:
                break;
            }
        }
    }
    return SRS_CHECK_FAILED;
}

} // extern "C"
