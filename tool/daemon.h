// The daemon: a local stream socket, one process per connection, one
// request line per connection.
#pragma once

#include "options.h"

#include <chrono>

namespace srs_tool {

// How long a connection may take to deliver its request line.
inline constexpr std::chrono::seconds request_timeout{10};

// Forks; the starting process reports and returns its exit status, the
// daemon process serves until accepting fails for good and then returns 0
// (or 1 when it could not set up its socket).
int run_daemon(Settings &settings);

// Serves one connection: reads its request line, writes the reply, closes
// it. Used by the connection process.
void serve_connection(int fd, const Settings &settings);

} // namespace srs_tool
