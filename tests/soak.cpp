// soak: a long run of the srs daemon under many concurrent clients, on its
// local socket only.
//
//   soak [--requests=N] [--clients=C] [--srs=PATH]
//
// Starts the daemon in a private directory, then C client threads make N
// requests in all (20000 and 64 by default): each forwards a random sender,
// checks the rewritten address against one built with OpenSSL (oracle.h),
// reverses it and checks that the sender comes back. Counts wrong replies
// and missing ones, connection processes left unreaped, and the daemon's
// resident memory before and after. Prints one summary line and exits
// non-zero on any failure. The daemon is killed by process id at the end.
#include "oracle.h"
#include "peer.h"

#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

extern char **environ;

namespace {

using peer::random_sender;
using peer::wait_until;

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

const char *const secret = "soak-secret";

// Growth of the daemon's resident memory that still counts as flat: the
// daemon allocates nothing per connection, so any steady growth over
// thousands of connections shows well above this.
constexpr long rss_slack_kib = 256;

struct Counts {
    std::size_t requests = 0;
    std::size_t wrong = 0;
    std::size_t lost = 0;
};

// The SRS0 address of `sender` with the day stamp `stamp`, by OpenSSL.
std::string srs0(const std::string &stamp, const std::string &sender, const std::string &alias) {
    const auto at = sender.find('@');
    const std::string local = sender.substr(0, at), domain = sender.substr(at + 1);
    const std::string hash =
        oracle::hash_text(secret, oracle::lower(stamp + domain + local)).substr(0, 6);
    return "SRS0=" + hash + "=" + stamp + "=" + domain + "=" + local + "@" + alias;
}

// The first line of a reply, without its newline, for a message.
std::string first_line(const std::string &reply) {
    return reply.substr(0, reply.find('\n'));
}

std::optional<std::string> ask(const std::string &path, const std::string &request) {
    return peer::ask(path, request, 30s);
}

// Starts the daemon; its process id (the process listening at `path`), or -1.
pid_t start_daemon(const std::string &srs, const std::string &path) {
    std::vector<std::string> args{srs, "-d", "--socket=" + path, std::string("--secret=") + secret,
                                  "--secret=older-secret"};
    std::vector<char *> argv;
    for (auto &a : args)
        argv.push_back(a.data());
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    pid_t starter = -1;
    if (posix_spawn(&starter, argv[0], &actions, nullptr, argv.data(), environ) != 0) starter = -1;
    posix_spawn_file_actions_destroy(&actions);
    if (starter <= 0) return -1;
    // The starting process forks the daemon and ends at once.
    int status = 0;
    if (!wait_until([&] { return waitpid(starter, &status, WNOHANG) == starter; }, 10s)) {
        kill(starter, SIGKILL);
        waitpid(starter, &status, 0);
        return -1;
    }
    pid_t daemon = -1;
    wait_until([&] { return (daemon = peer::listener_pid(path)) > 0; }, 5s);
    return daemon;
}

// Kills the daemon by process id and waits until it is gone, at most 5 s.
void stop_daemon(pid_t daemon) {
    kill(daemon, SIGTERM);
    if (!wait_until([&] { return kill(daemon, 0) != 0; }, 5s)) kill(daemon, SIGKILL);
}

} // namespace

int main(int argc, char **argv) {
    std::size_t requests = 20000;
    int clients = 64;
    std::string srs = SRS_BINARY_DEFAULT;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg.rfind("--requests=", 0) == 0)
            requests = std::strtoul(arg.c_str() + 11, nullptr, 10);
        else if (arg.rfind("--clients=", 0) == 0)
            clients = std::atoi(arg.c_str() + 10);
        else if (arg.rfind("--srs=", 0) == 0)
            srs = arg.substr(6);
        else {
            std::fprintf(stderr, "usage: soak [--requests=N] [--clients=C] [--srs=PATH]\n");
            return 2;
        }
    }
    if (requests < 2 || clients < 1) {
        std::fprintf(stderr, "soak: needs at least 2 requests and 1 client\n");
        return 2;
    }
    std::signal(SIGPIPE, SIG_IGN);

    char dir_template[] = "/tmp/srs-soak-XXXXXX";
    const std::string dir = mkdtemp(dir_template);
    const std::string path = dir + "/sock";
    const pid_t daemon = start_daemon(srs, path);
    if (daemon <= 0) {
        std::fprintf(stderr, "soak: no daemon came up at %s\n", path.c_str());
        std::error_code ignored;
        std::filesystem::remove_all(dir, ignored);
        return 1;
    }

    // A few requests first, so that the memory the daemon touches once
    // (its first fork, lazily bound pages) is in the first figure.
    for (int i = 0; i < 32; ++i)
        ask(path, "reverse warm@up.example\n");
    wait_until([&] { return peer::children_of(daemon, false) == 0; }, 5s);
    const long rss_before = peer::resident_kib(daemon);

    // Each unit of work is two requests: a forward and the reverse of its
    // reply. No unit starts after the time allowed; those not run count as
    // lost.
    const std::size_t units = requests / 2;
    const auto deadline = Clock::now() + std::chrono::seconds(60 + requests / 50);
    std::atomic<std::size_t> next{0};
    std::vector<Counts> partial(static_cast<std::size_t>(clients));
    std::vector<std::thread> threads;
    for (int t = 0; t < clients; ++t)
        threads.emplace_back([&, t] {
            std::mt19937 rng(static_cast<unsigned>(t) * 7919u + 17u);
            Counts &c = partial[static_cast<std::size_t>(t)];
            for (std::size_t unit; (unit = next++) < units && Clock::now() < deadline;) {
                const std::string sender = random_sender(rng);
                const std::string alias = "fwd" + std::to_string(unit % 7) + ".example";
                const std::string before = oracle::stamp_days_ago(0);
                const auto forwarded = ask(path, "forward " + sender + " " + alias + "\n");
                const std::string after = oracle::stamp_days_ago(0);
                c.requests += 2;
                if (!forwarded || forwarded->empty()) {
                    c.lost += 2; // the reverse cannot be sent either
                    continue;
                }
                if (*forwarded != srs0(before, sender, alias) + "\n" &&
                    *forwarded != srs0(after, sender, alias) + "\n") {
                    ++c.wrong;
                    std::fprintf(stderr, "soak: forward %s -> %s\n", sender.c_str(),
                                 first_line(*forwarded).c_str());
                }
                const auto back = ask(path, "reverse " + *forwarded);
                if (!back || back->empty())
                    ++c.lost;
                else if (*back != sender + "\n") {
                    ++c.wrong;
                    std::fprintf(stderr, "soak: reverse for %s -> %s\n", sender.c_str(),
                                 first_line(*back).c_str());
                }
            }
        });
    for (auto &th : threads)
        th.join();
    Counts total;
    for (const Counts &c : partial) {
        total.requests += c.requests;
        total.wrong += c.wrong;
        total.lost += c.lost;
    }
    total.lost += (units * 2 > total.requests ? units * 2 - total.requests : 0); // never started

    // Every connection process ends and is reaped.
    wait_until([&] { return peer::children_of(daemon, false) == 0; }, 10s);
    const int zombies = peer::children_of(daemon, true);
    const int still_running = peer::children_of(daemon, false) - zombies;
    const long rss_after = peer::resident_kib(daemon);
    const bool listening = peer::listener_pid(path) == daemon;
    stop_daemon(daemon);
    std::error_code ignored;
    std::filesystem::remove_all(dir, ignored);

    const bool rss_flat =
        rss_before > 0 && rss_after > 0 && rss_after - rss_before <= rss_slack_kib;
    std::printf("soak: %zu requests, %d clients, %zu errors, %zu lost, %d zombies, rss %ld KiB -> "
                "%ld KiB\n",
                units * 2, clients, total.wrong, total.lost, zombies, rss_before, rss_after);
    if (!rss_flat)
        std::printf("soak: FAILED: the daemon's resident memory grew by more than %ld KiB\n",
                    rss_slack_kib);
    if (still_running != 0)
        std::printf("soak: FAILED: %d connection processes still running\n", still_running);
    if (!listening) std::printf("soak: FAILED: the daemon no longer listens\n");
    const bool ok = total.wrong == 0 && total.lost == 0 && zombies == 0 && still_running == 0 &&
                    rss_flat && listening;
    return ok ? 0 : 1;
}
