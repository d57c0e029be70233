// librewrite-redis: the Redis store of librewrite's database mode.
//
// One key per rewritten sender, PREFIX:ID, holding the address and expiring
// by itself once no valid address can reach it. The store lives behind the
// handle's database context: the server's place, the key prefix, the
// password and the timeout, and an atomic pointer to the state of the
// process that uses it (its connection, the mutex its threads take turns
// with, the text of its last failure). A process that finds the state of
// another (its parent's, inherited across fork) makes its own and never
// touches the inherited one: a connection shared by two processes would
// hand one of them the other's replies, and the inherited mutex may have
// been held by a parent's thread at the fork.
//
// hiredis connects (with a time limit) and parses replies; commands are
// written here, with send(MSG_NOSIGNAL), so that a server gone away never
// raises SIGPIPE in the program. Like librewrite itself the store needs no
// C++ runtime library at link time: objects live on the C heap and the
// locks are pthread's, so C programs link it with the C compiler.
#include "srs_redis.h"
#include "store_support.h"
#include "srs_redis_testing.h"

#include <hiredis.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cerrno>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
#include <string_view>

#include <fcntl.h>
#include <pthread.h>
#include <sys/random.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <sys/un.h>
#include <unistd.h>

namespace {

constexpr std::string_view id_alphabet = "abcdefghijklmnopqrstuvwxyz234567";
constexpr std::size_t id_length = SRS_REDIS_ID_LENGTH;
using Id = std::array<char, id_length>;

constexpr std::uint64_t store_magic = 0x7264732d73727331; // tags the context as ours
constexpr int default_timeout_ms = 1000;
constexpr std::uint64_t seconds_per_day = 86400;
// librewrite reads addresses up to this many characters.
constexpr int max_address_length = 256;
// A fresh identifier is drawn when one is taken already; with 64 random bits
// that is all but impossible, so a few tries suffice.
constexpr int insert_attempts = 4;
constexpr std::string_view default_prefix = "srs";
constexpr std::size_t max_prefix_length = 100;
constexpr std::size_t max_password_length = 512;
constexpr std::size_t max_host_length = 255;
constexpr std::size_t error_size = 256;
constexpr std::size_t command_size = 1024; // the longest SET with the longest prefix fits

using Text = std::array<char, error_size>;

// ---- Ownership -------------------------------------------------------------

using store_support::Destroy;
using store_support::make_owned;
using store_support::Owned;

struct FreeReply {
    void operator()(redisReply *r) const { freeReplyObject(r); }
};
using Reply = std::unique_ptr<redisReply, FreeReply>;

using store_support::PthreadLock;

// Writes a message into text, cut to fit.
[[gnu::format(printf, 2, 3)]] void say(Text &text, const char *format, ...) {
    va_list args;
    va_start(args, format);
    std::vsnprintf(text.data(), text.size(), format, args);
    va_end(args);
}

// ---- Identifiers -----------------------------------------------------------

bool system_random(std::uint64_t &bits) {
    ssize_t got = 0;
    do
        got = getrandom(&bits, sizeof bits, 0);
    while (got < 0 && errno == EINTR);
    return got == static_cast<ssize_t>(sizeof bits);
}

std::atomic<srs_redis_testing::RandomSource> random_source{system_random};

// 64 random bits as 13 base32 characters, most significant first.
bool random_id(Id &id) {
    std::uint64_t bits = 0;
    if (!random_source.load(std::memory_order_relaxed)(bits)) return false;
    for (std::size_t i = id_length; i-- > 0;) {
        id[i] = id_alphabet[bits & 31u];
        bits >>= 5;
    }
    return true;
}

// The stored form of an identifier as it came back, its letters folded to
// lower case (a mail system may have changed them); false when it cannot be
// one of ours.
bool stored_form(std::string_view text, Id &id) {
    if (text.size() != id_length) return false;
    for (std::size_t i = 0; i < id_length; ++i) {
        char c = text[i];
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
        if (id_alphabet.find(c) == std::string_view::npos) return false;
        id[i] = c;
    }
    return true;
}

// ---- Commands --------------------------------------------------------------

// A number in decimal, written at the end of digits. (Not std::to_chars,
// whose instantiations the library would export.)
using Digits = std::array<char, 20>;
std::string_view decimal(std::uint64_t value, Digits &digits) {
    std::size_t start = digits.size();
    do {
        digits[--start] = static_cast<char>('0' + value % 10);
        value /= 10;
    } while (value != 0);
    return {digits.data() + start, digits.size() - start};
}

// A command in the protocol's request form (an array of bulk strings),
// written into a fixed buffer.
class Command {
  public:
    explicit Command(std::size_t args) {
        put('*');
        number(args);
        put("\r\n");
    }
    Command &arg(std::string_view text) {
        put('$');
        number(text.size());
        put("\r\n");
        put(text);
        put("\r\n");
        return *this;
    }
    // The key PREFIX:ID as one argument.
    Command &key(std::string_view prefix, const Id &id) {
        put('$');
        number(prefix.size() + 1 + id.size());
        put("\r\n");
        put(prefix);
        put(':');
        put(std::string_view(id.data(), id.size()));
        put("\r\n");
        return *this;
    }
    Command &arg(std::uint64_t value) {
        Digits digits;
        return arg(decimal(value, digits));
    }
    std::string_view text() const { return {buf_.data(), size_}; }
    bool complete() const { return !overflow_; }
    // Clears what was written (a password).
    void wipe() { explicit_bzero(buf_.data(), buf_.size()); }

  private:
    void put(char c) { put(std::string_view(&c, 1)); }
    void put(std::string_view s) {
        if (s.size() > buf_.size() - size_) {
            overflow_ = true;
            return;
        }
        std::memcpy(buf_.data() + size_, s.data(), s.size());
        size_ += s.size();
    }
    void number(std::size_t n) {
        Digits digits;
        put(decimal(n, digits));
    }

    std::array<char, command_size> buf_;
    std::size_t size_ = 0;
    bool overflow_ = false;
};

// ---- The server ------------------------------------------------------------

struct Server {
    bool local = false; // a unix socket at path; else host and port
    std::array<char, sizeof(sockaddr_un{}.sun_path)> path{};
    std::array<char, max_host_length + 1> host{};
    int port = 0;
};

bool parse_port(std::string_view text, int &port) {
    if (text.empty() || text.size() > 5) return false;
    int value = 0;
    for (const char c : text) {
        if (c < '0' || c > '9') return false;
        value = value * 10 + (c - '0');
    }
    if (value < 1 || value > 65535) return false;
    port = value;
    return true;
}

// The characters of text from position from on, count of them at most.
// (Not string_view::substr, which may throw and so needs the C++ runtime.)
std::string_view part(std::string_view text, std::size_t from,
                      std::size_t count = std::string_view::npos) {
    const std::size_t n = std::min(count, text.size() - std::min(from, text.size()));
    return {text.data() + std::min(from, text.size()), n};
}

// "/path" or "HOST:PORT", "[IPV6]:PORT".
bool parse_server(std::string_view text, Server &server) {
    if (text.empty()) return false;
    if (text.front() == '/') {
        if (text.size() >= server.path.size()) return false;
        server.local = true;
        std::memcpy(server.path.data(), text.data(), text.size());
        return true;
    }
    std::string_view host;
    std::string_view port;
    if (text.front() == '[') {
        const std::size_t close = text.find(']');
        if (close == std::string_view::npos || close + 1 >= text.size() || text[close + 1] != ':')
            return false;
        host = part(text, 1, close - 1);
        port = part(text, close + 2);
    } else {
        const std::size_t colon = text.rfind(':');
        if (colon == std::string_view::npos) return false;
        host = part(text, 0, colon);
        port = part(text, colon + 1);
        if (host.find(':') != std::string_view::npos) return false; // IPv6 wants brackets
    }
    if (host.empty() || host.size() > max_host_length || !parse_port(port, server.port))
        return false;
    if (host.find('\0') != std::string_view::npos) return false;
    std::memcpy(server.host.data(), host.data(), host.size());
    return true;
}

// Why a command got no reply.
enum class Failure {
    none,
    lost,    // the connection went away (the server closed or was restarted)
    timeout, // no answer within the timeout
    other,
};

// Reads the first line of a file, without its line end, into password.
int read_password(const char *path, std::array<char, max_password_length + 2> &password,
                  std::size_t &length, Text &why) {
    std::FILE *file = std::fopen(path, "re");
    if (file == nullptr) {
        say(why, "password file %s: %s", path, std::strerror(errno));
        return SRS_BAD_PARAMETER;
    }
    const bool read = std::fgets(password.data(), static_cast<int>(password.size()), file) != nullptr;
    const bool failed = std::ferror(file) != 0;
    std::fclose(file);
    if (failed) {
        say(why, "password file %s: cannot be read", path);
        return SRS_BAD_PARAMETER;
    }
    length = read ? std::strlen(password.data()) : 0;
    const bool whole_line = length > 0 && password[length - 1] == '\n';
    if (!whole_line && length > max_password_length) {
        say(why, "password file %s: the password is longer than %zu bytes", path,
            max_password_length);
        return SRS_BAD_PARAMETER;
    }
    while (length > 0 && (password[length - 1] == '\n' || password[length - 1] == '\r'))
        --length;
    password[length] = '\0';
    if (length == 0) {
        say(why, "password file %s: the first line is empty", path);
        return SRS_BAD_PARAMETER;
    }
    return SRS_OK;
}

// ---- The store -------------------------------------------------------------

// What one process keeps: made by the process that uses it, never used by
// another.
struct Process {
    pid_t pid = 0;
    pthread_mutex_t mutex;
    redisContext *redis = nullptr; // null until the first use, and after a failure
    Process *inherited = nullptr;  // an ancestor's state, left alone
    Text error{};                  // the last failure in this process

    // Releases this state and the inherited ones. An inherited connection
    // is let go without a word to its server (its descriptor is closed,
    // which sends nothing while the process that made it still holds it);
    // an inherited mutex is neither locked nor destroyed.
    static void release(Process *p) {
        const pid_t me = getpid();
        while (p != nullptr) {
            Process *older = p->inherited;
            if (p->pid == me) {
                if (p->redis != nullptr) redisFree(p->redis);
                pthread_mutex_destroy(&p->mutex);
            } else if (p->redis != nullptr) {
                const int fd = redisFreeKeepFd(p->redis);
                if (fd >= 0) close(fd);
            }
            p->~Process();
            std::free(p);
            p = older;
        }
    }
};

struct Store {
    std::uint64_t magic = store_magic;
    std::atomic<Process *> process{nullptr};
    Server server;
    std::array<char, max_prefix_length> prefix{};
    std::size_t prefix_length = 0;
    std::array<char, max_password_length + 2> password{};
    std::size_t password_length = 0; // 0: no AUTH
    timeval timeout{};
    int timeout_ms = default_timeout_ms;

    Store() = default;
    Store(const Store &) = delete;
    Store &operator=(const Store &) = delete;
    ~Store() {
        Process::release(process.load());
        explicit_bzero(password.data(), password.size());
        magic = 0;
    }

    std::string_view key_prefix() const { return {prefix.data(), prefix_length}; }

    int configure(const char *server_text, const srs_redis_options *options, Text &why) {
        if (server_text == nullptr || !parse_server(server_text, server)) {
            say(why, "not a server (/path/to/redis.sock or HOST:PORT): %s",
                server_text == nullptr ? "(null)" : server_text);
            return SRS_BAD_PARAMETER;
        }
        const char *p = options != nullptr ? options->prefix : nullptr;
        const std::string_view given = p != nullptr ? std::string_view(p) : std::string_view();
        const std::string_view chosen = given.empty() ? default_prefix : given;
        if (chosen.size() > prefix.size()) {
            say(why, "the key prefix is longer than %zu bytes", prefix.size());
            return SRS_BAD_PARAMETER;
        }
        std::memcpy(prefix.data(), chosen.data(), chosen.size());
        prefix_length = chosen.size();

        if (options != nullptr && options->timeout_ms < 0) {
            say(why, "negative timeout: %d ms", options->timeout_ms);
            return SRS_BAD_PARAMETER;
        }
        if (options != nullptr && options->timeout_ms > 0) timeout_ms = options->timeout_ms;
        timeout.tv_sec = timeout_ms / 1000;
        timeout.tv_usec = (timeout_ms % 1000) * 1000;

        if (options != nullptr && options->password_file != nullptr)
            return read_password(options->password_file, password, password_length, why);
        return SRS_OK;
    }

    void name(Text &text) const {
        if (server.local)
            say(text, "%s", server.path.data());
        else
            say(text, "%s:%d", server.host.data(), server.port);
    }

    // Sends a command and reads its reply. Any failure leaves the connection
    // closed: one that timed out may still deliver the late reply, which
    // would be taken for the next command's.
    Failure exchange(redisContext *&c, const Command &command, Reply &reply, Text &why) const {
        const std::string_view text = command.text();
        Failure failure = Failure::none;
        for (std::size_t sent = 0; sent < text.size() && failure == Failure::none;) {
            const ssize_t n = send(c->fd, text.data() + sent, text.size() - sent, MSG_NOSIGNAL);
            if (n >= 0) {
                sent += static_cast<std::size_t>(n);
                continue;
            }
            const int e = errno;
            if (e == EINTR) continue;
            failure = e == EAGAIN || e == EWOULDBLOCK ? Failure::timeout
                      : e == EPIPE || e == ECONNRESET || e == ENOTCONN ? Failure::lost
                                                                       : Failure::other;
            if (failure == Failure::timeout)
                say(why, "no answer within %d ms (sending)", timeout_ms);
            else
                say(why, "sending: %s", std::strerror(e));
        }
        if (failure == Failure::none) {
            void *raw = nullptr;
            const int rc = redisGetReply(c, &raw);
            const int e = errno;
            reply.reset(static_cast<redisReply *>(raw));
            if (rc != REDIS_OK || reply == nullptr) {
                const bool timed_out = (c->err == REDIS_ERR_IO && (e == EAGAIN || e == EWOULDBLOCK))
#ifdef REDIS_ERR_TIMEOUT
                                       || c->err == REDIS_ERR_TIMEOUT
#endif
                    ;
                if (timed_out) {
                    failure = Failure::timeout;
                    say(why, "no answer within %d ms", timeout_ms);
                } else {
                    failure = c->err == REDIS_ERR_EOF || (c->err == REDIS_ERR_IO && e == ECONNRESET)
                                  ? Failure::lost
                                  : Failure::other;
                    say(why, "reading the reply: %s", c->err != 0 ? c->errstr : "no reply");
                }
            }
        }
        if (failure != Failure::none) {
            reply.reset();
            redisFree(c);
            c = nullptr;
        }
        return failure;
    }

    // A new connection, authenticated when a password is set; null with the
    // reason in why.
    redisContext *connect(Text &why) const {
        redisContext *c = server.local
                              ? redisConnectUnixWithTimeout(server.path.data(), timeout)
                              : redisConnectWithTimeout(server.host.data(), server.port, timeout);
        Text where;
        name(where);
        if (c == nullptr) {
            say(why, "connecting to %s: out of memory", where.data());
            return nullptr;
        }
        if (c->err != 0 || redisSetTimeout(c, timeout) != REDIS_OK) {
            say(why, "connecting to %s: %s", where.data(),
                c->err != 0 ? c->errstr : "cannot set the timeout");
            redisFree(c);
            return nullptr;
        }
        // Not handed to programs the host process runs.
        const int flags = fcntl(c->fd, F_GETFD);
        if (flags >= 0) fcntl(c->fd, F_SETFD, flags | FD_CLOEXEC);
        if (password_length == 0) return c;

        Command auth(2);
        auth.arg("AUTH").arg(std::string_view(password.data(), password_length));
        Reply reply;
        const bool fits = auth.complete();
        const Failure failure = fits ? exchange(c, auth, reply, why) : Failure::other;
        auth.wipe();
        if (!fits) {
            say(why, "the password does not fit a command");
        } else if (failure != Failure::none) {
            Text detail = why;
            say(why, "AUTH at %s: %s", where.data(), detail.data());
        } else if (reply->type == REDIS_REPLY_STATUS) {
            return c;
        } else {
            say(why, "AUTH at %s: %s", where.data(),
                reply->type == REDIS_REPLY_ERROR ? reply->str : "unexpected reply");
        }
        if (c != nullptr) redisFree(c);
        return nullptr;
    }

    // Runs a command on the process's connection, connecting first when
    // there is none. A connection made by an earlier call that turns out to
    // be lost is replaced once and the command sent again; a timeout is
    // never retried, so a stalled server costs one timeout. The process's
    // mutex is held.
    Reply run(Process &p, const Command &command, const char *what) const {
        Reply reply;
        if (!command.complete()) {
            say(p.error, "%s: the command does not fit its buffer", what);
            return nullptr;
        }
        const bool reused = p.redis != nullptr;
        if (!reused) p.redis = connect(p.error);
        if (p.redis == nullptr) return nullptr;
        Text why;
        Failure failure = exchange(p.redis, command, reply, why);
        if (failure == Failure::lost && reused) {
            Text lost = why;
            p.redis = connect(why);
            if (p.redis == nullptr) {
                Text detail = why;
                say(why, "%s (then: %s)", lost.data(), detail.data());
            } else {
                failure = exchange(p.redis, command, reply, why);
            }
        }
        if (reply == nullptr) {
            Text where;
            name(where);
            say(p.error, "%s at %s: %s", what, where.data(), why.data());
        }
        return reply;
    }

    // The state of the calling process, made when there is none or only an
    // ancestor's; null when memory runs out.
    Process *current() {
        const pid_t me = getpid();
        Process *p = process.load(std::memory_order_acquire);
        while (p == nullptr || p->pid != me) {
            Owned<Process> fresh = make_owned<Process>();
            if (fresh == nullptr) return nullptr;
            if (pthread_mutex_init(&fresh->mutex, nullptr) != 0) return nullptr;
            fresh->pid = me;
            fresh->inherited = p;
            // Another thread of this process may have made one meanwhile:
            // then p is that one, and its pid is ours.
            if (process.compare_exchange_strong(p, fresh.get(), std::memory_order_acq_rel)) {
                p = fresh.release();
            } else {
                pthread_mutex_destroy(&fresh->mutex);
            }
        }
        return p;
    }

    int insert(const srs_handle &h, std::string_view address, char *out) {
        Process *p = current();
        if (p == nullptr) return SRS_OUT_OF_MEMORY;
        const PthreadLock lock(p->mutex);
        // The stamp of day d is accepted through the end of day d + max_age:
        // an entry stored at the start of day d must live max_age + 1 days.
        const std::uint64_t ttl =
            (std::uint64_t{h.max_age} + 1) * seconds_per_day + SRS_REDIS_TTL_MARGIN;
        for (int attempt = 0; attempt < insert_attempts; ++attempt) {
            Id id;
            if (!random_id(id)) {
                say(p->error, "no random bits for an identifier: %s", std::strerror(errno));
                return SRS_DB_ERROR;
            }
            Command set(6);
            set.arg("SET").key(key_prefix(), id).arg(address).arg("EX").arg(ttl).arg("NX");
            const Reply reply = run(*p, set, "SET");
            if (reply == nullptr) return SRS_DB_ERROR;
            if (reply->type == REDIS_REPLY_NIL) continue; // taken: draw again
            if (reply->type == REDIS_REPLY_STATUS) {
                std::memcpy(out, id.data(), id.size());
                out[id.size()] = '\0';
                return SRS_OK;
            }
            return unexpected(*p, "SET", *reply);
        }
        say(p->error, "SET: %d identifiers in a row were taken", insert_attempts);
        return SRS_DB_ERROR;
    }

    int lookup(const Id &id, char *buf, std::uint32_t buf_len) {
        Process *p = current();
        if (p == nullptr) return SRS_OUT_OF_MEMORY;
        const PthreadLock lock(p->mutex);
        Command get(2);
        get.arg("GET").key(key_prefix(), id);
        const Reply reply = run(*p, get, "GET");
        if (reply == nullptr) return SRS_DB_ERROR;
        switch (reply->type) {
        case REDIS_REPLY_NIL:
            return SRS_DB_LOOKUP_FAILED;
        case REDIS_REPLY_STRING: {
            const auto size = static_cast<std::size_t>(reply->len);
            if (size + 1 > std::size_t{buf_len}) return SRS_BUFFER_TOO_SMALL;
            std::memcpy(buf, reply->str, size);
            buf[size] = '\0';
            return SRS_OK;
        }
        default:
            return unexpected(*p, "GET", *reply);
        }
    }

    // An error reply (the server's message kept), or a reply of a type the
    // command never gives. The process's mutex is held.
    int unexpected(Process &p, const char *what, const redisReply &reply) const {
        Text where;
        name(where);
        if (reply.type == REDIS_REPLY_ERROR)
            say(p.error, "%s at %s: the server answers: %s", what, where.data(), reply.str);
        else
            say(p.error, "%s at %s: unexpected reply of type %d", what, where.data(), reply.type);
        return SRS_DB_ERROR;
    }

    // The server answers PING on a connection of its own, closed after.
    int check(Text &why) const {
        redisContext *c = connect(why);
        if (c == nullptr) return SRS_DB_ERROR;
        Command ping(1);
        ping.arg("PING");
        Reply reply;
        Text where;
        name(where);
        int rc = SRS_DB_ERROR;
        if (exchange(c, ping, reply, why) != Failure::none) {
            Text detail = why;
            say(why, "PING at %s: %s", where.data(), detail.data());
        } else if (reply->type == REDIS_REPLY_STATUS) {
            rc = SRS_OK;
        } else {
            say(why, "PING at %s: %s", where.data(),
                reply->type == REDIS_REPLY_ERROR ? reply->str : "unexpected reply");
        }
        if (c != nullptr) redisFree(c);
        return rc;
    }
};

// ---- Callbacks -------------------------------------------------------------

int insert_callback(srs_handle *h, const char *address, int address_len, char *id, int room);
int lookup_callback(srs_handle *h, const char *id, int id_len, char *buf, uint32_t buf_len);

// The handle's Redis store, or null when it has none (no store, or
// another's: its context is then not looked at).
Store *store_of(const srs_handle *h) {
    if (h == nullptr || h->db_insert != insert_callback || h->db_lookup != lookup_callback)
        return nullptr;
    auto *s = static_cast<Store *>(srs_get_db_context(h));
    return s != nullptr && s->magic == store_magic ? s : nullptr;
}

int insert_callback(srs_handle *h, const char *address, int address_len, char *id, int room) {
    Store *s = store_of(h);
    if (s == nullptr) return SRS_DB_ERROR;
    if (address == nullptr || id == nullptr || address_len <= 0 || address_len > max_address_length)
        return SRS_BAD_PARAMETER;
    if (room <= static_cast<int>(id_length)) return SRS_BUFFER_TOO_SMALL;
    return s->insert(*h, std::string_view(address, static_cast<std::size_t>(address_len)), id);
}

int lookup_callback(srs_handle *h, const char *id, int id_len, char *buf, uint32_t buf_len) {
    Store *s = store_of(h);
    if (s == nullptr) return SRS_DB_ERROR;
    if (id == nullptr || buf == nullptr) return SRS_BAD_PARAMETER;
    Id key;
    if (id_len < 0 || !stored_form(std::string_view(id, static_cast<std::size_t>(id_len)), key))
        return SRS_DB_LOOKUP_FAILED;
    return s->lookup(key, buf, buf_len);
}

// Why the last srs_redis_attach of the calling thread failed, for a handle
// that has no store to keep it.
struct AttachFailure {
    const srs_handle *handle;
    Text text;
};
thread_local AttachFailure attach_failure{};
// What srs_redis_last_error hands out: a copy, stable while other threads
// fail on.
thread_local Text error_copy{};

} // namespace

namespace srs_redis_testing {

void set_random_source(RandomSource source) {
    random_source.store(source != nullptr ? source : system_random);
}

} // namespace srs_redis_testing

extern "C" {

int srs_redis_attach(srs_handle *handle, const char *server, const srs_redis_options *options) {
    if (handle == nullptr) return SRS_BAD_HANDLE;
    Store *old = store_of(handle);
    Text why{};
    Owned<Store> store = make_owned<Store>();
    int rc = SRS_OUT_OF_MEMORY;
    if (store == nullptr)
        say(why, "out of memory");
    else
        rc = store->configure(server, options, why);
    if (rc == SRS_OK) rc = store->check(why);
    if (rc != SRS_OK) {
        // Kept where srs_redis_last_error finds it: with the handle's
        // present store, else for this thread.
        Process *p = old != nullptr ? old->current() : nullptr;
        if (p != nullptr) {
            const PthreadLock lock(p->mutex);
            p->error = why;
        } else {
            attach_failure = AttachFailure{handle, why};
        }
        return rc;
    }
    srs_set_db_context(handle, store.release());
    srs_set_db_functions(handle, insert_callback, lookup_callback);
    const Owned<Store> replaced(old);
    if (attach_failure.handle == handle) attach_failure = AttachFailure{};
    return SRS_OK;
}

int srs_redis_detach(srs_handle *handle) {
    if (handle == nullptr) return SRS_BAD_HANDLE;
    if (attach_failure.handle == handle) attach_failure = AttachFailure{};
    const Owned<Store> store(store_of(handle));
    if (store == nullptr) return SRS_DB_NOT_IN_USE;
    srs_set_db_functions(handle, nullptr, nullptr);
    srs_set_db_context(handle, nullptr);
    return SRS_OK;
}

const char *srs_redis_last_error(const srs_handle *handle) {
    if (handle == nullptr) return "";
    Store *s = store_of(handle);
    if (s == nullptr) return attach_failure.handle == handle ? attach_failure.text.data() : "";
    // Only this process's own state is looked at, and only under its lock.
    Process *p = s->process.load(std::memory_order_acquire);
    if (p == nullptr || p->pid != getpid()) return "";
    {
        const PthreadLock lock(p->mutex);
        error_copy = p->error;
    }
    return error_copy.data();
}

} // extern "C"
