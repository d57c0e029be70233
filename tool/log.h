// The daemon's log: syslog lines (facility mail, ident "srs", with the
// process id) sent as datagrams to the system logger's socket, /dev/log
// unless --syslog= names another. Sending never blocks: with no logger
// listening, or one that cannot keep up, a line is dropped.
#pragma once

#include <string>
#include <string_view>

namespace srs_tool {

enum class Severity { err = 3, warning = 4, notice = 5, info = 6 };

class Log {
  public:
    void set_path(std::string_view path) { path_ = path; }
    const std::string &path() const { return path_; }
    [[gnu::format(printf, 3, 4)]] void write(Severity severity, const char *format, ...);
    // In a new process: the socket inherited from the parent is closed, and
    // the first line opens one of the process's own.
    void after_fork();

  private:
    std::string path_ = "/dev/log";
    int fd_ = -1;
};

// The program's one log.
Log &log();

// Text from a client made safe for a log line: bytes outside printable
// ASCII become \xHH, a backslash \\, and the text is cut after `limit`
// bytes of input (marked with "...").
std::string printable(std::string_view text, std::size_t limit = 300);

} // namespace srs_tool
