// Address scanning, case folding, and RFC 4648 base64/base32.
#include "address.h"

#include <algorithm>
#include <cstring>

namespace rewrite::address {

std::size_t bounded_length(const char *text) noexcept {
    return text == nullptr ? 0 : strnlen(text, max_length);
}

} // namespace rewrite::address

using namespace rewrite::address;

// The exported C tables are laid out from the constexpr tables of address.h, so
// there is one source for each alphabet.
#define REWRITE_ROW8(t, i)                                                                         \
    t[(i) + 0], t[(i) + 1], t[(i) + 2], t[(i) + 3], t[(i) + 4], t[(i) + 5], t[(i) + 6], t[(i) + 7]
#define REWRITE_ROW32(t, i)                                                                        \
    REWRITE_ROW8(t, i), REWRITE_ROW8(t, (i) + 8), REWRITE_ROW8(t, (i) + 16),                       \
        REWRITE_ROW8(t, (i) + 24)

extern "C" {

const char srs__BASE64[64] = {REWRITE_ROW32(base64_alphabet, 0),
                              REWRITE_ROW32(base64_alphabet, 32)};
const char srs__BASE32[32] = {REWRITE_ROW32(base32_alphabet, 0)};
const unsigned char srs__BASE64rev[128] = {
    REWRITE_ROW32(base64_reverse, 0), REWRITE_ROW32(base64_reverse, 32),
    REWRITE_ROW32(base64_reverse, 64), REWRITE_ROW32(base64_reverse, 96)};
const unsigned char srs__BASE32rev[128] = {
    REWRITE_ROW32(base32_reverse, 0), REWRITE_ROW32(base32_reverse, 32),
    REWRITE_ROW32(base32_reverse, 64), REWRITE_ROW32(base32_reverse, 96)};

#undef REWRITE_ROW32
#undef REWRITE_ROW8

uint32_t srs__get_domain_start(const char *address) {
    if (address == nullptr || address[0] == '\0') return unusable;
    // Fast path: no backslash before the first '@' means no escapes to
    // follow, and the first '@' (or none) decides.
    const std::size_t len = strnlen(address, max_length);
    const auto *at = static_cast<const char *>(std::memchr(address, '@', len));
    const std::size_t scan = at != nullptr ? static_cast<std::size_t>(at - address) : len;
    if (std::memchr(address, '\\', scan) == nullptr)
        return at != nullptr ? static_cast<uint32_t>(scan + 1) : 0;

    std::size_t i = 0;
    for (;;) {
        if (i >= max_length) return 0;
        if (address[i] == '@') return static_cast<uint32_t>(i + 1);
        if (address[i] == '\\') {
            if (address[i + 1] == '@') return unusable;
            if (address[i + 1] == '\0') return 0;
            i += 2; // the escaped byte is skipped unexamined
        } else {
            i += 1;
        }
        if (address[i] == '\0') return 0;
    }
}

int32_t strncpytolower(char *dst, const char *src, int32_t n) {
    for (int32_t i = 0; i < n; ++i) {
        const char c = src[i];
        dst[i] = (c >= 'A' && c <= 'Z') ? static_cast<char>(c + ('a' - 'A')) : c;
        if (c == '\0') return i;
    }
    return n < 0 ? 0 : n;
}

int srs__base64enc(const void *data, uint32_t n, char *out, uint32_t outlen) {
    // need = 4 * ceil(n / 3) fits 64 bits for any 32-bit n.
    const std::uint64_t need = 4 * (std::uint64_t{n} / 3 + (n % 3 != 0 ? 1 : 0));
    if (std::uint64_t{outlen} < need + 1) return SRS_BUFFER_TOO_SMALL;
    const auto *in = static_cast<const unsigned char *>(data);
    char *o = out;
    std::uint32_t i = 0;
    for (; n - i >= 3; i += 3) {
        const std::uint32_t v =
            (std::uint32_t{in[i]} << 16) | (std::uint32_t{in[i + 1]} << 8) | in[i + 2];
        *o++ = base64_alphabet[v >> 18];
        *o++ = base64_alphabet[(v >> 12) & 63];
        *o++ = base64_alphabet[(v >> 6) & 63];
        *o++ = base64_alphabet[v & 63];
    }
    if (n - i == 1) {
        const std::uint32_t v = std::uint32_t{in[i]} << 16;
        *o++ = base64_alphabet[v >> 18];
        *o++ = base64_alphabet[(v >> 12) & 63];
        *o++ = '=';
        *o++ = '=';
    } else if (n - i == 2) {
        const std::uint32_t v = (std::uint32_t{in[i]} << 16) | (std::uint32_t{in[i + 1]} << 8);
        *o++ = base64_alphabet[v >> 18];
        *o++ = base64_alphabet[(v >> 12) & 63];
        *o++ = base64_alphabet[(v >> 6) & 63];
        *o++ = '=';
    }
    *o = '\0';
    return SRS_OK;
}

int srs__base32enc(const void *data, uint32_t n, char *out, uint32_t outlen) {
    const std::uint64_t need = 8 * (std::uint64_t{n} / 5 + (n % 5 != 0 ? 1 : 0));
    if (std::uint64_t{outlen} < need + 1) return SRS_BUFFER_TOO_SMALL;
    const auto *in = static_cast<const unsigned char *>(data);
    char *o = out;
    for (std::uint32_t i = 0; i < n; i += 5) {
        const std::uint32_t r = std::min<std::uint32_t>(5, n - i);
        std::uint64_t v = 0; // the group's 40 bits, zero-filled past its end
        for (std::uint32_t j = 0; j < 5; ++j)
            v = (v << 8) | (j < r ? in[i + j] : 0u);
        // Characters that carry data: ceil(8 * r / 5); the rest are padding.
        const std::uint32_t chars = (8 * r + 4) / 5;
        for (std::uint32_t j = 0; j < 8; ++j)
            *o++ = j < chars ? base32_alphabet[(v >> (35 - 5 * j)) & 31] : '=';
    }
    *o = '\0';
    return SRS_OK;
}

int srs__base64dec(const char *text, uint32_t textlen, void *out, uint32_t outlen,
                   uint32_t *decoded_len) {
    if (text == nullptr && textlen != 0) return SRS_BAD_PARAMETER;
    // First pass: validate and measure, so nothing is written on failure.
    std::uint64_t symbols = 0; // alphabet characters and pads, white space left out
    std::uint32_t pads = 0;
    unsigned char last = 0; // the last alphabet character's value
    for (std::uint32_t i = 0; i < textlen; ++i) {
        const auto c = static_cast<unsigned char>(text[i]);
        const unsigned char v = c < 128 ? base64_reverse[c] : rev_invalid;
        if (v == rev_space) continue;
        if (v == rev_invalid) return SRS_BAD_PARAMETER;
        if (v == 64) {
            ++pads;
        } else if (pads != 0) {
            return SRS_BAD_PARAMETER; // data after padding
        } else {
            last = v;
        }
        ++symbols;
    }
    if (symbols % 4 != 0 || pads > 2) return SRS_BAD_PARAMETER;
    // Bits left over before the padding must be zero, so that every text
    // decodes one way only and encodes back to itself.
    if ((pads == 1 && (last & 0x3) != 0) || (pads == 2 && (last & 0xF) != 0))
        return SRS_BAD_PARAMETER;
    const std::uint64_t size = symbols / 4 * 3 - pads;
    if (size > outlen) return SRS_BUFFER_TOO_SMALL;

    // Second pass: decode.
    auto *o = static_cast<unsigned char *>(out);
    std::uint32_t acc = 0;
    std::uint32_t held = 0; // sextets in acc
    std::uint32_t written = 0;
    for (std::uint32_t i = 0; i < textlen; ++i) {
        const unsigned char v = base64_reverse[static_cast<unsigned char>(text[i])];
        if (v == rev_space || v == 64) continue;
        acc = (acc << 6) | v;
        if (++held == 4) {
            o[written++] = static_cast<unsigned char>(acc >> 16);
            o[written++] = static_cast<unsigned char>(acc >> 8);
            o[written++] = static_cast<unsigned char>(acc);
            acc = 0;
            held = 0;
        }
    }
    if (held == 2) {
        o[written++] = static_cast<unsigned char>(acc >> 4);
    } else if (held == 3) {
        o[written++] = static_cast<unsigned char>(acc >> 10);
        o[written++] = static_cast<unsigned char>(acc >> 2);
    }
    if (decoded_len != nullptr) *decoded_len = written;
    return SRS_OK;
}

} // extern "C"
