// The socketmap front end: Postfix's socketmap lookup protocol (see
// socketmap_table(5)) on a socket of its own, for sender_canonical_maps
// (map "forward") and recipient_canonical_maps (map "reverse").
//
// A request is a netstring "LEN:NAME KEY,"; the reply a netstring "OK
// value", "NOTFOUND ", "TEMP reason" or "PERM reason". A client keeps its
// connection and sends requests one after another.
#pragma once

#include "options.h"

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

namespace srs_tool {

// The longest request payload read ("NAME KEY"); a longer one is refused
// without being read.
inline constexpr std::size_t max_socketmap_request = 10000;

// The longest reply payload Postfix takes.
inline constexpr std::size_t max_socketmap_reply = 100000;

struct Netstring {
    enum class Status {
        incomplete, // more bytes are needed
        complete,   // payload and size are set
        malformed,  // not a netstring
        too_long,   // its length is above the limit
    };
    Status status = Status::incomplete;
    std::string_view payload; // inside the bytes parsed
    std::size_t size = 0;     // bytes the whole netstring takes
};

// Reads the netstring at the start of `received`. Never looks past the
// limit: the length is checked before the payload is waited for.
Netstring parse_netstring(std::string_view received, std::size_t limit = max_socketmap_request);

// payload framed as a netstring.
std::string netstring(std::string_view payload);

// An address as Postfix writes it, split: the local part without its
// quotes (a quoted local part "john doe" gives john doe) and the domain.
struct MailAddress {
    std::string local;
    std::string domain;
};
std::optional<MailAddress> split_address(std::string_view address);

// The local part as it has to be written in an address: as it is when it
// is a dot-atom, quoted as a whole otherwise.
std::string quote_local_part(std::string_view local);

// True when the domain is the SRS domain or one of the --exclude= domains
// (".example.org" also covers its subdomains); letter case ignored.
bool excluded_domain(const Settings &settings, std::string_view domain);

// The reply payload to one request payload ("forward KEY" or
// "reverse KEY"), refused bounces and case warnings logged on the way.
std::string answer_socketmap(const Settings &settings, std::string_view request);

// Serves one connection: requests until the client closes, sends a
// malformed one, or stays idle for the daemon's idle time.
void serve_socketmap(int fd, const Settings &settings);

} // namespace srs_tool
