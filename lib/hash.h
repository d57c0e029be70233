// The hash token: HMAC-SHA1 of a rewritten address's lower-cased fields
// under one of the handle's secrets, written as base64 text.
#pragma once

#include "hmac.h"
#include "librewrite.h"

#include <cstddef>
#include <cstdint>

// What the handle keeps for each secret (srs_handle::primary_key and
// secret_keys): the keyed states, computed when the secret enters the
// handle, and a copy of the secret they were computed from. The public
// members stay the truth: a caller may change a secret in place, so
// whoever uses the states first checks that the copy still equals the
// secret.
struct srs_key_state {
    rewrite::hmac::Sha1Key key;
    std::uint32_t secret_len;           // as found in the handle
    char secret[SRS_MAX_SECRET_LENGTH]; // its first secret_len bytes (32 at most)
};

namespace rewrite::hash {

inline constexpr std::size_t digest_size = 20;
inline constexpr std::size_t text_size = 28; // base64 of the digest, last char '='

// Writes at least the first `chars` characters of the base64 text of a
// digest to text (room for text_size + 1): only the 3-byte groups they
// need, the whole text and its terminator when chars > 24.
void encode(const unsigned char *digest, std::size_t chars, char *text) noexcept;

// Computes the key states of a secret of the handle into state. A length
// beyond SRS_MAX_SECRET_LENGTH (only a caller writing into the handle can
// make one) counts as that many bytes: nothing past the secret is read.
void store(srs_key_state &state, const char *secret, std::uint32_t len) noexcept;

// Stores the states anew for every secret of the handle that was changed in
// place since they were computed. Only for calls that may change the handle.
void refresh(srs_handle &h) noexcept;

} // namespace rewrite::hash
