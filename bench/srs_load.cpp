// srs-load: drives the srs daemon with concurrent clients and measures it
// beside minimal-server, a small C program that accepts, forks, reads one
// line, writes one fixed line and exits: the floor of this design.
//
//   srs-load [--requests=N] [--srs=PATH] [--minimal=PATH]
//
// For 1, 8 and 64 clients, each server gets N requests in all. Daemon
// clients forward a random sender, reverse the reply and check that the
// sender comes back (two requests). Reports requests per second, latency
// p50/p99/max, errors, zombie children left, and the daemon's resident
// memory before and after.
#include "peer.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
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
#include <poll.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

extern char **environ;

namespace {

using peer::random_sender;
using peer::wait_until;

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

using peer::children_of;
using peer::listener_pid;
using peer::resident_kib;

// One request on its own connection: the reply, or nothing on failure.
std::optional<std::string> ask(const std::string &path, const std::string &request) {
    return peer::ask(path, request, 30s);
}

// ---- Load -------------------------------------------------------------------

struct Stats {
    double seconds = 0;
    std::size_t requests = 0;
    std::size_t errors = 0;
    std::vector<double> latencies_us;

    double percentile(double p) const {
        if (latencies_us.empty()) return 0;
        std::vector<double> v = latencies_us;
        const auto k = static_cast<std::size_t>(p * static_cast<double>(v.size() - 1));
        std::nth_element(v.begin(), v.begin() + static_cast<std::ptrdiff_t>(k), v.end());
        return v[k];
    }
    double max() const {
        return latencies_us.empty() ? 0
                                    : *std::max_element(latencies_us.begin(), latencies_us.end());
    }
};

// Runs `total` requests with `clients` threads. `exchange` performs one unit
// of work (one or more requests), records latencies and returns how many
// requests it made and how many failed.
template <class Exchange>
Stats drive(int clients, std::size_t total, std::size_t per_unit, Exchange exchange) {
    std::atomic<std::size_t> next{0};
    std::vector<Stats> partial(static_cast<std::size_t>(clients));
    const auto start = Clock::now();
    std::vector<std::thread> threads;
    for (int t = 0; t < clients; ++t) {
        threads.emplace_back([&, t] {
            std::mt19937 rng(static_cast<unsigned>(t) * 7919u + 1u);
            Stats &s = partial[static_cast<std::size_t>(t)];
            while (next.fetch_add(per_unit) < total)
                exchange(rng, s);
        });
    }
    for (auto &th : threads)
        th.join();
    Stats all;
    all.seconds = std::chrono::duration<double>(Clock::now() - start).count();
    for (const Stats &s : partial) {
        all.requests += s.requests;
        all.errors += s.errors;
        all.latencies_us.insert(all.latencies_us.end(), s.latencies_us.begin(),
                                s.latencies_us.end());
    }
    return all;
}

void add(Stats &total, const Stats &part) {
    total.seconds += part.seconds;
    total.requests += part.requests;
    total.errors += part.errors;
    total.latencies_us.insert(total.latencies_us.end(), part.latencies_us.begin(),
                              part.latencies_us.end());
}

constexpr int rounds = 4;

// Times one request, recording its latency; the reply, or nothing.
std::optional<std::string> timed(const std::string &path, const std::string &request, Stats &s) {
    const auto t0 = Clock::now();
    auto reply = ask(path, request);
    s.latencies_us.push_back(std::chrono::duration<double, std::micro>(Clock::now() - t0).count());
    ++s.requests;
    return reply;
}

void print_row(const char *server, int clients, const Stats &s) {
    std::printf("| %-8s | %3d | %7zu | %9.0f | %8.0f | %8.0f | %8.0f | %6zu |", server, clients,
                s.requests, static_cast<double>(s.requests) / s.seconds, s.percentile(0.5),
                s.percentile(0.99), s.max(), s.errors);
}

// Starts a program with standard output on /dev/null; its process id.
pid_t spawn(std::vector<std::string> args) {
    std::vector<char *> argv;
    for (auto &a : args)
        argv.push_back(a.data());
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    pid_t pid = -1;
    if (posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ) != 0) pid = -1;
    posix_spawn_file_actions_destroy(&actions);
    return pid;
}

} // namespace

int main(int argc, char **argv) {
    std::size_t requests = 20000;
    std::string srs = SRS_BINARY_DEFAULT;
    std::string minimal_server = MINIMAL_SERVER_DEFAULT;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg.rfind("--requests=", 0) == 0)
            requests = std::strtoul(arg.c_str() + 11, nullptr, 10);
        else if (arg.rfind("--srs=", 0) == 0)
            srs = arg.substr(6);
        else if (arg.rfind("--minimal=", 0) == 0)
            minimal_server = arg.substr(10);
        else {
            std::fprintf(stderr, "usage: srs-load [--requests=N] [--srs=PATH] [--minimal=PATH]\n");
            return 2;
        }
    }
    std::signal(SIGPIPE, SIG_IGN);

    char dir_template[] = "/tmp/srs-load-XXXXXX";
    const std::string dir = mkdtemp(dir_template);
    const std::string daemon_path = dir + "/srsd", minimal_path = dir + "/minimal";

    // The daemon, started the way an administrator would, and the minimal
    // server beside it.
    const pid_t starter = spawn(
        {srs, "-d", "--socket=" + daemon_path, "--secret=load-secret", "--secret=older-secret"});
    if (starter <= 0) {
        std::fprintf(stderr, "srs-load: cannot start %s\n", srs.c_str());
        return 1;
    }
    waitpid(starter, nullptr, 0);
    pid_t daemon = -1;
    wait_until([&] { return (daemon = listener_pid(daemon_path)) > 0; }, 5s);
    const pid_t minimal = spawn({minimal_server, minimal_path});
    pid_t minimal_pid = -1;
    wait_until([&] { return (minimal_pid = listener_pid(minimal_path)) > 0; }, 5s);
    if (daemon <= 0 || minimal_pid <= 0) {
        std::fprintf(stderr, "srs-load: a server did not come up in %s\n", dir.c_str());
        if (daemon > 0) kill(daemon, SIGTERM);
        if (minimal > 0) kill(minimal, SIGTERM);
        return 1;
    }

    std::printf("srs-load: %zu requests per run, daemon pid %d\n\n", requests, daemon);
    std::printf("| server   | clients | requests | req/s | p50 us | p99 us | max us | errors |"
                " ratio to minimal |\n|---|---|---|---|---|---|---|---|---|\n");
    const long rss_before = resident_kib(daemon);
    int zombies_left = 0;
    for (const int clients : {1, 8, 64}) {
        // The two servers take turns, a quarter of the requests at a time,
        // so that drift in the machine's load falls on both alike.
        Stats floor, ours;
        for (int round = 0; round < rounds; ++round) {
            add(floor, drive(clients, requests / rounds, 1, [&](std::mt19937 &, Stats &s) {
                    const auto reply =
                        timed(minimal_path, "forward user@example.org forwarder.example\n", s);
                    if (!reply || reply->empty()) ++s.errors;
                }));
            add(ours, drive(clients, requests / rounds, 2, [&](std::mt19937 &rng, Stats &s) {
                    const std::string sender = random_sender(rng);
                    const auto forwarded =
                        timed(daemon_path, "forward " + sender + " forwarder.example\n", s);
                    if (!forwarded || forwarded->rfind("SRS0=", 0) != 0) {
                        ++s.errors;
                        return;
                    }
                    const auto back = timed(daemon_path, "reverse " + *forwarded, s);
                    if (!back || *back != sender + "\n") ++s.errors;
                }));
        }
        print_row("minimal", clients, floor);
        std::printf(" |\n");
        print_row("srs", clients, ours);
        std::printf(" %.2f |\n", (static_cast<double>(ours.requests) / ours.seconds) /
                                     (static_cast<double>(floor.requests) / floor.seconds));
        wait_until([&] { return children_of(daemon, false) == 0; }, 5s);
        zombies_left += children_of(daemon, true);
    }
    const long rss_after = resident_kib(daemon);
    std::printf("\ndaemon resident memory: %ld KiB before, %ld KiB after\n", rss_before, rss_after);
    std::printf("zombie children left: %d\n", zombies_left);

    kill(daemon, SIGTERM);
    if (minimal > 0) {
        kill(minimal, SIGTERM);
        waitpid(minimal, nullptr, 0);
    }
    std::error_code ignored;
    std::filesystem::remove_all(dir, ignored);
    return zombies_left == 0 ? 0 : 1;
}
