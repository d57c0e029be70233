// The SQLite store of database mode: real database files in a temporary
// folder, used through the library's forward and reverse rewriting and
// checked through a connection of the test's own.
#include "srs_sqlite.h"

#include <sqlite3.h>

#include <gtest/gtest.h>

#include <array>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <memory>
#include <set>
#include <sstream>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include <sys/wait.h>
#include <unistd.h>

namespace {

namespace fs = std::filesystem;

constexpr char fill = '#';
constexpr std::string_view alias = "fwd.example";
constexpr std::int64_t day = 86400;

// A fresh folder, removed with everything in it at the end.
class TempDir {
  public:
    TempDir() {
        std::string name = (fs::temp_directory_path() / "srs-sqlite-XXXXXX").string();
        if (mkdtemp(name.data()) == nullptr) std::abort();
        path_ = name;
    }
    ~TempDir() {
        std::error_code ignored;
        fs::remove_all(path_, ignored);
    }
    TempDir(const TempDir &) = delete;
    TempDir &operator=(const TempDir &) = delete;
    std::string file(std::string_view name) const { return (path_ / name).string(); }

  private:
    fs::path path_;
};

// Detaches (when attached) and closes.
struct HandleCloser {
    void operator()(srs_handle *h) const {
        srs_sqlite_detach(h);
        srs_close(h);
    }
};
using Handle = std::unique_ptr<srs_handle, HandleCloser>;

Handle open_handle(uint32_t max_age = 0) {
    return Handle(srs_open("secret", 6, max_age, 0, 0));
}

Handle attached(const std::string &path, uint32_t max_age = 0) {
    Handle h = open_handle(max_age);
    const int rc = srs_sqlite_attach(h.get(), path.c_str());
    EXPECT_EQ(rc, SRS_OK) << path;
    return h;
}

// The test's own connection to a store's file.
class Probe {
  public:
    explicit Probe(const std::string &path) {
        if (sqlite3_open_v2(path.c_str(), &db_, SQLITE_OPEN_READWRITE, nullptr) != SQLITE_OK)
            ADD_FAILURE() << "cannot open " << path;
        sqlite3_busy_timeout(db_, 5000);
    }
    ~Probe() { sqlite3_close(db_); }
    Probe(const Probe &) = delete;
    Probe &operator=(const Probe &) = delete;

    void exec(const std::string &sql) {
        char *error = nullptr;
        if (sqlite3_exec(db_, sql.c_str(), nullptr, nullptr, &error) != SQLITE_OK)
            ADD_FAILURE() << sql << ": " << (error != nullptr ? error : "?");
        sqlite3_free(error);
    }

    // The first column of the first row, "<none>" without a row.
    std::string value(const std::string &sql, std::string_view param = {}) {
        sqlite3_stmt *stmt = nullptr;
        if (sqlite3_prepare_v2(db_, sql.c_str(), -1, &stmt, nullptr) != SQLITE_OK) {
            ADD_FAILURE() << sql << ": " << sqlite3_errmsg(db_);
            return "<error>";
        }
        if (!param.empty())
            sqlite3_bind_text(stmt, 1, param.data(), static_cast<int>(param.size()),
                              SQLITE_TRANSIENT);
        std::string out = "<none>";
        if (sqlite3_step(stmt) == SQLITE_ROW) {
            const auto *text = sqlite3_column_text(stmt, 0);
            out = text == nullptr ? "<null>" : reinterpret_cast<const char *>(text);
        }
        sqlite3_finalize(stmt);
        return out;
    }

    long long rows() { return std::stoll(value("SELECT count(*) FROM srs_senders")); }
    std::string address_of(std::string_view id) {
        return value("SELECT address FROM srs_senders WHERE id = ?", id);
    }
    long long created_of(std::string_view id) {
        return std::stoll(value("SELECT created FROM srs_senders WHERE id = ?", id));
    }
    void set_created(std::string_view id, long long t) {
        exec("UPDATE srs_senders SET created = " + std::to_string(t) + " WHERE id = '" +
             std::string(id) + "'");
    }

  private:
    sqlite3 *db_ = nullptr;
};

struct Outcome {
    int rc;
    std::string text;    // the result on success
    bool untouched;      // every byte of the buffer as it was
    bool tail_untouched; // nothing written past buffer_len
};

Outcome run(int rc, const std::vector<char> &buf, std::size_t buffer_len) {
    Outcome o{rc, {}, true, true};
    for (std::size_t i = 0; i < buf.size(); ++i)
        if (buf[i] != fill) (i < buffer_len ? o.untouched : o.tail_untouched) = false;
    if (!SRS_IS_ERROR(rc)) o.text = buf.data();
    return o;
}

Outcome forward(srs_handle *h, const std::string &sender, std::size_t buffer_len = 512) {
    std::vector<char> buf(buffer_len + 8, fill);
    const int rc = srs_forward(h, sender.c_str(), std::string(alias).c_str(), buf.data(),
                               static_cast<uint32_t>(buffer_len));
    return run(rc, buf, buffer_len);
}

Outcome reverse(srs_handle *h, const std::string &address, std::size_t buffer_len = 512) {
    std::vector<char> buf(buffer_len + 8, fill);
    const int rc = srs_reverse(h, address.c_str(), buf.data(), static_cast<uint32_t>(buffer_len));
    return run(rc, buf, buffer_len);
}

// The identifier of a rewritten address: whatever follows the last '=' of
// the local part (there is one whatever the options: SRS0=).
std::string id_of(const std::string &rewritten) {
    const std::string local = rewritten.substr(0, rewritten.rfind('@'));
    return local.substr(local.rfind('=') + 1);
}

bool safe_id(const std::string &id) {
    if (id.size() != SRS_SQLITE_ID_LENGTH) return false;
    for (const char c : id)
        if (!((c >= 'a' && c <= 'z') || (c >= '2' && c <= '7'))) return false;
    return true;
}

std::string upper(std::string s) {
    for (char &c : s)
        if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
    return s;
}

std::string sender(int process, int n) {
    return "p" + std::to_string(process) + ".sender" + std::to_string(n) + "@Example.org";
}

class SqliteStore : public testing::Test {
  protected:
    TempDir dir;
    std::string path = dir.file("senders.db");
};

// ---- Round trips -----------------------------------------------------------

TEST_F(SqliteStore, RoundTripWithEveryOptionAndLetterCase) {
    // 256 characters, the longest address the library reads.
    const std::string longest = std::string(64, 'l') + "@" + std::string(191, 'd');
    const std::string senders[] = {"Jane.Doe@Example.ORG", "first+tag=x@b.example",
                                   "we\\ird@c.example", longest};
    struct Options {
        int timestamp;
        int hash;
    };
    Handle h = attached(path);
    Probe db(path);
    for (const Options o : {Options{1, 1}, Options{0, 1}, Options{1, 0}, Options{0, 0}}) {
        srs_set_option(h.get(), SRS_OPT_TIMESTAMP, o.timestamp);
        srs_set_option(h.get(), SRS_OPT_HASH, o.hash);
        for (const std::string &s : senders) {
            SCOPED_TRACE(testing::Message()
                         << "stamp " << o.timestamp << " hash " << o.hash << " sender " << s);
            const long long before = std::time(nullptr);
            const Outcome fwd = forward(h.get(), s);
            const long long after = std::time(nullptr);
            ASSERT_EQ(fwd.rc, SRS_OK);
            const std::string id = id_of(fwd.text);
            EXPECT_TRUE(safe_id(id)) << fwd.text;
            // The sender is in the file under that identifier, with the time.
            EXPECT_EQ(db.address_of(id), s);
            EXPECT_GE(db.created_of(id), before);
            EXPECT_LE(db.created_of(id), after);

            // Upper-cased on the way back: found all the same, and reported
            // case-broken when that changed the hash.
            const std::string hash = o.hash ? fwd.text.substr(5, 6) : "";
            const int folded_rc = upper(hash) != hash ? SRS_CASE_BROKEN : SRS_OK;
            for (const auto &[address, rc] :
                 {std::pair{fwd.text, SRS_OK}, std::pair{upper(fwd.text), folded_rc}}) {
                const Outcome back = reverse(h.get(), address);
                EXPECT_EQ(back.rc, rc) << address;
                EXPECT_EQ(back.text, s) << address;
            }
        }
    }
    EXPECT_EQ(db.rows(), 16);
}

TEST_F(SqliteStore, AttachMakesAWalDatabase) {
    Handle h = attached(path);
    EXPECT_EQ(h->use_database, 1u);
    EXPECT_NE(h->db_insert, nullptr);
    EXPECT_NE(h->db_lookup, nullptr);
    Probe db(path);
    EXPECT_EQ(db.value("PRAGMA journal_mode"), "wal");
    EXPECT_EQ(db.rows(), 0);
}

TEST_F(SqliteStore, IdentifiersAreShortSafeAndDistinct) {
    Handle h = attached(path);
    std::set<std::string> ids;
    for (int i = 0; i < 500; ++i) {
        const Outcome fwd = forward(h.get(), sender(0, i));
        ASSERT_EQ(fwd.rc, SRS_OK);
        const std::string id = id_of(fwd.text);
        ASSERT_TRUE(safe_id(id)) << fwd.text; // so no '@' and no trailing '\'
        ids.insert(id);
    }
    EXPECT_EQ(ids.size(), 500u);
    EXPECT_EQ(Probe(path).rows(), 500);
}

TEST_F(SqliteStore, InsertStaysWithinTheRoom) {
    Handle h = attached(path);
    struct Case {
        int room;
        int rc;
    };
    // The library offers 253 (with timestamps) or 256; anything smaller than
    // an identifier and its terminator is refused without storing.
    const Case cases[] = {{256, SRS_OK},
                          {253, SRS_OK},
                          {SRS_SQLITE_ID_LENGTH + 1, SRS_OK},
                          {SRS_SQLITE_ID_LENGTH, SRS_BUFFER_TOO_SMALL},
                          {0, SRS_BUFFER_TOO_SMALL}};
    long long stored = 0;
    for (const Case &c : cases) {
        SCOPED_TRACE(c.room);
        std::vector<char> id(300, fill);
        EXPECT_EQ(h->db_insert(h.get(), "a@b", 3, id.data(), c.room), c.rc);
        if (c.rc == SRS_OK) {
            ++stored;
            EXPECT_TRUE(safe_id(id.data()));
            EXPECT_EQ(id[SRS_SQLITE_ID_LENGTH + 1], fill);
        } else {
            EXPECT_EQ(std::string(id.begin(), id.end()), std::string(id.size(), fill));
        }
    }
    EXPECT_EQ(Probe(path).rows(), stored);
}

// ---- Sharing a file --------------------------------------------------------

// Runs body(i) in `count` child processes at once: they wait on a gate
// until all of them exist. True when every child exited with 0.
template <class Body> bool in_processes(int count, Body body) {
    std::array<int, 2> gate;
    if (pipe(gate.data()) != 0) return false;
    std::vector<pid_t> children;
    for (int i = 0; i < count; ++i) {
        const pid_t pid = fork();
        if (pid == 0) {
            close(gate[1]);
            char byte;
            (void)!read(gate[0], &byte, 1);
            _exit(body(i) ? 0 : 1);
        }
        if (pid > 0) children.push_back(pid);
    }
    close(gate[0]);
    close(gate[1]);
    bool ok = children.size() == static_cast<std::size_t>(count);
    for (const pid_t pid : children) {
        int status = 0;
        ok = waitpid(pid, &status, 0) == pid && WIFEXITED(status) && WEXITSTATUS(status) == 0 && ok;
    }
    return ok;
}

// In a child process: attach a new handle, forward senders, detach.
bool forward_in_child(const std::string &path, int process, int count, std::ostream &out) {
    srs_handle *h = srs_open("secret", 6, 0, 0, 0);
    bool ok = h != nullptr && srs_sqlite_attach(h, path.c_str()) == SRS_OK;
    for (int n = 0; n < count && ok; ++n) {
        std::array<char, 512> buf;
        ok = srs_forward(h, sender(process, n).c_str(), "fwd.example", buf.data(),
                         static_cast<uint32_t>(buf.size())) == SRS_OK;
        out << buf.data() << '\n';
    }
    ok = srs_sqlite_detach(h) == SRS_OK && ok;
    srs_close(h);
    return ok;
}

TEST_F(SqliteStore, SeveralProcessesShareOneFile) {
    constexpr int processes = 4;
    constexpr int per_process = 200;
    // The file does not exist yet: the children create it together.
    ASSERT_TRUE(in_processes(processes, [&](int p) {
        std::ofstream out(dir.file("out" + std::to_string(p)));
        return forward_in_child(path, p, per_process, out);
    }));

    Handle h = attached(path);
    for (int p = 0; p < processes; ++p) {
        std::ifstream in(dir.file("out" + std::to_string(p)));
        std::string line;
        int n = 0;
        for (; std::getline(in, line); ++n) {
            const Outcome back = reverse(h.get(), line);
            EXPECT_EQ(back.rc, SRS_OK) << line;
            EXPECT_EQ(back.text, sender(p, n)) << line;
        }
        EXPECT_EQ(n, per_process);
    }
    EXPECT_EQ(Probe(path).rows(), processes * per_process);
}

TEST_F(SqliteStore, SeveralProcessesCreateOneFileAtOnce) {
    // Opening a new file is where processes collide most: each round a new
    // file, four children attaching to it at the same moment.
    for (int round = 0; round < 10; ++round) {
        const std::string file = dir.file("new" + std::to_string(round) + ".db");
        EXPECT_TRUE(in_processes(4,
                                 [&](int p) {
                                     std::ostringstream ignored;
                                     return forward_in_child(file, p, 1, ignored);
                                 }))
            << "round " << round;
        EXPECT_EQ(Probe(file).rows(), 4);
    }
}

TEST_F(SqliteStore, SeveralThreadsShareOneHandle) {
    constexpr int threads = 4;
    constexpr int per_thread = 200;
    Handle h = attached(path);
    std::vector<std::vector<std::string>> failures(threads);
    std::vector<std::thread> workers;
    for (int t = 0; t < threads; ++t)
        workers.emplace_back([&, t] {
            for (int n = 0; n < per_thread; ++n) {
                const Outcome fwd = forward(h.get(), sender(t, n));
                const Outcome back = reverse(h.get(), fwd.text);
                if (fwd.rc != SRS_OK || back.rc != SRS_OK || back.text != sender(t, n))
                    failures[static_cast<std::size_t>(t)].push_back(sender(t, n));
            }
        });
    for (std::thread &w : workers)
        w.join();
    for (const auto &f : failures)
        EXPECT_TRUE(f.empty()) << f.size() << " failed, first " << f.front();
    EXPECT_EQ(Probe(path).rows(), threads * per_thread);
}

TEST_F(SqliteStore, EachHandleHasItsOwnFile) {
    const std::string other = dir.file("other.db");
    Handle a = attached(path);
    Handle b = attached(other);
    const Outcome fwd = forward(a.get(), "a@example.org");
    ASSERT_EQ(fwd.rc, SRS_OK);
    EXPECT_EQ(reverse(a.get(), fwd.text).text, "a@example.org");
    EXPECT_EQ(reverse(b.get(), fwd.text).rc, SRS_DB_LOOKUP_FAILED);
    EXPECT_EQ(Probe(path).rows(), 1);
    EXPECT_EQ(Probe(other).rows(), 0);

    // Attaching again moves a handle to the new file.
    ASSERT_EQ(srs_sqlite_attach(a.get(), other.c_str()), SRS_OK);
    EXPECT_EQ(reverse(a.get(), fwd.text).rc, SRS_DB_LOOKUP_FAILED);
    ASSERT_EQ(forward(a.get(), "c@example.org").rc, SRS_OK);
    EXPECT_EQ(Probe(other).rows(), 1);
}

TEST_F(SqliteStore, WaitsForAnotherWriter) {
    Handle h = attached(path);
    Probe db(path);
    db.exec("BEGIN IMMEDIATE"); // holds the write lock until the commit
    std::thread committer([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        db.exec("COMMIT");
    });
    const Outcome fwd = forward(h.get(), "a@example.org");
    committer.join();
    EXPECT_EQ(fwd.rc, SRS_OK);
    EXPECT_EQ(db.rows(), 1);
}

// ---- Failures --------------------------------------------------------------

TEST_F(SqliteStore, UnknownIdentifiers) {
    Handle h = attached(path);
    const Outcome fwd = forward(h.get(), "a@example.org");
    ASSERT_EQ(fwd.rc, SRS_OK);
    Probe(path).exec("DELETE FROM srs_senders");
    const Outcome back = reverse(h.get(), fwd.text);
    EXPECT_EQ(back.rc, SRS_DB_LOOKUP_FAILED);
    EXPECT_TRUE(back.untouched);

    // Straight to the callback: texts that are no identifier of the store.
    for (const std::string id : {"aaaaaaaaaaaaa", "short", "aaaaaaaaaaaaaa", "aaaaaaaaaaaa1",
                                 "aaaaaaaaaaaa@", "aaaaaaaaaaaa=", ""}) {
        std::array<char, 64> buf;
        buf.fill(fill);
        EXPECT_EQ(h->db_lookup(h.get(), id.data(), static_cast<int>(id.size()), buf.data(),
                               static_cast<uint32_t>(buf.size())),
                  SRS_DB_LOOKUP_FAILED)
            << id;
        EXPECT_EQ(buf[0], fill);
    }
}

TEST_F(SqliteStore, AttachFailures) {
    fs::create_directory(dir.file("a-directory"));
    std::ofstream(dir.file("not-a-database")) << std::string(4096, 'x');
    const std::string paths[] = {dir.file("missing/senders.db"), dir.file("a-directory"),
                                 dir.file("not-a-database")};
    for (const std::string &p : paths) {
        SCOPED_TRACE(p);
        Handle h = open_handle();
        EXPECT_EQ(srs_sqlite_attach(h.get(), p.c_str()), SRS_DB_ERROR);
        EXPECT_EQ(h->use_database, 0u);
        EXPECT_EQ(h->db_insert, nullptr);
        EXPECT_EQ(srs_sqlite_detach(h.get()), SRS_DB_NOT_IN_USE);
    }

    Handle h = attached(path);
    EXPECT_EQ(srs_sqlite_attach(nullptr, path.c_str()), SRS_BAD_HANDLE);
    EXPECT_EQ(srs_sqlite_attach(h.get(), nullptr), SRS_BAD_PARAMETER);
    // A failed attach keeps the file the handle had.
    EXPECT_EQ(srs_sqlite_attach(h.get(), paths[0].c_str()), SRS_DB_ERROR);
    EXPECT_EQ(forward(h.get(), "a@example.org").rc, SRS_OK);
    EXPECT_EQ(Probe(path).rows(), 1);
}

TEST_F(SqliteStore, AFailingStoreAnswersDbError) {
    struct Case {
        const char *sabotage; // run behind the store's back
        int reverse_rc;       // for an address made before
    };
    const Case cases[] = {
        {"DROP TABLE srs_senders", SRS_DB_ERROR}, // not "unknown identifier"
        {"CREATE TRIGGER refuse BEFORE INSERT ON srs_senders "
         "BEGIN SELECT RAISE(ABORT, 'refused'); END",
         SRS_OK},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.sabotage);
        TempDir fresh;
        const std::string file = fresh.file("senders.db");
        Handle h = attached(file);
        const Outcome before = forward(h.get(), "a@example.org");
        ASSERT_EQ(before.rc, SRS_OK);
        Probe(file).exec(c.sabotage);

        const Outcome fwd = forward(h.get(), "b@example.org");
        EXPECT_EQ(fwd.rc, SRS_DB_ERROR);
        EXPECT_TRUE(fwd.untouched);
        const Outcome back = reverse(h.get(), before.text);
        EXPECT_EQ(back.rc, c.reverse_rc);
        if (SRS_IS_ERROR(c.reverse_rc)) {
            EXPECT_TRUE(back.untouched);
        }
    }
}

TEST_F(SqliteStore, ReverseIntoASmallBuffer) {
    Handle h = attached(path);
    const std::string s = "someone@example.org";
    const Outcome fwd = forward(h.get(), s);
    ASSERT_EQ(fwd.rc, SRS_OK);
    struct Case {
        std::size_t buffer_len;
        int rc;
    };
    const Case cases[] = {{s.size() + 1, SRS_OK},
                          {s.size(), SRS_BUFFER_TOO_SMALL},
                          {1, SRS_BUFFER_TOO_SMALL},
                          {0, SRS_BUFFER_TOO_SMALL}};
    for (const Case &c : cases) {
        SCOPED_TRACE(c.buffer_len);
        const Outcome back = reverse(h.get(), fwd.text, c.buffer_len);
        EXPECT_EQ(back.rc, c.rc);
        EXPECT_TRUE(back.tail_untouched);
        if (c.rc == SRS_OK) {
            EXPECT_EQ(back.text, s);
        } else {
            EXPECT_TRUE(back.untouched);
        }
    }
}

// ---- Expiry ----------------------------------------------------------------

TEST_F(SqliteStore, ExpiryKeepsWhatTimestampsStillAccept) {
    constexpr uint32_t max_age = 10;
    Handle h = attached(path, max_age);
    // A fixed "now" in the middle of a day; entries stored `days` before the
    // start of that day, plus `seconds`.
    const std::int64_t today = 20000 * day;
    const std::time_t now = static_cast<std::time_t>(today + 43210);
    struct Case {
        std::int64_t days;
        std::int64_t seconds;
        bool kept;
    };
    const Case cases[] = {
        {-1, 0, true},                 // stored "tomorrow": a clock set back
        {0, 43210, true},              // now
        {0, 0, true},                  // start of today
        {max_age, 0, true},            // start of the oldest day still accepted
        {max_age + 1, day - 1, false}, // the last second before it
        {max_age + 1, 0, false},
        {400, 0, false},
    };
    Probe db(path);
    std::vector<std::string> addresses;
    for (const Case &c : cases) {
        const Outcome fwd = forward(h.get(), "sender" + std::to_string(addresses.size()) + "@x");
        ASSERT_EQ(fwd.rc, SRS_OK);
        db.set_created(id_of(fwd.text), today - c.days * day + c.seconds);
        addresses.push_back(fwd.text);
    }
    ASSERT_EQ(srs_sqlite_expire_at(h.get(), now), SRS_OK);

    for (std::size_t i = 0; i < std::size(cases); ++i) {
        const Case &c = cases[i];
        SCOPED_TRACE(testing::Message() << c.days << " days, " << c.seconds << " s");
        const std::string id = id_of(addresses[i]);
        EXPECT_EQ(db.address_of(id) != "<none>", c.kept);
        EXPECT_EQ(reverse(h.get(), addresses[i]).rc, c.kept ? SRS_OK : SRS_DB_LOOKUP_FAILED);
        // In step with the library: an entry goes exactly when an address
        // stamped at its time would no longer pass the timestamp check.
        if (c.days >= 0) {
            std::array<char, 2> stamp;
            srs_timestamp_create(static_cast<std::time_t>(today - c.days * day + c.seconds),
                                 stamp.data());
            EXPECT_EQ(srs_timestamp_check(h.get(), stamp.data(), now) == SRS_OK, c.kept);
        }
    }
}

TEST_F(SqliteStore, ExpireUsesTheClockAndRunsAtAttach) {
    constexpr uint32_t max_age = 5;
    Handle h = attached(path, max_age);
    const std::string fresh = id_of(forward(h.get(), "fresh@x").text);
    const std::string stale = id_of(forward(h.get(), "stale@x").text);
    Probe db(path);
    const long long long_ago = std::time(nullptr) - (max_age + 2) * day;
    db.set_created(stale, long_ago);
    EXPECT_EQ(srs_sqlite_expire(h.get()), SRS_OK);
    EXPECT_EQ(db.address_of(fresh), "fresh@x");
    EXPECT_EQ(db.address_of(stale), "<none>");

    db.set_created(fresh, long_ago);
    ASSERT_EQ(srs_sqlite_detach(h.get()), SRS_OK);
    ASSERT_EQ(srs_sqlite_attach(h.get(), path.c_str()), SRS_OK);
    EXPECT_EQ(db.rows(), 0);
}

TEST_F(SqliteStore, ExpireErrors) {
    Handle h = open_handle();
    EXPECT_EQ(srs_sqlite_expire(nullptr), SRS_BAD_HANDLE);
    EXPECT_EQ(srs_sqlite_expire(h.get()), SRS_DB_NOT_IN_USE);
    ASSERT_EQ(srs_sqlite_attach(h.get(), path.c_str()), SRS_OK);
    Probe(path).exec("DROP TABLE srs_senders");
    EXPECT_EQ(srs_sqlite_expire(h.get()), SRS_DB_ERROR);
}

// ---- Detaching -------------------------------------------------------------

TEST_F(SqliteStore, DetachLeavesThePlainLibraryAndAClosedFile) {
    srs_handle *h = srs_open("secret", 6, 0, 0, 0);
    ASSERT_NE(h, nullptr);
    ASSERT_EQ(srs_sqlite_attach(h, path.c_str()), SRS_OK);
    ASSERT_EQ(forward(h, "a@example.org").rc, SRS_OK);
    EXPECT_TRUE(fs::exists(path + "-wal"));

    EXPECT_EQ(srs_sqlite_detach(h), SRS_OK);
    EXPECT_EQ(h->use_database, 0u);
    EXPECT_EQ(h->db_insert, nullptr);
    EXPECT_EQ(h->db_lookup, nullptr);
    // The last connection closed: SQLite folded the log into the file.
    EXPECT_FALSE(fs::exists(path + "-wal"));
    EXPECT_EQ(Probe(path).rows(), 1);

    // Rewriting goes on without the store.
    const Outcome fwd = forward(h, "b@example.org");
    ASSERT_EQ(fwd.rc, SRS_OK);
    EXPECT_NE(fwd.text.find("=example.org=b@"), std::string::npos) << fwd.text;
    EXPECT_EQ(reverse(h, fwd.text).text, "b@example.org");

    EXPECT_EQ(srs_sqlite_detach(h), SRS_DB_NOT_IN_USE);
    EXPECT_EQ(srs_sqlite_detach(nullptr), SRS_BAD_HANDLE);
    EXPECT_EQ(srs_close(h), SRS_OK);
}

} // namespace
