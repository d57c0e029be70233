// sqlite-store-load: database-mode forward and reverse with the SQLite
// store, in one process and in four at once, with synchronous NORMAL (the
// default) and FULL; then the expiry of a million stale entries while four
// processes forward. Reports rates, p99 and the slowest call.
//
//   sqlite-store-load [--forwards=N] [--stale=N]
#include <librewrite/librewrite.h>
#include <librewrite/srs_sqlite.h>

#include <sqlite3.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include <sys/wait.h>
#include <unistd.h>

namespace {

using Clock = std::chrono::steady_clock;

struct Timings {
    std::vector<double> us;
    double seconds = 0;
    std::size_t failures = 0;

    double rate() const { return seconds > 0 ? static_cast<double>(us.size()) / seconds : 0; }
    double percentile(double p) {
        if (us.empty()) return 0;
        std::sort(us.begin(), us.end());
        return us[static_cast<std::size_t>(p * static_cast<double>(us.size() - 1))];
    }
};

srs_handle *attached(const std::string &path, int sync) {
    srs_handle *h = srs_open("bench-secret", 12, 0, 0, 0);
    if (h == nullptr || srs_sqlite_attach(h, path.c_str()) != SRS_OK ||
        srs_sqlite_set_synchronous(h, sync) != SRS_OK) {
        std::fprintf(stderr, "sqlite-store-load: cannot attach %s: %s\n", path.c_str(),
                     srs_sqlite_last_error(h));
        std::exit(1);
    }
    return h;
}

std::string sender(int process, std::size_t n) {
    return "someone." + std::to_string(process) + "." + std::to_string(n) + "@example.org";
}

// Forwards (and then reverses) `count` senders, timing each call.
void run(srs_handle *h, int process, std::size_t count, Timings &fwd, Timings *rev) {
    std::vector<std::string> made;
    made.reserve(count);
    std::array<char, 512> buf;
    auto start = Clock::now();
    for (std::size_t n = 0; n < count; ++n) {
        const auto t0 = Clock::now();
        const int rc = srs_forward(h, sender(process, n).c_str(), "fwd.example", buf.data(),
                                   static_cast<uint32_t>(buf.size()));
        fwd.us.push_back(std::chrono::duration<double, std::micro>(Clock::now() - t0).count());
        if (rc != SRS_OK) ++fwd.failures;
        made.emplace_back(buf.data());
    }
    fwd.seconds = std::chrono::duration<double>(Clock::now() - start).count();
    if (rev == nullptr) return;
    start = Clock::now();
    for (const std::string &a : made) {
        const auto t0 = Clock::now();
        const int rc = srs_reverse(h, a.c_str(), buf.data(), static_cast<uint32_t>(buf.size()));
        rev->us.push_back(std::chrono::duration<double, std::micro>(Clock::now() - t0).count());
        if (rc != SRS_OK) ++rev->failures;
    }
    rev->seconds = std::chrono::duration<double>(Clock::now() - start).count();
}

// The same in `processes` children at once; their timings merged (rates
// summed over the wall-clock time of the whole run).
void run_processes(const std::string &path, int sync, int processes, std::size_t per_process,
                   Timings &fwd, Timings &rev, std::size_t stop_at_stale = 0) {
    std::vector<std::array<int, 2>> pipes(static_cast<std::size_t>(processes));
    std::vector<pid_t> pids;
    const auto start = Clock::now();
    for (int p = 0; p < processes; ++p) {
        auto &fd = pipes[static_cast<std::size_t>(p)];
        if (pipe(fd.data()) != 0) std::exit(1);
        const pid_t pid = fork();
        if (pid == 0) {
            close(fd[0]);
            srs_handle *h = attached(path, sync);
            Timings f, r;
            if (stop_at_stale == 0) {
                run(h, p, per_process, f, &r);
            } else {
                // Forward in rounds until the stale entries are gone.
                sqlite3 *probe = nullptr;
                sqlite3_open(path.c_str(), &probe);
                for (std::size_t round = 0; round < 1000; ++round) {
                    run(h, p * 1000 + static_cast<int>(round), 100, f, nullptr);
                    sqlite3_stmt *stmt = nullptr;
                    sqlite3_prepare_v2(probe, "SELECT count(*) FROM srs_senders WHERE created < 86400",
                                       -1, &stmt, nullptr);
                    const bool gone = sqlite3_step(stmt) == SQLITE_ROW && sqlite3_column_int(stmt, 0) == 0;
                    sqlite3_finalize(stmt);
                    if (gone) break;
                }
                sqlite3_close(probe);
            }
            const double counts[4] = {static_cast<double>(f.us.size()), static_cast<double>(r.us.size()),
                                      static_cast<double>(f.failures + r.failures), 0};
            [[maybe_unused]] ssize_t w = write(fd[1], counts, sizeof counts);
            w = write(fd[1], f.us.data(), f.us.size() * sizeof(double));
            w = write(fd[1], r.us.data(), r.us.size() * sizeof(double));
            _exit(0);
        }
        close(fd[1]);
        pids.push_back(pid);
    }
    auto read_all = [](int fd, void *out, std::size_t n) {
        auto *p = static_cast<char *>(out);
        while (n > 0) {
            const ssize_t got = read(fd, p, n);
            if (got <= 0) return;
            p += got;
            n -= static_cast<std::size_t>(got);
        }
    };
    for (int p = 0; p < processes; ++p) {
        const int fd = pipes[static_cast<std::size_t>(p)][0];
        double counts[4] = {0, 0, 0, 0};
        read_all(fd, counts, sizeof counts);
        std::vector<double> f(static_cast<std::size_t>(counts[0])), r(static_cast<std::size_t>(counts[1]));
        read_all(fd, f.data(), f.size() * sizeof(double));
        read_all(fd, r.data(), r.size() * sizeof(double));
        close(fd);
        fwd.us.insert(fwd.us.end(), f.begin(), f.end());
        rev.us.insert(rev.us.end(), r.begin(), r.end());
        fwd.failures += static_cast<std::size_t>(counts[2]);
    }
    for (const pid_t pid : pids)
        waitpid(pid, nullptr, 0);
    const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    // Forward and reverse ran one after the other in each child: the wall
    // time is shared out by the number of calls.
    const double total = static_cast<double>(fwd.us.size() + rev.us.size());
    fwd.seconds = seconds * static_cast<double>(fwd.us.size()) / total;
    rev.seconds = seconds * static_cast<double>(rev.us.size()) / total;
}

void row(const char *what, int processes, Timings &t) {
    const double p99 = t.percentile(0.99); // sorts
    const double slowest = t.us.empty() ? 0.0 : t.us.back() / 1000.0;
    std::printf("| %-24s | %d | %8zu | %9.0f | %8.0f | %9.1f | %zu |\n", what, processes, t.us.size(),
                t.rate(), p99, slowest, t.failures);
}

} // namespace

int main(int argc, char **argv) {
    std::size_t forwards = 50000, stale = 1000000;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg.rfind("--forwards=", 0) == 0) forwards = std::strtoul(arg.c_str() + 11, nullptr, 10);
        else if (arg.rfind("--stale=", 0) == 0) stale = std::strtoul(arg.c_str() + 8, nullptr, 10);
        else {
            std::fprintf(stderr, "usage: sqlite-store-load [--forwards=N] [--stale=N]\n");
            return 2;
        }
    }
    char dir_template[] = "/tmp/srs-sqlite-load-XXXXXX";
    const std::string dir = mkdtemp(dir_template);
    std::printf("sqlite-store-load: %zu forwards per run, database files in %s (%s)\n\n", forwards,
                dir.c_str(), "the machine's /tmp");
    std::printf("| run | processes | calls | calls/s | p99 us | slowest ms | failures |\n"
                "|---|---|---|---|---|---|---|\n");
    for (const int sync : {SRS_SQLITE_SYNC_NORMAL, SRS_SQLITE_SYNC_FULL}) {
        const char *name = sync == SRS_SQLITE_SYNC_NORMAL ? "NORMAL" : "FULL";
        const std::size_t count = sync == SRS_SQLITE_SYNC_NORMAL ? forwards : forwards / 10;
        {
            const std::string path = dir + "/one-" + name + ".db";
            srs_handle *h = attached(path, sync);
            Timings f, r;
            run(h, 0, count, f, &r);
            row((std::string("forward, ") + name).c_str(), 1, f);
            row((std::string("reverse, ") + name).c_str(), 1, r);
            srs_sqlite_detach(h);
            srs_close(h);
        }
        {
            const std::string path = dir + "/four-" + name + ".db";
            srs_close(attached(path, sync)); // the file exists before they start
            Timings f, r;
            run_processes(path, sync, 4, count / 4, f, r);
            row((std::string("forward, ") + name).c_str(), 4, f);
            row((std::string("reverse, ") + name).c_str(), 4, r);
        }
    }

    // A million stale entries, expired a batch per forward while four
    // processes forward.
    const std::string path = dir + "/stale.db";
    {
        srs_handle *h = attached(path, SRS_SQLITE_SYNC_NORMAL);
        srs_sqlite_detach(h);
        srs_close(h);
        sqlite3 *db = nullptr;
        sqlite3_open(path.c_str(), &db);
        const std::string fill = "BEGIN; WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM n "
                                 "WHERE i < " + std::to_string(stale) +
                                 ") INSERT INTO srs_senders (id, address, created) SELECT "
                                 "printf('2222a%08d', i), 'someone@example.org', 0 FROM n; "
                                 "DELETE FROM srs_meta; COMMIT;";
        sqlite3_exec(db, fill.c_str(), nullptr, nullptr, nullptr);
        sqlite3_close(db);
    }
    const auto size_before = std::filesystem::file_size(path);
    Timings f, r;
    const auto t0 = Clock::now();
    run_processes(path, SRS_SQLITE_SYNC_NORMAL, 4, 0, f, r, stale);
    const double took = std::chrono::duration<double>(Clock::now() - t0).count();
    row("forward during expiry", 4, f);
    std::printf("\n%zu stale entries expired in %.1f s while 4 processes forwarded %zu senders; "
                "slowest forward %.1f ms (target: none over 100 ms); file %.1f MB before, "
                "%.1f MB after\n",
                stale, took, f.us.size(), f.us.empty() ? 0.0 : f.us.back() / 1000.0,
                static_cast<double>(size_before) / 1e6,
                static_cast<double>(std::filesystem::file_size(path)) / 1e6);
    std::error_code ignored;
    std::filesystem::remove_all(dir, ignored);
    return f.failures == 0 ? 0 : 1;
}
