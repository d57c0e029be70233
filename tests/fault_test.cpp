// The srs daemon, run as a separate process, under faults: hostile bytes on
// the socket, its descriptor table running out, and fork failing. In each
// case the daemon must stay up, every client must get its reply or see its
// connection closed within a bound, and the daemon must serve normally once
// the fault is gone.
//
// Every daemon started here is killed by process id when its test ends,
// together with every process started with the test's private socket path
// (the connection processes it forked).
#include "actions.h"
#include "options.h"
#include "oracle.h"
#include "process.h"
#include "request.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <functional>
#include <random>
#include <utility>

#include <fcntl.h>
#include <grp.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/syscall.h>

namespace {

using namespace std::chrono_literals;
using namespace std::string_literals;
using Clock = std::chrono::steady_clock;

const std::string kBadParameter = "One of the parameters passed was invalid";
const std::string kNotSrs = "Address is not a SRS address";
const std::string kTooLong =
    "Address was too long (either a given address or the processed return data)";
const std::size_t kMegabyte = std::size_t{1} << 20;

// ---- Processes ------------------------------------------------------------

struct ProcessStat {
    char state = 0;
    long cpu_ticks = 0; // user and system time, in clock ticks
};

std::optional<ProcessStat> stat_of(pid_t pid) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
    std::string line;
    if (!std::getline(in, line)) return std::nullopt;
    const auto close_paren = line.rfind(')');
    if (close_paren == std::string::npos || close_paren + 2 >= line.size()) return std::nullopt;
    std::istringstream rest(line.substr(close_paren + 2));
    ProcessStat s;
    long skip = 0, user = 0, system = 0;
    rest >> s.state;
    for (int field = 4; field <= 13; ++field) // ppid .. cmajflt
        rest >> skip;
    rest >> user >> system;
    s.cpu_ticks = user + system;
    return s;
}

bool alive(pid_t pid) {
    const auto s = stat_of(pid);
    return s && s->state != 'Z';
}

// The real user id of a process, or -1.
long uid_of(pid_t pid) {
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    while (std::getline(status, line))
        if (line.rfind("Uid:", 0) == 0) return std::strtol(line.c_str() + 4, nullptr, 10);
    return -1;
}

std::vector<pid_t> all_processes() {
    std::vector<pid_t> pids;
    std::error_code ec;
    for (const auto &entry : std::filesystem::directory_iterator("/proc", ec)) {
        const std::string name = entry.path().filename();
        if (!name.empty() && std::all_of(name.begin(), name.end(), [](char c) {
                return std::isdigit(static_cast<unsigned char>(c));
            }))
            pids.push_back(static_cast<pid_t>(std::stol(name)));
    }
    return pids;
}

// Kills, by process id, every process given the argument: the daemon and the
// connection processes it forked (they share its command line). Waits until
// none is left, at most 5 s.
void kill_everything_with(const std::string &argument) {
    const auto deadline = Clock::now() + 5s;
    for (;;) {
        bool any = false;
        for (const pid_t pid : all_processes()) {
            if (pid == getpid() || !alive(pid)) continue;
            std::ifstream in("/proc/" + std::to_string(pid) + "/cmdline", std::ios::binary);
            std::string arg;
            while (std::getline(in, arg, '\0'))
                if (arg == argument) {
                    kill(pid, SIGKILL);
                    any = true;
                    break;
                }
        }
        if (!any || Clock::now() > deadline) return;
        std::this_thread::sleep_for(10ms);
    }
}

// Children of a process, ended or not.
int children(pid_t parent) {
    return peer::children_of(parent, false);
}

bool eventually(const std::function<bool()> &condition, std::chrono::milliseconds limit) {
    const auto deadline = Clock::now() + limit;
    for (;;) {
        if (condition()) return true;
        if (Clock::now() > deadline) return false;
        std::this_thread::sleep_for(5ms);
    }
}

// The time left of a test's allowance: requests made one after another
// share it, so that a daemon that stops answering cannot hold a test for
// long.
class Budget {
  public:
    explicit Budget(std::chrono::seconds total) : end_(Clock::now() + total) {}
    std::chrono::milliseconds left() const {
        return std::max(0ms,
                        std::chrono::duration_cast<std::chrono::milliseconds>(end_ - Clock::now()));
    }

  private:
    Clock::time_point end_;
};

// Whether a process waits for connections (in poll, or in accept): the
// daemon then holds no connection of its own.
bool waiting_in_accept(pid_t pid) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/syscall");
    long number = -1;
    in >> number;
#ifdef SYS_accept
    if (number == SYS_accept) return true;
#endif
#ifdef SYS_poll
    if (number == SYS_poll) return true;
#endif
    return number == SYS_accept4 || number == SYS_ppoll;
}

// The daemon of the harness, with whatever else runs with its socket path
// killed when the test ends.
class Daemon : public process::Daemon {
  public:
    using process::Daemon::Daemon;
    ~Daemon() { kill_everything_with("--socket=" + path()); }
};

// Sets the soft limit of a resource for a running process, at most to the
// hard limit, which stays (raising it takes a privilege that a container
// may not give even to root).
bool limit(pid_t pid, decltype(RLIMIT_NOFILE) resource, rlim_t soft) {
    rlimit l{};
    if (prlimit(pid, resource, nullptr, &l) != 0) return false;
    l.rlim_cur = std::min(soft, l.rlim_max);
    return prlimit(pid, resource, &l, nullptr) == 0;
}

// ---- Clients ----------------------------------------------------------------

// Sends `request` while reading what comes back, so that a daemon that stops
// reading early cannot block the sender, and shuts the writing side once
// everything was sent. Returns what was read before the daemon closed the
// connection (empty when it closed without a reply), or nothing when no
// connection could be made or `limit` ran out.
std::optional<std::string> converse(const std::string &path, std::string_view request,
                                    std::chrono::milliseconds limit) {
    const int fd = process::connect_to(path);
    if (fd < 0) return std::nullopt;
    fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK);
    bool writing = true;
    auto finish_writing = [&] {
        if (writing) shutdown(fd, SHUT_WR);
        writing = false;
    };
    if (request.empty()) finish_writing();
    std::string got;
    std::optional<std::string> result;
    const auto deadline = Clock::now() + limit;
    for (;;) {
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
        if (left.count() <= 0) break;
        pollfd p{fd, static_cast<short>(POLLIN | (writing ? POLLOUT : 0)), 0};
        if (poll(&p, 1, static_cast<int>(left.count())) <= 0) continue;
        if ((p.revents & (POLLIN | POLLHUP | POLLERR)) != 0) {
            char buf[4096];
            const ssize_t n = recv(fd, buf, sizeof buf, MSG_DONTWAIT);
            if (n > 0) {
                got.append(buf, static_cast<std::size_t>(n));
                continue;
            }
            // The end, or the daemon closed with part of the request unread.
            if (n == 0 || (errno != EAGAIN && errno != EINTR)) {
                result = got;
                break;
            }
        }
        if (writing && (p.revents & POLLOUT) != 0) {
            const ssize_t n = send(fd, request.data(), request.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
            if (n > 0) request.remove_prefix(static_cast<std::size_t>(n));
            if ((n < 0 && errno != EAGAIN && errno != EINTR) || request.empty()) finish_writing();
        }
    }
    close(fd);
    return result;
}

std::string shown(const std::optional<std::string> &reply, std::size_t max = 120) {
    if (!reply) return "(no reply)";
    std::string out;
    for (const char c : reply->substr(0, max)) {
        const auto u = static_cast<unsigned char>(c);
        if (c == '\n')
            out += "\\n";
        else if (u < 0x20 || u >= 0x7f) {
            char hex[8];
            std::snprintf(hex, sizeof hex, "\\x%02x", u);
            out += hex;
        } else
            out += c;
    }
    if (reply->size() > max) out += "... (" + std::to_string(reply->size()) + " bytes)";
    return out;
}

std::string forward_error(const std::string &address, const std::string &message) {
    return "ERROR: Address '" + address + "' failed - " + message + "\n";
}

std::string reverse_error(const std::string &address, const std::string &message) {
    return "ERROR: Could not validate address '" + address + "' - " + message + "\n";
}

// Asks once, then waits until every connection process the daemon forked
// has ended and been reaped and the daemon waits in accept(). Connections
// are accepted in order, so once the reply is in, every connection made
// before has had its process forked.
void settle(const std::string &path, pid_t pid, const Budget &budget) {
    EXPECT_EQ(shown(converse(path, "reverse a@b\n", budget.left())),
              shown(reverse_error("a@b", kNotSrs)));
    EXPECT_TRUE(eventually([&] { return children(pid) == 0 && waiting_in_accept(pid); }, 5s))
        << children(pid) << " connection processes left, " << process::zombie_children(pid)
        << " of them not reaped";
}

// The daemon still listens and serves, and leaves no process behind.
void expect_settled(const std::string &path, pid_t pid, const Budget &budget) {
    EXPECT_EQ(process::listener_pid(path), pid);
    settle(path, pid, budget);
}

// What the daemon must answer to the bytes a client sends: the request is
// read from what the daemon receives (at most 1023 bytes, up to the first
// newline) and answered by the actions, both in this process. A difference
// is a fault of the daemon's own part: reading, terminating the fields,
// sending.
class Model {
  public:
    explicit Model(const char *secret) {
        settings_.run_mode = srs_tool::RunMode::daemon;
        settings_.secret_list.push_back(secret);
        failed_ = srs_tool::open_handles(settings_).has_value();
    }
    bool ready() const { return !failed_; }

    std::string reply(std::string_view sent) const {
        std::string_view line = sent.substr(0, std::min(sent.size(), srs_tool::max_request));
        if (const auto newline = line.find('\n'); newline != std::string_view::npos)
            line = line.substr(0, newline + 1);
        const srs_tool::Request request = srs_tool::parse_request(line);
        srs_tool::Reply out;
        const std::string address(request.address), alias(request.alias);
        switch (request.kind) {
        case srs_tool::Request::Kind::forward:
            srs_tool::forward_address(out, settings_, address.c_str(), alias.c_str());
            break;
        case srs_tool::Request::Kind::reverse:
            srs_tool::reverse_address(out, settings_, address.c_str());
            break;
        case srs_tool::Request::Kind::malformed:
            return "ERROR\n";
        }
        return std::string(out.text());
    }

  private:
    srs_tool::Settings settings_;
    bool failed_ = true;
};

std::string bytes(int first, int last, int skip = -1) {
    std::string s;
    for (int b = first; b <= last; ++b)
        if (b != skip) s += static_cast<char>(b);
    return s;
}

// ---- Hostile input -------------------------------------------------------------

TEST(DaemonFaultInput, HostileBytesAlwaysGetTheirReply) {
    Daemon d({"s3cret"});
    ASSERT_GT(d.pid(), 0);
    const Model model("s3cret");
    ASSERT_TRUE(model.ready());
    const Budget budget(25s);

    struct Case {
        std::string name;
        std::string request;
        std::optional<std::string> reply; // also what the model must say
    };
    const std::string mb_a(kMegabyte, 'a');
    std::vector<Case> cases{
        // Only the first 1023 bytes are read; no blank after the address.
        {"forward and a megabyte, no newline", "forward " + mb_a, "ERROR\n"},
        {"reverse and a megabyte", "reverse " + mb_a,
         reverse_error(std::string(1015, 'a'), kBadParameter)},
        {"forward with a megabyte alias", "forward a@b " + mb_a + "\n",
         forward_error("a@b", kTooLong)},
        {"a megabyte of NUL bytes", std::string(kMegabyte, '\0'), "ERROR\n"},
        {"a megabyte of newlines", std::string(kMegabyte, '\n'), "ERROR\n"},
        {"reverse, NUL, then a megabyte", "reverse a@b\0"s + mb_a, reverse_error("a@b", kNotSrs)},
        {"every byte value", bytes(0, 255), "ERROR\n"},
        {"every byte value but NUL", bytes(1, 255), "ERROR\n"},
        {"forward, then every byte value but NUL", "forward " + bytes(1, 255), "ERROR\n"},
        {"a command word cut by NUL", "forw\0ard a@b c\n"s, "ERROR\n"},
        {"a carriage return alone", "\r", "ERROR\n"},
        {"reverse, then every byte value but NUL and newline",
         "reverse " + bytes(1, 255, '\n') + "\n", std::nullopt},
        {"forward, address of high bytes", "forward " + bytes(0x80, 0xff) + "@x fwd.example\n",
         std::nullopt},
        {"forward, alias of high bytes", "forward a@b " + bytes(0x80, 0xff) + "\n", std::nullopt},
        {"forward, control bytes around the at sign", "forward \x01\x02@\x7f\x1b fwd\x08.example\n",
         std::nullopt},
        {"forward, NUL inside the alias", "forward a@b fwd\0.example\n"s, std::nullopt},
    };
    // Random requests: random bytes behind a command word or none, with and
    // without a newline.
    std::mt19937 rng(20240607);
    const std::array<std::string, 5> heads{"", "forward ", "reverse ", "FoRwArD a@b ",
                                           "reverse SRS0="};
    const std::string delimiters = " @=\n\0"s;
    for (int i = 0; i < 200; ++i) {
        std::string request = heads[rng() % heads.size()];
        const std::size_t length = rng() % 1400;
        for (std::size_t k = 0; k < length; ++k)
            request +=
                rng() % 8 == 0 ? delimiters[rng() % delimiters.size()] : static_cast<char>(rng());
        if (rng() % 2 == 0) request += '\n';
        cases.push_back({"random " + std::to_string(i), request, std::nullopt});
    }
    for (const Case &c : cases)
        if (c.reply) {
            EXPECT_EQ(shown(model.reply(c.request)), shown(*c.reply)) << c.name;
        }

    // Eight clients at a time; meanwhile others ask ordinary questions.
    std::vector<std::optional<std::string>> replies(cases.size());
    std::atomic<std::size_t> next{0};
    std::vector<std::jthread> clients;
    for (int t = 0; t < 8; ++t)
        clients.emplace_back([&] {
            for (std::size_t i; (i = next++) < cases.size();)
                replies[i] = converse(d.path(), cases[i].request, budget.left());
        });
    std::vector<std::optional<std::string>> ordinary;
    while (next < cases.size() && ordinary.size() < 50)
        ordinary.push_back(converse(d.path(), "reverse a@b\n", budget.left()));
    for (auto &t : clients)
        t.join();

    for (const auto &reply : ordinary)
        EXPECT_EQ(shown(reply), shown(reverse_error("a@b", kNotSrs)));
    // A forward reply carries the day: when the day changed during the test,
    // replies that differ from the model's are not held against the daemon.
    const std::string day = oracle::stamp_days_ago(0);
    for (std::size_t i = 0; i < cases.size(); ++i) {
        SCOPED_TRACE(cases[i].name + ": " + shown(cases[i].request, 60));
        ASSERT_TRUE(replies[i].has_value()) << "no reply in time";
        const std::string expected = model.reply(cases[i].request);
        if (*replies[i] != expected && oracle::stamp_days_ago(0) != day) continue;
        EXPECT_EQ(shown(replies[i], 2000), shown(expected, 2000));
    }

    expect_settled(d.path(), d.pid(), budget);
}

// ---- Descriptors -------------------------------------------------------------

// The lowest descriptor numbers a process has free: with its descriptor
// limit at the first of them it can open nothing more, at the second one
// thing.
std::pair<int, int> free_descriptors(pid_t pid) {
    std::vector<int> open;
    std::error_code ec;
    for (const auto &entry :
         std::filesystem::directory_iterator("/proc/" + std::to_string(pid) + "/fd", ec))
        open.push_back(std::stoi(entry.path().filename()));
    std::vector<int> free;
    for (int fd = 0; free.size() < 2; ++fd)
        if (std::find(open.begin(), open.end(), fd) == open.end()) free.push_back(fd);
    return {free[0], free[1]};
}

TEST(DaemonFaultDescriptors, AcceptPausesWhileTheTableIsFull) {
    Daemon d({"s3cret"});
    ASSERT_GT(d.pid(), 0);
    const pid_t pid = d.pid();
    const Budget budget(25s);
    rlimit original{};
    ASSERT_EQ(prlimit(pid, RLIMIT_NOFILE, nullptr, &original), 0);
    // Counted while the daemon waits for a connection, holding none.
    settle(d.path(), pid, budget);
    ASSERT_FALSE(HasFailure());
    const auto [first_free, second_free] = free_descriptors(pid);
    const std::string request = "reverse a@b\n", reply = reverse_error("a@b", kNotSrs);

    // Room for exactly one more descriptor. The daemon closes its copy of a
    // connection once it has forked, so connections held open by their
    // clients do not use up its table: it goes on serving.
    ASSERT_TRUE(limit(pid, RLIMIT_NOFILE, static_cast<rlim_t>(second_free)));
    std::vector<int> held;
    for (int i = 0; i < 16; ++i) {
        held.push_back(process::connect_to(d.path()));
        ASSERT_GE(held.back(), 0);
    }
    EXPECT_TRUE(eventually([&] { return children(pid) >= 16; }, 5s)) << children(pid);
    for (int i = 0; i < 8; ++i)
        EXPECT_EQ(shown(converse(d.path(), request, budget.left())), shown(reply))
            << "while connections are held";

    // No room at all: accepting fails for want of a descriptor. The daemon
    // waits for one to come free rather than spin or give up, and the
    // clients wait in the queue. (An accept already waiting when the limit
    // falls has its descriptor: one connection may still pass.)
    ASSERT_TRUE(limit(pid, RLIMIT_NOFILE, static_cast<rlim_t>(first_free)));
    const long ticks_before = stat_of(pid).value_or(ProcessStat{}).cpu_ticks;
    constexpr int kWaiting = 12;
    std::vector<std::optional<std::string>> replies(kWaiting);
    std::atomic<int> answered{0};
    std::vector<std::jthread> clients;
    for (int i = 0; i < kWaiting; ++i)
        clients.emplace_back([&, i] {
            replies[static_cast<std::size_t>(i)] = converse(d.path(), request, budget.left());
            ++answered;
        });
    std::this_thread::sleep_for(1s);
    const long ticks_used = stat_of(pid).value_or(ProcessStat{}).cpu_ticks - ticks_before;
    EXPECT_TRUE(alive(pid));
    EXPECT_LE(answered, 1) << "served without a descriptor to serve with";
    EXPECT_LT(ticks_used, sysconf(_SC_CLK_TCK) / 2) << "the daemon spins on the failing accept";

    // Descriptors back: the waiting clients are served.
    ASSERT_TRUE(limit(pid, RLIMIT_NOFILE, original.rlim_cur));
    for (auto &t : clients)
        t.join();
    for (const auto &r : replies)
        EXPECT_EQ(shown(r), shown(reply));
    for (const int fd : held)
        close(fd);
    expect_settled(d.path(), pid, budget);
}

// ---- The listening socket ------------------------------------------------------

// The descriptor under which a process holds the socket listening at `path`
// (found through the socket's inode in /proc/net/unix), or -1.
int listening_descriptor(pid_t pid, const std::string &path) {
    std::ifstream table("/proc/net/unix");
    std::string line, inode;
    while (std::getline(table, line)) {
        std::istringstream fields(line);
        std::string slot, refs, protocol, flags, type, state, node, name;
        fields >> slot >> refs >> protocol >> flags >> type >> state >> node >> name;
        if (name == path && flags == "00010000") inode = node; // accepting connections
    }
    std::error_code ec;
    for (const auto &entry :
         std::filesystem::directory_iterator("/proc/" + std::to_string(pid) + "/fd", ec))
        if (!inode.empty() &&
            std::filesystem::read_symlink(entry.path(), ec).string() == "socket:[" + inode + "]")
            return std::stoi(entry.path().filename());
    return -1;
}

TEST(DaemonFaultListener, AcceptFailingForGoodEndsTheDaemon) {
    Daemon d({"s3cret"});
    ASSERT_GT(d.pid(), 0);
    const pid_t pid = d.pid();
    const Budget budget(25s);
    settle(d.path(), pid, budget);
    ASSERT_FALSE(HasFailure());
    // A connection taken before the socket fails.
    const int taken = process::connect_to(d.path());
    ASSERT_GE(taken, 0);
    ASSERT_TRUE(eventually([&] { return children(pid) == 1 && waiting_in_accept(pid); }, 5s));

    // A copy of the daemon's listening socket, shut down: accept() fails
    // with EINVAL from then on.
    const int listener = listening_descriptor(pid, d.path());
    ASSERT_GE(listener, 0);
    const int pidfd = static_cast<int>(syscall(SYS_pidfd_open, pid, 0));
    const int copy =
        pidfd < 0 ? -1 : static_cast<int>(syscall(SYS_pidfd_getfd, pidfd, listener, 0));
    if (pidfd >= 0) close(pidfd);
    if (copy < 0) GTEST_SKIP() << "no copy of another process's descriptor here (pidfd_getfd)";
    EXPECT_EQ(shutdown(copy, SHUT_RDWR), 0);
    close(copy);

    // The daemon ends rather than retry for ever; the connection it took
    // is served all the same, and new clients are refused at once.
    const bool ended = eventually([&] { return !alive(pid); }, 5s);
    if (ended) d.forget();
    EXPECT_TRUE(ended) << "the daemon goes on";
    const std::string request = "reverse a@b\n";
    ASSERT_EQ(send(taken, request.data(), request.size(), MSG_NOSIGNAL),
              static_cast<ssize_t>(request.size()));
    shutdown(taken, SHUT_WR);
    EXPECT_EQ(shown(process::read_all(taken, budget.left())), shown(reverse_error("a@b", kNotSrs)));
    close(taken);
    EXPECT_EQ(process::connect_to(d.path()), -1);
}

// ---- Processes --------------------------------------------------------------

// A user id that no process runs as, picked by the test's process id so
// that test programs run side by side pick different ones.
uid_t unused_uid() {
    std::vector<long> taken;
    for (const pid_t pid : all_processes())
        taken.push_back(uid_of(pid));
    uid_t uid = 60000 + static_cast<uid_t>(getpid() % 4096) * 2;
    while (std::find(taken.begin(), taken.end(), static_cast<long>(uid)) != taken.end())
        ++uid;
    return uid;
}

// A daemon run as an unprivileged user (root is exempt from the limit on
// processes), from a copy of the program in a private directory that the
// user owns, where it binds its socket.
class UnprivilegedDaemon {
  public:
    explicit UnprivilegedDaemon(uid_t uid) {
        char dir[] = "/tmp/srs-fault-XXXXXX";
        dir_ = mkdtemp(dir);
        path_ = dir_ + "/sock";
        const std::string program = dir_ + "/srs";
        std::error_code ec;
        std::filesystem::copy_file(process::srs_path(), program, ec);
        chmod(program.c_str(), 0755);
        if (ec || chown(dir_.c_str(), uid, uid) != 0) return;

        std::vector<std::string> args{program, "-d", "--socket=" + path_, "--secret=s3cret"};
        std::vector<char *> argv;
        for (auto &a : args)
            argv.push_back(a.data());
        argv.push_back(nullptr);
        const pid_t starter = fork();
        if (starter == 0) {
            const int null = open("/dev/null", O_RDWR);
            for (int fd = 0; fd < 3; ++fd)
                dup2(null, fd);
            if (setgroups(0, nullptr) == 0 && setgid(uid) == 0 && setuid(uid) == 0)
                execv(argv[0], argv.data());
            _exit(127);
        }
        if (starter < 0) return;
        start_status_ = process::wait_for(starter, 10s);
        eventually([&] { return (pid_ = process::listener_pid(path_)) > 0; }, 5s);
    }
    ~UnprivilegedDaemon() {
        if (pid_ > 0) kill(pid_, SIGKILL);
        kill_everything_with("--socket=" + path_);
        std::error_code ignored;
        std::filesystem::remove_all(dir_, ignored);
    }
    UnprivilegedDaemon(const UnprivilegedDaemon &) = delete;
    UnprivilegedDaemon &operator=(const UnprivilegedDaemon &) = delete;

    int start_status() const { return start_status_; }
    pid_t pid() const { return pid_; }
    const std::string &path() const { return path_; }

  private:
    std::string dir_, path_;
    int start_status_ = -1;
    pid_t pid_ = -1;
};

// Sets a soft limit of a process that runs as `uid`, from a process of that
// user: changing the limits of another user's process takes a privilege
// that a container may not give even to root.
bool limit_as(uid_t uid, pid_t pid, decltype(RLIMIT_NPROC) resource, rlim_t soft) {
    const pid_t helper = fork();
    if (helper == 0) {
        const bool ok = setgroups(0, nullptr) == 0 && setgid(uid) == 0 && setuid(uid) == 0 &&
                        limit(pid, resource, soft);
        _exit(ok ? 0 : 1);
    }
    return helper > 0 && process::wait_for(helper, 5s) == 0;
}

TEST(DaemonFaultFork, ConnectionsAreClosedWhileForkFails) {
    if (geteuid() != 0) GTEST_SKIP() << "switching to an unprivileged user needs root";
    const uid_t uid = unused_uid();
    UnprivilegedDaemon d(uid);
    if (d.start_status() == 127) GTEST_SKIP() << "srs cannot be run as user " << uid << " here";
    ASSERT_EQ(d.start_status(), 0);
    const pid_t pid = d.pid();
    ASSERT_GT(pid, 0);
    ASSERT_EQ(uid_of(pid), static_cast<long>(uid));
    const Budget budget(25s);
    const std::string request = "reverse a@b\n", reply = reverse_error("a@b", kNotSrs);
    settle(d.path(), pid, budget);
    ASSERT_FALSE(HasFailure());

    // Three processes for the user: the daemon and two connection processes,
    // held by clients that send nothing (for ten seconds at most).
    ASSERT_TRUE(limit_as(uid, pid, RLIMIT_NPROC, 3));
    std::vector<int> held;
    for (int i = 0; i < 2; ++i) {
        held.push_back(process::connect_to(d.path()));
        ASSERT_GE(held.back(), 0);
    }
    ASSERT_TRUE(eventually([&] { return children(pid) == 2; }, 5s)) << children(pid);

    // Fork fails now: each connection is closed unanswered, at once.
    for (int i = 0; i < 8; ++i)
        EXPECT_EQ(shown(converse(d.path(), request, budget.left())), "") << "while fork fails";
    EXPECT_TRUE(alive(pid));
    EXPECT_EQ(children(pid), 2);

    // The held connections let go: their processes end, and there is room
    // again within the same limit.
    for (const int fd : held)
        close(fd);
    EXPECT_TRUE(eventually([&] { return children(pid) == 0; }, 5s));
    EXPECT_EQ(shown(converse(d.path(), request, budget.left())), shown(reply));

    // The limit lifted: many at once.
    ASSERT_TRUE(limit_as(uid, pid, RLIMIT_NPROC, RLIM_INFINITY));
    std::vector<std::optional<std::string>> replies(16);
    std::vector<std::jthread> clients;
    for (std::size_t i = 0; i < replies.size(); ++i)
        clients.emplace_back([&, i] { replies[i] = converse(d.path(), request, budget.left()); });
    for (auto &t : clients)
        t.join();
    for (const auto &r : replies)
        EXPECT_EQ(shown(r), shown(reply));
    expect_settled(d.path(), pid, budget);
}

} // namespace
