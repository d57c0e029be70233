// Independent oracle for the tests: OpenSSL's HMAC-SHA1 and base64, and a
// day stamp computed straight from its definition.
#pragma once

#include "librewrite.h"

#include <openssl/evp.h>
#include <openssl/hmac.h>

#include <cctype>
#include <ctime>
#include <memory>
#include <string>
#include <string_view>
#include <utility>

namespace oracle {

inline std::string lower(std::string_view s) {
    std::string out(s);
    for (char &c : out)
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    return out;
}

// The 28-character base64 text of HMAC-SHA1(key, data), by OpenSSL.
inline std::string hash_text(std::string_view key, std::string_view data) {
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int len = 0;
    HMAC(EVP_sha1(), key.data(), static_cast<int>(key.size()),
         reinterpret_cast<const unsigned char *>(data.data()), data.size(), digest, &len);
    unsigned char text[64];
    const int n = EVP_EncodeBlock(text, digest, static_cast<int>(len));
    return std::string(reinterpret_cast<char *>(text), static_cast<std::size_t>(n));
}

// Two-character day stamp of a time: bits 5..9 and 0..4 of the day number.
inline std::string stamp(std::time_t t) {
    static constexpr char alphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZ234567";
    const long long day = static_cast<long long>(t) / 86400;
    return {alphabet[(day >> 5) & 31], alphabet[day & 31]};
}

// Stamp of the day `days_ago` days before today.
inline std::string stamp_days_ago(long long days_ago) {
    return stamp(std::time(nullptr) - static_cast<std::time_t>(days_ago * 86400));
}

// Runs f and returns its result with today's stamp, repeating f in the rare
// case that the day changed while it ran, so the stamp is the one f used.
template <class F> auto on_one_day(F f) {
    for (;;) {
        const std::string before = stamp(std::time(nullptr));
        auto result = f();
        if (stamp(std::time(nullptr)) == before) return std::make_pair(result, before);
    }
}

struct HandleCloser {
    void operator()(srs_handle *h) const { srs_close(h); }
};
using Handle = std::unique_ptr<srs_handle, HandleCloser>;

inline Handle open(std::string_view secret, uint32_t max_age = 0, uint32_t hash_length = 0,
                   uint32_t hash_min = 0) {
    return Handle(srs_open(secret.data(), static_cast<uint32_t>(secret.size()), max_age,
                           hash_length, hash_min));
}

} // namespace oracle
