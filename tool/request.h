// The daemon's line protocol: one request line per connection.
#pragma once

#include <cstddef>
#include <string_view>

namespace srs_tool {

// A request line has at most this many characters.
inline constexpr std::size_t max_request = 1023;

// The fields are views into the bytes the request was parsed from.
struct Request {
    enum class Kind { forward, reverse, malformed } kind = Kind::malformed;
    std::string_view address;
    std::string_view alias; // forward only
};

// Reads the bytes of one request as they were received: at most 1023
// characters, up to and including the first newline when there is one.
// The text counts up to its first NUL byte, as a C string would.
Request parse_request(std::string_view received);

} // namespace srs_tool
