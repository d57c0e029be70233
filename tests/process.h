// Running the real srs binary as a separate process, with time limits, and
// talking to its daemon over the socket.
#pragma once

#include "peer.h"

#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <optional>
#include <poll.h>
#include <spawn.h>
#include <sstream>
#include <string>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

extern char **environ;

namespace process {

using peer::ask;
using peer::connect_to;
using peer::listener_pid;
using peer::read_all;

// Path of the program under test, given to the test binary by CMake.
inline std::string srs_path() {
    const char *p = std::getenv("SRS_BINARY");
    return p != nullptr ? p : SRS_BINARY_DEFAULT;
}

struct Outcome {
    std::string out;
    std::string err;
    int status = -1; // exit status, or -1 when killed or timed out
};

inline std::string read_file(const std::string &name) {
    std::ifstream in(name, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

// Starts srs with the arguments, standard input from /dev/null, standard
// output and error to the given descriptors (-1: /dev/null). Returns the
// process id, or -1.
inline pid_t spawn(const std::vector<std::string> &args, int out_fd, int err_fd) {
    std::vector<std::string> all{srs_path()};
    all.insert(all.end(), args.begin(), args.end());
    std::vector<char *> argv;
    for (auto &a : all)
        argv.push_back(a.data());
    argv.push_back(nullptr);

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    for (const auto &[fd, target] : {std::pair{out_fd, 1}, std::pair{err_fd, 2}}) {
        if (fd >= 0)
            posix_spawn_file_actions_adddup2(&actions, fd, target);
        else
            posix_spawn_file_actions_addopen(&actions, target, "/dev/null", O_WRONLY, 0);
    }
    pid_t pid = -1;
    if (posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ) != 0) pid = -1;
    posix_spawn_file_actions_destroy(&actions);
    return pid;
}

// Waits at most `limit` for the process to end: its exit status, or -1 when
// it was killed by a signal or had to be killed for taking too long.
inline int wait_for(pid_t pid, std::chrono::milliseconds limit) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    int status = 0;
    for (;;) {
        if (waitpid(pid, &status, WNOHANG) == pid)
            return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
        if (std::chrono::steady_clock::now() > deadline) {
            kill(pid, SIGKILL);
            waitpid(pid, &status, 0);
            ADD_FAILURE() << "srs did not end in time";
            return -1;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
}

// Runs srs with the arguments and waits at most `limit` for it to end. The
// standard output and error go to files, so a daemon that keeps them open
// cannot hold the test.
inline Outcome run(const std::vector<std::string> &args,
                   std::chrono::milliseconds limit = std::chrono::seconds(10)) {
    char out_name[] = "/tmp/srs-test-out-XXXXXX";
    char err_name[] = "/tmp/srs-test-err-XXXXXX";
    const int out_fd = mkstemp(out_name);
    const int err_fd = mkstemp(err_name);
    Outcome o;
    const pid_t pid = spawn(args, out_fd, err_fd);
    if (pid > 0) o.status = wait_for(pid, limit);
    close(out_fd);
    close(err_fd);
    o.out = read_file(out_name);
    o.err = read_file(err_name);
    unlink(out_name);
    unlink(err_name);
    return o;
}

// Children of a process that have ended but were not reaped.
inline int zombie_children(pid_t parent) {
    return peer::children_of(parent, true);
}

// A daemon started in a private directory for one test, killed by process
// id when the test ends.
class Daemon {
  public:
    explicit Daemon(std::vector<std::string> secrets, std::string socket_name = "sock") {
        char dir[] = "/tmp/srs-daemon-XXXXXX";
        dir_ = mkdtemp(dir);
        path_ = dir_ + "/" + socket_name;
        std::vector<std::string> args{"-d", "--socket=" + path_};
        for (auto &s : secrets)
            args.push_back("--secret=" + s);
        start_ = run(args);
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
        while ((pid_ = listener_pid(path_)) < 0 && std::chrono::steady_clock::now() < deadline)
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    ~Daemon() {
        stop();
        std::error_code ignored;
        std::filesystem::remove_all(dir_, ignored);
    }
    Daemon(const Daemon &) = delete;
    Daemon &operator=(const Daemon &) = delete;

    void stop() {
        if (pid_ > 0) kill(pid_, SIGTERM);
        pid_ = -1;
    }
    // The daemon ended by itself: its process id may be reused and is not
    // to be killed any more.
    void forget() { pid_ = -1; }
    const std::string &path() const { return path_; }
    const std::string &dir() const { return dir_; }
    pid_t pid() const { return pid_; }
    const Outcome &start() const { return start_; }
    std::optional<std::string> ask(const std::string &request) const {
        return process::ask(path_, request);
    }

  private:
    std::string dir_;
    std::string path_;
    pid_t pid_ = -1;
    Outcome start_;
};

} // namespace process
