// The encoders and the decoder against OpenSSL's base64 and a bit-by-bit
// base32 written here; arbitrary text to the decoder never breaks it.
#include "fuzz_input.h"
#include "librewrite.h"

#include <openssl/evp.h>

#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

namespace {

void check(bool ok) {
    if (!ok) std::abort();
}

std::string base32(const std::string_view data) {
    static const char alphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZ234567";
    std::string bits;
    for (const char c : data)
        for (int b = 7; b >= 0; --b)
            bits += ((static_cast<unsigned char>(c) >> b) & 1) ? '1' : '0';
    while (bits.size() % 5 != 0)
        bits += '0';
    std::string out;
    for (std::size_t i = 0; i < bits.size(); i += 5)
        out += alphabet[std::stoi(bits.substr(i, 5), nullptr, 2)];
    while (out.size() % 8 != 0)
        out += '=';
    return out;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, std::size_t size) {
    fuzz::Input in(data, size);
    const auto outlen = static_cast<uint32_t>(in.below(400));
    const std::string_view bytes = in.rest();
    const auto n = static_cast<uint32_t>(bytes.size());

    // base64 against OpenSSL, in a buffer of exactly outlen bytes.
    std::vector<unsigned char> expected(4 * ((bytes.size() + 2) / 3) + 1);
    EVP_EncodeBlock(expected.data(), reinterpret_cast<const unsigned char *>(bytes.data()),
                    static_cast<int>(bytes.size()));
    auto out = std::make_unique<char[]>(outlen);
    std::memset(out.get(), '#', outlen);
    const std::size_t need64 = expected.size() - 1;
    const int rc64 = srs__base64enc(bytes.data(), n, out.get(), outlen);
    if (outlen >= need64 + 1) {
        check(rc64 == SRS_OK &&
              std::strcmp(out.get(), reinterpret_cast<char *>(expected.data())) == 0);
    } else {
        check(rc64 == SRS_BUFFER_TOO_SMALL);
        for (uint32_t i = 0; i < outlen; ++i)
            check(out[i] == '#');
    }

    // base32 against the bit-by-bit encoding.
    const std::string b32 = base32(bytes);
    std::memset(out.get(), '#', outlen);
    const int rc32 = srs__base32enc(bytes.data(), n, out.get(), outlen);
    if (outlen >= b32.size() + 1) {
        check(rc32 == SRS_OK && b32 == out.get());
    } else {
        check(rc32 == SRS_BUFFER_TOO_SMALL);
        for (uint32_t i = 0; i < outlen; ++i)
            check(out[i] == '#');
    }

    // The decoder gives the encoder's input back from its output...
    std::vector<unsigned char> decoded(bytes.size() + 1);
    uint32_t got = 0;
    check(srs__base64dec(reinterpret_cast<char *>(expected.data()), static_cast<uint32_t>(need64),
                         decoded.data(), static_cast<uint32_t>(bytes.size()), &got) == SRS_OK);
    check(got == n && std::memcmp(decoded.data(), bytes.data(), n) == 0);

    // ...and reads arbitrary text safely: on success its output is what
    // OpenSSL decodes from the same text without white space.
    auto text = std::make_unique<char[]>(bytes.size());
    std::memcpy(text.get(), bytes.data(), bytes.size());
    auto dec = std::make_unique<unsigned char[]>(outlen);
    std::memset(dec.get(), '#', outlen);
    const int rcd = srs__base64dec(text.get(), n, dec.get(), outlen, &got);
    if (rcd == SRS_OK) {
        std::string compact;
        for (const char c : bytes)
            if (c != ' ' && c != '\t' && c != '\n' && c != '\r') compact += c;
        std::vector<unsigned char> ref(compact.size() / 4 * 3 + 3);
        const int len =
            EVP_DecodeBlock(ref.data(), reinterpret_cast<const unsigned char *>(compact.data()),
                            static_cast<int>(compact.size()));
        check(len >= 0);
        const std::size_t pads =
            compact.size() >= 2 ? (compact.end()[-1] == '=') + (compact.end()[-2] == '=') : 0;
        check(got == static_cast<uint32_t>(len) - pads);
        check(std::memcmp(dec.get(), ref.data(), got) == 0);
    } else {
        check(rcd == SRS_BAD_PARAMETER || rcd == SRS_BUFFER_TOO_SMALL);
        for (uint32_t i = 0; i < outlen; ++i)
            check(dec[i] == '#');
    }
    return 0;
}
