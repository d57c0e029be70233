// librewrite-sqlite: the SQLite store of librewrite's database mode.
//
// One table, one row per rewritten sender: its identifier (13 characters of
// lower-case base32: the day it was stored, then random bits), the address
// and the time it was stored; a second table holds the day up to which the
// entries have been expired. The identifier is the table's key, and since
// it begins with the day, the table is in the order of the days: an insert
// writes one b-tree page, and expiry deletes a range of the key.
//
// The store lives behind the handle's database context. Its connection is
// opened lazily by the process that uses it, and no connection crosses a
// fork(): SQLite keeps state for every open file in the process (locks, the
// shared-memory index of the log), and a child that inherited it from a
// connection open in its parent finds the file locked for good, or worse.
// So a fork handler closes this process's connections just before every
// fork, once the callbacks running in other threads are out of the store;
// parent and child each open their own again on their next use. (A
// connection that came across all the same, by a fork that runs no fork
// handlers, is recognised by the process id that opened it and never used,
// closed or freed.) Threads of a process share its connection, one at a
// time.
//
// Like librewrite itself the store needs no C++ runtime library at link
// time: objects live on the C heap, and the locks are pthread's.
#include "srs_sqlite.h"
#include "store_support.h"

#include <sqlite3.h>

#include <array>
#include <atomic>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <memory>
#include <new>
#include <string_view>
#include <utility>

#include <pthread.h>
#include <sys/random.h>
#include <unistd.h>

namespace {

// Base32 in the order of ASCII, so that identifiers sort as their values.
constexpr std::string_view id_alphabet = "234567abcdefghijklmnopqrstuvwxyz";
constexpr std::size_t id_length = SRS_SQLITE_ID_LENGTH;
// The day takes the first 4 characters (20 bits: days since 1970, good for
// some 2800 years), random bits the other 9 (45 bits).
constexpr std::size_t day_chars = 4;
constexpr std::size_t random_chars = id_length - day_chars;
using Id = std::array<char, id_length>;

constexpr int busy_timeout_ms = 5000;
constexpr std::int64_t seconds_per_day = 86400;
// librewrite reads addresses up to this many characters.
constexpr int max_address_length = 256;
// A fresh identifier is drawn when one is taken already; with 64 random bits
// that is all but impossible, so a few tries suffice.
constexpr int insert_attempts = 4;
// Entries deleted by one expiry batch: a few milliseconds of write lock.
constexpr int expiry_batch = 500;
// Free pages given back after each batch.
constexpr int vacuum_pages = 200;

// 'SRS0': the file is this store's, and its layout version.
constexpr std::int64_t application_id = 0x53525330;
constexpr std::int64_t layout_version = 1;
// Marks a context that is this store's (a handle's context may be another
// store's).
constexpr std::uint32_t store_magic = 0x5351534cu; // 'SQSL'

constexpr int wal_retry_ms = 10;
constexpr const char *schema = R"sql(
BEGIN IMMEDIATE;
CREATE TABLE IF NOT EXISTS srs_senders (
    id TEXT PRIMARY KEY NOT NULL,
    address TEXT NOT NULL,
    created INTEGER NOT NULL
) WITHOUT ROWID;
CREATE TABLE IF NOT EXISTS srs_meta (
    key TEXT PRIMARY KEY NOT NULL,
    value INTEGER NOT NULL
) WITHOUT ROWID;
PRAGMA application_id = 1397904176;
PRAGMA user_version = 1;
COMMIT;
)sql";
static_assert(application_id == 1397904176);
constexpr const char *insert_sql =
    "INSERT INTO srs_senders (id, address, created) VALUES (?, ?, ?)";
constexpr const char *lookup_sql = "SELECT address FROM srs_senders WHERE id = ?";
// Entries of days before the cutoff day: a range of the key. (The time
// check keeps entries of a file made before identifiers carried their day.)
constexpr const char *expire_sql =
    "DELETE FROM srs_senders WHERE id IN "
    "(SELECT id FROM srs_senders WHERE id < ?1 AND created < ?2 LIMIT 500)";
constexpr const char *expired_get_sql = "SELECT value FROM srs_meta WHERE key = 'expired'";
constexpr const char *expired_set_sql =
    "INSERT INTO srs_meta (key, value) VALUES ('expired', ?1) "
    "ON CONFLICT (key) DO UPDATE SET value = max(value, ?1)";

// ---- Ownership -------------------------------------------------------------

struct FinalizeStmt {
    void operator()(sqlite3_stmt *stmt) const { sqlite3_finalize(stmt); }
};
using Stmt = std::unique_ptr<sqlite3_stmt, FinalizeStmt>;

using store_support::Destroy;
using store_support::make_owned;
using store_support::Owned;

// One run of a prepared statement: reset and unbound when the scope ends.
class Run {
  public:
    explicit Run(sqlite3_stmt *stmt) : stmt_(stmt) {}
    ~Run() {
        sqlite3_reset(stmt_);
        sqlite3_clear_bindings(stmt_);
    }
    Run(const Run &) = delete;
    Run &operator=(const Run &) = delete;

    bool bind(int index, std::string_view text) {
        return sqlite3_bind_text(stmt_, index, text.data(), static_cast<int>(text.size()),
                                 SQLITE_STATIC) == SQLITE_OK;
    }
    bool bind(int index, std::int64_t value) {
        return sqlite3_bind_int64(stmt_, index, value) == SQLITE_OK;
    }
    int step() { return sqlite3_step(stmt_); }
    sqlite3_stmt *get() const { return stmt_; }

  private:
    sqlite3_stmt *stmt_;
};

// Holds a connection's own (recursive) mutex, so that a statement's bind,
// step and reset run as one piece when threads share the handle.
class DbLock {
  public:
    explicit DbLock(sqlite3 *db) : m_(sqlite3_db_mutex(db)) { sqlite3_mutex_enter(m_); }
    ~DbLock() { sqlite3_mutex_leave(m_); }
    DbLock(const DbLock &) = delete;
    DbLock &operator=(const DbLock &) = delete;

  private:
    sqlite3_mutex *m_;
};

// ---- Results -----------------------------------------------------------------

// The store's result for an SQLite result code.
int result_of(int sqlite_rc) {
    switch (sqlite_rc & 0xFF) {
    case SQLITE_OK:
    case SQLITE_DONE:
    case SQLITE_ROW:
        return SRS_OK;
    case SQLITE_BUSY:
    case SQLITE_LOCKED:
        return SRS_SQLITE_BUSY;
    case SQLITE_READONLY:
    case SQLITE_FULL:
    case SQLITE_PERM:
        return SRS_SQLITE_READONLY;
    case SQLITE_CORRUPT:
    case SQLITE_NOTADB:
        return SRS_SQLITE_CORRUPT;
    case SQLITE_NOMEM:
        return SRS_OUT_OF_MEMORY;
    default:
        return SRS_DB_ERROR;
    }
}

using Message = std::array<char, 256>;

void set_message(Message &m, const char *text) {
    std::snprintf(m.data(), m.size(), "%s", text);
}

// ---- Identifiers -----------------------------------------------------------

// This process's id, without a system call each time: a fork handler
// (installed at the first attach) tells a child its own.
std::atomic<pid_t> cached_pid{0};

pid_t process_id() {
    pid_t pid = cached_pid.load(std::memory_order_relaxed);
    if (pid == 0) {
        pid = getpid();
        cached_pid.store(pid, std::memory_order_relaxed);
    }
    return pid;
}

// Random bits from the system, fetched a few identifiers at a time. The
// pool belongs to the process that filled it: a child never draws what its
// parent will draw too.
bool random_bits(std::uint64_t &bits) {
    struct Pool {
        std::array<std::uint64_t, 16> bits;
        std::size_t left = 0;
        pid_t pid = 0;
    };
    thread_local Pool pool;
    if (pool.left == 0 || pool.pid != process_id()) {
        ssize_t got = 0;
        do
            got = getrandom(pool.bits.data(), sizeof pool.bits, 0);
        while (got < 0 && errno == EINTR);
        if (got != static_cast<ssize_t>(sizeof pool.bits)) return false;
        pool.left = pool.bits.size();
        pool.pid = process_id();
    }
    bits = pool.bits[--pool.left];
    pool.bits[pool.left] = 0;
    return true;
}

// `count` base32 characters of value, most significant first.
void encode(std::uint64_t value, char *out, std::size_t count) {
    for (std::size_t i = count; i-- > 0;) {
        out[i] = id_alphabet[value & 31u];
        value >>= 5;
    }
}

std::int64_t day_of(std::time_t now) {
    const auto t = static_cast<std::int64_t>(now);
    return t / seconds_per_day - (t % seconds_per_day < 0 ? 1 : 0);
}

// The identifier's first characters for a day.
std::array<char, day_chars> day_prefix(std::int64_t day) {
    std::array<char, day_chars> prefix;
    const std::int64_t clamped = day < 0 ? 0 : day >= (1 << 20) ? (1 << 20) - 1 : day;
    encode(static_cast<std::uint64_t>(clamped), prefix.data(), day_chars);
    return prefix;
}

// The day it is stored, then 45 random bits.
bool new_id(Id &id, std::time_t now) {
    std::uint64_t bits = 0;
    if (!random_bits(bits)) return false;
    const auto prefix = day_prefix(day_of(now));
    std::memcpy(id.data(), prefix.data(), day_chars);
    encode(bits, id.data() + day_chars, random_chars);
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

std::string_view view(const Id &id) {
    return {id.data(), id.size()};
}

// Start of the first day whose stamps the handle still accepts at now:
// entries stored before it are out of every valid address's reach.
std::int64_t expiry_cutoff(const srs_handle &h, std::time_t now) {
    return (day_of(now) - static_cast<std::int64_t>(h.max_age)) * seconds_per_day;
}

// ---- Waiting for the write lock ------------------------------------------------

// SQLite's own busy handler sleeps longer and longer (up to 100 ms at a
// time) while other writers take the file in turn, so that a writer among
// several can wait a long time while the file was free again and again.
// This one tries again every fraction of a millisecond, with a random
// share so that waiting writers do not collide in step, until the busy
// timeout.
// Milliseconds of the monotonic clock (clock_gettime: std::chrono would
// need the C++ runtime).
std::int64_t now_ms() {
    timespec t{};
    clock_gettime(CLOCK_MONOTONIC, &t);
    return static_cast<std::int64_t>(t.tv_sec) * 1000 + t.tv_nsec / 1000000;
}

extern "C" int wait_for_lock(void *, int tries) {
    thread_local std::int64_t since = 0;
    if (tries == 0) since = now_ms();
    if (now_ms() - since > busy_timeout_ms) return 0;
    std::uint32_t jitter = 0;
    if (getrandom(&jitter, sizeof jitter, GRND_NONBLOCK) != sizeof jitter) jitter = 0;
    const std::uint32_t micros = tries < 10 ? 20 + jitter % 80 : 100 + jitter % 400;
    const timespec pause{0, static_cast<long>(micros) * 1000};
    nanosleep(&pause, nullptr);
    return 1;
}

// ---- A connection of one process -----------------------------------------------

struct Connection {
    pid_t pid = 0; // the process that opened it, the only one that uses it
    sqlite3 *db = nullptr;
    Stmt insert_stmt;
    Stmt lookup_stmt;
    Stmt expire_stmt;
    Stmt expired_get_stmt;
    Stmt expired_set_stmt;
    std::int64_t expired_day = -1; // the day this process last saw expiry done
    Message last_error{};
    Connection *abandoned_next = nullptr;

    Connection() = default;
    Connection(const Connection &) = delete;
    Connection &operator=(const Connection &) = delete;
    ~Connection() {
        // The statements first, then the connection.
        insert_stmt.reset();
        lookup_stmt.reset();
        expire_stmt.reset();
        expired_get_stmt.reset();
        expired_set_stmt.reset();
        if (db != nullptr) sqlite3_close(db);
    }

    // The store's result for a failed SQLite call, its message kept (with
    // the system's reason where SQLite has one).
    int failed(int sqlite_rc) {
        const int os_error = db != nullptr ? sqlite3_system_errno(db) : 0;
        const char *text = db != nullptr ? sqlite3_errmsg(db) : sqlite3_errstr(sqlite_rc);
        if (os_error != 0)
            std::snprintf(last_error.data(), last_error.size(), "%s (%s)", text,
                          std::strerror(os_error));
        else
            set_message(last_error, text);
        // A file that cannot be opened because it (or its file system)
        // cannot be written is a store that cannot be written.
        if ((sqlite_rc & 0xFF) == SQLITE_CANTOPEN &&
            (os_error == EROFS || os_error == EACCES || os_error == EPERM))
            return SRS_SQLITE_READONLY;
        const int rc = result_of(sqlite_rc);
        return rc == SRS_OK ? SRS_DB_ERROR : rc;
    }

    int exec(const char *sql) {
        const int rc = sqlite3_exec(db, sql, nullptr, nullptr, nullptr);
        return rc == SQLITE_OK ? SRS_OK : failed(rc);
    }

    int prepare(const char *sql, Stmt &stmt) {
        sqlite3_stmt *raw = nullptr;
        const int rc = sqlite3_prepare_v2(db, sql, -1, &raw, nullptr);
        stmt.reset(raw);
        return rc == SQLITE_OK ? SRS_OK : failed(rc);
    }

    // The first column of a one-row query, or -1 without a row.
    int query_int(const char *sql, std::int64_t &value) {
        Stmt stmt;
        if (const int rc = prepare(sql, stmt); rc != SRS_OK) return rc;
        const int step = sqlite3_step(stmt.get());
        if (step == SQLITE_ROW) {
            value = sqlite3_column_int64(stmt.get(), 0);
            return SRS_OK;
        }
        if (step == SQLITE_DONE) {
            value = -1;
            return SRS_OK;
        }
        return failed(step);
    }

    // A file of another program is refused: a foreign application id, or
    // tables but none of ours. `ready` when the file is this store's, set
    // up already.
    int check_owner(bool &ready) {
        std::int64_t id = 0, tables = 0, ours = 0, version = 0;
        ready = false;
        if (int rc = query_int("PRAGMA application_id", id); rc != SRS_OK) return rc;
        if (id == application_id) {
            if (int rc = query_int("PRAGMA user_version", version); rc != SRS_OK) return rc;
            ready = version == layout_version;
            return SRS_OK;
        }
        const bool foreign = id != 0;
        if (int rc = query_int("SELECT count(*) FROM sqlite_master", tables); rc != SRS_OK)
            return rc;
        if (int rc = query_int("SELECT count(*) FROM sqlite_master WHERE name = 'srs_senders'",
                               ours);
            rc != SRS_OK)
            return rc;
        if (foreign || (tables > 0 && ours == 0)) {
            set_message(last_error, "the file is not a store of srs: it belongs to another program");
            return SRS_SQLITE_CORRUPT;
        }
        return SRS_OK; // new, or made before the file carried the id
    }

    // Switching a new file to WAL mode needs the file to itself for a moment
    // and does not wait in the busy handler: processes that open a new file
    // at the same time retry here, as long as the busy timeout. The switch
    // is checked: a file system without shared memory keeps another mode.
    int use_wal() {
        for (int waited = 0;; waited += wal_retry_ms) {
            Stmt stmt;
            if (int rc = prepare("PRAGMA journal_mode = WAL", stmt); rc != SRS_OK) {
                if (rc != SRS_SQLITE_BUSY || waited > busy_timeout_ms) return rc;
                sqlite3_sleep(wal_retry_ms);
                continue;
            }
            const int step = sqlite3_step(stmt.get());
            if (step == SQLITE_ROW) {
                const auto *mode =
                    reinterpret_cast<const char *>(sqlite3_column_text(stmt.get(), 0));
                if (mode != nullptr && std::strcmp(mode, "wal") == 0) return SRS_OK;
                set_message(last_error, "the file could not be switched to WAL mode");
                return SRS_DB_ERROR;
            }
            if ((step & 0xFF) != SQLITE_BUSY || waited > busy_timeout_ms) return failed(step);
            sqlite3_sleep(wal_retry_ms);
        }
    }

    int check_wal() {
        Stmt stmt;
        if (int rc = prepare("PRAGMA journal_mode", stmt); rc != SRS_OK) return rc;
        const int step = sqlite3_step(stmt.get());
        if (step != SQLITE_ROW) return failed(step);
        const auto *mode = reinterpret_cast<const char *>(sqlite3_column_text(stmt.get(), 0));
        if (mode != nullptr && std::strcmp(mode, "wal") == 0) return SRS_OK;
        stmt.reset();
        return use_wal(); // switched back by someone: switched again
    }

    int open(const char *path, int synchronous) {
        const int rc = sqlite3_open_v2(
            path, &db, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_FULLMUTEX, nullptr);
        if (rc != SQLITE_OK) return failed(rc);
        sqlite3_extended_result_codes(db, 1);
        sqlite3_busy_handler(db, wait_for_lock, nullptr);
        // SQLite falls back to reading when the file or its file system
        // cannot be written: a store that cannot store.
        if (sqlite3_db_readonly(db, "main") == 1) {
            set_message(last_error, "the file can only be read (read-only file or file system)");
            return SRS_SQLITE_READONLY;
        }
        bool ready = false;
        int r = check_owner(ready);
        if (r == SRS_OK && ready) {
            // The usual case, in every new process: the file is set up; WAL
            // mode stays with the file, and is only checked.
            r = check_wal();
        } else if (r == SRS_OK) {
            // A new file (or one of an earlier store): free pages go back to
            // the file system (only takes effect before the first table),
            // WAL mode, the tables.
            r = exec("PRAGMA auto_vacuum = INCREMENTAL");
            if (r == SRS_OK) r = use_wal();
            if (r == SRS_OK) r = exec(schema);
            if (r != SRS_OK) sqlite3_exec(db, "ROLLBACK", nullptr, nullptr, nullptr);
        }
        if (r == SRS_OK) r = set_synchronous(synchronous);
        if (r != SRS_OK) return r;
        for (auto [sql, stmt] : {std::pair{insert_sql, &insert_stmt}, std::pair{lookup_sql, &lookup_stmt},
                                 std::pair{expire_sql, &expire_stmt},
                                 std::pair{expired_get_sql, &expired_get_stmt},
                                 std::pair{expired_set_sql, &expired_set_stmt}})
            if (const int p = prepare(sql, *stmt); p != SRS_OK) return p;
        return SRS_OK;
    }

    int set_synchronous(int mode) {
        return exec(mode == SRS_SQLITE_SYNC_FULL ? "PRAGMA synchronous = FULL"
                                                 : "PRAGMA synchronous = NORMAL");
    }

    int insert(std::string_view address, char *out) {
        const DbLock lock(db);
        for (int attempt = 0; attempt < insert_attempts; ++attempt) {
            Id id;
            const std::time_t now = std::time(nullptr);
            if (!new_id(id, now)) {
                set_message(last_error, "no random bytes for an identifier");
                return SRS_DB_ERROR;
            }
            Run run(insert_stmt.get());
            if (!run.bind(1, view(id)) || !run.bind(2, address) ||
                !run.bind(3, static_cast<std::int64_t>(now)))
                return failed(SQLITE_ERROR);
            const int rc = run.step();
            if (rc == SQLITE_DONE) {
                std::memcpy(out, id.data(), id.size());
                out[id.size()] = '\0';
                return SRS_OK;
            }
            if (rc != SQLITE_CONSTRAINT_PRIMARYKEY) return failed(rc);
        }
        set_message(last_error, "every identifier drawn was taken");
        return SRS_DB_ERROR;
    }

    int lookup(const Id &id, char *buf, std::uint32_t buf_len) {
        const DbLock lock(db);
        Run run(lookup_stmt.get());
        if (!run.bind(1, view(id))) return failed(SQLITE_ERROR);
        const int rc = run.step();
        if (rc == SQLITE_ROW) {
            const auto *text = sqlite3_column_text(run.get(), 0);
            const int bytes = sqlite3_column_bytes(run.get(), 0);
            if (text == nullptr || bytes < 0) return failed(SQLITE_ERROR);
            const auto size = static_cast<std::size_t>(bytes);
            if (size + 1 > std::size_t{buf_len}) return SRS_BUFFER_TOO_SMALL;
            std::memcpy(buf, text, size);
            buf[size] = '\0';
            return SRS_OK;
        }
        if (rc == SQLITE_DONE) return SRS_DB_LOOKUP_FAILED;
        return failed(rc);
    }

    // The day up to which the file's entries have been expired, -1 if never.
    int expired_through(std::int64_t &day) {
        Run run(expired_get_stmt.get());
        const int rc = run.step();
        if (rc == SQLITE_ROW) {
            day = sqlite3_column_int64(run.get(), 0);
            return SRS_OK;
        }
        if (rc == SQLITE_DONE) {
            day = -1;
            return SRS_OK;
        }
        return failed(rc);
    }

    // One batch: deletes at most expiry_batch stale entries in a short
    // transaction of its own and gives free pages back. `done` when fewer
    // were left, which is then recorded for the day.
    int expire_batch(std::int64_t cutoff, std::int64_t today, bool &done) {
        const DbLock lock(db);
        {
            Run run(expire_stmt.get());
            const auto prefix = day_prefix(cutoff / seconds_per_day);
            if (!run.bind(1, std::string_view(prefix.data(), prefix.size())) || !run.bind(2, cutoff))
                return failed(SQLITE_ERROR);
            if (const int rc = run.step(); rc != SQLITE_DONE) return failed(rc);
        }
        done = sqlite3_changes(db) < expiry_batch;
        char vacuum[64];
        std::snprintf(vacuum, sizeof vacuum, "PRAGMA incremental_vacuum(%d)", vacuum_pages);
        if (const int rc = exec(vacuum); rc != SRS_OK) return rc;
        if (!done) return SRS_OK;
        Run run(expired_set_stmt.get());
        if (!run.bind(1, today)) return failed(SQLITE_ERROR);
        if (const int rc = run.step(); rc != SQLITE_DONE) return failed(rc);
        expired_day = today;
        return SRS_OK;
    }

    // Expiry as forward rewriting does it on the way: at most once a day
    // for the file, one batch per call until the day's work is done.
    void expire_a_little(const srs_handle &h) {
        const std::time_t now = std::time(nullptr);
        const std::int64_t today = day_of(now);
        if (expired_day >= today) return;
        const DbLock lock(db);
        std::int64_t recorded = -1;
        if (expired_through(recorded) != SRS_OK) return;
        if (recorded >= today) {
            expired_day = recorded;
            return;
        }
        bool done = false;
        expire_batch(expiry_cutoff(h, now), today, done); // a failure waits for the next insert
    }
};

// ---- The store ---------------------------------------------------------------

using store_support::PthreadLock;

struct Store {
    std::uint32_t magic = store_magic;
    char *path = nullptr; // on the C heap
    int synchronous = SRS_SQLITE_SYNC_NORMAL;
    pthread_mutex_t lock = PTHREAD_MUTEX_INITIALIZER; // held while the connection is used
    Connection *current = nullptr; // this process's, opened on first use
    Connection *abandoned = nullptr; // came across a fork without the fork handler
    Message open_error{};            // why this process could not open one
    Store *prev = nullptr, *next = nullptr; // the process's attached stores

    Store() = default;
    Store(const Store &) = delete;
    Store &operator=(const Store &) = delete;
    ~Store() {
        close_own();
        pthread_mutex_destroy(&lock);
        std::free(path);
    }

    // This process's connection, opened on first use; null on failure, with
    // the store's result in rc. With `lock` held.
    Connection *connection(int &rc) {
        const pid_t me = process_id();
        if (current != nullptr && current->pid == me) return current;
        if (current != nullptr) { // the parent's: kept reachable, never touched
            current->abandoned_next = abandoned;
            abandoned = current;
            current = nullptr;
        }
        Owned<Connection> fresh = make_owned<Connection>();
        if (fresh == nullptr) {
            rc = SRS_OUT_OF_MEMORY;
            set_message(open_error, "out of memory");
            return nullptr;
        }
        fresh->pid = me;
        rc = fresh->open(path, synchronous);
        if (rc != SRS_OK) {
            open_error = fresh->last_error;
            return nullptr;
        }
        current = fresh.release();
        return current;
    }

    // Closes this process's connection. With `lock` held, or before the
    // store is shared.
    void close_own() {
        if (current != nullptr && current->pid == process_id()) {
            Destroy<Connection>()(current);
            current = nullptr;
        }
    }

    const char *last_error() {
        const PthreadLock held(lock);
        if (current != nullptr && current->pid == process_id() && current->last_error[0] != '\0')
            return current->last_error.data();
        return open_error.data();
    }
};

// ---- Fork handlers -------------------------------------------------------------

pthread_mutex_t stores_lock = PTHREAD_MUTEX_INITIALIZER;
Store *stores = nullptr; // every store attached in this process
pthread_once_t handlers_once = PTHREAD_ONCE_INIT;

// Before a fork: waits until no thread uses a store, then closes the
// connections, so that none crosses the fork. The locks stay held through
// the fork and are let go on both sides.
extern "C" void before_fork() {
    pthread_mutex_lock(&stores_lock);
    for (Store *s = stores; s != nullptr; s = s->next) {
        pthread_mutex_lock(&s->lock);
        s->close_own();
    }
}

extern "C" void after_fork() {
    for (Store *s = stores; s != nullptr; s = s->next)
        pthread_mutex_unlock(&s->lock);
    pthread_mutex_unlock(&stores_lock);
}

extern "C" void after_fork_in_child() {
    cached_pid.store(getpid(), std::memory_order_relaxed);
    after_fork();
}

extern "C" void install_fork_handlers() {
    pthread_atfork(before_fork, after_fork, after_fork_in_child);
}

void enlist(Store *s) {
    pthread_once(&handlers_once, install_fork_handlers);
    const PthreadLock held(stores_lock);
    s->next = stores;
    if (stores != nullptr) stores->prev = s;
    stores = s;
}

void delist(Store *s) {
    const PthreadLock held(stores_lock);
    if (s->prev != nullptr) s->prev->next = s->next;
    else if (stores == s) stores = s->next;
    if (s->next != nullptr) s->next->prev = s->prev;
    s->prev = s->next = nullptr;
}

// Why the last srs_sqlite_attach of this process failed, for a handle that
// has no store to keep it.
Message attach_error{};

Store *store_of(const srs_handle *h) {
    auto *s = static_cast<Store *>(srs_get_db_context(h));
    return s != nullptr && s->magic == store_magic ? s : nullptr;
}

// ---- Callbacks -------------------------------------------------------------

int insert_callback(srs_handle *h, const char *address, int address_len, char *id, int room) {
    Store *s = store_of(h);
    if (s == nullptr) return SRS_DB_ERROR;
    if (address == nullptr || id == nullptr || address_len <= 0 || address_len > max_address_length)
        return SRS_BAD_PARAMETER;
    if (room <= static_cast<int>(id_length)) return SRS_BUFFER_TOO_SMALL;
    const PthreadLock held(s->lock);
    int rc = SRS_OK;
    Connection *c = s->connection(rc);
    if (c == nullptr) return rc;
    rc = c->insert(std::string_view(address, static_cast<std::size_t>(address_len)), id);
    if (rc == SRS_OK) c->expire_a_little(*h);
    return rc;
}

int lookup_callback(srs_handle *h, const char *id, int id_len, char *buf, uint32_t buf_len) {
    Store *s = store_of(h);
    if (s == nullptr) return SRS_DB_ERROR;
    if (id == nullptr || buf == nullptr) return SRS_BAD_PARAMETER;
    Id key;
    if (id_len < 0 || !stored_form(std::string_view(id, static_cast<std::size_t>(id_len)), key))
        return SRS_DB_LOOKUP_FAILED;
    const PthreadLock held(s->lock);
    int rc = SRS_OK;
    Connection *c = s->connection(rc);
    if (c == nullptr) return rc;
    return c->lookup(key, buf, buf_len);
}

} // namespace

extern "C" {

int srs_sqlite_attach(srs_handle *handle, const char *path) {
    if (handle == nullptr) return SRS_BAD_HANDLE;
    if (path == nullptr) return SRS_BAD_PARAMETER;
    // Without SQLite's own locking a connection shared by threads is unsafe.
    if (sqlite3_threadsafe() == 0) return SRS_DB_ERROR;

    Owned<Store> store = make_owned<Store>();
    if (store == nullptr) return SRS_OUT_OF_MEMORY;
    store->path = strdup(path);
    if (store->path == nullptr) return SRS_OUT_OF_MEMORY;
    if (Store *old = store_of(handle)) store->synchronous = old->synchronous;
    // Open once to check the file, make it and its tables; then let go, so
    // that no process holds a connection it does not use (the daemon forks
    // its connection processes from here).
    int rc = SRS_OK;
    if (store->connection(rc) == nullptr) {
        // The reason, for srs_sqlite_last_error: kept by the handle's
        // current store, if it has one, and for the process.
        attach_error = store->open_error;
        if (Store *old = store_of(handle)) old->open_error = store->open_error;
        return rc;
    }
    store->close_own();

    srs_sqlite_detach(handle);
    enlist(store.get());
    srs_set_db_context(handle, store.release());
    srs_set_db_functions(handle, insert_callback, lookup_callback);
    return SRS_OK;
}

int srs_sqlite_detach(srs_handle *handle) {
    if (handle == nullptr) return SRS_BAD_HANDLE;
    Store *s = store_of(handle);
    if (s == nullptr) return SRS_DB_NOT_IN_USE;
    srs_set_db_functions(handle, nullptr, nullptr);
    srs_set_db_context(handle, nullptr);
    delist(s);
    Destroy<Store>()(s);
    return SRS_OK;
}

int srs_sqlite_set_synchronous(srs_handle *handle, int mode) {
    if (handle == nullptr) return SRS_BAD_HANDLE;
    if (mode != SRS_SQLITE_SYNC_NORMAL && mode != SRS_SQLITE_SYNC_FULL) return SRS_BAD_PARAMETER;
    Store *s = store_of(handle);
    if (s == nullptr) return SRS_DB_NOT_IN_USE;
    const PthreadLock held(s->lock);
    s->synchronous = mode;
    Connection *c = s->current;
    if (c != nullptr && c->pid == process_id()) return c->set_synchronous(mode);
    return SRS_OK;
}

int srs_sqlite_expire_at(srs_handle *handle, time_t now) {
    if (handle == nullptr) return SRS_BAD_HANDLE;
    Store *s = store_of(handle);
    if (s == nullptr) return SRS_DB_NOT_IN_USE;
    // Batch after batch, the file's write lock and the store let go in
    // between, so that forwards go on meanwhile.
    for (bool done = false; !done;) {
        const PthreadLock held(s->lock);
        int rc = SRS_OK;
        Connection *c = s->connection(rc);
        if (c == nullptr) return rc;
        if (rc = c->expire_batch(expiry_cutoff(*handle, now), day_of(now), done); rc != SRS_OK)
            return rc;
    }
    return SRS_OK;
}

int srs_sqlite_expire(srs_handle *handle) {
    return srs_sqlite_expire_at(handle, std::time(nullptr));
}

const char *srs_sqlite_last_error(const srs_handle *handle) {
    Store *s = handle == nullptr ? nullptr : store_of(handle);
    return s == nullptr ? attach_error.data() : s->last_error();
}

const char *srs_sqlite_errormsg(int code) {
    switch (code) {
    case SRS_SQLITE_BUSY:
        return "Database busy: other writers held it too long";
    case SRS_SQLITE_READONLY:
        return "Database cannot be written (read-only or full)";
    case SRS_SQLITE_CORRUPT:
        return "Database damaged, or not a store of srs";
    default:
        return srs_geterrormsg(code);
    }
}

} // extern "C"
