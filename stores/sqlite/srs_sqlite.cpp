// librewrite-sqlite: the SQLite store of librewrite's database mode.
//
// One table, one row per rewritten sender: a random identifier (13
// characters of lower-case base32), the address and the time it was stored.
// Each attached handle owns one connection, found through a small registry
// keyed by the handle pointer, since the callbacks carry no context of their
// own. Like librewrite itself the store needs no C++ runtime library at link
// time: objects live on the C heap and the locks are pthread's and SQLite's,
// so C programs link it with the C compiler.
#include "srs_sqlite.h"

#include <sqlite3.h>

#include <array>
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <memory>
#include <new>
#include <string_view>
#include <utility>

#include <pthread.h>
#include <sys/random.h>

namespace {

constexpr std::string_view id_alphabet = "abcdefghijklmnopqrstuvwxyz234567";
constexpr std::size_t id_length = SRS_SQLITE_ID_LENGTH;
using Id = std::array<char, id_length>;

constexpr int busy_timeout_ms = 5000;
constexpr std::int64_t seconds_per_day = 86400;
// librewrite reads addresses up to this many characters.
constexpr int max_address_length = 256;
// A fresh identifier is drawn when one is taken already; with 64 random bits
// that is all but impossible, so a few tries suffice.
constexpr int insert_attempts = 4;

constexpr const char *wal_sql = "PRAGMA journal_mode = WAL";
constexpr int wal_retry_ms = 10;
constexpr const char *schema = R"sql(
PRAGMA synchronous = FULL;
CREATE TABLE IF NOT EXISTS srs_senders (
    id TEXT PRIMARY KEY NOT NULL,
    address TEXT NOT NULL,
    created INTEGER NOT NULL
) WITHOUT ROWID;
CREATE INDEX IF NOT EXISTS srs_senders_created ON srs_senders (created);
)sql";
constexpr const char *insert_sql =
    "INSERT INTO srs_senders (id, address, created) VALUES (?, ?, ?)";
constexpr const char *lookup_sql = "SELECT address FROM srs_senders WHERE id = ?";
constexpr const char *expire_sql = "DELETE FROM srs_senders WHERE created < ?";

// ---- Ownership -------------------------------------------------------------

struct CloseDb {
    void operator()(sqlite3 *db) const { sqlite3_close(db); }
};
using Db = std::unique_ptr<sqlite3, CloseDb>;

struct FinalizeStmt {
    void operator()(sqlite3_stmt *stmt) const { sqlite3_finalize(stmt); }
};
using Stmt = std::unique_ptr<sqlite3_stmt, FinalizeStmt>;

// Objects on the C heap: operator new would tie the library to the C++
// runtime.
template <class T> struct Destroy {
    void operator()(T *p) const {
        p->~T();
        std::free(p);
    }
};
template <class T> using Owned = std::unique_ptr<T, Destroy<T>>;

template <class T> Owned<T> make_owned() {
    void *place = std::malloc(sizeof(T));
    return Owned<T>(place == nullptr ? nullptr : ::new (place) T());
}

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

class PthreadLock {
  public:
    explicit PthreadLock(pthread_mutex_t &m) : m_(m) { pthread_mutex_lock(&m_); }
    ~PthreadLock() { pthread_mutex_unlock(&m_); }
    PthreadLock(const PthreadLock &) = delete;
    PthreadLock &operator=(const PthreadLock &) = delete;

  private:
    pthread_mutex_t &m_;
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

// ---- Identifiers -----------------------------------------------------------

// 64 random bits as 13 base32 characters, most significant first.
bool random_id(Id &id) {
    std::uint64_t bits = 0;
    ssize_t got = 0;
    do
        got = getrandom(&bits, sizeof bits, 0);
    while (got < 0 && errno == EINTR);
    if (got != static_cast<ssize_t>(sizeof bits)) return false;
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

std::string_view view(const Id &id) {
    return {id.data(), id.size()};
}

// Start of the first day whose stamps the handle still accepts at now:
// entries stored before it are out of every valid address's reach.
std::int64_t expiry_cutoff(const srs_handle &h, std::time_t now) {
    const auto t = static_cast<std::int64_t>(now);
    const std::int64_t today = t / seconds_per_day - (t % seconds_per_day < 0 ? 1 : 0);
    return (today - static_cast<std::int64_t>(h.max_age)) * seconds_per_day;
}

// ---- The store -------------------------------------------------------------

struct Store {
    srs_handle *handle = nullptr;
    Store *next = nullptr; // registry link
    Db db;                 // declared before the statements: closed after them
    Stmt insert_stmt;
    Stmt lookup_stmt;
    Stmt expire_stmt;

    bool prepare(const char *sql, Stmt &stmt) {
        sqlite3_stmt *raw = nullptr;
        const int rc = sqlite3_prepare_v2(db.get(), sql, -1, &raw, nullptr);
        stmt.reset(raw);
        return rc == SQLITE_OK;
    }

    // Switching a new file to WAL mode needs the file to itself for a moment
    // and does not wait in the busy handler: processes that open a new file
    // at the same time retry here, as long as the busy timeout.
    bool use_wal() {
        int rc = SQLITE_OK;
        for (int waited = 0; waited <= busy_timeout_ms; waited += wal_retry_ms) {
            rc = sqlite3_exec(db.get(), wal_sql, nullptr, nullptr, nullptr);
            if ((rc & 0xFF) != SQLITE_BUSY) break;
            sqlite3_sleep(wal_retry_ms);
        }
        return rc == SQLITE_OK;
    }

    int open(const char *path) {
        sqlite3 *raw = nullptr;
        const int rc = sqlite3_open_v2(
            path, &raw, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_FULLMUTEX,
            nullptr);
        db.reset(raw); // a failed open may still return a connection to close
        if (rc != SQLITE_OK) return rc == SQLITE_NOMEM ? SRS_OUT_OF_MEMORY : SRS_DB_ERROR;
        sqlite3_extended_result_codes(db.get(), 1);
        sqlite3_busy_timeout(db.get(), busy_timeout_ms);
        if (!use_wal() || sqlite3_exec(db.get(), schema, nullptr, nullptr, nullptr) != SQLITE_OK ||
            !prepare(insert_sql, insert_stmt) || !prepare(lookup_sql, lookup_stmt) ||
            !prepare(expire_sql, expire_stmt))
            return SRS_DB_ERROR;
        return SRS_OK;
    }

    int insert(std::string_view address, char *out) {
        const DbLock lock(db.get());
        for (int attempt = 0; attempt < insert_attempts; ++attempt) {
            Id id;
            if (!random_id(id)) return SRS_DB_ERROR;
            Run run(insert_stmt.get());
            if (!run.bind(1, view(id)) || !run.bind(2, address) ||
                !run.bind(3, static_cast<std::int64_t>(std::time(nullptr))))
                return SRS_DB_ERROR;
            const int rc = run.step();
            if (rc == SQLITE_DONE) {
                std::memcpy(out, id.data(), id.size());
                out[id.size()] = '\0';
                return SRS_OK;
            }
            if (rc != SQLITE_CONSTRAINT_PRIMARYKEY) return SRS_DB_ERROR;
        }
        return SRS_DB_ERROR;
    }

    int lookup(const Id &id, char *buf, std::uint32_t buf_len) {
        const DbLock lock(db.get());
        Run run(lookup_stmt.get());
        if (!run.bind(1, view(id))) return SRS_DB_ERROR;
        switch (run.step()) {
        case SQLITE_ROW: {
            const auto *text = sqlite3_column_text(run.get(), 0);
            const int bytes = sqlite3_column_bytes(run.get(), 0);
            if (text == nullptr || bytes < 0) return SRS_DB_ERROR;
            const auto size = static_cast<std::size_t>(bytes);
            if (size + 1 > std::size_t{buf_len}) return SRS_BUFFER_TOO_SMALL;
            std::memcpy(buf, text, size);
            buf[size] = '\0';
            return SRS_OK;
        }
        case SQLITE_DONE:
            return SRS_DB_LOOKUP_FAILED;
        default:
            return SRS_DB_ERROR;
        }
    }

    int expire_before(std::int64_t cutoff) {
        const DbLock lock(db.get());
        Run run(expire_stmt.get());
        if (!run.bind(1, cutoff) || run.step() != SQLITE_DONE) return SRS_DB_ERROR;
        return SRS_OK;
    }
};

// ---- Registry: handle to store ---------------------------------------------
//
// A store is only removed by detach or a second attach, which (like the
// library's other setters) must not run while the handle is in use, so a
// store found here stays valid for the callback that found it.

pthread_mutex_t registry_mutex = PTHREAD_MUTEX_INITIALIZER;
Store *registry = nullptr; // owns its stores; no destructor at exit, which a
                           // forked child must not run on its parent's files

Store *find(const srs_handle *h) {
    const PthreadLock lock(registry_mutex);
    for (Store *s = registry; s != nullptr; s = s->next)
        if (s->handle == h) return s;
    return nullptr;
}

// Takes the handle's store out of the list; the registry mutex is held.
Owned<Store> take(const srs_handle *h) {
    for (Store **link = &registry; *link != nullptr; link = &(*link)->next) {
        Store *s = *link;
        if (s->handle == h) {
            *link = s->next;
            s->next = nullptr;
            return Owned<Store>(s);
        }
    }
    return nullptr;
}

Owned<Store> unlink(const srs_handle *h) {
    const PthreadLock lock(registry_mutex);
    return take(h);
}

// Adds a store; returns the one its handle had before, if any, to be closed
// once the mutex is released.
Owned<Store> link(Owned<Store> store) {
    const PthreadLock lock(registry_mutex);
    Owned<Store> old = take(store->handle);
    store->next = registry;
    registry = store.release();
    return old;
}

// ---- Callbacks -------------------------------------------------------------

int insert_callback(srs_handle *h, const char *address, int address_len, char *id, int room) {
    Store *s = find(h);
    if (s == nullptr) return SRS_DB_ERROR;
    if (address == nullptr || id == nullptr || address_len <= 0 || address_len > max_address_length)
        return SRS_BAD_PARAMETER;
    if (room <= static_cast<int>(id_length)) return SRS_BUFFER_TOO_SMALL;
    return s->insert(std::string_view(address, static_cast<std::size_t>(address_len)), id);
}

int lookup_callback(srs_handle *h, const char *id, int id_len, char *buf, uint32_t buf_len) {
    Store *s = find(h);
    if (s == nullptr) return SRS_DB_ERROR;
    if (id == nullptr || buf == nullptr) return SRS_BAD_PARAMETER;
    Id key;
    if (id_len < 0 || !stored_form(std::string_view(id, static_cast<std::size_t>(id_len)), key))
        return SRS_DB_LOOKUP_FAILED;
    return s->lookup(key, buf, buf_len);
}

} // namespace

extern "C" {

int srs_sqlite_attach(srs_handle *handle, const char *path) {
    if (handle == nullptr) return SRS_BAD_HANDLE;
    if (path == nullptr) return SRS_BAD_PARAMETER;
    // Without SQLite's own locking the shared connection would be unsafe.
    if (sqlite3_threadsafe() == 0) return SRS_DB_ERROR;

    Owned<Store> store = make_owned<Store>();
    if (store == nullptr) return SRS_OUT_OF_MEMORY;
    int rc = store->open(path);
    if (rc == SRS_OK) rc = store->expire_before(expiry_cutoff(*handle, std::time(nullptr)));
    if (rc != SRS_OK) return rc;

    store->handle = handle;
    const Owned<Store> replaced = link(std::move(store));
    srs_set_db_functions(handle, insert_callback, lookup_callback);
    return SRS_OK;
}

int srs_sqlite_detach(srs_handle *handle) {
    if (handle == nullptr) return SRS_BAD_HANDLE;
    const Owned<Store> store = unlink(handle);
    if (store == nullptr) return SRS_DB_NOT_IN_USE;
    srs_set_db_functions(handle, nullptr, nullptr);
    return SRS_OK;
}

int srs_sqlite_expire_at(srs_handle *handle, time_t now) {
    if (handle == nullptr) return SRS_BAD_HANDLE;
    Store *s = find(handle);
    if (s == nullptr) return SRS_DB_NOT_IN_USE;
    return s->expire_before(expiry_cutoff(*handle, now));
}

int srs_sqlite_expire(srs_handle *handle) {
    return srs_sqlite_expire_at(handle, std::time(nullptr));
}

} // extern "C"
