// Making and checking the two-character day stamp.
#include "timestamp.h"

#include "address.h"

namespace rewrite::timestamp {
namespace {

constexpr std::uint32_t bad_digit = 0xFFu;

// Value of one stamp character, or bad_digit. Lower-case letters count as
// their capitals: a mail system on the way may fold the address's case, and
// the hash already covers the lower-cased stamp.
std::uint32_t digit(char ch) {
    auto c = static_cast<unsigned char>(ch);
    if (c == 0 || c >= 0x80) return bad_digit;
    if (c >= 'a' && c <= 'z') c = static_cast<unsigned char>(c - ('a' - 'A'));
    const unsigned char v = address::base32_reverse[c];
    return v < 32 ? v : bad_digit;
}

std::int64_t day_of(time_t t) {
    return static_cast<std::int64_t>(t) / seconds_per_day;
}

} // namespace
} // namespace rewrite::timestamp

using namespace rewrite::timestamp;

extern "C" {

int srs_timestamp_create(time_t t, char *out) {
    const std::int64_t day = day_of(t);
    out[0] = srs__BASE32[(day >> 5) & 31];
    out[1] = srs__BASE32[day & 31];
    return SRS_OK;
}

int srs_timestamp_check(const srs_handle *handle, const char *stamp, time_t now) {
    const std::uint32_t high = digit(stamp[0]);
    if (high == bad_digit) return SRS_BAD_CHARACTER;
    const std::uint32_t low = digit(stamp[1]);
    if (low == bad_digit) return SRS_BAD_CHARACTER;
    const std::uint32_t value = high * 32 + low;

    const std::int64_t day = day_of(now);
    const auto today = static_cast<std::uint32_t>(day) & (cycle - 1);
    const std::uint32_t oldest = (static_cast<std::uint32_t>(day) - handle->max_age) & (cycle - 1);
    const bool valid =
        oldest <= today ? (value >= oldest && value <= today) : (value >= oldest || value <= today);
    return valid ? SRS_OK : SRS_CHECK_FAILED;
}

} // extern "C"
