// The SQLite store of database mode: real database files in a temporary
// folder, used through the library's forward and reverse rewriting and
// checked through a connection of the test's own.
#include "srs_sqlite.h"

#include <sqlite3.h>

#include <gtest/gtest.h>

#include <array>
#include <atomic>
#include <csignal>
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

#include <sys/mount.h>
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
    explicit Probe(const std::string &path, bool create = false) {
        if (sqlite3_open_v2(path.c_str(), &db_,
                            SQLITE_OPEN_READWRITE | (create ? SQLITE_OPEN_CREATE : 0),
                            nullptr) != SQLITE_OK)
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
    // An entry as the store writes it at time t, put straight into the
    // file: its identifier begins with the day of t. Returns the identifier.
    std::string put(long long t, const std::string &address = "someone@example.org") {
        const std::string id = day_prefix(t) + "a" + std::to_string(100000000 + serial_++).substr(1);
        exec("INSERT INTO srs_senders (id, address, created) VALUES ('" + id + "', '" + address +
             "', " + std::to_string(t) + ")");
        return id;
    }

    // The first 4 characters of an identifier stored at time t: the day
    // number in 20 bits of base32, in the store's ASCII-ordered alphabet.
    static std::string day_prefix(long long t) {
        static constexpr char alphabet[] = "234567abcdefghijklmnopqrstuvwxyz";
        const long long d = t / 86400 - (t % 86400 < 0 ? 1 : 0);
        std::string out(4, '?');
        for (int i = 3; i >= 0; --i)
            out[static_cast<std::size_t>(i)] = alphabet[(d >> (5 * (3 - i))) & 31];
        return out;
    }

  private:
    sqlite3 *db_ = nullptr;
    int serial_ = 0;
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
    // The check at attach leaves no connection behind (the last one to
    // close removes the log): the process holds none until it uses the store.
    EXPECT_FALSE(fs::exists(path + "-wal"));
    Probe db(path);
    EXPECT_EQ(db.value("PRAGMA journal_mode"), "wal");
    EXPECT_EQ(db.value("PRAGMA application_id"), "1397904176"); // 'SRS0'
    EXPECT_EQ(db.value("PRAGMA user_version"), "1");
    EXPECT_EQ(db.value("PRAGMA auto_vacuum"), "2"); // incremental: space is given back
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

// A handle attached before fork(), used at once by the parent's threads
// and by 8 children forked while those threads are inside the store's
// callbacks: every child finishes (none inherits a lock it waits for),
// each uses a connection of its own, and every entry is found afterwards.
TEST_F(SqliteStore, AHandleAttachedBeforeForkServesParentAndChildren) {
    constexpr int children = 8, per_child = 50, per_thread = 200;
    Handle h = attached(path);
    std::atomic<bool> stop{false};
    std::vector<std::vector<std::string>> made(2);
    std::vector<std::thread> threads;
    for (int t = 0; t < 2; ++t)
        threads.emplace_back([&, t] {
            for (int n = 0; n < per_thread || !stop; ++n) {
                const Outcome fwd = forward(h.get(), sender(100 + t, n));
                if (fwd.rc != SRS_OK) return;
                made[static_cast<std::size_t>(t)].push_back(fwd.text);
            }
        });
    std::vector<pid_t> pids;
    for (int c = 0; c < children; ++c) {
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
        const pid_t pid = fork();
        if (pid == 0) {
            std::ofstream out(dir.file("child" + std::to_string(c)));
            bool ok = true;
            for (int n = 0; n < per_child && ok; ++n) {
                const Outcome fwd = forward(h.get(), sender(c, n));
                ok = fwd.rc == SRS_OK && reverse(h.get(), fwd.text).text == sender(c, n);
                if (!ok)
                    std::fprintf(stderr, "child %d: %d %s\n", c, fwd.rc,
                                 srs_sqlite_last_error(h.get()));
                out << fwd.text << '\n';
            }
            out.close();
            _exit(ok ? 0 : 1);
        }
        ASSERT_GT(pid, 0);
        pids.push_back(pid);
    }
    // Each child ends by itself within a bound: a hang is a failure.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    for (const pid_t pid : pids) {
        int status = -1;
        while (waitpid(pid, &status, WNOHANG) == 0 && std::chrono::steady_clock::now() < deadline)
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        if (waitpid(pid, &status, WNOHANG) == 0) {
            kill(pid, SIGKILL);
            waitpid(pid, &status, 0);
            ADD_FAILURE() << "child " << pid << " hangs";
        }
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "child " << pid;
    }
    stop = true;
    for (auto &t : threads)
        t.join();

    // Everything written in the parent and in the children is there.
    long long count = 0;
    for (int t = 0; t < 2; ++t) {
        EXPECT_GE(made[static_cast<std::size_t>(t)].size(), static_cast<std::size_t>(per_thread));
        for (std::size_t n = 0; n < made[static_cast<std::size_t>(t)].size(); ++n, ++count)
            EXPECT_EQ(reverse(h.get(), made[static_cast<std::size_t>(t)][n]).text,
                      sender(100 + t, static_cast<int>(n)));
    }
    for (int c = 0; c < children; ++c) {
        std::ifstream in(dir.file("child" + std::to_string(c)));
        std::string line;
        int n = 0;
        for (; std::getline(in, line); ++n, ++count)
            EXPECT_EQ(reverse(h.get(), line).text, sender(c, n));
        EXPECT_EQ(n, per_child);
    }
    EXPECT_EQ(Probe(path).rows(), count);
}

// 32 processes writing at once, each with its own handle: no forward fails
// (no writer starves past the busy timeout).
TEST_F(SqliteStore, ThirtyTwoWritersAtOnce) {
    constexpr int processes = 32, per_process = 100;
    ASSERT_EQ(Handle(attached(path)) != nullptr, true); // the file exists before they start
    EXPECT_TRUE(in_processes(processes, [&](int p) {
        std::ostringstream ignored;
        return forward_in_child(path, p, per_process, ignored);
    }));
    EXPECT_EQ(Probe(path).rows(), processes * per_process);
}

// A large table of stale entries expires, a batch per forward, while four
// processes forward: every forward succeeds and the stale entries go, the
// fresh ones stay, and the file gives space back.
TEST_F(SqliteStore, ALargeTableExpiresWhileForwardsRun) {
    constexpr long long stale = 300000;
    {
        Handle h = attached(path);
        Probe db(path);
        db.exec("BEGIN");
        db.exec("WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM n WHERE i < " +
                std::to_string(stale) +
                ") INSERT INTO srs_senders (id, address, created) "
                "SELECT printf('2222a%08d', i), 'someone@example.org', 0 FROM n");
        db.exec("DELETE FROM srs_meta");
        db.exec("COMMIT");
    }
    const auto pages_before = std::stoll(Probe(path).value("PRAGMA page_count"));
    // Each process forwards until no stale entry is left (or a bound).
    EXPECT_TRUE(in_processes(4, [&](int p) {
        srs_handle *h = srs_open("secret", 6, 0, 0, 0);
        if (h == nullptr || srs_sqlite_attach(h, path.c_str()) != SRS_OK) return false;
        Probe db(path);
        bool ok = true;
        for (int n = 0; ok && n < 5000; ++n) {
            std::array<char, 512> buf;
            ok = srs_forward(h, sender(p, n).c_str(), "fwd.example", buf.data(),
                             static_cast<uint32_t>(buf.size())) == SRS_OK;
            if (n % 50 == 0 &&
                db.value("SELECT count(*) FROM srs_senders WHERE created < 86400") == "0")
                break;
        }
        srs_sqlite_detach(h);
        srs_close(h);
        return ok;
    }));
    Probe db(path);
    EXPECT_EQ(db.value("SELECT count(*) FROM srs_senders WHERE created < 86400"), "0");
    EXPECT_GT(db.rows(), 0);
    EXPECT_LT(std::stoll(db.value("PRAGMA page_count")), pages_before / 2)
        << "the space of the expired entries was not given back";
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
    {
        // Files of other programs: another application id, other tables.
        Probe other(dir.file("other-id.db"), true);
        other.exec("PRAGMA application_id = 42; CREATE TABLE t (x)");
        Probe tables(dir.file("other-tables.db"), true);
        tables.exec("CREATE TABLE accounts (name TEXT)");
    }
    struct Case {
        std::string path;
        int rc;
        std::string reason; // in srs_sqlite_last_error
    };
    const Case cases[] = {
        {dir.file("missing/senders.db"), SRS_DB_ERROR, "unable to open"},
        {dir.file("a-directory"), SRS_DB_ERROR, "unable to open"},
        {dir.file("not-a-database"), SRS_SQLITE_CORRUPT, "not a database"},
        {dir.file("other-id.db"), SRS_SQLITE_CORRUPT, "another program"},
        {dir.file("other-tables.db"), SRS_SQLITE_CORRUPT, "another program"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.path);
        Handle h = open_handle();
        EXPECT_EQ(srs_sqlite_attach(h.get(), c.path.c_str()), c.rc);
        EXPECT_NE(std::string(srs_sqlite_last_error(h.get())).find(c.reason), std::string::npos)
            << srs_sqlite_last_error(h.get());
        EXPECT_EQ(h->use_database, 0u);
        EXPECT_EQ(h->db_insert, nullptr);
        EXPECT_EQ(h->db_context, nullptr);
        EXPECT_EQ(srs_sqlite_detach(h.get()), SRS_DB_NOT_IN_USE);
    }
    // A file of another program is left as it was.
    EXPECT_EQ(Probe(dir.file("other-tables.db")).value("SELECT count(*) FROM sqlite_master"), "1");

    Handle h = attached(path);
    EXPECT_EQ(srs_sqlite_attach(nullptr, path.c_str()), SRS_BAD_HANDLE);
    EXPECT_EQ(srs_sqlite_attach(h.get(), nullptr), SRS_BAD_PARAMETER);
    // A failed attach keeps the file the handle had.
    EXPECT_EQ(srs_sqlite_attach(h.get(), cases[0].path.c_str()), SRS_DB_ERROR);
    EXPECT_EQ(forward(h.get(), "a@example.org").rc, SRS_OK);
    EXPECT_EQ(Probe(path).rows(), 1);
    EXPECT_STREQ(srs_sqlite_errormsg(SRS_SQLITE_BUSY),
                 "Database busy: other writers held it too long");
    EXPECT_STREQ(srs_sqlite_errormsg(SRS_DB_ERROR), srs_geterrormsg(SRS_DB_ERROR));
    for (const int code : {SRS_SQLITE_BUSY, SRS_SQLITE_READONLY, SRS_SQLITE_CORRUPT})
        EXPECT_TRUE(SRS_IS_ERROR(code));
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

// A small file system of the test's own, for a disk that is full or
// read-only; unmounted at the end. Needs the right to mount (root).
class SmallDisk {
  public:
    explicit SmallDisk(const std::string &where, const char *size) : path_(where) {
        fs::create_directory(path_);
        const std::string options = std::string("size=") + size;
        mounted_ = mount("tmpfs", path_.c_str(), "tmpfs", 0, options.c_str()) == 0;
    }
    ~SmallDisk() {
        if (mounted_) umount2(path_.c_str(), MNT_DETACH);
    }
    SmallDisk(const SmallDisk &) = delete;
    SmallDisk &operator=(const SmallDisk &) = delete;
    bool mounted() const { return mounted_; }
    bool read_only() {
        return mount(nullptr, path_.c_str(), nullptr, MS_REMOUNT | MS_RDONLY, nullptr) == 0;
    }

  private:
    std::string path_;
    bool mounted_ = false;
};

// The failures of a store are told apart, each with SQLite's reason: busy
// (another writer holds the file), read-only, full, damaged.
TEST_F(SqliteStore, FailuresAreToldApart) {
    struct Case {
        const char *name;
        int forward_rc;
        const char *reason;
    };
    auto expect = [&](const Case &c, srs_handle *h) {
        SCOPED_TRACE(c.name);
        const Outcome fwd = forward(h, "b@example.org");
        EXPECT_EQ(fwd.rc, c.forward_rc);
        EXPECT_TRUE(fwd.untouched);
        EXPECT_NE(std::string(srs_sqlite_last_error(h)).find(c.reason), std::string::npos)
            << srs_sqlite_last_error(h);
    };
    {
        // Another writer holds the file past the busy timeout (5 s).
        Handle h = attached(path);
        Probe db(path);
        db.exec("BEGIN IMMEDIATE");
        expect({"busy", SRS_SQLITE_BUSY, "locked"}, h.get());
        db.exec("COMMIT");
        EXPECT_EQ(forward(h.get(), "c@example.org").rc, SRS_OK) << "not after the lock is gone";
    }
    {
        // Damaged: the table's pages overwritten behind SQLite's back.
        const std::string file = dir.file("damaged.db");
        Handle h = attached(file);
        std::vector<std::string> made;
        for (int i = 0; i < 400; ++i)
            made.push_back(forward(h.get(), sender(0, i)).text);
        ASSERT_EQ(srs_sqlite_detach(h.get()), SRS_OK); // folds the log into the file
        {
            std::fstream f(file, std::ios::in | std::ios::out | std::ios::binary);
            f.seekp(4096 * 2);
            const std::string garbage(4096 * 4, '\x5a');
            f.write(garbage.data(), static_cast<std::streamsize>(garbage.size()));
        }
        Handle again = open_handle();
        const int rc = srs_sqlite_attach(again.get(), file.c_str());
        if (rc == SRS_OK) {
            int corrupt = 0;
            for (const std::string &a : made)
                corrupt += reverse(again.get(), a).rc == SRS_SQLITE_CORRUPT;
            EXPECT_GT(corrupt, 0) << "no lookup saw the damage";
            EXPECT_NE(std::string(srs_sqlite_last_error(again.get())).find("malformed"),
                      std::string::npos)
                << srs_sqlite_last_error(again.get());
        } else {
            EXPECT_EQ(rc, SRS_SQLITE_CORRUPT);
        }
    }

    // Full and read-only disks, where this process may mount one.
    SmallDisk disk(dir.file("disk"), "96k");
    if (!disk.mounted()) {
        if (std::getenv("CI") != nullptr) FAIL() << "cannot mount a tmpfs under CI (root needed)";
        GTEST_SKIP() << "cannot mount a tmpfs here (needs root): full and read-only disks skipped";
    }
    const std::string file = dir.file("disk/senders.db");
    Handle h = attached(file);
    int rc = SRS_OK;
    for (int i = 0; i < 5000 && rc == SRS_OK; ++i)
        rc = forward(h.get(), sender(1, i) + std::string(150, 'x')).rc;
    expect({"full", SRS_SQLITE_READONLY, "full"}, h.get());
    ASSERT_EQ(srs_sqlite_detach(h.get()), SRS_OK);
    ASSERT_TRUE(disk.read_only());
    Handle reader = open_handle();
    const int attach_rc = srs_sqlite_attach(reader.get(), file.c_str());
    EXPECT_TRUE(attach_rc == SRS_SQLITE_READONLY) << attach_rc << " "
                                                  << srs_sqlite_last_error(reader.get());
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
        {20000, 0, false}, // day 0
    };
    Probe db(path);
    std::vector<std::string> ids;
    for (const Case &c : cases)
        ids.push_back(db.put(today - c.days * day + c.seconds));
    ASSERT_EQ(srs_sqlite_expire_at(h.get(), now), SRS_OK);

    for (std::size_t i = 0; i < std::size(cases); ++i) {
        const Case &c = cases[i];
        SCOPED_TRACE(testing::Message() << c.days << " days, " << c.seconds << " s");
        EXPECT_EQ(db.address_of(ids[i]) != "<none>", c.kept);
        // In step with the library: an entry goes exactly when an address
        // stamped at its time would no longer pass the timestamp check.
        if (c.days >= 0 && c.days < 1000) {
            std::array<char, 2> stamp;
            srs_timestamp_create(static_cast<std::time_t>(today - c.days * day + c.seconds),
                                 stamp.data());
            EXPECT_EQ(srs_timestamp_check(h.get(), stamp.data(), now) == SRS_OK, c.kept);
        }
    }
    // A sender forwarded for real carries today's day, and stays.
    const Outcome fwd = forward(h.get(), "real@example.org");
    EXPECT_EQ(id_of(fwd.text).substr(0, 4), Probe::day_prefix(std::time(nullptr)));
    ASSERT_EQ(srs_sqlite_expire(h.get()), SRS_OK);
    EXPECT_EQ(reverse(h.get(), fwd.text).text, "real@example.org");
}

TEST_F(SqliteStore, ExpiryRunsOnceADayOnTheWayNotAtAttach) {
    constexpr uint32_t max_age = 5;
    const long long long_ago = std::time(nullptr) - (max_age + 2) * day;
    {
        // Entries already stale when the store is attached.
        Handle h = attached(path, max_age);
        Probe db(path);
        db.put(long_ago);
        db.put(long_ago);
        db.exec("DELETE FROM srs_meta"); // as if never expired
    }
    Probe db(path);
    Handle h = attached(path, max_age);
    EXPECT_EQ(db.rows(), 2) << "attach must not expire";
    // The first insert of the day takes them away...
    const std::string fresh = id_of(forward(h.get(), "fresh@x").text);
    EXPECT_EQ(db.rows(), 1);
    EXPECT_EQ(db.address_of(fresh), "fresh@x");
    EXPECT_EQ(db.value("SELECT value FROM srs_meta WHERE key = 'expired'"),
              std::to_string(std::time(nullptr) / day));
    // ... and the day's expiry is done: later inserts leave stale entries
    // alone, also in another process.
    const std::string stale = db.put(long_ago);
    forward(h.get(), "later@x");
    EXPECT_EQ(db.rows(), 3);
    Handle other = attached(path, max_age);
    forward(other.get(), "other@x");
    EXPECT_EQ(db.rows(), 4);
    // srs_sqlite_expire runs whenever it is called.
    EXPECT_EQ(srs_sqlite_expire(h.get()), SRS_OK);
    EXPECT_EQ(db.rows(), 3);
    EXPECT_EQ(db.address_of(stale), "<none>");
    EXPECT_EQ(db.address_of(fresh), "fresh@x");
}

TEST_F(SqliteStore, ExpireErrors) {
    Handle h = open_handle();
    EXPECT_EQ(srs_sqlite_expire(nullptr), SRS_BAD_HANDLE);
    EXPECT_EQ(srs_sqlite_expire(h.get()), SRS_DB_NOT_IN_USE);
    ASSERT_EQ(srs_sqlite_attach(h.get(), path.c_str()), SRS_OK);
    ASSERT_EQ(forward(h.get(), "a@x").rc, SRS_OK); // the process's connection is open
    Probe(path).exec("DROP TABLE srs_senders");
    EXPECT_EQ(srs_sqlite_expire(h.get()), SRS_DB_ERROR);
    EXPECT_NE(std::string(srs_sqlite_last_error(h.get())).find("srs_senders"), std::string::npos)
        << srs_sqlite_last_error(h.get());
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
