// The daemon as an administrator deploys it, run as a separate process:
// clients that connect without blocking, the descriptors its processes
// hold, the user it runs as, the cap on connection processes, SIGHUP,
// SIGTERM with a request in flight, and its syslog lines, read from a
// datagram socket of the test's own (no system logger needed).
//
// Every daemon is started with --pidfile= in a private directory and
// killed by process id when its test ends.
#include "oracle.h"
#include "process.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <barrier>
#include <functional>
#include <set>
#include <thread>

#include <fcntl.h>
#include <grp.h>
#include <pwd.h>
#include <sys/prctl.h>
#include <sys/stat.h>

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

const std::string kNotSrs = "Address is not a SRS address";
const std::string kForged = "Hash verification failed (forged)";
const std::string kExpired = "Time stamp expired";

std::string reverse_error(const std::string &address, const std::string &message) {
    return "ERROR: Could not validate address '" + address + "' - " + message + "\n";
}

// The SRS0 address a forwarder with `secret` makes of local@domain today.
std::string srs0(std::string_view secret, const std::string &stamp, const std::string &local,
                 const std::string &domain, const std::string &alias = "fwd.example") {
    const std::string hash =
        oracle::hash_text(secret, oracle::lower(stamp + domain + local)).substr(0, 6);
    return "SRS0=" + hash + "=" + stamp + "=" + domain + "=" + local + "@" + alias;
}

bool eventually(const std::function<bool()> &condition, std::chrono::milliseconds limit = 5s) {
    return peer::wait_until(condition, limit);
}

// Fields of /proc/PID/status, such as "Uid:".
std::string status_field(pid_t pid, const std::string &name) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    while (std::getline(in, line))
        if (line.rfind(name, 0) == 0) return line.substr(name.size());
    return {};
}

std::vector<std::string> words(const std::string &text) {
    std::istringstream in(text);
    std::vector<std::string> out;
    for (std::string w; in >> w;)
        out.push_back(w);
    return out;
}

// Children of a process that still run (not zombies).
std::vector<pid_t> live_children(pid_t parent) {
    std::vector<pid_t> found;
    std::error_code ec;
    for (const auto &entry : std::filesystem::directory_iterator("/proc", ec)) {
        std::ifstream stat(entry.path() / "stat");
        std::string line;
        if (!std::getline(stat, line)) continue;
        const auto close_paren = line.rfind(')');
        if (close_paren == std::string::npos) continue;
        std::istringstream rest(line.substr(close_paren + 2));
        char state = 0;
        pid_t ppid = 0;
        rest >> state >> ppid;
        if (ppid == parent && state != 'Z') found.push_back(std::stoi(entry.path().filename()));
    }
    return found;
}

// What a process's descriptors point at ("/dev/null", "socket:[123]", ...).
std::vector<std::string> descriptors(pid_t pid) {
    std::vector<std::string> out;
    std::error_code ec;
    for (const auto &entry :
         std::filesystem::directory_iterator("/proc/" + std::to_string(pid) + "/fd", ec))
        out.push_back(entry.path().filename().string() + " -> " +
                      std::filesystem::read_symlink(entry.path(), ec).string());
    std::sort(out.begin(), out.end());
    return out;
}

// The syslog lines the daemon sends, caught on a datagram socket at a path
// of the test's choosing (given to the daemon with --syslog=).
class LogCapture {
  public:
    explicit LogCapture(const std::string &path) : path_(path) {
        fd_ = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        sockaddr_un a{};
        a.sun_family = AF_UNIX;
        std::strncpy(a.sun_path, path.c_str(), sizeof a.sun_path - 1);
        EXPECT_EQ(bind(fd_, reinterpret_cast<sockaddr *>(&a), sizeof a), 0);
        chmod(path.c_str(), 0666); // reachable for a daemon that runs as another user
    }
    ~LogCapture() { close(fd_); }
    LogCapture(const LogCapture &) = delete;
    LogCapture &operator=(const LogCapture &) = delete;
    const std::string &path() const { return path_; }

    // The first line not seen before that holds `text`, waiting for it at
    // most `limit`; empty when none came.
    std::string wait_for(const std::string &text, std::chrono::milliseconds limit = 5s) {
        const auto deadline = Clock::now() + limit;
        for (;;) {
            receive();
            for (std::size_t i = 0; i < lines_.size(); ++i)
                if (!taken_.count(i) && lines_[i].find(text) != std::string::npos) {
                    taken_.insert(i);
                    return lines_[i];
                }
            if (Clock::now() > deadline) return {};
            pollfd p{fd_, POLLIN, 0};
            poll(&p, 1, 20);
        }
    }
    // Every line received so far.
    const std::vector<std::string> &lines() {
        receive();
        return lines_;
    }

  private:
    void receive() {
        char buf[2048];
        for (;;) {
            const ssize_t n = recv(fd_, buf, sizeof buf, MSG_DONTWAIT);
            if (n <= 0) return;
            lines_.emplace_back(buf, static_cast<std::size_t>(n));
        }
    }
    std::string path_;
    int fd_ = -1;
    std::vector<std::string> lines_;
    std::set<std::size_t> taken_;
};

// A private directory (mode 0755, so that a daemon run as another user
// can reach what is in it), removed at the end.
class TempDir {
  public:
    TempDir() {
        char name[] = "/tmp/srs-deploy-XXXXXX";
        path_ = mkdtemp(name);
        chmod(path_.c_str(), 0755);
    }
    ~TempDir() {
        std::error_code ignored;
        std::filesystem::remove_all(path_, ignored);
    }
    TempDir(const TempDir &) = delete;
    TempDir &operator=(const TempDir &) = delete;
    const std::string &path() const { return path_; }
    std::string file(const std::string &name, const std::string &content, mode_t mode = 0600) const {
        const std::string path = path_ + "/" + name;
        // Replaced, not rewritten in place: as an administrator does with mv.
        const std::string temporary = path + ".new";
        std::ofstream(temporary, std::ios::binary) << content;
        chmod(temporary.c_str(), mode);
        std::filesystem::rename(temporary, path);
        return path;
    }

  private:
    std::string path_;
};

// `srs -d` with its socket, PID file and log in a private directory and the
// given further arguments. pid() is the daemon's process id from its PID
// file, -1 when it did not start.
class Deployed {
  public:
    Deployed(const TempDir &dir, std::vector<std::string> args)
        : socket_(dir.path() + "/sock"), pid_file_(dir.path() + "/srs.pid") {
        std::vector<std::string> all{"-d", "--socket=" + socket_, "--pidfile=" + pid_file_,
                                     "--syslog=" + dir.path() + "/log"};
        all.insert(all.end(), args.begin(), args.end());
        start_ = process::run(all);
        if (start_.status == 0) pid_ = std::stoi(process::read_file(pid_file_));
    }
    ~Deployed() {
        if (pid_ > 0) {
            for (const pid_t child : live_children(pid_))
                kill(child, SIGKILL);
            kill(pid_, SIGKILL);
        }
    }
    Deployed(const Deployed &) = delete;
    Deployed &operator=(const Deployed &) = delete;

    pid_t pid() const { return pid_; }
    void forget() { pid_ = -1; }
    const process::Outcome &start() const { return start_; }
    const std::string &socket() const { return socket_; }
    const std::string &pid_file() const { return pid_file_; }
    std::optional<std::string> ask(const std::string &request) const {
        return peer::ask(socket_, request);
    }

  private:
    std::string socket_, pid_file_;
    process::Outcome start_;
    pid_t pid_ = -1;
};

std::string shown(const std::optional<std::string> &reply) {
    return reply ? *reply : "(no reply)";
}

// A connection that has sent nothing yet: it holds a connection process.
int hold_connection(const std::string &path) {
    return peer::connect_to(path);
}

// Sends the request on a held connection and reads the reply.
std::optional<std::string> finish(int fd, const std::string &request) {
    send(fd, request.data(), request.size(), MSG_NOSIGNAL);
    shutdown(fd, SHUT_WR);
    auto reply = peer::read_all(fd, 10s);
    close(fd);
    return reply;
}

// ---- Clients that do not wait --------------------------------------------------

// Mail servers connect without blocking: every one of 64 clients that
// connect at the same moment must get through at once and be answered.
TEST(DaemonBacklog, SixtyFourNonBlockingClientsAreAllServed) {
    TempDir dir;
    Deployed d(dir, {"--secret=s3cret"});
    ASSERT_GT(d.pid(), 0) << d.start().out << d.start().err;
    constexpr int kClients = 64;
    std::atomic<int> refused{0};
    std::vector<std::optional<std::string>> replies(kClients);
    std::barrier together(kClients);
    std::vector<std::thread> threads;
    for (int i = 0; i < kClients; ++i)
        threads.emplace_back([&, i] {
            const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK, 0);
            sockaddr_un a{};
            a.sun_family = AF_UNIX;
            std::strncpy(a.sun_path, d.socket().c_str(), sizeof a.sun_path - 1);
            together.arrive_and_wait();
            if (connect(fd, reinterpret_cast<sockaddr *>(&a), sizeof a) != 0) {
                ++refused;
                close(fd);
                return;
            }
            fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK);
            replies[static_cast<std::size_t>(i)] = finish(fd, "reverse a@b\n");
        });
    for (auto &t : threads)
        t.join();
    EXPECT_EQ(refused, 0) << "connects that failed at once (EAGAIN)";
    for (const auto &reply : replies)
        EXPECT_EQ(shown(reply), reverse_error("a@b", kNotSrs));
}

// ---- Descriptors ----------------------------------------------------------------

TEST(DaemonDescriptors, ProcessesHoldOnlyWhatTheyNeed) {
    TempDir dir;
    // A descriptor the starting process inherits from its parent, as from
    // a careless shell.
    const std::string leaked_path = dir.path() + "/leaked";
    std::ofstream(leaked_path) << "x";
    const int leaked = open(leaked_path.c_str(), O_RDONLY); // no O_CLOEXEC: inherited
    ASSERT_GE(leaked, 3);
    Deployed d(dir, {"--secret=s3cret"});
    close(leaked);
    ASSERT_GT(d.pid(), 0);

    for (const std::string &fd : descriptors(d.pid()))
        EXPECT_EQ(fd.find(leaked_path), std::string::npos) << "the daemon holds " << fd;

    const int held = hold_connection(d.socket());
    ASSERT_GE(held, 0);
    std::vector<pid_t> children;
    ASSERT_TRUE(eventually([&] { return (children = live_children(d.pid())).size() == 1; }));
    // The standard streams and the connection: nothing else.
    const auto fds = descriptors(children.front());
    ASSERT_EQ(fds.size(), 4u) << testing::PrintToString(fds);
    EXPECT_EQ(fds[0], "0 -> /dev/null");
    EXPECT_EQ(fds[1].rfind("1 -> ", 0), 0u);
    EXPECT_EQ(fds[2].rfind("2 -> ", 0), 0u);
    EXPECT_NE(fds[3].find(" -> socket:["), std::string::npos) << fds[3];
    EXPECT_EQ(shown(finish(held, "reverse a@b\n")), reverse_error("a@b", kNotSrs));
}

// ---- The user it runs as ------------------------------------------------------

TEST(DaemonUser, RunsAsTheGivenUserAndGivesItTheSocket) {
    if (geteuid() != 0) {
        if (std::getenv("CI") != nullptr) FAIL() << "CI runs the tests as root; this one needs it";
        GTEST_SKIP() << "needs root (the daemon is started as root and switches to 'nobody')";
    }
    const passwd *nobody = getpwnam("nobody");
    ASSERT_NE(nobody, nullptr) << "no user 'nobody' here";
    const std::string uid = std::to_string(nobody->pw_uid);
    const std::string gid = std::to_string(nobody->pw_gid);
    TempDir dir;
    LogCapture log(dir.path() + "/log");
    // Read as root at the start: nobody could not read this file.
    const std::string secrets = dir.file("secrets", "s3cret\n", 0600);
    const mode_t umask_before = umask(007); // the mail server's group may connect
    Deployed d(dir, {"--secretfile=" + secrets, "--user=nobody"});
    umask(umask_before);
    ASSERT_GT(d.pid(), 0) << d.start().out << d.start().err;

    EXPECT_EQ(words(status_field(d.pid(), "Uid:")), std::vector<std::string>(4, uid));
    EXPECT_EQ(words(status_field(d.pid(), "Gid:")), std::vector<std::string>(4, gid));
    for (const std::string &group : words(status_field(d.pid(), "Groups:")))
        EXPECT_NE(group, "0") << "still in root's group";
    EXPECT_EQ(status_field(d.pid(), "CapEff:"), "\t0000000000000000");
    struct stat st {};
    ASSERT_EQ(stat(d.socket().c_str(), &st), 0);
    EXPECT_EQ(st.st_uid, nobody->pw_uid);
    EXPECT_EQ(st.st_gid, nobody->pw_gid);

    const auto [reply, stamp] = oracle::on_one_day([&] { return d.ask("forward a@b.example fwd.example\n"); });
    EXPECT_EQ(shown(reply), srs0("s3cret", stamp, "a", "b.example") + "\n");
    // A mail server's user in the socket's group may connect, another may not.
    auto connects_as = [&](std::vector<gid_t> groups) {
        const pid_t child = fork();
        if (child == 0) {
            if (setgroups(groups.size(), groups.data()) != 0 || setgid(54321) != 0 ||
                setuid(54321) != 0)
                _exit(2);
            const int fd = peer::connect_to(d.socket());
            _exit(fd >= 0 ? 0 : 1);
        }
        int status = -1;
        waitpid(child, &status, 0);
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    };
    EXPECT_EQ(connects_as({nobody->pw_gid}), 0) << "a member of the socket's group";
    EXPECT_EQ(connects_as({}), 1) << "a user outside the socket's group";

    // SIGHUP reads the file again as nobody, who cannot: the daemon says
    // why and keeps the secrets it has.
    dir.file("secrets", "other\n", 0600);
    kill(d.pid(), SIGHUP);
    EXPECT_NE(log.wait_for("reload failed").find("Permission denied"), std::string::npos);
    const auto [again, stamp2] = oracle::on_one_day([&] { return d.ask("forward a@b.example fwd.example\n"); });
    EXPECT_EQ(shown(again), srs0("s3cret", stamp2, "a", "b.example") + "\n");
    // Readable by nobody, it is read.
    chown(secrets.c_str(), nobody->pw_uid, nobody->pw_gid);
    kill(d.pid(), SIGHUP);
    EXPECT_NE(log.wait_for("reloaded: 1 secrets"), "");
    const auto [third, stamp3] = oracle::on_one_day([&] { return d.ask("forward a@b.example fwd.example\n"); });
    EXPECT_EQ(shown(third), srs0("other", stamp3, "a", "b.example") + "\n");
}

// ---- The cap on connection processes --------------------------------------------

TEST(DaemonCap, ClientsBeyondTheCapWaitAndAreAllServed) {
    TempDir dir;
    Deployed d(dir, {"--secret=s3cret", "--maxchildren=3"});
    ASSERT_GT(d.pid(), 0);
    constexpr int kHeld = 3, kWaiting = 12;
    std::vector<int> held;
    for (int i = 0; i < kHeld; ++i)
        held.push_back(hold_connection(d.socket()));
    ASSERT_TRUE(eventually([&] { return live_children(d.pid()).size() == kHeld; }));

    // More clients than the cap: they wait in the backlog, unanswered...
    std::atomic<int> answered{0};
    std::atomic<std::size_t> most{0};
    std::vector<std::thread> waiting;
    for (int i = 0; i < kWaiting; ++i)
        waiting.emplace_back([&] {
            if (shown(peer::ask(d.socket(), "reverse a@b\n")) == reverse_error("a@b", kNotSrs))
                ++answered;
        });
    const auto watch_until = Clock::now() + 500ms;
    while (Clock::now() < watch_until) {
        most = std::max(most.load(), live_children(d.pid()).size());
        std::this_thread::sleep_for(5ms);
    }
    EXPECT_EQ(answered, 0);
    // ... and are served, all of them, once the held connections end.
    for (const int fd : held)
        EXPECT_EQ(shown(finish(fd, "reverse a@b\n")), reverse_error("a@b", kNotSrs));
    std::atomic<bool> done{false};
    std::thread watcher([&] {
        while (!done) {
            most = std::max(most.load(), live_children(d.pid()).size());
            std::this_thread::sleep_for(1ms);
        }
    });
    for (auto &t : waiting)
        t.join();
    done = true;
    watcher.join();
    EXPECT_EQ(answered, kWaiting);
    EXPECT_LE(most, static_cast<std::size_t>(kHeld)) << "more connection processes than the cap";
}

// ---- Signals ----------------------------------------------------------------------

TEST(DaemonSignals, HangupReadsTheSecretsFilesAgain) {
    TempDir dir;
    LogCapture log(dir.path() + "/log");
    const std::string secrets = dir.file("secrets", "old\n");
    // A relative name: read again from the same directory.
    const std::string relative = std::filesystem::relative(secrets).string();
    Deployed d(dir, {"--secretfile=" + relative, "--secret=fixed"});
    ASSERT_GT(d.pid(), 0) << d.start().err;
    EXPECT_NE(log.wait_for("started"), "");

    auto forward = [&] {
        return oracle::on_one_day([&] { return d.ask("forward a@b.example fwd.example\n"); });
    };
    const auto [by_old, stamp] = forward();
    EXPECT_EQ(shown(by_old), srs0("old", stamp, "a", "b.example") + "\n");

    // A new first secret, the old one kept for reversing.
    dir.file("secrets", "new\nold\n");
    kill(d.pid(), SIGHUP);
    EXPECT_NE(log.wait_for("reloaded: 3 secrets"), "");
    const auto [by_new, stamp2] = forward();
    EXPECT_EQ(shown(by_new), srs0("new", stamp2, "a", "b.example") + "\n");
    const std::string old_address = by_old->substr(0, by_old->size() - 1);
    EXPECT_EQ(shown(d.ask("reverse " + old_address + "\n")), "a@b.example\n");

    // A file that cannot serve keeps the secrets the daemon has.
    const std::pair<std::string, std::function<void()>> broken[] = {
        {"NUL byte", [&] { dir.file("secrets", std::string("x\0y\n", 4)); }},
        {"No such file", [&] { std::filesystem::remove(secrets); }},
        {"Is a directory", [&] { std::filesystem::create_directory(secrets); }},
    };
    for (const auto &[reason, breaking] : broken) {
        SCOPED_TRACE(reason);
        breaking();
        kill(d.pid(), SIGHUP);
        EXPECT_NE(log.wait_for("reload failed, serving with the old secrets").find(reason),
                  std::string::npos);
        const auto [still, stamp3] = forward();
        EXPECT_EQ(shown(still), srs0("new", stamp3, "a", "b.example") + "\n");
    }
}

TEST(DaemonSignals, TerminateFinishesTheRequestInFlightAndEndsInOrder) {
    // This process adopts the daemon when its starting process ends, so
    // that the daemon's exit status can be read.
    ASSERT_EQ(prctl(PR_SET_CHILD_SUBREAPER, 1), 0);
    TempDir dir;
    LogCapture log(dir.path() + "/log");
    Deployed d(dir, {"--secret=s3cret"});
    prctl(PR_SET_CHILD_SUBREAPER, 0);
    ASSERT_GT(d.pid(), 0);

    const int in_flight = hold_connection(d.socket());
    ASSERT_TRUE(eventually([&] { return live_children(d.pid()).size() == 1; }));
    ASSERT_EQ(send(in_flight, "reverse a@", 10, MSG_NOSIGNAL), 10);
    kill(d.pid(), SIGTERM);
    // It stops accepting at once and removes its socket...
    EXPECT_TRUE(eventually([&] { return !std::filesystem::exists(d.socket()); }));
    EXPECT_EQ(peer::connect_to(d.socket()), -1);
    // ... while the request in flight gets its whole reply.
    EXPECT_EQ(shown(finish(in_flight, "b\n")), reverse_error("a@b", kNotSrs));

    int status = -1;
    const auto deadline = Clock::now() + 10s;
    while (waitpid(d.pid(), &status, WNOHANG) == 0 && Clock::now() < deadline)
        std::this_thread::sleep_for(5ms);
    d.forget();
    ASSERT_TRUE(WIFEXITED(status)) << "the daemon did not end by itself";
    EXPECT_EQ(WEXITSTATUS(status), 0);
    EXPECT_FALSE(std::filesystem::exists(d.pid_file()));
    EXPECT_NE(log.wait_for("ended"), "");
}

// A socket that another daemon bound at the path in the meantime is not
// removed by the one that ends.
TEST(DaemonSignals, TerminateLeavesASuccessorsSocket) {
    TempDir dir;
    Deployed first(dir, {"--secret=first"});
    ASSERT_GT(first.pid(), 0);
    TempDir other;
    const std::string path = first.socket();
    process::Outcome started = process::run({"-d", "--socket=" + path, "--secret=second",
                                             "--pidfile=" + other.path() + "/pid"});
    ASSERT_EQ(started.status, 0);
    const pid_t second = std::stoi(process::read_file(other.path() + "/pid"));
    kill(first.pid(), SIGTERM);
    EXPECT_TRUE(eventually([&] { return kill(first.pid(), 0) != 0 || status_field(first.pid(), "State:").find('Z') != std::string::npos; }));
    EXPECT_TRUE(std::filesystem::exists(path));
    EXPECT_EQ(peer::listener_pid(path), second);
    kill(second, SIGKILL);
}

// ---- Logging ------------------------------------------------------------------------

TEST(DaemonLog, StartRefusedBouncesAndEnd) {
    TempDir dir;
    LogCapture log(dir.path() + "/log");
    const std::string today = oracle::stamp_days_ago(0);
    Deployed d(dir, {"--secret=s3cret", "--secret=older"});
    ASSERT_GT(d.pid(), 0);
    const std::string pid = std::to_string(d.pid());
    // Facility mail (2), severity notice (5): <21>; ident srs with the pid.
    const std::string started = log.wait_for("started");
    EXPECT_EQ(started.rfind("<21>", 0), 0u) << started;
    EXPECT_NE(started.find(" srs[" + pid + "]: started: socket '" + d.socket() + "', 2 secrets"),
              std::string::npos)
        << started;

    std::string forged = srs0("s3cret", today, "u", "example.com");
    forged[5] = forged[5] == '0' ? '1' : '0';
    const std::string expired = srs0("s3cret", oracle::stamp_days_ago(40), "u", "example.com");
    const std::string good = srs0("older", today, "u", "example.com");
    struct Case {
        std::string address, logged; // empty: nothing logged
    };
    const Case cases[] = {
        {forged, "refused reverse of '" + forged + "': " + kForged},
        {expired, "refused reverse of '" + expired + "': " + kExpired},
        {"SRS0=abc@fwd.example", "refused reverse of 'SRS0=abc@fwd.example': The SRS syntax was faulty"},
        {"SRS0=abcdef=!!=x=y@fwd", "refused reverse of 'SRS0=abcdef=!!=x=y@fwd': Time stamp contained bad characters"},
        // Control bytes of a client never reach the log as they are.
        {"SRS0=a\x01\x1b[31m@fwd", "refused reverse of 'SRS0=a\\x01\\x1b[31m@fwd': The SRS syntax was faulty"},
        {"user@example.com", ""}, // no bounce at all
        {good, ""},               // served: logged only with --verbose
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.address);
        ASSERT_TRUE(d.ask("reverse " + c.address + "\n"));
        if (!c.logged.empty()) {
            const std::string line = log.wait_for(c.logged);
            EXPECT_NE(line, "");
            EXPECT_NE(line.find(" srs["), std::string::npos);
        }
    }
    kill(d.pid(), SIGTERM);
    EXPECT_NE(log.wait_for("]: ended"), "");
    d.forget();
    for (const std::string &line : log.lines()) {
        EXPECT_EQ(line.find("user@example.com"), std::string::npos) << line;
        EXPECT_EQ(line.find(good), std::string::npos) << line;
    }

    // With --verbose every rewrite is logged too.
    TempDir verbose_dir;
    LogCapture verbose_log(verbose_dir.path() + "/log");
    Deployed verbose(verbose_dir, {"--secret=s3cret", "--verbose"});
    ASSERT_GT(verbose.pid(), 0);
    const auto [reply, stamp] =
        oracle::on_one_day([&] { return verbose.ask("forward a@b.example fwd.example\n"); });
    ASSERT_TRUE(reply);
    const std::string made = reply->substr(0, reply->size() - 1);
    EXPECT_NE(verbose_log.wait_for("forward 'a@b.example' to '" + made + "'"), "");
    ASSERT_TRUE(verbose.ask("reverse " + made + "\n"));
    EXPECT_NE(verbose_log.wait_for("reverse '" + made + "' to 'a@b.example'"), "");
}

TEST(DaemonLog, StartUpFailureIsLoggedWithItsReason) {
    TempDir dir;
    LogCapture log(dir.path() + "/log");
    const auto o = process::run({"-d", "--socket=" + dir.path() + "/missing/sock",
                                 "--syslog=" + log.path(), "--secret=s3cret"});
    EXPECT_EQ(o.status, 1);
    const std::string line = log.wait_for("start-up failed");
    // Facility mail, severity err: <19>.
    EXPECT_EQ(line.rfind("<19>", 0), 0u) << line;
    EXPECT_NE(line.find("Could not bind to socket: '" + dir.path() + "/missing/sock': No such file or directory"),
              std::string::npos)
        << line;
}

} // namespace
