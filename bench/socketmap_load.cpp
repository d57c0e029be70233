// socketmap-load: the daemon's socketmap front end under clients that keep
// their connections, as Postfix's services do, beside
// minimal-netstring-server (fork per connection, the same framing, one
// fixed reply per request: the floor of this design), and beside the same
// daemon's line protocol (a connection per request) at the same client
// count.
//
//   socketmap-load [--requests=N] [--clients=C] [--store=sqlite|redis] [--srs=PATH]
//                  [--minimal=PATH]
//
// With --store= the daemon runs in database mode: an SQLite file in the
// run's directory, or a redis-server started there on a unix socket.
//
// Each socketmap client opens one connection and sends forward and reverse
// requests one after another on it, checking that the sender comes back.
// The three servers take turns, a quarter of the requests at a time.
// Reports requests per second, latency p50/p99, errors, and the daemon's
// CPU time per request (its own and its connection processes', read from
// /proc once they have ended).
#include "peer.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <optional>
#include <random>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <fcntl.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

extern char **environ;

namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

struct Stats {
    double seconds = 0;
    std::size_t requests = 0;
    std::size_t errors = 0;
    std::vector<double> latencies_us;

    double rate() const { return seconds > 0 ? static_cast<double>(requests) / seconds : 0; }
    double percentile(double p) const {
        if (latencies_us.empty()) return 0;
        std::vector<double> v = latencies_us;
        const auto k = static_cast<std::size_t>(p * static_cast<double>(v.size() - 1));
        std::nth_element(v.begin(), v.begin() + static_cast<std::ptrdiff_t>(k), v.end());
        return v[k];
    }
    void add(const Stats &o) {
        seconds += o.seconds;
        requests += o.requests;
        errors += o.errors;
        latencies_us.insert(latencies_us.end(), o.latencies_us.begin(), o.latencies_us.end());
    }
};

// A persistent connection that speaks netstrings.
class Connection {
  public:
    explicit Connection(const std::string &path) : fd_(peer::connect_to(path)) {}
    ~Connection() {
        if (fd_ >= 0) close(fd_);
    }
    Connection(const Connection &) = delete;
    Connection &operator=(const Connection &) = delete;
    bool ok() const { return fd_ >= 0; }

    std::optional<std::string> ask(const std::string &payload) {
        const std::string request = std::to_string(payload.size()) + ":" + payload + ",";
        if (send(fd_, request.data(), request.size(), MSG_NOSIGNAL) !=
            static_cast<ssize_t>(request.size()))
            return std::nullopt;
        for (;;) {
            const auto colon = buffer_.find(':');
            if (colon != std::string::npos) {
                const std::size_t length = std::strtoul(buffer_.c_str(), nullptr, 10);
                const std::size_t size = colon + 1 + length + 1;
                if (buffer_.size() >= size) {
                    std::string reply = buffer_.substr(colon + 1, length);
                    buffer_.erase(0, size);
                    return reply;
                }
            }
            char chunk[4096];
            const ssize_t got = recv(fd_, chunk, sizeof chunk, 0);
            if (got <= 0) return std::nullopt;
            buffer_.append(chunk, static_cast<std::size_t>(got));
        }
    }

  private:
    int fd_;
    std::string buffer_;
};

// `clients` threads share `total` requests; each calls `session` once with
// its share, its generator and its statistics.
template <class Session> Stats drive(int clients, std::size_t total, Session session) {
    std::vector<Stats> partial(static_cast<std::size_t>(clients));
    const std::size_t share = total / static_cast<std::size_t>(clients);
    const auto start = Clock::now();
    std::vector<std::thread> threads;
    for (int t = 0; t < clients; ++t)
        threads.emplace_back([&, t] {
            std::mt19937 rng(static_cast<unsigned>(t) * 7919u + 11u);
            session(share, rng, partial[static_cast<std::size_t>(t)]);
        });
    for (auto &th : threads)
        th.join();
    Stats all;
    all.seconds = std::chrono::duration<double>(Clock::now() - start).count();
    for (const Stats &s : partial)
        all.add(s);
    return all;
}

// A random sender whose local part needs no quotes (no dots): its
// rewritten address comes back unquoted.
std::string dot_atom_sender(std::mt19937 &rng) {
    std::string sender = peer::random_sender(rng);
    const auto at = sender.find('@');
    std::replace(sender.begin(), sender.begin() + static_cast<std::ptrdiff_t>(at), '.', '_');
    return sender;
}

template <class F> auto timed(Stats &s, F f) {
    const auto t0 = Clock::now();
    auto result = f();
    s.latencies_us.push_back(std::chrono::duration<double, std::micro>(Clock::now() - t0).count());
    ++s.requests;
    return result;
}

// Forward, then reverse, on one kept connection, until the share is done.
Stats socketmap_run(const std::string &path, int clients, std::size_t total) {
    return drive(clients, total, [&](std::size_t share, std::mt19937 &rng, Stats &s) {
        Connection c(path);
        if (!c.ok()) {
            s.errors += share;
            return;
        }
        for (std::size_t done = 0; done + 2 <= share; done += 2) {
            const std::string sender = dot_atom_sender(rng);
            const auto fwd = timed(s, [&] { return c.ask("forward " + sender); });
            if (!fwd) {
                s.errors += share - done;
                return;
            }
            if (fwd->rfind("OK SRS0=", 0) != 0) {
                ++s.errors;
                continue;
            }
            const auto back = timed(s, [&] { return c.ask("reverse " + fwd->substr(3)); });
            if (!back || *back != "OK " + sender) ++s.errors;
        }
    });
}

// The minimal server: the same requests, its one fixed reply.
Stats minimal_run(const std::string &path, int clients, std::size_t total) {
    return drive(clients, total, [&](std::size_t share, std::mt19937 &rng, Stats &s) {
        Connection c(path);
        if (!c.ok()) {
            s.errors += share;
            return;
        }
        for (std::size_t done = 0; done < share; ++done) {
            const std::string sender = peer::random_sender(rng);
            const auto reply = timed(s, [&] { return c.ask("forward " + sender); });
            if (!reply || reply->rfind("OK ", 0) != 0) ++s.errors;
        }
    });
}

// The line protocol: a connection per request.
Stats line_run(const std::string &path, int clients, std::size_t total) {
    return drive(clients, total, [&](std::size_t share, std::mt19937 &rng, Stats &s) {
        for (std::size_t done = 0; done + 2 <= share; done += 2) {
            const std::string sender = peer::random_sender(rng);
            const auto fwd = timed(s, [&] {
                return peer::ask(path, "forward " + sender + " forwarder.example\n", 30s);
            });
            if (!fwd || fwd->rfind("SRS0=", 0) != 0) {
                ++s.errors;
                continue;
            }
            const auto back = timed(s, [&] { return peer::ask(path, "reverse " + *fwd, 30s); });
            if (!back || *back != sender + "\n") ++s.errors;
        }
    });
}

// CPU seconds of a process and of its children that have ended and been
// reaped (utime, stime, cutime, cstime).
double cpu_seconds(pid_t pid) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
    std::string line;
    std::getline(in, line);
    const auto close_paren = line.rfind(')');
    if (close_paren == std::string::npos) return 0;
    std::istringstream rest(line.substr(close_paren + 2));
    std::string field;
    double ticks = 0;
    for (int i = 3; rest >> field; ++i)
        if (i >= 14 && i <= 17) ticks += std::strtod(field.c_str(), nullptr);
    return ticks / static_cast<double>(sysconf(_SC_CLK_TCK));
}

pid_t spawn(std::vector<std::string> args) {
    std::vector<char *> argv;
    for (auto &a : args)
        argv.push_back(a.data());
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    pid_t pid = -1;
    if (posix_spawnp(&pid, argv[0], &actions, nullptr, argv.data(), environ) != 0) pid = -1;
    posix_spawn_file_actions_destroy(&actions);
    return pid;
}

void row(const char *name, const Stats &s, double cpu_us, double ratio) {
    std::printf("| %-18s | %7zu | %9.0f | %7.0f | %7.0f | %6zu | %7.1f | %5.2f |\n", name,
                s.requests, s.rate(), s.percentile(0.5), s.percentile(0.99), s.errors, cpu_us,
                ratio);
}

} // namespace

int main(int argc, char **argv) {
    std::size_t requests = 64000;
    int clients = 64;
    std::string srs = SRS_BINARY_DEFAULT;
    std::string minimal = MINIMAL_SERVER_DEFAULT;
    std::string store;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg.rfind("--store=", 0) == 0) {
            store = arg.substr(8);
            if (store != "sqlite" && store != "redis") {
                std::fprintf(stderr, "socketmap-load: --store=sqlite or --store=redis\n");
                return 2;
            }
            continue;
        }
        if (arg.rfind("--requests=", 0) == 0)
            requests = std::strtoul(arg.c_str() + 11, nullptr, 10);
        else if (arg.rfind("--clients=", 0) == 0)
            clients = std::atoi(arg.c_str() + 10);
        else if (arg.rfind("--srs=", 0) == 0)
            srs = arg.substr(6);
        else if (arg.rfind("--minimal=", 0) == 0)
            minimal = arg.substr(10);
        else {
            std::fprintf(stderr, "usage: socketmap-load [--requests=N] [--clients=C] [--srs=PATH] "
                                 "[--minimal=PATH]\n");
            return 2;
        }
    }
    std::signal(SIGPIPE, SIG_IGN);
    char dir_template[] = "/tmp/srs-smload-XXXXXX";
    const std::string dir = mkdtemp(dir_template);
    const std::string map_path = dir + "/socketmap", line_path = dir + "/line",
                      minimal_path = dir + "/minimal", pid_file = dir + "/pid";

    std::vector<std::string> daemon_args{
        srs, "-d", "--socketmap=" + map_path, "--socket=" + line_path, "--alias=forwarder.example",
        "--secret=load-secret", "--secret=older-secret", "--pidfile=" + pid_file,
        "--maxchildren=1024"};
    pid_t redis = -1;
    if (store == "sqlite") daemon_args.push_back("--store=sqlite:" + dir + "/senders.db");
    if (store == "redis") {
        redis = spawn({"redis-server", "--port", "0", "--unixsocket", dir + "/redis.sock", "--save",
                       "", "--appendonly", "no", "--dir", dir});
        if (redis <= 0 || !peer::wait_until([&] { return peer::connect_to(dir + "/redis.sock") >= 0; },
                                            5s)) {
            std::fprintf(stderr, "socketmap-load: redis-server did not start\n");
            return 1;
        }
        daemon_args.push_back("--store=redis:" + dir + "/redis.sock");
    }
    const pid_t starter = spawn(daemon_args);
    if (starter > 0) waitpid(starter, nullptr, 0);
    const pid_t minimal_server = spawn({minimal, minimal_path});
    pid_t daemon = -1, minimal_pid = -1;
    peer::wait_until([&] { return (daemon = peer::listener_pid(map_path)) > 0; }, 5s);
    peer::wait_until([&] { return (minimal_pid = peer::listener_pid(minimal_path)) > 0; }, 5s);
    if (daemon <= 0 || minimal_pid <= 0) {
        std::fprintf(stderr, "socketmap-load: a server did not come up in %s\n", dir.c_str());
        return 1;
    }

    // The line protocol costs a fork per request: a tenth of the requests
    // gives its rate just as well.
    const std::size_t line_requests = std::max<std::size_t>(requests / 10, 2000);
    Stats floor, map, line;
    double map_cpu = 0, line_cpu = 0;
    constexpr int rounds = 4;
    auto settled = [&] { peer::wait_until([&] { return peer::children_of(daemon, false) == 0; }, 10s); };
    for (int round = 0; round < rounds; ++round) {
        floor.add(minimal_run(minimal_path, clients, requests / rounds));
        double before = cpu_seconds(daemon);
        map.add(socketmap_run(map_path, clients, requests / rounds));
        settled();
        map_cpu += cpu_seconds(daemon) - before;
        before = cpu_seconds(daemon);
        line.add(line_run(line_path, clients, line_requests / rounds));
        settled();
        line_cpu += cpu_seconds(daemon) - before;
    }
    std::printf("socketmap-load: %d clients, %zu socketmap requests, %zu line requests, %s\n\n",
                clients, map.requests, line.requests,
                store.empty() ? "no store" : ("database mode with the " + store + " store").c_str());
    std::printf("| server | requests | req/s | p50 us | p99 us | errors | daemon CPU us/req | "
                "ratio |\n|---|---|---|---|---|---|---|---|\n");
    row("minimal netstring", floor, 0, 1.0);
    row("srs socketmap", map, 1e6 * map_cpu / static_cast<double>(map.requests),
        map.rate() / floor.rate());
    row("srs line protocol", line, 1e6 * line_cpu / static_cast<double>(line.requests),
        line.rate() / floor.rate());
    std::printf("\nsocketmap / minimal: %.2f (target >= 0.8); socketmap / line protocol: %.1f "
                "(target >= 10)\n",
                map.rate() / floor.rate(), map.rate() / line.rate());

    kill(daemon, SIGTERM);
    if (redis > 0) {
        kill(redis, SIGTERM);
        waitpid(redis, nullptr, 0);
    }
    kill(minimal_server, SIGTERM);
    waitpid(minimal_server, nullptr, 0);
    std::error_code ignored;
    std::filesystem::remove_all(dir, ignored);
    return map.errors + line.errors + floor.errors == 0 ? 0 : 1;
}
