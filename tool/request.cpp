// Parsing one daemon request line.
#include "request.h"

#include <algorithm>

#include <strings.h>

namespace srs_tool {

Request parse_request(std::string_view received) {
    // n counts the characters read, the newline included when one was read.
    std::string_view line = received.substr(0, std::min(received.size(), max_request));
    line = line.substr(0, std::min(line.size(), line.find('\0')));
    const std::size_t n = line.size();
    if (n != 0 && line[n - 1] == '\n') line.remove_suffix(1);

    Request request;
    const bool has_command = line.size() >= 8;
    if (has_command && strncasecmp(line.data(), "forward ", 8) == 0) {
        // The blank that ends the address is looked for at positions 8 to
        // n - 2: in a line without its newline the last character is left
        // out of the search.
        if (n < 10) return request;
        const std::size_t k = line.substr(0, n - 1).find(' ', 8);
        if (k == std::string_view::npos) return request;
        request.kind = Request::Kind::forward;
        request.address = line.substr(8, k - 8);
        request.alias = line.substr(k + 1);
    } else if (has_command && strncasecmp(line.data(), "reverse ", 8) == 0) {
        request.kind = Request::Kind::reverse;
        request.address = line.substr(8);
    }
    return request;
}

} // namespace srs_tool
