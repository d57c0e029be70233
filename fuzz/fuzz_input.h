// Reading a fuzzer's bytes as a sequence of choices and texts.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace fuzz {

class Input {
  public:
    Input(const uint8_t *data, std::size_t size) : data_(data), size_(size) {}

    // One byte, or 0 when the input is used up.
    uint8_t byte() { return pos_ < size_ ? data_[pos_++] : 0; }

    // A number in [0, n) from one or two bytes.
    std::size_t below(std::size_t n) {
        const std::size_t v = n > 256 ? (std::size_t{byte()} << 8 | byte()) : byte();
        return n == 0 ? 0 : v % n;
    }

    bool flag() { return (byte() & 1) != 0; }

    // A text up to the next 0xFF byte (or the end); may contain NUL bytes,
    // which end it as a C string would.
    std::string text() {
        std::string out;
        while (pos_ < size_ && data_[pos_] != 0xFF)
            out.push_back(static_cast<char>(data_[pos_++]));
        if (pos_ < size_) ++pos_;
        return out;
    }

    std::string_view rest() {
        const std::string_view r(reinterpret_cast<const char *>(data_ + pos_), size_ - pos_);
        pos_ = size_;
        return r;
    }

  private:
    const uint8_t *data_;
    std::size_t size_;
    std::size_t pos_ = 0;
};

} // namespace fuzz
