// The program's database mode with the Redis store, against a real
// redis-server started by the test: one-shot runs, two daemons that share
// secrets and one Redis (as two forwarding hosts would) reversing each
// other's addresses over both protocols, and the server failing under a
// running daemon.
#include "oracle.h"
#include "process.h"
#include "redis_server.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using namespace std::chrono_literals;

// A started redis-server, or a skip (a failure under CI) saying why not.
#define START_REDIS(server)                                                                        \
    do {                                                                                           \
        std::string why;                                                                           \
        if (!(server).start(why)) {                                                                \
            if (redis_test::under_ci()) FAIL() << why;                                             \
            GTEST_SKIP() << why;                                                                   \
        }                                                                                          \
    } while (0)

// A daemon on two sockets of a private directory, killed at the end.
class Daemon {
  public:
    Daemon(const std::string &dir, const std::vector<std::string> &extra)
        : line_(dir + "/line"), map_(dir + "/map") {
        std::vector<std::string> args{"-d", "--socket=" + line_, "--socketmap=" + map_,
                                      "--alias=srs.example", "--pidfile=" + dir + "/pid"};
        args.insert(args.end(), extra.begin(), extra.end());
        start_ = process::run(args);
        if (start_.status == 0) pid_ = std::stoi(process::read_file(dir + "/pid"));
    }
    ~Daemon() {
        if (pid_ > 0) kill(pid_, SIGTERM);
    }
    Daemon(const Daemon &) = delete;
    Daemon &operator=(const Daemon &) = delete;
    pid_t pid() const { return pid_; }
    const process::Outcome &start() const { return start_; }
    std::string line(const std::string &request) const {
        const auto reply = peer::ask(line_, request);
        return reply ? reply->substr(0, reply->find('\n')) : "(no reply)";
    }
    std::string map(const std::string &request) const { return peer::socketmap_ask(map_, request); }

  private:
    std::string line_, map_;
    process::Outcome start_;
    pid_t pid_ = -1;
};

TEST(StoreRedisProgram, OneShotAndTwoDaemonsShareOneRedis) {
    redis_test::Server server;
    START_REDIS(server);
    const std::string store = "--store=redis:" + server.socket();

    // One-shot: forward here, reverse with another run of the program.
    const auto fwd = process::run({"--forward", "--secret=shared", "--alias=srs.example", store,
                                   "Alice@Orig.Example"});
    ASSERT_EQ(fwd.status, 255) << fwd.err;
    const std::string address = fwd.out.substr(0, fwd.out.find('\n'));
    ASSERT_EQ(address.rfind("SRS0=", 0), 0u) << address;
    EXPECT_EQ(address.size(), std::string("SRS0=HHHHHH=TT=@srs.example").size() + 13) << address;
    const auto back = process::run({"--reverse", "--secret=shared", store, address});
    EXPECT_EQ(back.out, "Alice@Orig.Example\n");

    // Two daemons, standing for two forwarding hosts: same secrets, one
    // Redis, each reverses what the other wrote.
    redis_test::TempDir a_dir, b_dir;
    Daemon a(a_dir.file(""), {"--secret=shared", store});
    Daemon b(b_dir.file(""), {"--secret=shared", store});
    ASSERT_GT(a.pid(), 0) << a.start().err;
    ASSERT_GT(b.pid(), 0) << b.start().err;
    const std::string by_a = a.line("forward bob@orig.example srs.example\n");
    const std::string by_b = b.map("forward carol@orig.example");
    ASSERT_EQ(by_b.rfind("OK SRS0=", 0), 0u) << by_b;
    EXPECT_EQ(b.line("reverse " + by_a + "\n"), "bob@orig.example");
    EXPECT_EQ(b.map("reverse " + by_a), "OK bob@orig.example");
    EXPECT_EQ(a.map("reverse " + by_b.substr(3)), "OK carol@orig.example");
    EXPECT_EQ(a.line("reverse " + address + "\n"), "Alice@Orig.Example");

    // The server goes away under the running daemons: the mail waits
    // (TEMP), the line protocol answers the store's error; once the server
    // is back, both serve again without a restart.
    server.stop();
    EXPECT_EQ(a.map("forward dave@orig.example"), "TEMP An error occurred querying database");
    EXPECT_EQ(b.map("reverse " + by_a), "TEMP An error occurred querying database");
    EXPECT_EQ(a.line("forward dave@orig.example srs.example\n"),
              "ERROR: Address 'dave@orig.example' failed - An error occurred querying database");
    std::string why;
    ASSERT_TRUE(server.start(why)) << why;
    // The data lived in memory only here (persistence off): what was made
    // before is gone, which is why the server needs appendonly (docs/stores.md).
    const std::string again = a.map("forward erin@orig.example");
    ASSERT_EQ(again.rfind("OK SRS0=", 0), 0u) << again;
    EXPECT_EQ(b.map("reverse " + again.substr(3)), "OK erin@orig.example");
}

TEST(StoreRedisProgram, AnUnreachableRedisIsAStartUpError) {
    redis_test::TempDir dir;
    const auto o = process::run({"-d", "--socket=" + dir.file("sock"), "--secret=s",
                                 "--store=redis:" + dir.file("no-redis.sock")});
    EXPECT_EQ(o.status, 1);
    EXPECT_EQ(o.out, "");
    EXPECT_EQ(o.err.rfind("ERROR: Could not open store 'redis:" + dir.file("no-redis.sock") +
                              "': An error occurred querying database: ",
                          0),
              0u)
        << o.err;
    EXPECT_FALSE(std::filesystem::exists(dir.file("sock")));
}

} // namespace
