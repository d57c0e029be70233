// The srs daemon run as a separate process: how it starts, its replies over
// the socket, many clients at once, reaping of its connection processes, the
// socket path, the time limit for a request line, and rude clients.
//
// Every daemon started here is killed by process id when its test ends;
// processes started with the test's private socket path are killed as well,
// so a daemon that never came up, or a connection process left behind,
// cannot outlive the test.
#include "options.h"
#include "oracle.h"
#include "process.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cctype>
#include <functional>
#include <sys/stat.h>
#include <utility>

namespace {

using namespace std::chrono_literals;
using namespace std::string_literals;
using Clock = std::chrono::steady_clock;

const std::string kBadParameter = "One of the parameters passed was invalid";
const std::string kNotSrs = "Address is not a SRS address";
const std::string kForged = "Hash verification failed (forged)";
const std::string kExpired = "Time stamp expired";
const std::string kTooLong =
    "Address was too long (either a given address or the processed return data)";
const std::string kBindFailed = "ERROR: Could not bind to socket\n\n";

// ---- Processes ------------------------------------------------------------

std::vector<std::string> command_line(const std::filesystem::path &proc_entry) {
    std::ifstream in(proc_entry / "cmdline", std::ios::binary);
    std::vector<std::string> args;
    std::string arg;
    while (std::getline(in, arg, '\0'))
        args.push_back(arg);
    return args;
}

// Processes (not zombies: their command line is empty) given the argument.
std::vector<pid_t> processes_with_argument(const std::string &wanted) {
    std::vector<pid_t> found;
    std::error_code ec;
    for (const auto &entry : std::filesystem::directory_iterator("/proc", ec)) {
        const std::string name = entry.path().filename();
        if (name.empty() || !std::isdigit(static_cast<unsigned char>(name[0]))) continue;
        const pid_t pid = static_cast<pid_t>(std::stol(name));
        if (pid == getpid()) continue;
        for (const std::string &arg : command_line(entry.path()))
            if (arg == wanted) {
                found.push_back(pid);
                break;
            }
    }
    return found;
}

// Kills, by process id, every srs started for this socket path: the daemon
// and the connection processes it forked.
void kill_everything_at(const std::string &socket_path) {
    for (const pid_t pid : processes_with_argument("--socket=" + socket_path))
        kill(pid, SIGKILL);
}

// Children of a process, ended or not.
int children(pid_t parent) {
    int count = 0;
    std::error_code ec;
    for (const auto &entry : std::filesystem::directory_iterator("/proc", ec)) {
        std::ifstream stat(entry.path() / "stat");
        std::string line;
        if (!std::getline(stat, line)) continue;
        const auto close_paren = line.rfind(')');
        if (close_paren == std::string::npos || close_paren + 2 >= line.size()) continue;
        std::istringstream rest(line.substr(close_paren + 2));
        char state = 0;
        pid_t ppid = 0;
        rest >> state >> ppid;
        if (ppid == parent) ++count;
    }
    return count;
}

// Polls the condition every few milliseconds until it holds or time is up.
bool eventually(const std::function<bool()> &condition, std::chrono::milliseconds limit) {
    const auto deadline = Clock::now() + limit;
    for (;;) {
        if (condition()) return true;
        if (Clock::now() > deadline) return false;
        std::this_thread::sleep_for(5ms);
    }
}

bool alive(pid_t pid) {
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string line;
    if (!std::getline(stat, line)) return false;
    const auto close_paren = line.rfind(')');
    return close_paren != std::string::npos && close_paren + 2 < line.size() &&
           line[close_paren + 2] != 'Z';
}

// The harness's daemon, and whatever else runs with its socket path killed
// when the test ends.
class Daemon : public process::Daemon {
  public:
    using process::Daemon::Daemon;
    ~Daemon() { kill_everything_at(path()); }
};

// A daemon started on a path of the test's choosing; pid() is the process
// listening there other than `previous` (-1 when none came up in 5 s).
class DaemonAt {
  public:
    DaemonAt(std::string path, std::vector<std::string> secrets, pid_t previous = -1)
        : path_(std::move(path)) {
        std::vector<std::string> args{"-d", "--socket=" + path_};
        for (auto &s : secrets)
            args.push_back("--secret=" + s);
        start_ = process::run(args);
        if (start_.status != 0) return; // the start failed: nothing listens
        eventually(
            [&] {
                pid_ = process::listener_pid(path_);
                return pid_ > 0 && pid_ != previous;
            },
            5s);
        if (pid_ == previous) pid_ = -1;
    }
    ~DaemonAt() {
        if (pid_ > 0) kill(pid_, SIGTERM);
        kill_everything_at(path_);
    }
    DaemonAt(const DaemonAt &) = delete;
    DaemonAt &operator=(const DaemonAt &) = delete;

    pid_t pid() const { return pid_; }
    const process::Outcome &start() const { return start_; }

  private:
    std::string path_;
    pid_t pid_ = -1;
    process::Outcome start_;
};

// A private directory, removed at the end.
class TempDir {
  public:
    TempDir() {
        char name[] = "/tmp/srs-dtest-XXXXXX";
        path_ = mkdtemp(name);
    }
    ~TempDir() {
        std::error_code ignored;
        std::filesystem::remove_all(path_, ignored);
    }
    TempDir(const TempDir &) = delete;
    TempDir &operator=(const TempDir &) = delete;
    const std::string &path() const { return path_; }

  private:
    std::string path_;
};

// ---- Talking to the daemon -------------------------------------------------

bool send_all(int fd, const std::string &data) {
    return send(fd, data.data(), data.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(data.size());
}

std::string shown(const std::optional<std::string> &reply) {
    if (!reply) return "(no reply)";
    std::string out;
    for (const char c : *reply)
        out += c == '\r' ? "\\r"s : c == '\n' ? "\\n"s : std::string(1, c);
    return out;
}

// ---- Expected addresses ------------------------------------------------------

// The SRS0 address a forwarder with `secret` makes of `sender` on the day of
// `stamp`: 6 hash characters, '=' separator.
std::string srs0(std::string_view secret, const std::string &stamp, const std::string &sender,
                 const std::string &alias) {
    const auto at = sender.find('@');
    const std::string local = sender.substr(0, at);
    const std::string domain = sender.substr(at + 1);
    const std::string hash =
        oracle::hash_text(secret, oracle::lower(stamp + domain + local)).substr(0, 6);
    return "SRS0=" + hash + "=" + stamp + "=" + domain + "=" + local + "@" + alias;
}

std::string forward_error(const std::string &address, const std::string &message) {
    return "ERROR: Address '" + address + "' failed - " + message + "\n";
}

std::string reverse_error(const std::string &address, const std::string &message) {
    return "ERROR: Could not validate address '" + address + "' - " + message + "\n";
}

// ---- Tests -------------------------------------------------------------------

TEST(DaemonStart, StartingProcessReportsAndEnds) {
    Daemon d({"s3cret"});
    EXPECT_EQ(d.start().status, 0);
    EXPECT_EQ(d.start().out, std::string(srs_tool::banner) + "\nDaemon started\n");
    EXPECT_EQ(d.start().err, "");
    ASSERT_GT(d.pid(), 0) << "no daemon listens at " << d.path();
    struct stat st {};
    ASSERT_EQ(stat(d.path().c_str(), &st), 0);
    EXPECT_TRUE(S_ISSOCK(st.st_mode));
}

TEST(DaemonProtocol, RepliesToRequests) {
    Daemon d({"s3cret", "older"});
    ASSERT_GT(d.pid(), 0);

    struct Case {
        std::string request;
        std::string reply;
    };
    // Requests and replies for the day of `ts`.
    auto make_cases = [](const std::string &ts) {
        const std::string sent = srs0("s3cret", ts, "Jane.Doe@Example.ORG", "fwd.example");
        const std::string by_older = srs0("older", ts, "Old.Sender@Example.NET", "fwd.example");
        const std::string expired =
            srs0("s3cret", oracle::stamp_days_ago(40), "user@example.com", "fwd.example");
        // A wrong hash: its first character turned into another digit.
        std::string forged = srs0("s3cret", ts, "user@example.com", "fwd.example");
        forged[5] = forged[5] == '0' ? '1' : '0';
        // A sender whose hash has a capital, so that lower-casing breaks it.
        std::string sender, folded;
        for (int i = 0; folded.empty(); ++i) {
            sender = "User" + std::to_string(i) + "@Example.ORG";
            const std::string address = srs0("s3cret", ts, sender, "Fwd.Example");
            const std::string hash = address.substr(5, 6);
            if (std::any_of(hash.begin(), hash.end(), [](char c) { return c >= 'A' && c <= 'Z'; }))
                folded = oracle::lower(address);
        }
        const std::string x1100(1100, 'x');
        return std::vector<Case>{
            // Forward, the command word in any case; the first secret is used.
            {"forward Jane.Doe@Example.ORG fwd.example\n", sent + "\n"},
            {"FORWARD Jane.Doe@Example.ORG fwd.example\n", sent + "\n"},
            {"FoRwArD Jane.Doe@Example.ORG fwd.example\n", sent + "\n"},
            // A last line without its newline, the client having stopped writing.
            {"forward a@b c", srs0("s3cret", ts, "a@b", "c") + "\n"},
            // Everything after the first blank is the alias.
            {"forward a@b c d\n", srs0("s3cret", ts, "a@b", "c d") + "\n"},
            {"forward a@b c\r\n", srs0("s3cret", ts, "a@b", "c\r") + "\n"},
            {"forward  c\n", forward_error("", kBadParameter)},
            {"forward a@b \n", forward_error("a@b", kBadParameter)},
            {"forward nobody c\n", forward_error("nobody", kBadParameter)},
            {"forward a@b x@y\n", forward_error("a@b", kBadParameter)},
            // Reverse, in any case, with either secret.
            {"reverse " + sent + "\n", "Jane.Doe@Example.ORG\n"},
            {"REVERSE " + sent + "\n", "Jane.Doe@Example.ORG\n"},
            {"reverse " + by_older + "\n", "Old.Sender@Example.NET\n"},
            {"reverse " + folded + "\n", oracle::lower(sender) +
                                             "\nWARNING: Case broken on hash in address '" +
                                             folded + "'\n"},
            {"reverse " + forged + "\n", reverse_error(forged, kForged)},
            {"reverse " + expired + "\n", reverse_error(expired, kExpired)},
            {"reverse user@example.com\n", reverse_error("user@example.com", kNotSrs)},
            {"reverse a@b\r\n", reverse_error("a@b\r", kNotSrs)},
            {"reverse \n", reverse_error("", kBadParameter)},
            // Malformed lines.
            {"forward a@b\n", "ERROR\n"},
            {"forward\n", "ERROR\n"},
            {"forward a@b ", "ERROR\n"},
            {"forward ab", "ERROR\n"},
            {"reverse\n", "ERROR\n"},
            {"reverseX a@b\n", "ERROR\n"},
            {"hello\n", "ERROR\n"},
            {"\n", "ERROR\n"},
            {"", "ERROR\n"},
            // The text ends at its first NUL byte.
            {"forward a@b\0 c\n"s, "ERROR\n"},
            {"reverse a@b\0xyz\n"s, reverse_error("a@b", kNotSrs)},
            // One request per connection: the first line only.
            {"forward a@b c\nreverse x@y\n", srs0("s3cret", ts, "a@b", "c") + "\n"},
            // At most 1023 characters of a line count.
            {"reverse " + x1100 + "\n", reverse_error(std::string(1015, 'x'), kBadParameter)},
            {"reverse " + std::string(1014, 'x') + "\n",
             reverse_error(std::string(1014, 'x'), kBadParameter)},
            {"forward " + std::string(1013, 'x') + " c" + "TAIL\n",
             forward_error(std::string(1013, 'x'), kBadParameter)},
            {"forward " + std::string(1014, 'x') + " c\n", "ERROR\n"},
            {"forward a@b " + x1100 + "\n", forward_error("a@b", kTooLong)},
        };
    };

    const auto [run, ts] = oracle::on_one_day([&] {
        const auto cases = make_cases(oracle::stamp_days_ago(0));
        std::vector<std::optional<std::string>> replies;
        for (const Case &c : cases)
            replies.push_back(d.ask(c.request));
        return std::make_pair(cases, replies);
    });
    const auto &[cases, replies] = run;
    ASSERT_EQ(cases.size(), replies.size());
    for (std::size_t i = 0; i < cases.size(); ++i) {
        SCOPED_TRACE(shown(cases[i].request.substr(0, 80)));
        ASSERT_TRUE(replies[i].has_value()) << "no reply";
        EXPECT_EQ(*replies[i], cases[i].reply) << shown(replies[i]);
    }
    EXPECT_EQ(process::listener_pid(d.path()), d.pid());
}

TEST(DaemonLoad, HundredClientsAtOnce) {
    Daemon d({"s3cret"});
    ASSERT_GT(d.pid(), 0);
    constexpr int kClients = 100;
    const auto [replies, ts] = oracle::on_one_day([&] {
        const std::string today = oracle::stamp_days_ago(0);
        std::vector<std::optional<std::string>> got(kClients);
        std::vector<std::thread> threads;
        for (int i = 0; i < kClients; ++i)
            threads.emplace_back([&, i] {
                const std::string sender = "user" + std::to_string(i) + "@Example.COM";
                // Even clients forward, odd ones reverse.
                const std::string request =
                    i % 2 == 0 ? "forward " + sender + " fwd" + std::to_string(i) + ".example\n"
                               : "reverse " + srs0("s3cret", today, sender, "fwd.example") + "\n";
                got[static_cast<std::size_t>(i)] = process::ask(d.path(), request);
            });
        for (auto &t : threads)
            t.join();
        return got;
    });
    for (int i = 0; i < kClients; ++i) {
        SCOPED_TRACE(i);
        const std::string sender = "user" + std::to_string(i) + "@Example.COM";
        const std::string expected =
            i % 2 == 0 ? srs0("s3cret", ts, sender, "fwd" + std::to_string(i) + ".example") + "\n"
                       : sender + "\n";
        EXPECT_EQ(shown(replies[static_cast<std::size_t>(i)]), shown(expected));
    }
}

TEST(DaemonLoad, NoZombiesAfterABurst) {
    Daemon d({"s3cret"});
    ASSERT_GT(d.pid(), 0);
    const std::array<std::string, 4> requests{"forward a@b c\n", "reverse a@b\n", "junk\n", ""};
    for (int i = 0; i < 200; ++i) {
        const auto reply = d.ask(requests[static_cast<std::size_t>(i) % requests.size()]);
        ASSERT_TRUE(reply.has_value()) << "request " << i;
    }
    std::vector<std::thread> threads;
    std::atomic<int> answered{0};
    for (int i = 0; i < 100; ++i)
        threads.emplace_back([&, i] {
            if (process::ask(d.path(), requests[static_cast<std::size_t>(i) % requests.size()]))
                ++answered;
        });
    for (auto &t : threads)
        t.join();
    EXPECT_EQ(answered, 100);
    // Every connection process ends and is reaped.
    eventually([&] { return children(d.pid()) == 0; }, 5s);
    EXPECT_EQ(process::zombie_children(d.pid()), 0);
    EXPECT_EQ(children(d.pid()), 0);
    EXPECT_TRUE(alive(d.pid()));
}

// What stands at the socket path when the daemon starts, and paths that
// cannot be bound: only an old socket is replaced; everything else is left
// as it is, and the start fails with status 1 before "Daemon started".
TEST(DaemonStart, WhatStandsAtTheSocketPath) {
    enum class At { nothing, old_socket, regular_file, directory, symlink_to_file };
    struct Case {
        const char *name;
        At at;
        std::size_t length; // of the whole path; 0: the directory's own name + "/sock"
        bool serves;
        std::string reason; // on standard error when it does not
    };
    const Case cases[] = {
        {"nothing there", At::nothing, 0, true, ""},
        {"an old socket", At::old_socket, 0, true, ""},
        {"a regular file", At::regular_file, 0, false, "exists and is not a socket"},
        {"a directory", At::directory, 0, false, "exists and is not a socket"},
        {"a symbolic link", At::symlink_to_file, 0, false, "exists and is not a socket"},
        {"107 characters", At::nothing, 107, true, ""},
        {"108 characters", At::nothing, 108, false, "longer than 107 bytes"},
        {"200 characters", At::nothing, 200, false, "longer than 107 bytes"},
    };
    const std::string failed = std::string(srs_tool::banner) + "\n" + kBindFailed;
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        TempDir dir;
        const std::string path = c.length == 0 ? dir.path() + "/sock"
                                               : dir.path() + "/" +
                                                     std::string(c.length - dir.path().size() - 1, 's');
        const std::string target = dir.path() + "/secrets";
        std::ofstream(target) << "precious\n";
        switch (c.at) {
        case At::nothing:
            break;
        case At::old_socket: {
            // A socket bound and closed: nobody listens there any more.
            const int fd = socket(AF_UNIX, SOCK_STREAM, 0);
            sockaddr_un a{};
            a.sun_family = AF_UNIX;
            std::strncpy(a.sun_path, path.c_str(), sizeof a.sun_path - 1);
            ASSERT_EQ(bind(fd, reinterpret_cast<sockaddr *>(&a), sizeof a), 0);
            close(fd);
            break;
        }
        case At::regular_file:
            std::ofstream(path) << "precious\n";
            break;
        case At::directory:
            std::filesystem::create_directory(path);
            break;
        case At::symlink_to_file:
            std::filesystem::create_symlink(target, path);
            break;
        }
        DaemonAt d(path, {"s3cret"});
        if (c.serves) {
            EXPECT_EQ(d.start().status, 0);
            EXPECT_EQ(d.start().out, std::string(srs_tool::banner) + "\nDaemon started\n");
            ASSERT_GT(d.pid(), 0);
            EXPECT_EQ(shown(process::ask(path, "reverse a@b\n")), shown(reverse_error("a@b", kNotSrs)));
            continue;
        }
        EXPECT_EQ(d.start().status, 1);
        EXPECT_EQ(d.start().out, failed);
        EXPECT_NE(d.start().err.find(c.reason), std::string::npos) << d.start().err;
        EXPECT_EQ(d.pid(), -1);
        // Nothing was taken away or put in its place.
        EXPECT_EQ(process::read_file(target), "precious\n");
        if (c.at == At::regular_file) {
            EXPECT_EQ(process::read_file(path), "precious\n");
        } else if (c.at == At::directory) {
            EXPECT_TRUE(std::filesystem::is_directory(path));
        } else if (c.at == At::symlink_to_file) {
            EXPECT_TRUE(std::filesystem::is_symlink(path));
        } else {
            EXPECT_FALSE(std::filesystem::exists(path)); // nor a socket under a cut name
            EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir.path()), {}), 1);
        }
    }
}

// A path that cannot be bound at all, and an empty one (which would bind
// an abstract socket that every local user can reach), fail the start.
TEST(DaemonStart, PathsThatCannotBeBoundFailTheStart) {
    TempDir dir;
    const std::string failed = std::string(srs_tool::banner) + "\n" + kBindFailed;
    const std::pair<std::string, std::string> cases[] = {
        {dir.path() + "/missing/sock", "No such file or directory"},
        {"", "the socket path is empty"},
    };
    for (const auto &[path, reason] : cases) {
        SCOPED_TRACE(path);
        const auto o = process::run({"-d", "--socket=" + path, "--secret=s3cret"});
        EXPECT_EQ(o.status, 1);
        EXPECT_EQ(o.out, failed);
        EXPECT_NE(o.err.find(reason), std::string::npos) << o.err;
    }
    EXPECT_TRUE(processes_with_argument("--socket=").empty());
}

TEST(DaemonSocket, SecondDaemonTakesThePathOver) {
    Daemon first({"first"});
    ASSERT_GT(first.pid(), 0);
    DaemonAt second(first.path(), {"second"}, first.pid());
    ASSERT_GT(second.pid(), 0) << "the second daemon did not take the path over";
    EXPECT_EQ(process::listener_pid(first.path()), second.pid());
    // Answered with the second daemon's secret.
    const auto [reply, ts] = oracle::on_one_day([&] { return first.ask("forward a@b c\n"); });
    EXPECT_EQ(shown(reply), shown(srs0("second", ts, "a@b", "c") + "\n"));
    EXPECT_TRUE(alive(first.pid()));
}

TEST(DaemonTimeout, SilentClientsGetAnErrorAfterTenSeconds) {
    Daemon d({"s3cret"});
    ASSERT_GT(d.pid(), 0);
    const auto began = Clock::now();
    const int silent = process::connect_to(d.path());
    const int unfinished = process::connect_to(d.path());
    ASSERT_GE(silent, 0);
    ASSERT_GE(unfinished, 0);
    EXPECT_TRUE(send_all(unfinished, "forward a@b"));

    // Meanwhile the daemon answers others.
    for (int i = 0; i < 3; ++i)
        EXPECT_EQ(shown(d.ask("reverse a@b\n")), shown(reverse_error("a@b", kNotSrs)));

    const auto left = [&] {
        return std::chrono::duration_cast<std::chrono::milliseconds>(began + 15s - Clock::now());
    };
    const auto first = process::read_all(silent, left());
    const auto second = process::read_all(unfinished, std::max(left(), 100ms));
    const auto waited = Clock::now() - began;
    close(silent);
    close(unfinished);
    EXPECT_EQ(shown(first), "ERROR\\n");
    EXPECT_EQ(shown(second), "ERROR\\n");
    // Not given up on before the ten seconds.
    EXPECT_GE(waited, 9s);
}

TEST(DaemonClients, LeavingEarlyDoesNotDisturbTheDaemon) {
    Daemon d({"s3cret"});
    ASSERT_GT(d.pid(), 0);
    // What a client sends before it closes without reading.
    const std::vector<std::string> rude{
        "",                     // closes at once
        "forward a@b",          // closes mid-line
        "forward a@b c\n",      // leaves before its reply
        "reverse a@b\n",        // leaves before its reply
        std::string(3000, 'x'), // more than a line, then leaves
    };
    for (int round = 0; round < 20; ++round) {
        for (const std::string &data : rude) {
            const int fd = process::connect_to(d.path());
            ASSERT_GE(fd, 0);
            send_all(fd, data);
            close(fd);
        }
        EXPECT_EQ(shown(d.ask("reverse a@b\n")), shown(reverse_error("a@b", kNotSrs)));
    }
    EXPECT_EQ(process::listener_pid(d.path()), d.pid());
    // Connections are accepted in order: once this reply is in, the process
    // for the probe above has been made too.
    EXPECT_EQ(shown(d.ask("reverse a@b\n")), shown(reverse_error("a@b", kNotSrs)));
    EXPECT_TRUE(eventually([&] { return children(d.pid()) == 0; }, 5s));
    EXPECT_EQ(process::zombie_children(d.pid()), 0);
}

} // namespace
