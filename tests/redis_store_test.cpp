// The Redis store of database mode against real redis-server processes that
// each test starts in a folder of its own (tests/redis_server.h), used
// through the library's forward and reverse rewriting and checked through a
// connection of the test's own. Without redis-server the tests skip; under
// CI (CI=true) they fail instead.
#include "srs_redis.h"
#include "srs_redis_testing.h"

#include "redis_server.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <ctime>
#include <fstream>
#include <memory>
#include <set>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

using redis_test::command;
using redis_test::Reply;

constexpr char fill = '#';
constexpr std::string_view alias = "fwd.example";
constexpr std::int64_t day = 86400;

// Detaches (when attached) and closes.
struct HandleCloser {
    void operator()(srs_handle *h) const {
        srs_redis_detach(h);
        srs_close(h);
    }
};
using Handle = std::unique_ptr<srs_handle, HandleCloser>;

Handle open_handle(uint32_t max_age = 0) {
    return Handle(srs_open("secret", 6, max_age, 0, 0));
}

struct Outcome {
    int rc;
    std::string text; // the result on success
    bool untouched;   // every byte of the buffer as it was
};

Outcome run(int rc, const std::vector<char> &buf) {
    Outcome o{rc, {}, true};
    for (const char c : buf)
        if (c != fill) o.untouched = false;
    if (!SRS_IS_ERROR(rc)) o.text = buf.data();
    return o;
}

Outcome forward(srs_handle *h, const std::string &sender) {
    std::vector<char> buf(512, fill);
    const int rc = srs_forward(h, sender.c_str(), std::string(alias).c_str(), buf.data(),
                               static_cast<uint32_t>(buf.size()));
    return run(rc, buf);
}

Outcome reverse(srs_handle *h, const std::string &address, std::size_t buffer_len = 512) {
    std::vector<char> buf(buffer_len, fill);
    const int rc = srs_reverse(h, address.c_str(), buf.data(), static_cast<uint32_t>(buffer_len));
    return run(rc, buf);
}

// The identifier of a rewritten address: whatever follows the last '=' of
// the local part.
std::string id_of(const std::string &rewritten) {
    const std::string local = rewritten.substr(0, rewritten.rfind('@'));
    return local.substr(local.rfind('=') + 1);
}

bool safe_id(const std::string &id) {
    if (id.size() != SRS_REDIS_ID_LENGTH) return false;
    for (const char c : id)
        if (!((c >= 'a' && c <= 'z') || (c >= '2' && c <= '7'))) return false;
    return true;
}

std::string upper(std::string s) {
    for (char &c : s)
        if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
    return s;
}

// An address of the form the store makes, with the hash switched off: a
// valid stamp of today and the given identifier.
std::string unhashed_address(const std::string &id) {
    char stamp[2];
    srs_timestamp_create(std::time(nullptr), stamp);
    return "SRS0=" + std::string(stamp, 2) + "=" + id + "@" + std::string(alias);
}

std::string sender(int process, int n) {
    return "p" + std::to_string(process) + ".sender" + std::to_string(n) + "@Example.org";
}

// ---- Fixtures --------------------------------------------------------------

// A fresh redis-server for each test; a missing redis-server skips the test,
// or fails it under CI.
class RedisStore : public testing::Test {
  protected:
    explicit RedisStore(bool tcp = false, std::vector<std::string> extra = {})
        : server(tcp, std::move(extra)) {}

    void SetUp() override {
        if (redis_test::server_program().empty() && !redis_test::under_ci())
            GTEST_SKIP() << "redis-server is not installed (Debian package redis-server); "
                            "the Redis store is not tested";
        std::string why;
        ASSERT_TRUE(server.start(why)) << why;
    }

    Handle attached(const srs_redis_options *options = nullptr, uint32_t max_age = 0) {
        Handle h = open_handle(max_age);
        const int rc = srs_redis_attach(h.get(), server.socket().c_str(), options);
        EXPECT_EQ(rc, SRS_OK) << srs_redis_last_error(h.get());
        return h;
    }

    // What the server holds under a key ("<none>" for nothing).
    std::string stored(const std::string &key) {
        const auto client = server.client();
        const Reply r = command(client.get(), {"GET", key});
        if (r == nullptr) return "<no reply>";
        return r->type == REDIS_REPLY_STRING ? std::string(r->str, r->len) : "<none>";
    }

    long long ttl_of(const std::string &key) {
        const auto client = server.client();
        const Reply r = command(client.get(), {"TTL", key});
        return r != nullptr && r->type == REDIS_REPLY_INTEGER ? r->integer : -100;
    }

    redis_test::Server server;
};

// ---- Round trips -----------------------------------------------------------

TEST_F(RedisStore, RoundTripWithEveryOptionAndLetterCase) {
    // 256 characters, the longest address the library reads.
    const std::string longest = std::string(64, 'l') + "@" + std::string(191, 'd');
    const std::string senders[] = {"Jane.Doe@Example.ORG", "first+tag=x@b.example",
                                   "we\\ird@c.example", longest};
    struct Options {
        int timestamp;
        int hash;
    };
    Handle h = attached();
    for (const Options o : {Options{1, 1}, Options{0, 1}, Options{1, 0}, Options{0, 0}}) {
        srs_set_option(h.get(), SRS_OPT_TIMESTAMP, o.timestamp);
        srs_set_option(h.get(), SRS_OPT_HASH, o.hash);
        for (const std::string &s : senders) {
            SCOPED_TRACE(s.substr(0, 30) + " timestamp " + std::to_string(o.timestamp) +
                         " hash " + std::to_string(o.hash));
            const Outcome fwd = forward(h.get(), s);
            ASSERT_EQ(fwd.rc, SRS_OK) << srs_redis_last_error(h.get());
            const std::string id = id_of(fwd.text);
            EXPECT_TRUE(safe_id(id)) << fwd.text;
            EXPECT_EQ(stored("srs:" + id), s);

            const Outcome back = reverse(h.get(), fwd.text);
            EXPECT_EQ(back.rc, SRS_OK);
            EXPECT_EQ(back.text, s);

            // A mail system on the way back folded the address to capitals:
            // the identifier is still found; the library reports a hash that
            // only matched with case ignored.
            const std::string hash = o.hash != 0 ? fwd.text.substr(5, 6) : "";
            const Outcome folded = reverse(h.get(), upper(fwd.text));
            EXPECT_EQ(folded.rc, upper(hash) == hash ? SRS_OK : SRS_CASE_BROKEN) << fwd.text;
            EXPECT_EQ(folded.text, s);
        }
    }
}

TEST_F(RedisStore, KeyPrefixSeparatesStores) {
    struct Case {
        const char *prefix;
        std::string key_prefix;
    };
    const Case cases[] = {{nullptr, "srs:"}, {"", "srs:"}, {"mail-a", "mail-a:"},
                          {"x:y", "x:y:"}};
    std::vector<std::pair<Handle, std::string>> made; // handle, address it forwarded
    for (const Case &c : cases) {
        SCOPED_TRACE(c.key_prefix);
        srs_redis_options options{c.prefix, nullptr, 0};
        Handle h = attached(&options);
        const Outcome fwd = forward(h.get(), "alice@example.org");
        ASSERT_EQ(fwd.rc, SRS_OK);
        EXPECT_EQ(stored(c.key_prefix + id_of(fwd.text)), "alice@example.org");
        made.emplace_back(std::move(h), fwd.text);
    }
    // A store with another prefix does not find the entry.
    EXPECT_EQ(reverse(made[2].first.get(), made[0].second).rc, SRS_DB_LOOKUP_FAILED);
    EXPECT_EQ(reverse(made[1].first.get(), made[0].second).rc, SRS_OK);
    EXPECT_EQ(reverse(made[3].first.get(), made[2].second).rc, SRS_DB_LOOKUP_FAILED);
}

TEST_F(RedisStore, LookupResults) {
    Handle h = attached();
    srs_set_option(h.get(), SRS_OPT_HASH, 0); // addresses made up by the test
    const Outcome fwd = forward(h.get(), "bob@example.org");
    ASSERT_EQ(fwd.rc, SRS_OK);

    // The server's error reply for a key of another type, kept as the text.
    const auto client = server.client();
    command(client.get(), {"RPUSH", "srs:listlistlist2", "x"});

    struct Case {
        std::string address;
        std::size_t buffer_len;
        int rc;
        std::string text;
    };
    const std::size_t room = std::string("bob@example.org").size() + 1;
    const Case cases[] = {
        {fwd.text, room, SRS_OK, "bob@example.org"},
        {fwd.text, room - 1, SRS_BUFFER_TOO_SMALL, ""},
        {unhashed_address("aaaaaaaaaaaaa"), 512, SRS_DB_LOOKUP_FAILED, ""}, // never stored
        {unhashed_address("notanidentifier"), 512, SRS_DB_LOOKUP_FAILED, ""}, // not ours
        {unhashed_address("listlistlist2"), 512, SRS_DB_ERROR, ""},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.address + " in " + std::to_string(c.buffer_len));
        const Outcome o = reverse(h.get(), c.address, c.buffer_len);
        EXPECT_EQ(o.rc, c.rc);
        if (SRS_IS_ERROR(c.rc)) {
            EXPECT_TRUE(o.untouched);
        }
        EXPECT_EQ(o.text, c.text);
    }
    EXPECT_NE(std::string(srs_redis_last_error(h.get())).find("WRONGTYPE"), std::string::npos)
        << srs_redis_last_error(h.get());
}

// ---- Expiry ----------------------------------------------------------------

// An entry lives (max_age + 1) days plus the margin: through the last second
// in which the library still accepts a stamp made now, measured with the
// library's own check.
TEST_F(RedisStore, TtlCoversTheWholeWindowOfTheStamp) {
    struct Case {
        uint32_t at_open;  // max_age given to srs_open (0: 31)
        uint32_t later;    // set on the handle after attach (0: left)
        uint32_t max_age;  // what counts
    };
    const Case cases[] = {{0, 0, 31}, {1, 0, 1}, {7, 0, 7}, {100, 0, 100}, {31, 3, 3}};
    for (const Case &c : cases) {
        SCOPED_TRACE("max_age " + std::to_string(c.max_age));
        Handle h = attached(nullptr, c.at_open);
        if (c.later != 0) h->max_age = c.later;
        const std::time_t now = std::time(nullptr);
        const Outcome fwd = forward(h.get(), "carol@example.org");
        ASSERT_EQ(fwd.rc, SRS_OK);
        const long long ttl = ttl_of("srs:" + id_of(fwd.text));
        const long long expected = (c.max_age + 1LL) * day + SRS_REDIS_TTL_MARGIN;
        EXPECT_LE(ttl, expected);
        EXPECT_GE(ttl, expected - 5);

        // The first second the library refuses the stamp made now.
        char stamp[2];
        srs_timestamp_create(now, stamp);
        const std::time_t refused = (now / day + c.max_age + 1) * day;
        EXPECT_EQ(srs_timestamp_check(h.get(), stamp, refused - 1), SRS_OK);
        EXPECT_NE(srs_timestamp_check(h.get(), stamp, refused), SRS_OK);
        EXPECT_GE(now + ttl, refused + SRS_REDIS_TTL_MARGIN - 5);
    }
}

// ---- Identifiers -----------------------------------------------------------

// The random source, replaced for one test: each draw gives the next value,
// the last one over and over.
std::vector<std::uint64_t> draws;
std::size_t drawn = 0;
bool scripted(std::uint64_t &bits) {
    bits = draws[std::min(drawn++, draws.size() - 1)];
    return true;
}
struct ScriptedRandom {
    explicit ScriptedRandom(std::vector<std::uint64_t> values) {
        draws = std::move(values);
        drawn = 0;
        srs_redis_testing::set_random_source(scripted);
    }
    ~ScriptedRandom() { srs_redis_testing::set_random_source(nullptr); }
};

TEST_F(RedisStore, TakenIdentifierIsDrawnAgainAndNeverOverwritten) {
    Handle h = attached();
    const ScriptedRandom random({0x0123456789abcdefULL});
    const Outcome first = forward(h.get(), "first@example.org");
    ASSERT_EQ(first.rc, SRS_OK);
    const std::string taken = id_of(first.text);

    // Every draw gives the taken identifier: a few tries, then an error.
    drawn = 0;
    const Outcome clash = forward(h.get(), "second@example.org");
    EXPECT_EQ(clash.rc, SRS_DB_ERROR);
    EXPECT_TRUE(clash.untouched);
    EXPECT_GE(drawn, 2u);
    EXPECT_NE(std::string(srs_redis_last_error(h.get())), "");
    EXPECT_EQ(stored("srs:" + taken), "first@example.org");

    // The taken one first, then a free one.
    draws = {0x0123456789abcdefULL, 0xfedcba9876543210ULL};
    drawn = 0;
    const Outcome second = forward(h.get(), "second@example.org");
    ASSERT_EQ(second.rc, SRS_OK);
    EXPECT_EQ(drawn, 2u);
    EXPECT_NE(id_of(second.text), taken);
    EXPECT_EQ(reverse(h.get(), first.text).text, "first@example.org");
    EXPECT_EQ(reverse(h.get(), second.text).text, "second@example.org");
}

// ---- A server that fails ---------------------------------------------------

TEST_F(RedisStore, ServerStoppedAndStartedAgain) {
    Handle h = attached();
    const Outcome before = forward(h.get(), "dave@example.org"); // the connection is open
    ASSERT_EQ(before.rc, SRS_OK);
    EXPECT_STREQ(srs_redis_last_error(h.get()), "");

    server.stop();
    for (int i = 0; i < 3; ++i) {
        const Outcome down = forward(h.get(), "erin@example.org");
        EXPECT_EQ(down.rc, SRS_DB_ERROR);
        EXPECT_TRUE(down.untouched);
        EXPECT_NE(std::string(srs_redis_last_error(h.get())), "");
        // A store that cannot answer is never an unknown identifier.
        EXPECT_EQ(reverse(h.get(), before.text).rc, SRS_DB_ERROR);
    }

    std::string why;
    ASSERT_TRUE(server.start(why)) << why; // empty: nothing was saved
    const Outcome after = forward(h.get(), "frank@example.org");
    ASSERT_EQ(after.rc, SRS_OK) << srs_redis_last_error(h.get());
    EXPECT_EQ(reverse(h.get(), after.text).text, "frank@example.org");

    // Restarted between two calls: the kept connection is found lost, a new
    // one made and the command sent again, unnoticed by the caller.
    server.stop();
    ASSERT_TRUE(server.start(why)) << why;
    const Outcome again = forward(h.get(), "grace@example.org");
    ASSERT_EQ(again.rc, SRS_OK) << srs_redis_last_error(h.get());
    server.stop();
    ASSERT_TRUE(server.start(why)) << why;
    EXPECT_EQ(reverse(h.get(), again.text).rc, SRS_DB_LOOKUP_FAILED); // lost with the restart
}

// A stopped (SIGSTOP) server: the call fails after the timeout, not later,
// and the late reply never answers a later command.
TEST_F(RedisStore, StalledServerCostsOneTimeout) {
    constexpr int timeout_ms = 300;
    // Generous: a shared machine may be slow to schedule the test.
    constexpr auto bound = std::chrono::milliseconds(timeout_ms + 2000);
    srs_redis_options options{nullptr, nullptr, timeout_ms};
    Handle h = attached(&options);
    const Outcome a = forward(h.get(), "heidi@example.org");
    ASSERT_EQ(a.rc, SRS_OK);

    server.pause();
    struct Resume {
        const redis_test::Server &s;
        ~Resume() { s.resume(); }
    } resume{server};
    for (const bool forwarding : {false, true}) {
        const auto start = std::chrono::steady_clock::now();
        const int rc = forwarding ? forward(h.get(), "ivan@example.org").rc
                                  : reverse(h.get(), a.text).rc;
        const auto took = std::chrono::steady_clock::now() - start;
        EXPECT_EQ(rc, SRS_DB_ERROR);
        EXPECT_LT(took, bound);
        EXPECT_NE(std::string(srs_redis_last_error(h.get())).find("no answer within 300 ms"),
                  std::string::npos)
            << srs_redis_last_error(h.get());
    }

    server.resume(); // it now answers the GET and the SET it was sent
    const Outcome b = forward(h.get(), "judy@example.org");
    ASSERT_EQ(b.rc, SRS_OK);
    EXPECT_EQ(reverse(h.get(), b.text).text, "judy@example.org");
    EXPECT_EQ(reverse(h.get(), a.text).text, "heidi@example.org");
}

// ---- Processes and threads -------------------------------------------------

// Forwards count senders of one process and reverses each at once; writes
// every rewritten address to out (when given). Returns the number of wrong
// results.
int forward_and_check(srs_handle *h, int process, int count, std::ofstream *out) {
    int wrong = 0;
    for (int n = 0; n < count; ++n) {
        const std::string s = sender(process, n);
        const Outcome fwd = forward(h, s);
        const Outcome back = fwd.rc == SRS_OK ? reverse(h, fwd.text) : fwd;
        if (back.rc != SRS_OK || back.text != s) ++wrong;
        if (out != nullptr && fwd.rc == SRS_OK) *out << process << ' ' << n << ' ' << fwd.text << '\n';
    }
    return wrong;
}

// A handle attached and used before fork, then used by 8 children and the
// parent at once: each process on its own connection, so no process ever
// gets another's reply; every entry is found afterwards.
TEST_F(RedisStore, ForkedProcessesUseConnectionsOfTheirOwn) {
    constexpr int children = 8;
    constexpr int per_process = 200;
    Handle h = attached();
    ASSERT_EQ(forward(h.get(), "parent@example.org").rc, SRS_OK); // opens the parent's connection

    std::vector<pid_t> pids;
    for (int c = 1; c <= children; ++c) {
        const pid_t pid = fork();
        ASSERT_GE(pid, 0);
        if (pid == 0) {
            std::ofstream out(server.file("child" + std::to_string(c)));
            const int wrong = forward_and_check(h.get(), c, per_process, &out);
            out.close();
            _exit(wrong == 0 && out ? 0 : 1);
        }
        pids.push_back(pid);
    }
    EXPECT_EQ(forward_and_check(h.get(), 0, per_process, nullptr), 0);
    for (const pid_t pid : pids) {
        int status = 0;
        ASSERT_EQ(waitpid(pid, &status, 0), pid);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "child status " << status;
    }

    int found = 0;
    for (int c = 1; c <= children; ++c) {
        std::ifstream in(server.file("child" + std::to_string(c)));
        int process = 0;
        int n = 0;
        std::string address;
        while (in >> process >> n >> address) {
            EXPECT_EQ(reverse(h.get(), address).text, sender(process, n));
            ++found;
        }
    }
    EXPECT_EQ(found, children * per_process);
}

// Threads of one process share the handle and its one connection.
TEST_F(RedisStore, ThreadsShareOneConnection) {
    constexpr int threads = 4;
    Handle h = attached();
    std::atomic<int> wrong{0};
    std::vector<std::thread> workers;
    for (int t = 0; t < threads; ++t)
        workers.emplace_back([&, t] { wrong += forward_and_check(h.get(), t, 300, nullptr); });
    for (auto &w : workers)
        w.join();
    EXPECT_EQ(wrong.load(), 0);

    const auto client = server.client();
    const Reply info = command(client.get(), {"INFO", "clients"});
    ASSERT_NE(info, nullptr);
    EXPECT_NE(std::string(info->str, info->len).find("connected_clients:2\r"), std::string::npos)
        << info->str; // the store's and the test's
}

// A process whose threads are inside the store when it forks: the children
// never wait on a lock a parent's thread held at the fork.
TEST_F(RedisStore, ForkWhileThreadsUseTheStore) {
#if defined(__SANITIZE_ADDRESS__)
    // GCC 12's AddressSanitizer does not take its allocator's locks around
    // fork: a child may hang in its first malloc (a parent's thread held the
    // lock), before it reaches the store.
    GTEST_SKIP() << "not under AddressSanitizer, whose allocator is not fork-safe here";
#endif
    constexpr int children = 20;
    Handle h = attached();
    std::atomic<bool> stop{false};
    std::atomic<int> wrong{0};
    std::vector<std::thread> workers;
    for (int t = 0; t < 3; ++t)
        workers.emplace_back([&, t] {
            while (!stop)
                wrong += forward_and_check(h.get(), 100 + t, 5, nullptr);
        });
    int hung_or_failed = 0;
    for (int c = 0; c < children; ++c) {
        const pid_t pid = fork();
        if (pid == 0) {
            alarm(10); // a hang ends the child by SIGALRM
            _exit(forward_and_check(h.get(), 200 + c, 2, nullptr) == 0 ? 0 : 1);
        }
        int status = 0;
        if (pid < 0 || waitpid(pid, &status, 0) != pid || !WIFEXITED(status) ||
            WEXITSTATUS(status) != 0)
            ++hung_or_failed;
    }
    stop = true;
    for (auto &w : workers)
        w.join();
    EXPECT_EQ(hung_or_failed, 0);
    EXPECT_EQ(wrong.load(), 0);
}

// ---- TCP and a password ----------------------------------------------------

constexpr const char *password = "s3cret password";

class RedisTcp : public RedisStore {
  protected:
    RedisTcp() : RedisStore(true, {"--requirepass", password}) {
        server.set_password(password);
    }

    std::string password_file(const std::string &name, const std::string &content) {
        const std::string path = server.file(name);
        std::ofstream(path) << content;
        return path;
    }
};

TEST_F(RedisTcp, PasswordFromAFile) {
    struct Case {
        std::string name;
        std::string content; // nullopt-like: "-" for a file that does not exist
        int rc;
        std::string reason; // part of srs_redis_last_error
    };
    const Case cases[] = {
        {"right", std::string(password) + "\n", SRS_OK, ""},
        {"first-line", std::string(password) + "\r\nsomething else\n", SRS_OK, ""},
        {"no-newline", password, SRS_OK, ""},
        {"wrong", "not the password\n", SRS_DB_ERROR, "AUTH"},
        {"empty", "\nnext line\n", SRS_BAD_PARAMETER, "empty"},
        {"missing", "-", SRS_BAD_PARAMETER, "No such file"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        const std::string path =
            c.content == "-" ? server.file("none") : password_file(c.name, c.content);
        srs_redis_options options{nullptr, path.c_str(), 0};
        Handle h = open_handle();
        EXPECT_EQ(srs_redis_attach(h.get(), server.tcp_address().c_str(), &options), c.rc);
        const std::string error = srs_redis_last_error(h.get());
        EXPECT_NE(error.find(c.reason), std::string::npos) << error;
        if (c.rc != SRS_OK) {
            EXPECT_EQ(h->use_database, 0u); // the handle as it was
            EXPECT_EQ(srs_get_db_context(h.get()), nullptr);
            continue;
        }
        EXPECT_EQ(error, "");
        const Outcome fwd = forward(h.get(), "kim@example.org");
        ASSERT_EQ(fwd.rc, SRS_OK) << srs_redis_last_error(h.get());
        EXPECT_EQ(reverse(h.get(), fwd.text).text, "kim@example.org");
    }

    // Without a password the server refuses the PING.
    Handle h = open_handle();
    EXPECT_EQ(srs_redis_attach(h.get(), server.tcp_address().c_str(), nullptr), SRS_DB_ERROR);
    EXPECT_NE(std::string(srs_redis_last_error(h.get())).find("NOAUTH"), std::string::npos)
        << srs_redis_last_error(h.get());
}

// ---- Attach and detach -----------------------------------------------------

// What attach makes of its arguments, with nothing listening anywhere: the
// forms it refuses, and the ones it tries to reach.
TEST(RedisAttach, ServerTextsAndOptions) {
    const std::string nothing = "127.0.0.1:" + std::to_string(redis_test::free_port());
    struct Case {
        const char *server;
        int timeout_ms;
        int rc;
    };
    const std::string long_path = "/" + std::string(120, 'p');
    const Case cases[] = {
        {nullptr, 0, SRS_BAD_PARAMETER},
        {"", 0, SRS_BAD_PARAMETER},
        {"localhost", 0, SRS_BAD_PARAMETER},
        {"localhost:", 0, SRS_BAD_PARAMETER},
        {":6379", 0, SRS_BAD_PARAMETER},
        {"localhost:0", 0, SRS_BAD_PARAMETER},
        {"localhost:65536", 0, SRS_BAD_PARAMETER},
        {"localhost:63x9", 0, SRS_BAD_PARAMETER},
        {"localhost:+6379", 0, SRS_BAD_PARAMETER},
        {"::1:6379", 0, SRS_BAD_PARAMETER},
        {"[::1]6379", 0, SRS_BAD_PARAMETER},
        {"[]:6379", 0, SRS_BAD_PARAMETER},
        {"relative/redis.sock", 0, SRS_BAD_PARAMETER},
        {long_path.c_str(), 0, SRS_BAD_PARAMETER},
        {nothing.c_str(), -1, SRS_BAD_PARAMETER},
        {nothing.c_str(), 0, SRS_DB_ERROR},
        {"[::1]:1", 0, SRS_DB_ERROR},
        {"/nonexistent/redis.sock", 200, SRS_DB_ERROR},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.server != nullptr ? c.server : "(null)");
        Handle h = open_handle();
        srs_redis_options options{nullptr, nullptr, c.timeout_ms};
        EXPECT_EQ(srs_redis_attach(h.get(), c.server, &options), c.rc);
        EXPECT_NE(std::string(srs_redis_last_error(h.get())), "");
        EXPECT_EQ(h->use_database, 0u);
        EXPECT_EQ(srs_get_db_context(h.get()), nullptr);
    }
    EXPECT_EQ(srs_redis_attach(nullptr, "/x", nullptr), SRS_BAD_HANDLE);
    EXPECT_STREQ(srs_redis_last_error(nullptr), "");
}

int foreign_insert(srs_handle *, const char *, int, char *, int) {
    return SRS_DB_ERROR;
}
int foreign_lookup(srs_handle *, const char *, int, char *, uint32_t) {
    return SRS_DB_ERROR;
}

TEST(RedisAttach, DetachOnlyItsOwnStore) {
    EXPECT_EQ(srs_redis_detach(nullptr), SRS_BAD_HANDLE);
    Handle h = open_handle();
    EXPECT_EQ(srs_redis_detach(h.get()), SRS_DB_NOT_IN_USE);
    EXPECT_STREQ(srs_redis_last_error(h.get()), "");

    // Another store's callbacks and context stay as they are.
    long other = 42;
    srs_set_db_functions(h.get(), foreign_insert, foreign_lookup);
    srs_set_db_context(h.get(), &other);
    EXPECT_EQ(srs_redis_detach(h.get()), SRS_DB_NOT_IN_USE);
    EXPECT_EQ(h->db_insert, foreign_insert);
    EXPECT_EQ(srs_get_db_context(h.get()), &other);
    EXPECT_STREQ(srs_redis_last_error(h.get()), "");
    srs_set_db_functions(h.get(), nullptr, nullptr);
    srs_set_db_context(h.get(), nullptr);
}

TEST_F(RedisStore, AttachAgainMovesToTheNewServer) {
    redis_test::Server second;
    std::string why;
    ASSERT_TRUE(second.start(why)) << why;
    Handle h = attached();
    const Outcome a = forward(h.get(), "leo@example.org");
    ASSERT_EQ(a.rc, SRS_OK);

    // A failed attach leaves the store in place, with its reason.
    EXPECT_EQ(srs_redis_attach(h.get(), "/nonexistent/redis.sock", nullptr), SRS_DB_ERROR);
    EXPECT_NE(std::string(srs_redis_last_error(h.get())).find("/nonexistent/redis.sock"),
              std::string::npos);
    EXPECT_EQ(reverse(h.get(), a.text).text, "leo@example.org");

    ASSERT_EQ(srs_redis_attach(h.get(), second.socket().c_str(), nullptr), SRS_OK);
    EXPECT_STREQ(srs_redis_last_error(h.get()), "");
    EXPECT_EQ(reverse(h.get(), a.text).rc, SRS_DB_LOOKUP_FAILED);
    const Outcome b = forward(h.get(), "mia@example.org");
    ASSERT_EQ(b.rc, SRS_OK);
    EXPECT_EQ(stored("srs:" + id_of(b.text)), "<none>");

    EXPECT_EQ(srs_redis_detach(h.get()), SRS_OK);
    EXPECT_EQ(h->use_database, 0u);
    EXPECT_EQ(srs_get_db_context(h.get()), nullptr);
    EXPECT_EQ(srs_redis_detach(h.get()), SRS_DB_NOT_IN_USE);
}

} // namespace
