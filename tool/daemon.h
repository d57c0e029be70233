// The daemon: local stream sockets, one process per connection.
#pragma once

#include "options.h"

#include <chrono>

namespace srs_tool {

// How long a connection may take to deliver its request line.
inline constexpr std::chrono::seconds request_timeout{10};

// How long the daemon, once asked to end, waits for its connection
// processes before it kills those still running.
inline constexpr std::chrono::seconds stop_grace{30};

// Sets up the socket, then forks: the starting process reports and returns
// its exit status (0 once the socket listens, 1 when the set-up failed);
// the daemon process serves until it is asked to end (SIGTERM, SIGINT) or
// accepting fails for good, and then returns 0.
int run_daemon(Settings &settings);

// Serves one connection of the line protocol: reads its request line,
// writes the reply, closes it. Used by the connection process.
void serve_connection(int fd, const Settings &settings);

} // namespace srs_tool
