// The program's database mode with the SQLite store, run as a separate
// process: --store= in one-shot runs and in the daemon (line protocol and
// socketmap), a store that cannot be opened at start-up, and one that
// fails while the daemon runs. Expected addresses come from OpenSSL.
#include "oracle.h"
#include "process.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <pwd.h>
#include <sys/stat.h>
#include <fstream>
#include <string>
#include <vector>

namespace {

using namespace std::chrono_literals;
using Args = std::vector<std::string>;

class TempDir {
  public:
    TempDir() {
        char name[] = "/tmp/srs-store-XXXXXX";
        path_ = mkdtemp(name);
    }
    ~TempDir() {
        std::error_code ignored;
        std::filesystem::remove_all(path_, ignored);
    }
    TempDir(const TempDir &) = delete;
    TempDir &operator=(const TempDir &) = delete;
    std::string file(const std::string &name) const { return path_ + "/" + name; }

  private:
    std::string path_;
};

// An SRS0 address of database mode: the hash covers the stamp and the
// identifier, lower-cased.
bool database_address(const std::string &address, const std::string &secret,
                      const std::string &alias) {
    // SRS0=HHHHHH=TT=ID@alias
    if (address.rfind("SRS0=", 0) != 0 || address.size() < 16) return false;
    const std::string hash = address.substr(5, 6);
    const std::string stamp = address.substr(12, 2);
    const auto at = address.find('@');
    const std::string id = address.substr(15, at - 15);
    return address[11] == '=' && address[14] == '=' && id.size() == 13 &&
           address.substr(at + 1) == alias &&
           oracle::hash_text(secret, oracle::lower(stamp + id)).substr(0, 6) == hash;
}

std::string one_line(const process::Outcome &o) {
    return o.out.empty() ? "" : o.out.substr(0, o.out.find('\n'));
}

TEST(StoreProgram, OneShotForwardAndReverseKeepSendersInTheStore) {
    TempDir dir;
    const std::string store = "--store=sqlite:" + dir.file("senders.db");
    const auto fwd = process::run({"--forward", "--secret=s3cret", "--alias=fwd.example", store,
                                   "Alice.Long.Local.Part@Example.ORG"});
    EXPECT_EQ(fwd.status, 255);
    const std::string address = one_line(fwd);
    EXPECT_TRUE(database_address(address, "s3cret", "fwd.example")) << address;

    struct Case {
        Args args;
        std::string out;
    };
    const std::string other = "--store=sqlite:" + dir.file("other.db");
    const Case cases[] = {
        {{"--reverse", "--secret=s3cret", store, address}, "Alice.Long.Local.Part@Example.ORG\n"},
        // With the older secret first, as after a rotation: the second one finds it.
        {{"--reverse", "--secret=newer", "--secret=s3cret", store, address},
         "Alice.Long.Local.Part@Example.ORG\n"},
        {{"--reverse", "--secret=s3cret", other, address},
         "ERROR: Could not validate address '" + address + "' - Database ID lookup failed\n"},
    };
    for (const Case &c : cases) {
        const auto o = process::run(c.args);
        EXPECT_EQ(o.out, c.out);
        EXPECT_EQ(o.err, "");
        EXPECT_EQ(o.status, 255);
    }
}

TEST(StoreProgram, AStoreThatCannotBeOpenedIsAStartUpError) {
    TempDir dir;
    std::ofstream(dir.file("not-a-database")) << std::string(4096, 'x');
    struct Case {
        Args args;
        std::string err_start;
    };
    const Case cases[] = {
        {{"--reverse", "--secret=s", "--store=sqlite:" + dir.file("missing/x.db")},
         "ERROR: Could not open store 'sqlite:" + dir.file("missing/x.db") +
             "': An error occurred querying database: unable to open database file"},
        {{"-d", "--socket=" + dir.file("sock"), "--secret=s",
          "--store=sqlite:" + dir.file("not-a-database")},
         "ERROR: Could not open store 'sqlite:" + dir.file("not-a-database") +
             "': Database damaged, or not a store of srs"},
        {{"--forward", "--alias=a", "--secret=s", "--store=mysql:x"},
         "ERROR: Invalid store 'mysql:x': use sqlite:PATH, redis:/PATH or redis:HOST:PORT\n\n"},
        {{"--forward", "--alias=a", "--secret=s", "--store=redis:host"},
         "ERROR: Invalid store 'redis:host'"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.args[0]);
        const auto o = process::run(c.args);
        EXPECT_EQ(o.status, 1);
        EXPECT_EQ(o.out, "");
        EXPECT_EQ(o.err.rfind(c.err_start, 0), 0u) << o.err;
    }
    EXPECT_FALSE(std::filesystem::exists(dir.file("sock")));
}

TEST(StoreProgram, DaemonServesBothProtocolsFromTheStoreAndSurvivesItsFailure) {
    TempDir dir;
    const std::string db = dir.file("senders.db"), line = dir.file("line"),
                      map = dir.file("map"), pid_file = dir.file("pid");
    const auto start = process::run({"-d", "--socket=" + line, "--socketmap=" + map,
                                     "--alias=srs.example", "--secret=s3cret",
                                     "--store=sqlite:" + db, "--pidfile=" + pid_file});
    ASSERT_EQ(start.status, 0) << start.out << start.err;
    const pid_t pid = std::stoi(process::read_file(pid_file));

    auto line_forward = [&](const std::string &sender) {
        const auto reply = peer::ask(line, "forward " + sender + " srs.example\n");
        return reply ? reply->substr(0, reply->find('\n')) : "(no reply)";
    };
    const std::string by_line = line_forward("a@orig.example");
    EXPECT_TRUE(database_address(by_line, "s3cret", "srs.example")) << by_line;
    const std::string by_map = peer::socketmap_ask(map, "forward b@orig.example");
    ASSERT_EQ(by_map.rfind("OK ", 0), 0u) << by_map;
    EXPECT_TRUE(database_address(by_map.substr(3), "s3cret", "srs.example")) << by_map;
    // Each protocol reverses what the other made: one store.
    EXPECT_EQ(peer::ask(line, "reverse " + by_map.substr(3) + "\n"), "b@orig.example\n");
    EXPECT_EQ(peer::socketmap_ask(map, "reverse " + by_line), "OK a@orig.example");

    // The store fails while the daemon runs: its file is replaced by
    // something that is no database. Each request fails with the store's
    // error, socketmap answers TEMP (the mail waits), and the daemon serves
    // on.
    std::filesystem::remove(db);
    std::filesystem::remove(db + "-wal");
    std::filesystem::remove(db + "-shm");
    std::ofstream(db) << std::string(8192, 'x');
    const std::string damaged = "Database damaged, or not a store of srs";
    EXPECT_EQ(line_forward("c@orig.example"), "ERROR: Address 'c@orig.example' failed - " + damaged);
    EXPECT_EQ(peer::socketmap_ask(map, "forward c@orig.example"), "TEMP " + damaged);
    EXPECT_EQ(peer::socketmap_ask(map, "reverse " + by_line), "TEMP " + damaged);

    // Once the file is gone, the next connection makes a new one.
    std::filesystem::remove(db);
    const std::string again = peer::socketmap_ask(map, "forward d@orig.example");
    EXPECT_EQ(again.rfind("OK SRS0=", 0), 0u) << again;
    EXPECT_EQ(peer::socketmap_ask(map, "reverse " + again.substr(3)), "OK d@orig.example");
    // SIGHUP opens the store again with the new handles.
    kill(pid, SIGHUP);
    std::this_thread::sleep_for(200ms);
    EXPECT_EQ(peer::socketmap_ask(map, "reverse " + again.substr(3)), "OK d@orig.example");
    kill(pid, SIGTERM);
}

// A daemon that switches user opens its store as that user: the file is
// the user's, and a folder the user cannot write fails the start.
TEST(StoreProgram, ADaemonRunAsAUserOpensItsStoreAsThatUser) {
    if (geteuid() != 0) {
        if (std::getenv("CI") != nullptr) FAIL() << "CI runs the tests as root; this one needs it";
        GTEST_SKIP() << "needs root (the daemon switches to 'nobody')";
    }
    const passwd *nobody = getpwnam("nobody");
    ASSERT_NE(nobody, nullptr);
    TempDir dir, theirs;
    chmod(dir.file("").c_str(), 0755);
    ASSERT_EQ(chown(theirs.file("").c_str(), nobody->pw_uid, nobody->pw_gid), 0);
    const std::string map = dir.file("map"), pid_file = dir.file("pid");
    const std::string db = theirs.file("senders.db");
    const auto start = process::run({"-d", "--socketmap=" + map, "--alias=srs.example",
                                     "--secret=s3cret", "--user=nobody", "--store=sqlite:" + db,
                                     "--pidfile=" + pid_file});
    ASSERT_EQ(start.status, 0) << start.out << start.err;
    const pid_t pid = std::stoi(process::read_file(pid_file));
    const std::string fwd = peer::socketmap_ask(map, "forward a@orig.example");
    EXPECT_EQ(fwd.rfind("OK SRS0=", 0), 0u) << fwd;
    EXPECT_EQ(peer::socketmap_ask(map, "reverse " + fwd.substr(3)), "OK a@orig.example");
    struct stat st {};
    ASSERT_EQ(stat(db.c_str(), &st), 0);
    EXPECT_EQ(st.st_uid, nobody->pw_uid);
    kill(pid, SIGTERM);

    // root's folder: nobody cannot make the file there.
    const auto refused = process::run({"-d", "--socketmap=" + dir.file("map2"), "--alias=srs.example",
                                       "--secret=s3cret", "--user=nobody",
                                       "--store=sqlite:" + dir.file("x.db")});
    EXPECT_EQ(refused.status, 1);
    EXPECT_NE(refused.out.find("ERROR: Could not open store"), std::string::npos) << refused.out;
    EXPECT_NE(refused.err.find("as user 'nobody'"), std::string::npos) << refused.err;
    EXPECT_FALSE(std::filesystem::exists(dir.file("map2")));
}

} // namespace
