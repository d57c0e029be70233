// The daemon and its connection processes.
#include "daemon.h"

#include "actions.h"
#include "request.h"

#include <array>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <span>

#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

namespace srs_tool {
namespace {

// Reaps every ended child: endings signalled together arrive as one signal.
extern "C" void reap_child(int) {
    const int saved = errno;
    while (waitpid(-1, nullptr, WNOHANG) > 0) {
    }
    errno = saved;
}

// An accept failure that passes: the daemon goes on accepting.
bool transient(int error) {
    switch (error) {
    case EINTR:
    case ECONNABORTED:
    case EPROTO:
    case EMFILE:
    case ENFILE:
    case ENOBUFS:
    case ENOMEM:
        return true;
    default:
        return false;
    }
}

// Failures that are a shortage of resources: wait a little for them to
// come back rather than spin.
bool shortage(int error) {
    return error == EMFILE || error == ENFILE || error == ENOBUFS || error == ENOMEM;
}

void pause_briefly() {
    const timespec delay{0, 50'000'000}; // 50 ms
    nanosleep(&delay, nullptr);
}

int setup_failure(const char *message) {
    std::printf("%s\n", message);
    std::fflush(stdout);
    return 1;
}

// Reads the request into `buffer`: up to the first newline, at most its
// size, within the time allowed. Returns the number of bytes read, or
// nothing when the time ran out. The request has usually arrived by the
// time the connection is served, so a read is tried before waiting.
std::optional<std::size_t> read_request(int fd, std::span<char> buffer) {
    std::size_t n = 0;
    const auto deadline = std::chrono::steady_clock::now() + request_timeout;
    while (n < buffer.size()) {
        const ssize_t got = recv(fd, buffer.data() + n, buffer.size() - n, MSG_DONTWAIT);
        if (got > 0) {
            const auto *newline = static_cast<const char *>(
                std::memchr(buffer.data() + n, '\n', static_cast<std::size_t>(got)));
            if (newline != nullptr) return static_cast<std::size_t>(newline - buffer.data()) + 1;
            n += static_cast<std::size_t>(got);
            continue;
        }
        if (got == 0) break; // the client finished writing, or left
        if (errno == EINTR) continue;
        if (errno != EAGAIN && errno != EWOULDBLOCK) break;

        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) return std::nullopt;
        pollfd p{fd, POLLIN, 0};
        const int ready = poll(&p, 1, static_cast<int>(left.count()));
        if (ready == 0) return std::nullopt;
        if (ready < 0 && errno != EINTR) break;
    }
    return n;
}

// A field of the request as a terminated text: the field lies inside the
// received bytes, and the byte after it (a blank, the newline or the byte
// past the end, all no longer needed) becomes its terminator.
const char *terminated(std::string_view field, std::span<char> received) {
    char *start = received.data() + (field.data() - received.data());
    start[field.size()] = '\0';
    return start;
}

void send_all(int fd, std::string_view text) {
    while (!text.empty()) {
        const ssize_t sent = send(fd, text.data(), text.size(), MSG_NOSIGNAL);
        if (sent < 0 && errno == EINTR) continue;
        if (sent <= 0) return; // the client left
        text.remove_prefix(static_cast<std::size_t>(sent));
    }
}

} // namespace

void serve_connection(int fd, const Settings &settings) {
    // One byte more than a request may have, for the last terminator.
    std::array<char, max_request + 1> received;
    const auto n = read_request(fd, std::span(received.data(), max_request));
    const Request request = n ? parse_request(std::string_view(received.data(), *n))
                              : Request{Request::Kind::malformed, {}, {}};
    Reply reply;
    switch (request.kind) {
    case Request::Kind::forward: {
        // The alias is read first: terminating the address overwrites the
        // blank in front of it.
        const char *alias = terminated(request.alias, received);
        forward_address(reply, settings, terminated(request.address, received), alias);
        break;
    }
    case Request::Kind::reverse:
        reverse_address(reply, settings, terminated(request.address, received));
        break;
    case Request::Kind::malformed:
        reply.line("ERROR\n");
        break;
    }
    send_all(fd, reply.text());
    close(fd);
}

int run_daemon(Settings &settings) {
    std::fflush(stdout);
    const pid_t pid = fork();
    if (pid != 0) {
        std::printf("%s\n", banner);
        std::printf(pid > 0 ? "Daemon started\n" : "ERROR: fork() failed\n");
        std::fflush(stdout);
        return pid > 0 ? 0 : 1;
    }

    const int listener = socket(AF_UNIX, SOCK_STREAM, 0);
    if (listener < 0) return setup_failure("ERROR: Could not create socket\n");

    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    const std::string_view path = settings.socket_path;
    // A path that does not fit whole is never bound under a truncated name.
    if (path.size() >= sizeof address.sun_path || path.find('\0') != std::string_view::npos) {
        close(listener);
        return setup_failure("ERROR: Could not bind to socket\n");
    }
    std::memcpy(address.sun_path, path.data(), path.size());
    const auto length = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + path.size() + 1);

    unlink(address.sun_path);
    if (bind(listener, reinterpret_cast<const sockaddr *>(&address), length) != 0) {
        close(listener);
        return setup_failure("ERROR: Could not bind to socket\n");
    }
    if (listen(listener, 8) != 0) {
        close(listener);
        return setup_failure("ERROR: Could not listen to socket\n");
    }

    struct sigaction reap {};
    reap.sa_handler = reap_child;
    sigemptyset(&reap.sa_mask);
    reap.sa_flags = SA_RESTART | SA_NOCLDSTOP;
    sigaction(SIGCHLD, &reap, nullptr);
    // Replies are sent with MSG_NOSIGNAL; this also keeps a client that
    // leaves early from ending a connection process by signal.
    std::signal(SIGPIPE, SIG_IGN);

    for (;;) {
        const int connection = accept(listener, nullptr, nullptr);
        if (connection < 0) {
            const int error = errno;
            if (!transient(error)) break;
            if (shortage(error)) pause_briefly();
            continue;
        }
        const pid_t child = fork();
        if (child == 0) {
            close(listener);
            serve_connection(connection, settings);
            _exit(0); // nothing buffered, nothing to run at exit
        }
        close(connection);
    }

    close(listener);
    settings.handle_list.clear();
    settings.forward_handle = nullptr;
    settings.secret_list.clear();
    settings.secret_list.shrink_to_fit();
    settings.file_secrets.clear();
    settings.file_secrets.shrink_to_fit();
    return 0;
}

} // namespace srs_tool
