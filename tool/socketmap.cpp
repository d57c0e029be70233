// The socketmap front end.
#include "socketmap.h"

#include "actions.h"
#include "connection.h"
#include "daemon.h"
#include "log.h"

#include <array>
#include <cstring>

#include <strings.h>
#include <unistd.h>

namespace srs_tool {
namespace {

// Digits of the longest length a request may announce.
constexpr std::size_t max_length_digits = 5;

bool equal_ignoring_case(std::string_view a, std::string_view b) {
    return a.size() == b.size() && strncasecmp(a.data(), b.data(), a.size()) == 0;
}

// The characters of a dot-atom besides letters, digits and '.' (RFC 5322);
// bytes from 0x80 up count as well (UTF-8, RFC 6531).
bool atom_char(unsigned char c) {
    if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c >= 0x80)
        return true;
    return std::strchr("!#$%&'*+-/=?^_`{|}~", c) != nullptr && c != '\0';
}

bool dot_atom(std::string_view text) {
    if (text.empty() || text.front() == '.' || text.back() == '.') return false;
    for (std::size_t i = 0; i < text.size(); ++i) {
        const auto c = static_cast<unsigned char>(text[i]);
        if (c == '.') {
            if (text[i + 1] == '.') return false;
        } else if (!atom_char(c)) {
            return false;
        }
    }
    return true;
}

// The address as the library reads it, or nothing when the library would
// split it elsewhere (a local part with an '@', or one that ends in a
// backslash, which would escape the '@'): no SRS address can carry such a
// local part, so the sender is better left as it is. Anything else the
// library cannot rewrite (too long, say) is its error to report.
std::optional<std::string> library_form(const MailAddress &a) {
    if (a.local.find('@') != std::string::npos || a.local.back() == '\\') return std::nullopt;
    std::string text = a.local + "@" + a.domain;
    if (text.find('\0') != std::string::npos) return std::nullopt;
    return text;
}

// A rewritten or restored address of the library, written as an address:
// split at its last '@' (a domain has none) and its local part quoted
// when it has to be.
std::string written(const char *address) {
    const std::string_view text(address);
    const std::size_t at = text.rfind('@');
    if (at == std::string_view::npos) return std::string(text);
    return quote_local_part(text.substr(0, at)) + std::string(text.substr(at));
}

// A store that failed is worth trying again; any other error is not.
std::string failure_reply(const Outcome &outcome) {
    return (is_store_error(outcome.rc) ? "TEMP " : "PERM ") + std::string(outcome.message());
}

const std::string not_found = "NOTFOUND ";

std::string forward_reply(const Settings &settings, std::string_view key) {
    const auto address = split_address(key);
    if (!address || excluded_domain(settings, address->domain)) return not_found;
    const auto text = library_form(*address);
    if (!text) return not_found;
    const std::string alias(settings.alias.value_or(""));
    const Outcome outcome = forward(settings, text->c_str(), alias.c_str());
    log_forward(settings, text->c_str(), outcome);
    if (outcome.failed()) return failure_reply(outcome);
    return "OK " + written(outcome.address.data());
}

std::string reverse_reply(const Settings &settings, std::string_view key) {
    const auto address = split_address(key);
    if (!address || !equal_ignoring_case(address->domain, settings.alias.value_or(""))) return not_found;
    const auto text = library_form(*address);
    if (!text) return not_found;
    const Outcome outcome = reverse(settings, text->c_str());
    log_reverse(settings, text->c_str(), outcome);
    // Forged, expired, malformed or no SRS address at all: not found, so
    // that Postfix rejects the bounce at once. Only a failing store is
    // worth a later try.
    if (outcome.failed()) return is_store_error(outcome.rc) ? failure_reply(outcome) : not_found;
    return "OK " + written(outcome.address.data());
}

} // namespace

Netstring parse_netstring(std::string_view received, std::size_t limit) {
    Netstring n;
    std::size_t length = 0, digits = 0;
    while (digits < received.size() && received[digits] >= '0' && received[digits] <= '9') {
        if (digits == max_length_digits) {
            n.status = Netstring::Status::too_long;
            return n;
        }
        length = length * 10 + static_cast<std::size_t>(received[digits] - '0');
        ++digits;
    }
    if (digits == received.size()) {
        n.status = Netstring::Status::incomplete;
        return n;
    }
    if (digits == 0 || received[digits] != ':') {
        n.status = Netstring::Status::malformed;
        return n;
    }
    if (length > limit) {
        n.status = Netstring::Status::too_long;
        return n;
    }
    const std::size_t end = digits + 1 + length; // where the ',' must stand
    if (received.size() <= end) {
        n.status = Netstring::Status::incomplete;
        return n;
    }
    if (received[end] != ',') {
        n.status = Netstring::Status::malformed;
        return n;
    }
    n.status = Netstring::Status::complete;
    n.payload = received.substr(digits + 1, length);
    n.size = end + 1;
    return n;
}

std::string netstring(std::string_view payload) {
    return std::to_string(payload.size()) + ":" + std::string(payload) + ",";
}

std::optional<MailAddress> split_address(std::string_view address) {
    MailAddress a;
    std::size_t at;
    if (!address.empty() && address.front() == '"') {
        // A quoted local part: up to the closing quote, backslash escapes
        // taken out; the '@' must follow it.
        std::size_t i = 1;
        for (; i < address.size() && address[i] != '"'; ++i) {
            if (address[i] == '\\' && i + 1 < address.size()) ++i;
            a.local += address[i];
        }
        if (i >= address.size()) return std::nullopt; // no closing quote
        at = i + 1;
        if (at >= address.size() || address[at] != '@') return std::nullopt;
    } else {
        at = address.rfind('@');
        if (at == std::string_view::npos) return std::nullopt;
        a.local = address.substr(0, at);
    }
    a.domain = address.substr(at + 1);
    if (a.local.empty() || a.domain.empty()) return std::nullopt;
    return a;
}

std::string quote_local_part(std::string_view local) {
    if (dot_atom(local)) return std::string(local);
    std::string quoted = "\"";
    for (const char c : local) {
        if (c == '"' || c == '\\') quoted += '\\';
        quoted += c;
    }
    return quoted + "\"";
}

bool excluded_domain(const Settings &settings, std::string_view domain) {
    if (settings.alias && equal_ignoring_case(domain, *settings.alias)) return true;
    for (const std::string_view entry : settings.excludes) {
        if (equal_ignoring_case(domain, entry)) return true;
        if (entry.size() > 1 && entry.front() == '.') {
            // ".example.org": the domain itself and every domain below it.
            const std::string_view parent = entry.substr(1);
            if (equal_ignoring_case(domain, parent)) return true;
            if (domain.size() > entry.size() &&
                equal_ignoring_case(domain.substr(domain.size() - entry.size()), entry))
                return true;
        }
    }
    return false;
}

std::string answer_socketmap(const Settings &settings, std::string_view request) {
    const std::size_t blank = request.find(' ');
    if (blank == std::string_view::npos) return "PERM malformed request: no key";
    const std::string_view name = request.substr(0, blank);
    const std::string_view key = request.substr(blank + 1);
    const bool is_forward = equal_ignoring_case(name, "forward");
    if (!is_forward && !equal_ignoring_case(name, "reverse"))
        return "PERM unknown map '" + printable(name, 40) + "': use forward or reverse";
    // The null sender, as Postfix writes it, and an empty key.
    if (key.empty() || key == "\"\"" || key == "<>") return not_found;
    return is_forward ? forward_reply(settings, key) : reverse_reply(settings, key);
}

void serve_socketmap(int fd, const Settings &settings) {
    // Room for the longest request, its length and its two delimiters.
    std::array<char, max_socketmap_request + max_length_digits + 2> buffer;
    std::size_t have = 0;
    // Between requests the process waits in a plain blocking read, bounded
    // by the idle time: the next request usually comes after the reply has
    // gone, and a read that is tried first and then waited for would cost
    // two system calls more per request.
    set_idle_time(fd, request_timeout);
    for (;;) {
        const Netstring n = parse_netstring(std::string_view(buffer.data(), have));
        if (n.status == Netstring::Status::complete) {
            std::string reply = answer_socketmap(settings, n.payload);
            if (reply.size() > max_socketmap_reply) reply = "PERM reply too long";
            send_all(fd, netstring(reply));
            std::memmove(buffer.data(), buffer.data() + n.size, have - n.size);
            have -= n.size;
            if (stop_requested()) break;
            continue;
        }
        if (n.status == Netstring::Status::malformed) {
            send_all(fd, netstring("PERM malformed request: not a netstring"));
            break;
        }
        if (n.status == Netstring::Status::too_long) {
            send_all(fd, netstring("PERM request too long: at most " +
                                   std::to_string(max_socketmap_request) + " bytes"));
            break;
        }
        // Incomplete: wait for more, at most the idle time; between requests
        // a request to end is followed at once.
        const auto got = receive_blocking(fd, std::span(buffer).subspan(have), have == 0);
        if (!got || *got == 0) break;
        have += *got;
    }
    close(fd);
}

} // namespace srs_tool
