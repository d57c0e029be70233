// For the store's own tests only: not installed, not exported from the
// shared library (hidden like everything the header does not mark), reached
// by linking the static archive.
#pragma once

#include <cstdint>

namespace srs_redis_testing {

// The source of the identifiers' 64 random bits: true with bits set, false
// when none can be had. nullptr restores the system's (getrandom). For the
// whole process; not while a store is in use.
using RandomSource = bool (*)(std::uint64_t &bits);
void set_random_source(RandomSource source);

} // namespace srs_redis_testing
