// Syslog lines over the local datagram socket.
#include "log.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <ctime>

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

namespace srs_tool {
namespace {

constexpr int facility_mail = 2 << 3;

} // namespace

Log &log() {
    static Log the_log;
    return the_log;
}

void Log::after_fork() {
    if (fd_ >= 0) close(fd_);
    fd_ = -1;
}

void Log::write(Severity severity, const char *format, ...) {
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (path_.empty() || path_.size() >= sizeof address.sun_path) return;
    std::memcpy(address.sun_path, path_.data(), path_.size());

    // <PRI>Mmm dd hh:mm:ss srs[PID]: text, as RFC 3164 writes it.
    std::array<char, 1024> line;
    const std::time_t now = std::time(nullptr);
    std::tm local{};
    localtime_r(&now, &local);
    std::array<char, 32> stamp;
    std::strftime(stamp.data(), stamp.size(), "%b %e %H:%M:%S", &local);
    int n = std::snprintf(line.data(), line.size(), "<%d>%s srs[%ld]: ",
                          facility_mail | static_cast<int>(severity), stamp.data(),
                          static_cast<long>(getpid()));
    if (n < 0) return;
    va_list args;
    va_start(args, format);
    const int text = std::vsnprintf(line.data() + n, line.size() - static_cast<std::size_t>(n),
                                    format, args);
    va_end(args);
    if (text < 0) return;
    const std::size_t size =
        std::min(line.size() - 1, static_cast<std::size_t>(n) + static_cast<std::size_t>(text));

    if (fd_ < 0) fd_ = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd_ < 0) return;
    const int saved = errno;
    sendto(fd_, line.data(), size, MSG_DONTWAIT | MSG_NOSIGNAL,
           reinterpret_cast<const sockaddr *>(&address), sizeof address);
    errno = saved;
}

std::string printable(std::string_view text, std::size_t limit) {
    std::string out;
    const std::size_t n = std::min(text.size(), limit);
    out.reserve(n + 8);
    for (std::size_t i = 0; i < n; ++i) {
        const auto c = static_cast<unsigned char>(text[i]);
        if (c == '\\') {
            out += "\\\\";
        } else if (c >= 0x20 && c < 0x7F) {
            out += static_cast<char>(c);
        } else {
            static constexpr char hex[] = "0123456789abcdef";
            out += "\\x";
            out += hex[c >> 4];
            out += hex[c & 15];
        }
    }
    if (text.size() > limit) out += "...";
    return out;
}

} // namespace srs_tool
