// The hash token: HMAC-SHA1 of a rewritten address's lower-cased fields
// under one of the handle's secrets, written as base64 text.
#pragma once

#include "librewrite.h"

#include <cstddef>

namespace rewrite::hash {

inline constexpr std::size_t digest_size = 20;
inline constexpr std::size_t text_size = 28; // base64 of the digest, last char '='

} // namespace rewrite::hash
