// Talking to a server on a local stream socket, and looking at its
// processes: shared by the tests and the load tool (no test framework).
#pragma once

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <optional>
#include <poll.h>
#include <random>
#include <sstream>
#include <string>
#include <sys/socket.h>
#include <sys/un.h>
#include <thread>
#include <unistd.h>

namespace peer {

// Connects to a local stream socket; -1 when nobody listens there. A
// connect to a listener whose queue is full waits for room, at most 10 s.
inline int connect_to(const std::string &path) {
    const int fd = socket(AF_UNIX, SOCK_STREAM, 0);
    if (fd < 0) return -1;
    timeval limit{10, 0};
    setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof limit);
    sockaddr_un a{};
    a.sun_family = AF_UNIX;
    std::strncpy(a.sun_path, path.c_str(), sizeof a.sun_path - 1);
    if (connect(fd, reinterpret_cast<sockaddr *>(&a), sizeof a) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

// Reads until the peer closes, at most `limit`; nothing on time-out.
inline std::optional<std::string> read_all(int fd, std::chrono::milliseconds limit) {
    std::string got;
    const auto deadline = std::chrono::steady_clock::now() + limit;
    char buf[4096];
    for (;;) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) return std::nullopt;
        pollfd p{fd, POLLIN, 0};
        if (poll(&p, 1, static_cast<int>(left.count())) <= 0) continue;
        const ssize_t n = read(fd, buf, sizeof buf);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return got;
        got.append(buf, static_cast<std::size_t>(n));
    }
}

// One request on a fresh connection; the reply, or nothing on failure.
inline std::optional<std::string> ask(const std::string &path, const std::string &request,
                                      std::chrono::milliseconds limit = std::chrono::seconds(10)) {
    const int fd = connect_to(path);
    if (fd < 0) return std::nullopt;
    if (!request.empty() && send(fd, request.data(), request.size(), MSG_NOSIGNAL) !=
                                static_cast<ssize_t>(request.size())) {
        close(fd);
        return std::nullopt;
    }
    shutdown(fd, SHUT_WR);
    auto reply = read_all(fd, limit);
    close(fd);
    return reply;
}

// One socketmap request (a netstring) on a connection of its own; the
// payload of the reply netstring, or "(no reply)".
inline std::string socketmap_ask(const std::string &path, const std::string &request,
                                 std::chrono::milliseconds limit = std::chrono::seconds(10)) {
    const auto reply = ask(path, std::to_string(request.size()) + ":" + request + ",", limit);
    if (!reply || reply->find(':') == std::string::npos) return "(no reply)";
    const std::string body = reply->substr(reply->find(':') + 1);
    return body.substr(0, body.size() - 1);
}

// Process id of the daemon listening at path (the peer credentials of a
// connection name the process that listens), or -1.
inline pid_t listener_pid(const std::string &path) {
    const int fd = connect_to(path);
    if (fd < 0) return -1;
    ucred cred{};
    socklen_t len = sizeof cred;
    const pid_t pid = getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &cred, &len) == 0 ? cred.pid : -1;
    close(fd);
    return pid;
}

// Children of a process (only those that ended and were not reaped, when
// zombies_only), read from /proc.
inline int children_of(pid_t parent, bool zombies_only) {
    int count = 0;
    for (const auto &entry : std::filesystem::directory_iterator("/proc")) {
        std::ifstream stat(entry.path() / "stat");
        std::string line;
        if (!std::getline(stat, line)) continue;
        const auto close_paren = line.rfind(')');
        if (close_paren == std::string::npos) continue;
        std::istringstream rest(line.substr(close_paren + 2));
        char state = 0;
        pid_t ppid = 0;
        rest >> state >> ppid;
        if (ppid == parent && (!zombies_only || state == 'Z')) ++count;
    }
    return count;
}

// Resident memory of a process in KiB, or -1.
inline long resident_kib(pid_t pid) {
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    while (std::getline(status, line))
        if (line.rfind("VmRSS:", 0) == 0) return std::strtol(line.c_str() + 6, nullptr, 10);
    return -1;
}

// A random sender: a local part of letters, digits and ".+-_", and a domain
// of letters under ".example".
inline std::string random_sender(std::mt19937 &rng) {
    static constexpr char letters[] =
        "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789.+-_";
    std::uniform_int_distribution<std::size_t> pick(0, sizeof letters - 2), length(1, 24);
    std::string local, domain;
    for (std::size_t i = length(rng); i > 0; --i)
        local += letters[pick(rng)];
    for (std::size_t i = length(rng); i > 0; --i)
        domain += letters[pick(rng) % 52];
    return local + "@" + domain + ".example";
}

// Polls the condition until it holds or the time is up; whether it held.
template <class Condition> bool wait_until(Condition condition, std::chrono::milliseconds limit) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (!condition()) {
        if (std::chrono::steady_clock::now() > deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return true;
}

} // namespace peer
