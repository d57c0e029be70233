// HMAC (RFC 2104) over any hash offered by an mHMACD descriptor.
#pragma once

#include "librewrite.h"

#include <cstddef>

namespace rewrite::hmac {

inline constexpr unsigned char inner_pad = 0x36;
inline constexpr unsigned char outer_pad = 0x5C;

// Widths of mHMAC_ctx: a descriptor must fit them.
inline constexpr std::size_t max_block_size = sizeof(mHMAC_ctx{}.key_block);
inline constexpr std::size_t max_digest_size = sizeof(mHMAC_ctx{}.digest);

// Overwrites memory with zeros in a way the compiler cannot drop, for key
// material about to be released.
void secure_zero(void *p, std::size_t n) noexcept;

} // namespace rewrite::hmac
