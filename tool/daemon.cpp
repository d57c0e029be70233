// The daemon and its connection processes.
#include "daemon.h"

#include "actions.h"
#include "connection.h"
#include "log.h"
#include "request.h"
#include "socketmap.h"

#include <array>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <set>
#include <span>
#include <string>

#include <fcntl.h>
#include <grp.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

namespace srs_tool {
namespace {

// ---- Signals ------------------------------------------------------------------
// The daemon's handlers only write the signal's number into a pipe; the
// accept loop reads it and does the work (reaping, reloading, ending).
int signal_pipe[2] = {-1, -1};

extern "C" void note_signal(int signal_number) {
    const int saved = errno;
    const auto byte = static_cast<unsigned char>(signal_number);
    [[maybe_unused]] const ssize_t ignored = write(signal_pipe[1], &byte, 1);
    errno = saved;
}

void handle(int signal_number, void (*handler)(int), int flags = 0) {
    struct sigaction action {};
    action.sa_handler = handler;
    sigemptyset(&action.sa_mask);
    action.sa_flags = flags;
    sigaction(signal_number, &action, nullptr);
}

// An accept failure that passes: the daemon goes on accepting.
bool transient(int error) {
    switch (error) {
    case EINTR:
    case ECONNABORTED:
    case EPROTO:
    case EMFILE:
    case ENFILE:
    case ENOBUFS:
    case ENOMEM:
        return true;
    default:
        return false;
    }
}

// Failures that are a shortage of resources: wait a little for them to
// come back rather than spin.
bool shortage(int error) {
    return error == EMFILE || error == ENFILE || error == ENOBUFS || error == ENOMEM;
}

void pause_briefly() {
    const timespec delay{0, 50'000'000}; // 50 ms
    nanosleep(&delay, nullptr);
}


// Reads the request into `buffer`: up to the first newline, at most its
// size, within the time allowed. Returns the number of bytes read, or
// nothing when the time ran out.
std::optional<std::size_t> read_request(int fd, std::span<char> buffer) {
    std::size_t n = 0;
    const Deadline deadline = std::chrono::steady_clock::now() + request_timeout;
    while (n < buffer.size()) {
        const auto got = receive(fd, buffer.subspan(n), deadline);
        if (!got) return std::nullopt;
        if (*got == 0) break; // the client finished writing, or left
        const auto *newline = static_cast<const char *>(std::memchr(buffer.data() + n, '\n', *got));
        if (newline != nullptr) return static_cast<std::size_t>(newline - buffer.data()) + 1;
        n += *got;
    }
    return n;
}

// A field of the request as a terminated text: the field lies inside the
// received bytes, and the byte after it (a blank, the newline or the byte
// past the end, all no longer needed) becomes its terminator.
const char *terminated(std::string_view field, std::span<char> received) {
    char *start = received.data() + (field.data() - received.data());
    start[field.size()] = '\0';
    return start;
}

// ---- Setting up ---------------------------------------------------------------

// A set-up failure: the message of the line protocol's daemon (written with
// a newline after it) and what went wrong, for standard error and the log.
struct SetupError {
    const char *message;
    std::string reason;
};

SetupError system_error(const char *message, const std::string &what) {
    return {message, what + ": " + std::strerror(errno)};
}

constexpr const char *bind_failed = "ERROR: Could not bind to socket\n";

// A listening socket, the file it is bound to, and its protocol.
struct Listener {
    enum class Protocol { line, socketmap };
    std::string path;
    Protocol protocol = Protocol::line;
    int fd = -1;
    dev_t device = 0;
    ino_t inode = 0;
};

// Creates the socket, clears the path (only of an old socket), binds and
// listens. Nothing but a socket is ever removed from the path.
std::optional<SetupError> open_listener(Listener &l) {
    l.fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (l.fd < 0) return system_error("ERROR: Could not create socket\n", "socket");

    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    // An empty path would bind an abstract socket, which every local user
    // can reach; a path that does not fit is never bound under a cut name.
    if (l.path.empty()) return SetupError{bind_failed, "the socket path is empty"};
    if (l.path.size() >= sizeof address.sun_path || l.path.find('\0') != std::string::npos)
        return SetupError{bind_failed, "'" + l.path + "': the socket path is longer than " +
                                           std::to_string(sizeof address.sun_path - 1) +
                                           " bytes"};
    std::memcpy(address.sun_path, l.path.data(), l.path.size());
    const auto length = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + l.path.size() + 1);

    struct stat st {};
    if (lstat(l.path.c_str(), &st) == 0) {
        if (!S_ISSOCK(st.st_mode))
            return SetupError{bind_failed, "'" + l.path + "' exists and is not a socket; left as it is"};
        if (unlink(l.path.c_str()) != 0) return system_error(bind_failed, "'" + l.path + "'");
    }
    if (bind(l.fd, reinterpret_cast<const sockaddr *>(&address), length) != 0)
        return system_error(bind_failed, "'" + l.path + "'");
    if (lstat(l.path.c_str(), &st) == 0) {
        l.device = st.st_dev;
        l.inode = st.st_ino;
    }
    if (listen(l.fd, SOMAXCONN) != 0)
        return system_error("ERROR: Could not listen to socket\n", "'" + l.path + "'");
    fcntl(l.fd, F_SETFL, fcntl(l.fd, F_GETFL) | O_NONBLOCK);
    return std::nullopt;
}

// Removes the socket file, if it is still the one this daemon bound.
void remove_socket(const Listener &l) {
    struct stat st {};
    if (l.inode != 0 && lstat(l.path.c_str(), &st) == 0 && S_ISSOCK(st.st_mode) &&
        st.st_dev == l.device && st.st_ino == l.inode)
        unlink(l.path.c_str());
}

void close_listener(Listener &l) {
    if (l.fd >= 0) close(l.fd);
    l.fd = -1;
}

// Standard input, output and error are open (on /dev/null when they were
// not), so that no socket can take their numbers.
void ensure_standard_streams() {
    for (int fd = 0; fd <= 2; ++fd)
        if (fcntl(fd, F_GETFD) < 0 && errno == EBADF) {
            const int null = open("/dev/null", O_RDWR);
            if (null >= 0 && null != fd) close(null);
        }
}

// Closes every descriptor but the standard streams: nothing the starting
// shell left open reaches the daemon or its connection processes.
void close_inherited_descriptors() {
    if (close_range(3, ~0U, 0) == 0) return;
    const long limit = sysconf(_SC_OPEN_MAX);
    for (long fd = 3; fd < (limit > 0 ? limit : 1024); ++fd)
        close(static_cast<int>(fd));
}

// Takes the user's uid, gid and groups for good.
std::optional<SetupError> drop_privileges(const RunAs &user) {
    const std::string who = "user '" + user.name + "'";
    if (initgroups(user.name.c_str(), user.gid) != 0) return system_error("ERROR: Could not switch user\n", "groups of " + who);
    if (setgid(user.gid) != 0) return system_error("ERROR: Could not switch user\n", "group of " + who);
    if (setuid(user.uid) != 0) return system_error("ERROR: Could not switch user\n", who);
    const bool became = getuid() == user.uid && geteuid() == user.uid && getgid() == user.gid &&
                        getegid() == user.gid;
    // Once another user, root must be out of reach.
    const bool root_back = user.uid != 0 && (setuid(0) == 0 || seteuid(0) == 0);
    if (!became || root_back)
        return SetupError{"ERROR: Could not switch user\n", who + ": root could be taken back"};
    return std::nullopt;
}

// ---- Serving ------------------------------------------------------------------

class Daemon {
  public:
    Daemon(Settings &settings, std::vector<Listener> &listeners)
        : settings_(settings), listeners_(listeners) {}
    // Before it serves: signals go to the accept loop.
    void install_handlers();
    // Serves until asked to end or until accepting fails for good.
    void run();

  private:
    void on_signals();
    void reap();
    void reload();
    void begin_stop();
    // Accepts what waits at one listener, as long as there is room; false
    // when the listener failed for good. `events` are what poll saw.
    bool accept_from(const Listener &l, short events);
    void start_connection(int connection, Listener::Protocol protocol);

    Settings &settings_;
    std::vector<Listener> &listeners_;
    std::set<pid_t> children_;
    // A member, not a local of run(): a connection process ends with _exit()
    // from inside run(), and what it still holds stays reachable.
    std::vector<pollfd> fds_;
    bool stopping_ = false;
    std::chrono::steady_clock::time_point kill_at_;
};

void Daemon::install_handlers() {
    handle(SIGCHLD, note_signal, SA_NOCLDSTOP);
    handle(SIGHUP, note_signal);
    handle(SIGTERM, note_signal);
    handle(SIGINT, note_signal);
    // Replies are sent with MSG_NOSIGNAL; this also keeps a client that
    // leaves early from ending a connection process by signal.
    std::signal(SIGPIPE, SIG_IGN);
}

void Daemon::run() {
    std::vector<pollfd> &fds = fds_;
    for (;;) {
        if (stopping_ && children_.empty()) return;
        fds.clear();
        fds.push_back({signal_pipe[0], POLLIN, 0});
        const bool room = children_.size() < static_cast<std::size_t>(settings_.max_children);
        if (!stopping_ && room)
            for (const Listener &l : listeners_)
                fds.push_back({l.fd, POLLIN, 0});
        int timeout = -1;
        if (stopping_) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                kill_at_ - std::chrono::steady_clock::now());
            if (left.count() <= 0) {
                // Those still running had their time: the daemon ends now.
                for (const pid_t child : children_)
                    kill(child, SIGKILL);
                reap();
                timeout = 100;
            } else {
                timeout = static_cast<int>(std::min<long long>(left.count(), 1000));
            }
        }
        const int ready = poll(fds.data(), fds.size(), timeout);
        if (ready < 0) {
            if (errno == EINTR) continue;
            log().write(Severity::err, "poll failed: %s", std::strerror(errno));
            pause_briefly();
            continue;
        }
        if (fds[0].revents != 0) on_signals();
        for (std::size_t i = 1; i < fds.size() && !stopping_; ++i) {
            if (fds[i].revents == 0) continue;
            const Listener &l = listeners_[i - 1];
            if (!accept_from(l, fds[i].revents)) {
                // Accepting failed for good: the daemon ends, its socket file
                // left where it is.
                for (Listener &each : listeners_)
                    close_listener(each);
                return;
            }
        }
    }
}

void Daemon::on_signals() {
    std::array<unsigned char, 64> got;
    bool hangup = false, stop = false, child = false;
    for (;;) {
        const ssize_t n = read(signal_pipe[0], got.data(), got.size());
        if (n <= 0) break;
        for (ssize_t i = 0; i < n; ++i) {
            hangup |= got[static_cast<std::size_t>(i)] == SIGHUP;
            stop |= got[static_cast<std::size_t>(i)] == SIGTERM ||
                    got[static_cast<std::size_t>(i)] == SIGINT;
            child |= got[static_cast<std::size_t>(i)] == SIGCHLD;
        }
    }
    if (child) reap();
    if (hangup && !stopping_) reload();
    if (stop && !stopping_) begin_stop();
}

void Daemon::reap() {
    pid_t pid;
    while ((pid = waitpid(-1, nullptr, WNOHANG)) > 0)
        children_.erase(pid);
}

void Daemon::reload() {
    const auto failed = reload_secrets(settings_, [](const std::string &warning) {
        std::string text = warning;
        while (!text.empty() && text.back() == '\n')
            text.pop_back();
        log().write(Severity::warning, "%s", text.c_str());
    });
    if (failed)
        log().write(Severity::err, "reload failed, serving with the old secrets: %s",
                    failed->c_str());
    else
        log().write(Severity::notice, "reloaded: %zu secrets", settings_.secret_list.size());
}

void Daemon::begin_stop() {
    stopping_ = true;
    kill_at_ = std::chrono::steady_clock::now() + stop_grace;
    for (Listener &l : listeners_) {
        close_listener(l);
        remove_socket(l);
    }
    // Connection processes finish the reply in progress, then end.
    for (const pid_t child : children_)
        kill(child, SIGTERM);
    log().write(Severity::notice, "ending: %zu connection processes still to finish",
                children_.size());
}

bool Daemon::accept_from(const Listener &l, short events) {
    while (children_.size() < static_cast<std::size_t>(settings_.max_children)) {
        const int connection = accept4(l.fd, nullptr, nullptr, SOCK_CLOEXEC);
        if (connection >= 0) {
            start_connection(connection, l.protocol);
            continue;
        }
        const int error = errno;
        if (error == EAGAIN || error == EWOULDBLOCK) {
            // A listening socket hangs up only when it was shut down: it will
            // never have a connection again.
            if ((events & (POLLHUP | POLLERR | POLLNVAL)) == 0) return true;
            log().write(Severity::err, "the socket '%s' was shut down; ending", l.path.c_str());
            return false;
        }
        if (!transient(error)) {
            log().write(Severity::err, "accept on '%s' failed: %s; ending", l.path.c_str(),
                        std::strerror(error));
            return false;
        }
        if (shortage(error)) {
            pause_briefly();
            return true;
        }
    }
    return true;
}

void Daemon::start_connection(int connection, Listener::Protocol protocol) {
    const pid_t child = fork();
    if (child == 0) {
        for (Listener &l : listeners_)
            close_listener(l);
        close(signal_pipe[0]);
        close(signal_pipe[1]);
        log().after_fork();
        handle(SIGCHLD, SIG_DFL);
        handle(SIGHUP, SIG_IGN);
        handle(SIGTERM, note_stop);
        handle(SIGINT, note_stop);
        if (protocol == Listener::Protocol::socketmap)
            serve_socketmap(connection, settings_);
        else
            serve_connection(connection, settings_);
        _exit(0); // nothing buffered, nothing to run at exit
    }
    if (child > 0)
        children_.insert(child);
    else
        log().write(Severity::err, "fork failed: %s", std::strerror(errno));
    close(connection);
}

} // namespace

void serve_connection(int fd, const Settings &settings) {
    // A client that stops reading cannot hold the reply's send for ever.
    const timeval send_limit{static_cast<time_t>(request_timeout.count()), 0};
    setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &send_limit, sizeof send_limit);
    // One byte more than a request may have, for the last terminator.
    std::array<char, max_request + 1> received;
    const auto n = read_request(fd, std::span(received.data(), max_request));
    const Request request = n ? parse_request(std::string_view(received.data(), *n))
                              : Request{Request::Kind::malformed, {}, {}};
    Reply reply;
    switch (request.kind) {
    case Request::Kind::forward: {
        // The alias is read first: terminating the address overwrites the
        // blank in front of it.
        const char *alias = terminated(request.alias, received);
        const char *address = terminated(request.address, received);
        const Outcome outcome = forward(settings, address, alias);
        write_forward(reply, address, outcome);
        log_forward(settings, address, outcome);
        break;
    }
    case Request::Kind::reverse: {
        const char *address = terminated(request.address, received);
        const Outcome outcome = reverse(settings, address);
        write_reverse(reply, address, outcome);
        log_reverse(settings, address, outcome);
        break;
    }
    case Request::Kind::malformed:
        reply.line("ERROR\n");
        break;
    }
    send_all(fd, reply.text());
    close(fd);
}

int run_daemon(Settings &settings) {
    ensure_standard_streams();
    close_inherited_descriptors();
    log().set_path(settings.syslog_path);

    // The line protocol's socket, unless only the socketmap one was asked
    // for; the socketmap one when it was.
    std::vector<Listener> listeners;
    if (!settings.socketmap_path || settings.socket_given)
        listeners.push_back(Listener{std::string(settings.socket_path)});
    if (settings.socketmap_path)
        listeners.push_back(
            Listener{std::string(*settings.socketmap_path), Listener::Protocol::socketmap});
    int pid_fd = -1;
    // A failure before the daemon serves: the banner and the message on
    // standard output, the reason on standard error and in the log.
    auto fail = [&](const SetupError &e) {
        std::printf("%s\n%s\n", banner, e.message);
        std::fflush(stdout);
        std::fprintf(stderr, "srs: %s\n", e.reason.c_str());
        std::string what = e.message;
        if (what.rfind("ERROR: ", 0) == 0) what.erase(0, 7);
        while (!what.empty() && what.back() == '\n')
            what.pop_back();
        log().write(Severity::err, "start-up failed: %s: %s", what.c_str(), e.reason.c_str());
        for (Listener &l : listeners) {
            close_listener(l);
            remove_socket(l);
        }
        if (pid_fd >= 0) {
            close(pid_fd);
            unlink(std::string(*settings.pid_file).c_str());
        }
        return 1;
    };

    for (Listener &l : listeners)
        if (auto failed = open_listener(l)) return fail(*failed);
    if (settings.pid_file) {
        const std::string path(*settings.pid_file);
        pid_fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW, 0644);
        if (pid_fd < 0) return fail(system_error("ERROR: Could not write pid file\n", "'" + path + "'"));
    }
    if (settings.user) {
        for (const Listener &l : listeners)
            if (chown(l.path.c_str(), settings.user->uid, settings.user->gid) != 0)
                return fail(system_error(bind_failed, "socket '" + l.path + "' for user '" +
                                                          settings.user->name + "'"));
        // The store, opened (and made, when missing) with the user's rights,
        // taken for the moment only: a failure still cleans up as root.
        if (settings.store) {
            std::optional<std::string> failed;
            const RunAs &u = *settings.user;
            if (initgroups(u.name.c_str(), u.gid) != 0 || setegid(u.gid) != 0 || seteuid(u.uid) != 0)
                return fail(system_error("ERROR: Could not switch user\n", "user '" + u.name + "'"));
            for (const Handle &h : settings.handle_list)
                if (!failed) failed = attach_store(*settings.store, h.get());
            if (seteuid(0) != 0 || setegid(0) != 0)
                return fail(system_error("ERROR: Could not switch user\n", "back to root"));
            if (failed)
                return fail(SetupError{"ERROR: Could not open store\n",
                                       "'" + std::string(settings.store->text) + "' as user '" +
                                           u.name + "': " + *failed});
        }
        if (auto failed = drop_privileges(*settings.user)) return fail(*failed);
    }
    // The daemon process says through `ready` that it serves; the starting
    // process reports only then.
    int ready[2] = {-1, -1};
    if (pipe2(signal_pipe, O_CLOEXEC | O_NONBLOCK) != 0 || pipe2(ready, O_CLOEXEC) != 0)
        return fail(system_error("ERROR: Could not create socket\n", "pipe"));

    std::fflush(stdout);
    std::fflush(stderr);
    const pid_t pid = fork();
    if (pid < 0) return fail(system_error("ERROR: fork() failed", "fork"));
    if (pid > 0) {
        close(ready[1]);
        char byte = 0;
        ssize_t got;
        while ((got = read(ready[0], &byte, 1)) < 0 && errno == EINTR) {
        }
        close(ready[0]);
        if (got != 1) {
            errno = ECHILD;
            return fail(system_error("ERROR: Could not listen to socket\n",
                                     "the daemon process ended before it served"));
        }
        if (pid_fd >= 0) {
            const std::string text = std::to_string(pid) + "\n";
            const bool written = write(pid_fd, text.data(), text.size()) ==
                                 static_cast<ssize_t>(text.size());
            close(pid_fd);
            pid_fd = -1;
            if (!written) {
                kill(pid, SIGKILL);
                return fail(system_error("ERROR: Could not write pid file\n",
                                         "'" + std::string(*settings.pid_file) + "'"));
            }
        }
        std::printf("%s\nDaemon started\n", banner);
        std::fflush(stdout);
        return 0;
    }

    if (pid_fd >= 0) close(pid_fd);
    close(ready[0]);
    // Listening again makes the socket's credentials this process's: a
    // client that asks for its peer (SO_PEERCRED) learns the daemon's
    // process id and user, not those of the starting process.
    for (const Listener &l : listeners)
        listen(l.fd, SOMAXCONN);
    Daemon daemon(settings, listeners);
    daemon.install_handlers();
    [[maybe_unused]] const ssize_t said = write(ready[1], "1", 1);
    close(ready[1]);
    std::string sockets;
    for (const Listener &l : listeners)
        sockets += (sockets.empty() ? "" : ", ") +
                   std::string(l.protocol == Listener::Protocol::socketmap ? "socketmap '" : "socket '") +
                   l.path + "'";
    log().write(Severity::notice, "started: %s, %zu secrets, at most %d connection processes",
                sockets.c_str(), settings.secret_list.size(), settings.max_children);
    daemon.run();

    for (Listener &l : listeners)
        close_listener(l);
    settings.handle_list.clear();
    settings.forward_handle = nullptr;
    settings.secret_list.clear();
    settings.secret_list.shrink_to_fit();
    settings.file_secrets.clear();
    settings.file_secrets.shrink_to_fit();
    if (settings.pid_file) unlink(std::string(*settings.pid_file).c_str());
    log().write(Severity::notice, "ended");
    return 0;
}

} // namespace srs_tool
