// Helpers of the connection processes.
#include "connection.h"

#include "log.h"

#include <cerrno>
#include <csignal>

#include <poll.h>
#include <sys/socket.h>
#include <sys/time.h>

namespace srs_tool {
namespace {

volatile sig_atomic_t stop_flag = 0;

} // namespace

extern "C" void note_stop(int) {
    stop_flag = 1;
}

bool stop_requested() {
    return stop_flag != 0;
}

std::optional<std::size_t> receive(int fd, std::span<char> buffer, Deadline deadline,
                                   bool give_up_on_stop) {
    for (;;) {
        const ssize_t got = recv(fd, buffer.data(), buffer.size(), MSG_DONTWAIT);
        if (got >= 0) return static_cast<std::size_t>(got);
        if (errno == EINTR) continue;
        if (errno != EAGAIN && errno != EWOULDBLOCK) return 0; // the client is gone
        if (give_up_on_stop && stop_requested()) return std::nullopt;

        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) return std::nullopt;
        pollfd p{fd, POLLIN, 0};
        const int ready = poll(&p, 1, static_cast<int>(left.count()));
        if (ready == 0) return std::nullopt;
        if (ready < 0 && errno != EINTR) return 0;
    }
}

void set_idle_time(int fd, std::chrono::seconds limit) {
    const timeval t{static_cast<time_t>(limit.count()), 0};
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &t, sizeof t);
    setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &t, sizeof t);
}

std::optional<std::size_t> receive_blocking(int fd, std::span<char> buffer, bool give_up_on_stop) {
    for (;;) {
        if (give_up_on_stop && stop_requested()) return std::nullopt;
        const ssize_t got = recv(fd, buffer.data(), buffer.size(), 0);
        if (got >= 0) return static_cast<std::size_t>(got);
        if (errno == EINTR) continue; // a signal: perhaps the request to end
        if (errno == EAGAIN || errno == EWOULDBLOCK) return std::nullopt; // idle too long
        return 0; // the client is gone
    }
}

void send_all(int fd, std::string_view text) {
    while (!text.empty()) {
        const ssize_t sent = send(fd, text.data(), text.size(), MSG_NOSIGNAL);
        if (sent < 0 && errno == EINTR) continue;
        if (sent <= 0) return; // the client left
        text.remove_prefix(static_cast<std::size_t>(sent));
    }
}

namespace {

// A failing store is the administrator's business: logged with its reason.
void log_store_failure(const Settings &settings, const char *what, const char *address,
                       const Outcome &outcome) {
    if (!is_store_error(outcome.rc) || settings.handle_list.empty()) return;
    log().write(Severity::err, "%s '%s': store failed: %s: %s", what, printable(address).c_str(),
                outcome.message(), store_error(settings.handle_list.back().get()));
}

} // namespace

void log_forward(const Settings &settings, const char *address, const Outcome &outcome) {
    log_store_failure(settings, "forward", address, outcome);
    if (settings.verbose && !outcome.failed())
        log().write(Severity::info, "forward '%s' to '%s'", printable(address).c_str(),
                    printable(outcome.address.data()).c_str());
}

void log_reverse(const Settings &settings, const char *address, const Outcome &outcome) {
    log_store_failure(settings, "reverse", address, outcome);
    if (outcome.failed()) {
        if (refused_bounce(outcome.rc))
            log().write(Severity::notice, "refused reverse of '%s': %s",
                        printable(address).c_str(), outcome.message());
    } else if (outcome.case_broken()) {
        log().write(Severity::info, "reverse '%s' to '%s': case broken on hash",
                    printable(address).c_str(), printable(outcome.address.data()).c_str());
    } else if (settings.verbose) {
        log().write(Severity::info, "reverse '%s' to '%s'", printable(address).c_str(),
                    printable(outcome.address.data()).c_str());
    }
}

} // namespace srs_tool
