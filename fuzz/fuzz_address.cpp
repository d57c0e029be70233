// The domain scanner and the lower-casing copy against small references
// written here from their definitions.
#include "fuzz_input.h"
#include "librewrite.h"

#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

namespace {

void check(bool ok) {
    if (!ok) std::abort();
}

// Position after the first '@' that no backslash escapes, among the first
// 256 characters; 0 when there is none; all bits set for an empty text or
// an escaped '@' met first.
uint32_t domain_start(const std::string &s) {
    if (s.empty()) return 0xFFFFFFFFu;
    bool escaped = false;
    for (std::size_t i = 0; i < s.size() && i < 256; ++i) {
        if (escaped) {
            if (s[i] == '@') return 0xFFFFFFFFu;
            escaped = false;
        } else if (s[i] == '\\') {
            escaped = true;
        } else if (s[i] == '@') {
            return static_cast<uint32_t>(i + 1);
        }
    }
    // A backslash in the last position read still escapes the '@' after it.
    if (escaped && s.size() > 256 && s[256] == '@') return 0xFFFFFFFFu;
    return 0;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, std::size_t size) {
    fuzz::Input in(data, size);
    const auto limit = static_cast<int32_t>(in.below(600)) - 40;
    const std::string_view bytes = in.rest();

    // The text exactly as long as it is, terminated, so any read past the
    // terminator is seen.
    const std::string text(bytes.data(), strnlen(bytes.data(), bytes.size()));
    auto copy = std::make_unique<char[]>(text.size() + 1);
    std::memcpy(copy.get(), text.c_str(), text.size() + 1);
    check(srs__get_domain_start(copy.get()) == domain_start(text));

    // strncpytolower: at most n bytes written, folding only 'A'..'Z'.
    const std::size_t room = limit > 0 ? static_cast<std::size_t>(limit) : 0;
    auto dst = std::make_unique<char[]>(room + 1);
    std::memset(dst.get(), '#', room + 1);
    // The source holds a terminator (within the limit or not).
    const std::string &source = text;
    const int32_t n = strncpytolower(dst.get(), source.c_str(), limit);
    if (limit <= 0) {
        check(n == 0 && dst[0] == '#');
        return 0;
    }
    const std::size_t copied = std::min(room, source.size() + 1);
    check(n == static_cast<int32_t>(std::min(room, source.size())));
    for (std::size_t i = 0; i < copied; ++i) {
        const char c = source.c_str()[i];
        check(dst[i] == ((c >= 'A' && c <= 'Z') ? static_cast<char>(c + 32) : c));
    }
    for (std::size_t i = copied; i <= room; ++i)
        check(dst[i] == '#');
    return 0;
}
