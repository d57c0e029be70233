// Byte helpers shared by the hash tests: hex text, random data, and random
// ways of cutting data into pieces.
#pragma once

#include <cstddef>
#include <random>
#include <string>
#include <vector>

namespace bytes {

inline std::string hex(const unsigned char *p, std::size_t n) {
    static const char digits[] = "0123456789abcdef";
    std::string s;
    for (std::size_t i = 0; i < n; ++i) {
        s += digits[p[i] >> 4];
        s += digits[p[i] & 0xF];
    }
    return s;
}

template <class Container> std::string hex(const Container &c) {
    return hex(c.data(), c.size());
}

inline std::vector<unsigned char> random_bytes(std::mt19937 &rng, std::size_t n) {
    std::uniform_int_distribution<int> byte(0, 255);
    std::vector<unsigned char> v(n);
    for (auto &b : v)
        b = static_cast<unsigned char>(byte(rng));
    return v;
}

// Splits n bytes into pieces: empty ones (first and last among them), whole
// blocks of 64 and random lengths from 1 to 100, so buffered tails,
// block-filling pieces and pieces spanning several blocks all occur.
inline std::vector<std::size_t> random_pieces(std::mt19937 &rng, std::size_t n) {
    std::uniform_int_distribution<int> kind(0, 5);
    std::uniform_int_distribution<std::size_t> len(1, 100);
    std::vector<std::size_t> pieces{0};
    std::size_t left = n;
    while (left != 0) {
        std::size_t k;
        switch (kind(rng)) {
        case 0:
            k = 0;
            break;
        case 1:
            k = 64;
            break;
        default:
            k = len(rng);
            break;
        }
        if (k > left) k = left;
        pieces.push_back(k);
        left -= k;
    }
    pieces.push_back(0);
    return pieces;
}

} // namespace bytes
