// HMAC (RFC 2104) over any hash offered by an mHMACD descriptor, and
// HMAC-SHA1 from keyed states computed once per key.
#pragma once

#include "librewrite.h"

#include <array>
#include <cstddef>
#include <cstdint>

namespace rewrite::hmac {

inline constexpr unsigned char inner_pad = 0x36;
inline constexpr unsigned char outer_pad = 0x5C;

// Widths of mHMAC_ctx: a descriptor must fit them.
inline constexpr std::size_t max_block_size = sizeof(mHMAC_ctx{}.key_block);
inline constexpr std::size_t max_digest_size = sizeof(mHMAC_ctx{}.digest);

// Overwrites memory with zeros in a way the compiler cannot drop, for key
// material about to be released.
void secure_zero(void *p, std::size_t n) noexcept;

// HMAC-SHA1 of a key, the part that depends on the key alone: the SHA-1
// chaining states after the block K0 XOR ipad and after K0 XOR opad. As
// good as the key itself: wipe it with secure_zero.
struct Sha1Key {
    std::array<std::uint32_t, 5> inner;
    std::array<std::uint32_t, 5> outer;
};

// Computes the keyed states of len bytes of key (two compressions, three
// for a key longer than a block). Allocates nothing.
void sha1_key(Sha1Key &key, const void *bytes, std::size_t len) noexcept;

// HMAC-SHA1 of len bytes of data (nothing for len <= 0) from the keyed
// states: the compressions of the message and one for the inner digest,
// two in all for up to 55 bytes. Writes 20 bytes to out; allocates nothing.
void sha1_hmac(const Sha1Key &key, const void *data, std::int32_t len, unsigned char *out) noexcept;

// The same under two keys at once, their compressions interleaved: with the
// SHA extensions in little more than the time of one.
void sha1_hmac2(const Sha1Key &a, const Sha1Key &b, const void *data, std::int32_t len,
                unsigned char *out_a, unsigned char *out_b) noexcept;

} // namespace rewrite::hmac
