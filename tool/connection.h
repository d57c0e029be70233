// What every connection process needs, whatever protocol it speaks:
// bounded reads, complete writes, the request to end, and the log lines of
// an outcome.
#pragma once

#include "actions.h"

#include <chrono>
#include <optional>
#include <span>
#include <string_view>

namespace srs_tool {

using Deadline = std::chrono::steady_clock::time_point;

// Set when the daemon asks its connection processes to end (SIGTERM): the
// reply in progress is finished, no further request is read.
bool stop_requested();
extern "C" void note_stop(int signal_number);

// Receives what has arrived, or what arrives before the deadline: the
// number of bytes (0 once the client has finished writing or left), or
// nothing when the time ran out or the daemon asked to end while nothing
// had been received. The bytes have usually arrived by the time this is
// called, so a read is tried before waiting.
std::optional<std::size_t> receive(int fd, std::span<char> buffer, Deadline deadline,
                                   bool give_up_on_stop = false);

// Bounds every later read and write on the connection (SO_RCVTIMEO,
// SO_SNDTIMEO): a client that stops reading or writing cannot hold the
// process for longer.
void set_idle_time(int fd, std::chrono::seconds limit);

// Receives what has arrived or waits for it in a blocking read, which the
// idle time of set_idle_time bounds: the number of bytes (0 once the client
// has finished writing or left), or nothing when the idle time ran out or
// the daemon asked to end (and `give_up_on_stop`).
std::optional<std::size_t> receive_blocking(int fd, std::span<char> buffer, bool give_up_on_stop);

// Sends all of it, unless the client leaves.
void send_all(int fd, std::string_view text);

// A refused bounce is logged with its address, a case-broken reverse with
// its warning; successful rewrites only with --verbose.
void log_forward(const Settings &settings, const char *address, const Outcome &outcome);
void log_reverse(const Settings &settings, const char *address, const Outcome &outcome);

} // namespace srs_tool
