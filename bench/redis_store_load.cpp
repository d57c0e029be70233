// redis-store-load: database-mode forward and reverse rewriting with the
// Redis store, against a redis-server it starts itself on a unix socket in
// a temporary folder (persistence off, as in the tests).
//
//   redis-store-load [--requests=N]
//
// One process, then four at once: each process forwards N senders (one
// SET each, over its own connection), then reverses every address it got
// and checks that the sender comes back (one GET each). The handle is
// attached once, before the fork, and used by the parent first, so the
// children also show the store's lazy connection per process. Reports the
// rates (the four processes' together, from a common start to the last
// one's end) and the p50/p99/max latency of single calls. Target: at least
// 15000 forwards a second in one process.
//
// The one process runs twice: with the program and redis-server on one
// core, where a call costs the two processes' work and two switches, and
// free to run on any core, where on a virtual machine each call may also
// wait for an idle core to wake (the hypervisor's latency, not the
// store's). The four processes run free.
#include <librewrite/srs_redis.h>

#include "redis_server.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include <sched.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

using Clock = std::chrono::steady_clock;
constexpr double forward_target = 15000;

// Latencies in ns of one kind of call, and the time the whole run took.
struct Run {
    std::vector<std::uint32_t> ns;
    double seconds = 0;
    long errors = 0;
};

struct Phases {
    Run forward;
    Run reverse;
};

double percentile(std::vector<std::uint32_t> v, double p) {
    if (v.empty()) return 0;
    std::sort(v.begin(), v.end());
    const auto i = static_cast<std::size_t>(p * static_cast<double>(v.size() - 1));
    return v[i] / 1000.0;
}

// Forwards n senders, then reverses them, timing every call.
Phases work(srs_handle *h, int process, int n) {
    Phases out;
    std::vector<std::string> addresses(static_cast<std::size_t>(n));
    std::vector<std::string> senders(static_cast<std::size_t>(n));
    char buf[512];
    for (int i = 0; i < n; ++i) {
        std::snprintf(buf, sizeof buf, "user%d.p%d@example.org", i, process);
        senders[static_cast<std::size_t>(i)] = buf;
    }
    auto timed = [](Run &run, auto &&call) {
        const auto t0 = Clock::now();
        const bool ok = call();
        const auto t1 = Clock::now();
        run.ns.push_back(static_cast<std::uint32_t>(
            std::min<long long>(std::chrono::nanoseconds(t1 - t0).count(), UINT32_MAX)));
        if (!ok) ++run.errors;
    };
    out.forward.ns.reserve(static_cast<std::size_t>(n));
    out.reverse.ns.reserve(static_cast<std::size_t>(n));

    auto start = Clock::now();
    for (std::size_t i = 0; i < senders.size(); ++i)
        timed(out.forward, [&] {
            if (srs_forward(h, senders[i].c_str(), "fwd.example", buf, sizeof buf) != SRS_OK)
                return false;
            addresses[i] = buf;
            return true;
        });
    out.forward.seconds = std::chrono::duration<double>(Clock::now() - start).count();

    start = Clock::now();
    for (std::size_t i = 0; i < senders.size(); ++i)
        timed(out.reverse, [&] {
            return !SRS_IS_ERROR(srs_reverse(h, addresses[i].c_str(), buf, sizeof buf)) &&
                   senders[i] == buf;
        });
    out.reverse.seconds = std::chrono::duration<double>(Clock::now() - start).count();
    return out;
}

bool write_all(int fd, const void *data, std::size_t size) {
    const char *p = static_cast<const char *>(data);
    while (size > 0) {
        const ssize_t n = write(fd, p, size);
        if (n <= 0) return false;
        p += n;
        size -= static_cast<std::size_t>(n);
    }
    return true;
}

bool read_all(int fd, void *data, std::size_t size) {
    char *p = static_cast<char *>(data);
    while (size > 0) {
        const ssize_t n = read(fd, p, size);
        if (n <= 0) return false;
        p += n;
        size -= static_cast<std::size_t>(n);
    }
    return true;
}

void send_run(int fd, const Run &run) {
    const std::uint64_t count = run.ns.size();
    write_all(fd, &count, sizeof count);
    write_all(fd, &run.errors, sizeof run.errors);
    write_all(fd, run.ns.data(), run.ns.size() * sizeof run.ns[0]);
}

bool receive_run(int fd, Run &run) {
    std::uint64_t count = 0;
    long errors = 0;
    if (!read_all(fd, &count, sizeof count) || !read_all(fd, &errors, sizeof errors)) return false;
    const std::size_t before = run.ns.size();
    run.ns.resize(before + count);
    run.errors += errors;
    return read_all(fd, run.ns.data() + before, count * sizeof run.ns[0]);
}

// procs processes at once, each doing n forwards then n reverses. The rate
// of a phase counts all processes' calls over the time from the common
// start to the end of the slowest process's phase, as the children report
// it.
Phases in_processes(srs_handle *h, int procs, int n) {
    int go[2];
    if (pipe(go) != 0) std::exit(1);
    std::vector<int> results;
    std::vector<pid_t> pids;
    for (int p = 0; p < procs; ++p) {
        int fds[2];
        if (pipe(fds) != 0) std::exit(1);
        const pid_t pid = fork();
        if (pid == 0) {
            close(go[1]);
            close(fds[0]);
            char start = 0;
            if (read(go[0], &start, 1) < 0) _exit(1); // end of file: go
            const Phases ph = work(h, p + 1, n);
            send_run(fds[1], ph.forward);
            write_all(fds[1], &ph.forward.seconds, sizeof ph.forward.seconds);
            send_run(fds[1], ph.reverse);
            write_all(fds[1], &ph.reverse.seconds, sizeof ph.reverse.seconds);
            _exit(0);
        }
        close(fds[1]);
        results.push_back(fds[0]);
        pids.push_back(pid);
    }
    close(go[0]);
    close(go[1]); // every child starts now
    Phases all;
    for (const int fd : results) {
        double seconds = 0;
        if (!receive_run(fd, all.forward) || !read_all(fd, &seconds, sizeof seconds)) ++all.forward.errors;
        all.forward.seconds = std::max(all.forward.seconds, seconds);
        if (!receive_run(fd, all.reverse) || !read_all(fd, &seconds, sizeof seconds)) ++all.reverse.errors;
        all.reverse.seconds = std::max(all.reverse.seconds, seconds);
        close(fd);
    }
    for (const pid_t pid : pids)
        waitpid(pid, nullptr, 0);
    return all;
}

// Pins the process (0: this one) to the first core it may run on, or frees
// it to run on every core it was allowed at start.
void place(pid_t pid, bool one_core) {
    static cpu_set_t allowed;
    static bool known = sched_getaffinity(0, sizeof allowed, &allowed) == 0;
    if (!known) return;
    cpu_set_t set = allowed;
    if (one_core) {
        CPU_ZERO(&set);
        for (int cpu = 0; cpu < CPU_SETSIZE; ++cpu)
            if (CPU_ISSET(cpu, &allowed)) {
                CPU_SET(cpu, &set);
                break;
            }
    }
    sched_setaffinity(pid, sizeof set, &set);
}

double rate(const Run &run) {
    return static_cast<double>(run.ns.size()) / run.seconds;
}

void row(const char *what, int procs, const char *cores, const Run &run) {
    std::printf("| %-7s | %d | %-8s | %zu | %.0f | %.1f | %.1f | %.1f | %ld |\n", what, procs,
                cores, run.ns.size(), rate(run),
                percentile(run.ns, 0.5), percentile(run.ns, 0.99), percentile(run.ns, 1.0),
                run.errors);
}

} // namespace

int main(int argc, char **argv) {
    int requests = 50000;
    for (int i = 1; i < argc; ++i) {
        const std::string_view arg = argv[i];
        if (arg.rfind("--requests=", 0) == 0) {
            requests = std::atoi(argv[i] + std::strlen("--requests="));
        } else {
            std::fprintf(stderr, "usage: redis-store-load [--requests=N]\n");
            return 2;
        }
    }
    if (redis_test::server_program().empty()) {
        std::printf("redis-store-load: skipped, redis-server is not installed "
                    "(Debian package redis-server)\n");
        return 0;
    }
    redis_test::Server server;
    std::string why;
    if (!server.start(why)) {
        std::fprintf(stderr, "redis-store-load: %s\n", why.c_str());
        return 1;
    }
    srs_handle *h = srs_open("bench-secret", 12, 0, 0, 0);
    if (h == nullptr || srs_redis_attach(h, server.socket().c_str(), nullptr) != SRS_OK) {
        std::fprintf(stderr, "redis-store-load: %s\n", srs_redis_last_error(h));
        return 1;
    }
    work(h, 0, 2000); // warm-up; opens the parent's connection before the fork

    std::printf("Redis store, unix socket, %d forwards then %d reverses per process\n\n",
                requests, requests);
    std::printf("| call    | processes | cores    | calls | calls/s | p50 us | p99 us | max us | "
                "errors |\n");
    std::printf("|---|---|---|---|---|---|---|---|---|\n");
    place(0, true);
    place(server.pid(), true);
    const Phases pinned = work(h, 0, requests);
    place(0, false);
    place(server.pid(), false);
    row("forward", 1, "one", pinned.forward);
    row("reverse", 1, "one", pinned.reverse);
    const Phases one = work(h, 0, requests);
    row("forward", 1, "any", one.forward);
    row("reverse", 1, "any", one.reverse);
    const Phases four = in_processes(h, 4, requests);
    row("forward", 4, "any", four.forward);
    row("reverse", 4, "any", four.reverse);

    long errors = 0;
    for (const Phases *p : {&pinned, &one, &four})
        errors += p->forward.errors + p->reverse.errors;
    std::printf("\nTarget: at least %.0f forwards a second in one process: %s on one core "
                "(%.0f), %s on any (%.0f); errors: %ld\n",
                forward_target, rate(pinned.forward) >= forward_target ? "met" : "NOT met",
                rate(pinned.forward), rate(one.forward) >= forward_target ? "met" : "NOT met",
                rate(one.forward), errors);
    srs_redis_detach(h);
    srs_close(h);
    return errors == 0 ? 0 : 1;
}
