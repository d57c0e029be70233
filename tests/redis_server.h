// A real redis-server for one test or benchmark, in a temporary folder of
// its own: started with persistence off (`--save '' --appendonly no`), on a
// unix socket in that folder (and, when asked, a loopback TCP port), ready
// once it answers a command, and killed when the object goes, also when the
// test fails. Plus a client of the test's own, with hiredis.
#pragma once

#include <hiredis.h>

#include <chrono>
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <cerrno>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

namespace redis_test {

namespace fs = std::filesystem;

// The redis-server program: $REDIS_SERVER, else the first on PATH; empty
// when there is none.
inline std::string server_program() {
    if (const char *given = std::getenv("REDIS_SERVER"); given != nullptr && *given != '\0')
        return given;
    const char *path = std::getenv("PATH");
    std::stringstream dirs(path != nullptr ? path : "/usr/bin:/bin");
    for (std::string dir; std::getline(dirs, dir, ':');) {
        const fs::path candidate = fs::path(dir.empty() ? "." : dir) / "redis-server";
        if (access(candidate.c_str(), X_OK) == 0) return candidate.string();
    }
    return {};
}

// Under CI (CI=true) a missing redis-server is a failure, not a skip.
inline bool under_ci() {
    const char *ci = std::getenv("CI");
    return ci != nullptr && std::string(ci) == "true";
}

// A fresh folder, removed with everything in it at the end.
class TempDir {
  public:
    TempDir() {
        std::string name = (fs::temp_directory_path() / "srs-redis-XXXXXX").string();
        if (mkdtemp(name.data()) == nullptr) std::abort();
        path_ = name;
    }
    ~TempDir() {
        std::error_code ignored;
        fs::remove_all(path_, ignored);
    }
    TempDir(const TempDir &) = delete;
    TempDir &operator=(const TempDir &) = delete;
    std::string file(const std::string &name) const { return (path_ / name).string(); }

  private:
    fs::path path_;
};

struct FreeContext {
    void operator()(redisContext *c) const { redisFree(c); }
};
using Client = std::unique_ptr<redisContext, FreeContext>;
struct FreeReply {
    void operator()(redisReply *r) const { freeReplyObject(r); }
};
using Reply = std::unique_ptr<redisReply, FreeReply>;

// A command on the test's own connection; null when it got no reply.
inline Reply command(redisContext *c, const std::vector<std::string> &args) {
    std::vector<const char *> argv;
    std::vector<std::size_t> lengths;
    for (const auto &a : args) {
        argv.push_back(a.data());
        lengths.push_back(a.size());
    }
    return Reply(static_cast<redisReply *>(
        redisCommandArgv(c, static_cast<int>(argv.size()), argv.data(), lengths.data())));
}

// A loopback port that nothing listens on at the moment of asking.
inline int free_port() {
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t size = sizeof a;
    int port = 0;
    if (fd >= 0 && bind(fd, reinterpret_cast<sockaddr *>(&a), sizeof a) == 0 &&
        getsockname(fd, reinterpret_cast<sockaddr *>(&a), &size) == 0)
        port = ntohs(a.sin_port);
    if (fd >= 0) close(fd);
    return port;
}

class Server {
  public:
    // tcp: listen on a free loopback port too; extra: further arguments
    // (e.g. --requirepass PASSWORD).
    explicit Server(bool tcp = false, std::vector<std::string> extra = {})
        : tcp_(tcp), extra_(std::move(extra)) {}
    ~Server() { stop(); }
    Server(const Server &) = delete;
    Server &operator=(const Server &) = delete;

    std::string socket() const { return dir_.file("redis.sock"); }
    int port() const { return port_; }
    std::string tcp_address() const { return "127.0.0.1:" + std::to_string(port_); }
    std::string file(const std::string &name) const { return dir_.file(name); }
    pid_t pid() const { return pid_; }
    std::string log() const {
        std::ifstream in(dir_.file("redis.log"));
        std::stringstream s;
        s << in.rdbuf();
        return s.str();
    }

    // Starts the server (again: the same socket and port) and waits until it
    // answers; false with the reason in why.
    bool start(std::string &why) {
        const std::string program = server_program();
        if (program.empty()) {
            why = "redis-server is not installed (Debian package redis-server)";
            return false;
        }
        for (int attempt = 0; attempt < 5; ++attempt) {
            if (tcp_ && (port_ == 0 || attempt > 0)) port_ = free_port();
            if (spawn(program) && wait_ready(why)) return true;
            stop();
            if (!tcp_) break; // a TCP port may have been taken meanwhile: try another
        }
        if (why.empty()) why = "redis-server did not start";
        why += '\n';
        why += log();
        return false;
    }

    void stop() {
        if (pid_ <= 0) return;
        kill(pid_, SIGKILL); // also when stopped by SIGSTOP
        int status = 0;
        while (waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
        }
        pid_ = -1;
    }

    void pause() const { kill(pid_, SIGSTOP); }
    void resume() const { kill(pid_, SIGCONT); }

    // A connection of the test's own, over the unix socket.
    Client client() const {
        Client c(redisConnectUnix(socket().c_str()));
        if (c != nullptr && c->err == 0 && !password_.empty()) command(c.get(), {"AUTH", password_});
        return c;
    }
    void set_password(std::string password) { password_ = std::move(password); }

  private:
    bool spawn(const std::string &program) {
        std::vector<std::string> args{program,         "--port",
                                      std::to_string(tcp_ ? port_ : 0),
                                      "--unixsocket",  socket(),
                                      "--unixsocketperm", "700",
                                      "--save",        "",
                                      "--appendonly",  "no",
                                      "--daemonize",   "no",
                                      "--dir",         dir_.file(""),
                                      "--logfile",     dir_.file("redis.log")};
        if (tcp_) args.insert(args.end(), {"--bind", "127.0.0.1"});
        args.insert(args.end(), extra_.begin(), extra_.end());
        std::vector<char *> argv;
        for (auto &a : args)
            argv.push_back(a.data());
        argv.push_back(nullptr);
        const pid_t parent = getpid();
        pid_ = fork();
        if (pid_ == 0) {
            // Killed with the test, should the test be killed before its
            // destructors run (a time limit of ctest).
            prctl(PR_SET_PDEATHSIG, SIGKILL);
            if (getppid() != parent) _exit(127);
            const int null = open("/dev/null", O_RDWR);
            dup2(null, 0);
            dup2(null, 1);
            execv(argv[0], argv.data());
            _exit(127);
        }
        return pid_ > 0;
    }

    // Polls until the server answers a command (any reply: a server with a
    // password answers NOAUTH), the process ends, or 10 s pass.
    bool wait_ready(std::string &why) {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        while (std::chrono::steady_clock::now() < deadline) {
            int status = 0;
            if (waitpid(pid_, &status, WNOHANG) == pid_) {
                pid_ = -1;
                why = "redis-server ended at start";
                return false;
            }
            Client c(tcp_ ? redisConnect("127.0.0.1", port_) : redisConnectUnix(socket().c_str()));
            if (c != nullptr && c->err == 0 && command(c.get(), {"PING"}) != nullptr) return true;
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        }
        why = "redis-server did not answer within 10 s";
        return false;
    }

    TempDir dir_;
    bool tcp_;
    std::vector<std::string> extra_;
    int port_ = 0;
    pid_t pid_ = -1;
    std::string password_;
};

} // namespace redis_test
