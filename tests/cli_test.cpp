// The program srs on its command line, run as a separate process: option
// matching and its messages, the usage text, secrets files, and the
// forward/reverse pass over the addresses. Expected rewritten addresses are
// built with OpenSSL (oracle.h), never with the library under test.
#include "oracle.h"
#include "process.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <sys/stat.h>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

namespace {

using namespace std::string_literals;
using Args = std::vector<std::string>;

const std::string no_secret = "ERROR: No secret specified\n\n";
const std::string no_alias = "ERROR: You must specify an alias\n\n";
const std::string no_action = "ERROR: You must specify one of forward, reverse or d\n\n";
const std::string exclusive = "ERROR: reverse, forward and d flags are mutually exclusive\n\n";
const std::string bad_hash_length = "ERROR: Invalid hash length\n\n";
const std::string init_failed = "ERROR: SRS initialisation failed\n\n";
const std::string socket_first = "ERROR: socket must come after d\n\n";

const std::string msg_param = "One of the parameters passed was invalid";
const std::string msg_syntax = "The SRS syntax was faulty";
const std::string msg_not_srs = "Address is not a SRS address";
const std::string msg_forged = "Hash verification failed (forged)";
const std::string msg_stamp_chars = "Time stamp contained bad characters";
const std::string msg_expired = "Time stamp expired";
const std::string msg_too_long =
    "Address was too long (either a given address or the processed return data)";
const std::string msg_too_small = "Return buffer is too small for data";

std::string unknown(const std::string &arg) {
    return "ERROR: Unknown flag '" + arg + "'\n\n";
}

std::string forward_error(const std::string &address, const std::string &message) {
    return "ERROR: Address '" + address + "' failed - " + message + "\n";
}

std::string reverse_error(const std::string &address, const std::string &message) {
    return "ERROR: Could not validate address '" + address + "' - " + message + "\n";
}

std::string row(const std::string &option, const std::string &text) {
    return "        " + option + std::string(17 - option.size(), ' ') + text + "\n";
}

// The options added since the original usage text, in a block of their own
// after it, laid out in the same columns.
std::string more_options() {
    return "    More options (all but --version only after -d)\n" +
           row("--version", "Print the version of srs") +
           row("--user=", "Run the daemon as this user, once its socket is bound") +
           row("--pidfile=", "Write the daemon's process id to this file") +
           row("--maxchildren=", "Most connection processes at once (default 256)") +
           row("--syslog=", "Log socket of the system logger (default /dev/log)") +
           row("--verbose", "Log every successful rewrite as well") +
           row("--socketmap=", "Serve Postfix's socketmap protocol on this socket") +
           row("--exclude=", "Socketmap: leave senders of this domain alone") +
           row("--store=", "Database mode: sqlite:PATH, redis:/PATH or redis:HOST:PORT") +
           row("--storeauth=", "Redis store: file whose first line is the password") +
           "\n";
}

// Everything of the usage text after its banner line: the original text,
// unchanged, then the block of the newer options.
std::string usage_after_banner() {
    return "\n"
           "Syntax: srs <flags> <address>+\n"
           "\n"
           "    Actions\n" +
           row("-d", "Run daemon") + row("--forward", "Perform SRS forward on address") +
           row("--reverse", "Perform SRS reverse on address") +
           "\n"
           "    Options\n" +
           row("--address=", "Different way of specifying addresses to process") +
           row("--alias=", "Alias domain (or address) for SRS forward") +
           row("--hashlength=", "Characters in hash length") + row("--help", "Display this help") +
           row("--secret=", "SRS secret") + row("--secretfile=", "Read file for SRS secret(s)") +
           row("--separator=", "SRS separator, must be + - or =") +
           row("--socket=", "Specify SRS socket for daemon") +
           "\n"
           "Multiple secrets and addresses supported, can also use - instead of --\n"
           "\n" +
           more_options();
}

void expect_usage(const process::Outcome &o) {
    EXPECT_EQ(o.status, 0);
    EXPECT_EQ(o.err, "");
    const auto end = o.out.find('\n');
    ASSERT_NE(end, std::string::npos);
    EXPECT_GT(end, 0u) << "the banner line is empty";
    EXPECT_EQ(o.out.substr(end + 1), usage_after_banner());
}

// SRS0 address of local@domain under the secret's first 32 characters.
std::string srs0(const std::string &secret, const std::string &stamp, const std::string &local,
                 const std::string &domain, const std::string &alias, std::size_t hash_chars = 6,
                 char separator = '=') {
    const std::string hash =
        oracle::hash_text(secret.substr(0, 32), oracle::lower(stamp + domain + local))
            .substr(0, hash_chars);
    return "SRS0"s + separator + hash + "=" + stamp + "=" + domain + "=" + local + "@" + alias;
}

// An address made today with the secret, for reversing.
std::string made_with(const std::string &secret, const std::string &local = "alice",
                      const std::string &domain = "example.org") {
    return srs0(secret, oracle::stamp_days_ago(0), local, domain, "fwd.example");
}

// Runs a forward command line; the outcome with the day stamp it used.
std::pair<process::Outcome, std::string> run_forward(const Args &args) {
    return oracle::on_one_day([&] { return process::run(args); });
}

// Standard output of an address pass, which must end with status 255 and
// say nothing on standard error.
std::string pass_output(const Args &args) {
    const auto o = process::run(args);
    EXPECT_EQ(o.status, 255);
    EXPECT_EQ(o.err, "");
    return o.out;
}

TEST(CliUsage, HelpPrintsTheWholeText) {
    expect_usage(process::run({"--help"}));
}

TEST(CliOptions, OutcomeOfCommandLines) {
    const std::string long_address = "u@" + std::string(247, 'd') + ".org"; // 253 characters
    struct Case {
        Args args;
        bool usage; // the usage text on stdout, status 0
        std::string out, err;
        int status;
    };
    const Case cases[] = {
        // Nothing at all: only the missing secret, no usage text.
        {{}, false, "", no_secret, 1},
        // Help with one or two dashes, any case; nothing after it is examined.
        {{"--help"}, true, "", "", 0},
        {{"-help"}, true, "", "", 0},
        {{"--HeLp"}, true, "", "", 0},
        {{"--help", "--bogus"}, true, "", "", 0},
        {{"--help", "--forward", "--reverse"}, true, "", "", 0},
        {{"--help", "--socket=/nowhere"}, true, "", "", 0},
        {{"--help", "--hashlength=0"}, true, "", "", 0},
        // Errors are found in argument order, before a later --help.
        {{"--bogus", "--help"}, false, "", unknown("--bogus"), 1},
        {{"--forward", "--reverse", "--help"}, false, "", exclusive, 1},
        {{"--hashlength=0", "--help"}, false, "", bad_hash_length, 1},
        {{"--separator=:", "--help"}, false, "", "ERROR: Invalid separtor ':'\n\n", 1},
        {{"--socket=/nowhere", "--help"}, false, "", socket_first, 1},
        {{"--bogus", "--secretfile=/nonexistent-srs-dir/secrets"},
         false,
         "",
         unknown("--bogus"),
         1},
        // Unknown names: three dashes, lone dashes, a value on an exact name,
        // a prefix name without its '='.
        {{"---forward", "--secret=s"}, false, "", unknown("---forward"), 1},
        {{"-", "--secret=s"}, false, "", unknown("-"), 1},
        {{"--", "--secret=s"}, false, "", unknown("--"), 1},
        {{"--secret=s", "--forward=x"}, false, "", unknown("--forward=x"), 1},
        {{"--secret=s", "--address"}, false, "", unknown("--address"), 1},
        {{"--secret=s", "--reverse", "-dd"}, false, "", unknown("-dd"), 1},
        {{"--secret=s", "--reverse", "-daemon"}, false, "", unknown("-daemon"), 1},
        // Actions: one at most, in any spelling.
        {{"--forward", "--forward"}, false, "", exclusive, 1},
        {{"--reverse", "--secret=s", "-REVERSE"}, false, "", exclusive, 1},
        {{"-d", "--forward"}, false, "", exclusive, 1},
        {{"-D", "--reverse"}, false, "", exclusive, 1},
        {{"--d", "-forward"}, false, "", exclusive, 1},
        // The socket only after -d; accepted there (a later error stops the
        // program before the daemon starts).
        {{"--socket=/nowhere", "-d"}, false, "", socket_first, 1},
        {{"--reverse", "--secret=s", "--socket=/nowhere"}, false, "", socket_first, 1},
        {{"-d", "--socket=/nowhere", "--bogus"}, false, "", unknown("--bogus"), 1},
        {{"-D", "-SOCKET=/nowhere", "-x"}, false, "", unknown("-x"), 1},
        // Checks after the pass: alias, then secret, then handles, then action.
        {{"-FoRwArD", "--secret=s"}, false, "", no_alias, 1},
        {{"--secret=s", "--forward"}, false, "", no_alias, 1},
        {{"--forward"}, false, "", no_alias, 1},
        {{"--forward", "--alias=fwd.example"}, false, "", no_secret, 1},
        {{"--reverse"}, false, "", no_secret, 1},
        {{"--secret=s"}, false, no_action, "", 1},
        {{"-SECRET=s", "--address=a@b.example", "c@d.example"}, false, no_action, "", 1},
        // Hash length: read like atoi, must come out positive.
        {{"--hashlength=4abc", "--secret=s"}, false, no_action, "", 1},
        {{"-HashLength=7", "--secret=s"}, false, no_action, "", 1},
        {{"--hashlength=abc", "--secret=s"}, false, "", bad_hash_length, 1},
        {{"--hashlength=-3", "--secret=s"}, false, "", bad_hash_length, 1},
        {{"--hashlength=0", "--secret=s"}, false, "", bad_hash_length, 1},
        {{"--hashlength=", "--secret=s"}, false, "", bad_hash_length, 1},
        // ... and at most 27: a longer hash ends in the base64 pad, and no
        // address written with it could be reversed.
        {{"--hashlength=27", "--secret=s"}, false, no_action, "", 1},
        {{"--hashlength=28", "--secret=s"}, false, "", bad_hash_length, 1},
        {{"--hashlength=27x", "--secret=s"}, false, no_action, "", 1},
        {{"--hashlength=99999999999", "--secret=s"}, false, "", bad_hash_length, 1},
        // The version, at once, whatever follows.
        {{"--version", "--bogus"}, false, "srs " LIBREWRITE_TEST_VERSION "\n", "", 0},
        {{"-VERSION"}, false, "srs " LIBREWRITE_TEST_VERSION "\n", "", 0},
        {{"--version=1"}, false, "", unknown("--version=1"), 1},
        // The daemon's own options only after -d, as the socket.
        {{"--user=root", "-d"}, false, "", "ERROR: user must come after d\n\n", 1},
        {{"--pidfile=/x", "-d"}, false, "", "ERROR: pidfile must come after d\n\n", 1},
        {{"--reverse", "--maxchildren=3"}, false, "", "ERROR: maxchildren must come after d\n\n", 1},
        {{"--syslog=/x"}, false, "", "ERROR: syslog must come after d\n\n", 1},
        {{"--forward", "--verbose"}, false, "", "ERROR: verbose must come after d\n\n", 1},
        {{"-d", "--maxchildren=0"}, false, "", "ERROR: Invalid maximum of connection processes\n\n", 1},
        {{"-d", "--maxchildren=many"}, false, "", "ERROR: Invalid maximum of connection processes\n\n", 1},
        {{"-d", "--user=no-such-user-here"}, false, "", "ERROR: Unknown user 'no-such-user-here'\n\n", 1},
        {{"-d", "--user="}, false, "", "ERROR: Unknown user ''\n\n", 1},
        {{"-d", "-MaxChildren=3", "--verbose", "--pidfile=/x", "--syslog=/y", "--bogus"},
         false,
         "",
         unknown("--bogus"),
         1},
        // Separator: its first character decides.
        {{"--separator=+-", "--secret=s"}, false, no_action, "", 1},
        {{"-Separator==", "--secret=s"}, false, no_action, "", 1},
        {{"--separator=:", "--secret=s"}, false, "", "ERROR: Invalid separtor ':'\n\n", 1},
        {{"--separator=", "--secret=s"}, false, "", "ERROR: Invalid separtor '\0'\n\n"s, 1},
        // An empty secret cannot open a handle; forwarding opens only the first.
        {{"--secret="}, false, "", init_failed, 1},
        {{"--reverse", "--secret=s", "--secret="}, false, "", init_failed, 1},
        {{"--reverse", "--secret=", "--secret=s"}, false, "", init_failed, 1},
        {{"--forward", "--alias=a.example", "--secret=", "--secret=s"}, false, "", init_failed, 1},
        {{"--forward", "--alias=a.example", "--secret=s", "--secret="}, false, "", "", 255},
        // Address pass without addresses, and lines that do not depend on the day.
        {{"--reverse", "--secret=s"}, false, "", "", 255},
        {{"--forward", "--secret=s", "--alias=x@y@z.example", "a@b.example"},
         false,
         forward_error("a@b.example", msg_param),
         "",
         255},
        {{"--forward", "--secret=s", "--alias=", "a@b.example"},
         false,
         forward_error("a@b.example", msg_param),
         "",
         255},
        {{"--forward", "--secret=s", "--alias=fwd.example", long_address},
         false,
         forward_error(long_address, msg_too_long),
         "",
         255},
        {{"--reverse", "--secret=s", "user@example.com"},
         false,
         reverse_error("user@example.com", msg_not_srs),
         "",
         255},
        {{"--reverse", "--secret=s", "SRS0=abc@fwd.example"},
         false,
         reverse_error("SRS0=abc@fwd.example", msg_syntax),
         "",
         255},
        {{"--reverse", "--secret=s", "SRS0=abcdef=!!=example.org=u@fwd.example"},
         false,
         reverse_error("SRS0=abcdef=!!=example.org=u@fwd.example", msg_stamp_chars),
         "",
         255},
        {{"--reverse", "--secret=s", "--secret=t", "--address="},
         false,
         reverse_error("", msg_param),
         "",
         255},
    };
    for (const Case &c : cases) {
        std::string line;
        for (const auto &a : c.args)
            line += " [" + a + "]";
        SCOPED_TRACE("srs" + line);
        const auto o = process::run(c.args);
        if (c.usage) {
            expect_usage(o);
            continue;
        }
        EXPECT_EQ(o.out, c.out);
        EXPECT_EQ(o.err, c.err);
        EXPECT_EQ(o.status, c.status);
    }
}

TEST(CliForward, OptionsShapeTheResult) {
    const std::string secret40 = "0123456789abcdefghijklmnopqrstuvwxyzABCD";
    struct Case {
        Args options;
        std::string secret, alias;
        std::size_t hash_chars;
        char separator;
    };
    const Case cases[] = {
        {{"--secret=s3cret", "--alias=fwd.example"}, "s3cret", "fwd.example", 6, '='},
        {{"--alias=postmaster@fwd.example", "--secret=s3cret"}, "s3cret", "fwd.example", 6, '='},
        {{"--hashlength=4abc", "--secret=s3cret", "-alias=fwd.example"},
         "s3cret",
         "fwd.example",
         4,
         '='},
        {{"-HASHLENGTH=9", "--secret=s3cret", "--alias=fwd.example"},
         "s3cret",
         "fwd.example",
         9,
         '='},
        {{"--separator=+-", "--secret=s3cret", "--alias=fwd.example"},
         "s3cret",
         "fwd.example",
         6,
         '+'},
        {{"--Separator=-", "--secret=s3cret", "--alias=fwd.example"},
         "s3cret",
         "fwd.example",
         6,
         '-'},
        {{"--secret=" + secret40, "--alias=fwd.example"}, secret40, "fwd.example", 6, '='},
        {{"--secret=first", "--secret=second", "--alias=fwd.example"},
         "first",
         "fwd.example",
         6,
         '='},
        {{"--secret=first", "--secret=", "--alias=fwd.example"}, "first", "fwd.example", 6, '='},
    };
    for (const Case &c : cases) {
        Args args{"Alice@Example.ORG", "--forward"};
        args.insert(args.end(), c.options.begin(), c.options.end());
        std::string line;
        for (const auto &a : args)
            line += " [" + a + "]";
        SCOPED_TRACE("srs" + line);
        const auto [o, stamp] = run_forward(args);
        EXPECT_EQ(o.out, srs0(c.secret, stamp, "Alice", "Example.ORG", c.alias, c.hash_chars,
                              c.separator) +
                             "\n");
        EXPECT_EQ(o.err, "");
        EXPECT_EQ(o.status, 255);
    }
}

TEST(CliForward, LinesFollowTheArguments) {
    const Args args{"first@a.example",        "--forward",  "-ADDRESS=-dash@b.example",
                    "--alias=me@fwd.example", "--address=", "second@c.example",
                    "--secret=s3cret",        "noat",       ""};
    const auto [o, stamp] = run_forward(args);
    auto good = [&, &stamp = stamp](const std::string &local, const std::string &domain) {
        return srs0("s3cret", stamp, local, domain, "fwd.example") + "\n";
    };
    EXPECT_EQ(o.out, good("first", "a.example") + good("-dash", "b.example") +
                         forward_error("", msg_param) + good("second", "c.example") +
                         forward_error("noat", msg_param) + forward_error("", msg_param));
    EXPECT_EQ(o.err, "");
    EXPECT_EQ(o.status, 255);
}

TEST(CliForward, ResultMustFitItsBuffer) {
    // SRS0= + 6 hash + '=' + 2 stamp + '=' + 11 address + '@' + alias.
    struct Case {
        std::size_t alias_length;
        bool fits;
    };
    const Case cases[] = {{228, true}, {229, false}};
    for (const Case &c : cases) {
        const std::string alias = std::string(c.alias_length - 8, 'f') + ".example";
        SCOPED_TRACE("alias of " + std::to_string(alias.size()) + " characters");
        const auto [o, stamp] =
            run_forward({"--forward", "--secret=s3cret", "--alias=" + alias, "u@d.example"});
        const std::string expected = srs0("s3cret", stamp, "u", "d.example", alias);
        ASSERT_EQ(expected.size(), c.fits ? 255u : 256u);
        EXPECT_EQ(o.out, c.fits ? expected + "\n" : forward_error("u@d.example", msg_too_small));
        EXPECT_EQ(o.status, 255);
    }
}

TEST(CliReverse, OutcomesOfAddresses) {
    const std::string today = made_with("s3", "Bob", "Example.NET");
    const std::string forged = made_with("other");
    const std::string expired =
        srs0("s3", oracle::stamp_days_ago(40), "bob", "example.net", "fwd.example");
    const std::string month_old =
        srs0("s3", oracle::stamp_days_ago(30), "bob", "example.net", "fwd.example");
    struct Case {
        Args args;
        std::string out;
    };
    const Case cases[] = {
        // Only the third secret made it: one line, nothing about the others.
        {{"--reverse", "--secret=s1", "--secret=s2", "--secret=s3", today}, "Bob@Example.NET\n"},
        {{"--reverse", "--secret=s3", today}, "Bob@Example.NET\n"},
        {{"--reverse", "--secret=s1", "--secret=s2", today}, reverse_error(today, msg_forged)},
        {{"--reverse", "--secret=s3", forged}, reverse_error(forged, msg_forged)},
        {{"--reverse", "--secret=s1", "--secret=s3", expired}, reverse_error(expired, msg_expired)},
        {{"--reverse", "--secret=s3", month_old}, "bob@example.net\n"},
        {{"--reverse", "--secret=s1", "--secret=s3", "plain@example.com"},
         reverse_error("plain@example.com", msg_not_srs)},
    };
    for (const Case &c : cases) {
        std::string line;
        for (const auto &a : c.args)
            line += " [" + a + "]";
        SCOPED_TRACE("srs" + line);
        EXPECT_EQ(pass_output(c.args), c.out);
    }
}

TEST(CliReverse, LinesFollowTheArguments) {
    const std::string by_two = made_with("two", "carol", "c.example");
    const std::string by_one = made_with("one", "dave", "d.example");
    const std::string by_three = made_with("three", "erin", "e.example");
    const Args args{by_two,
                    "--reverse",
                    "-address=" + by_one,
                    "--secret=one",
                    "plain@example.com",
                    "--secret=two",
                    "--ADDRESS=" + by_three};
    EXPECT_EQ(pass_output(args), "carol@c.example\ndave@d.example\n" +
                                     reverse_error("plain@example.com", msg_not_srs) +
                                     reverse_error(by_three, msg_forged));
}

TEST(CliReverse, LowerCasedAddressWarns) {
    // A sender whose hash holds a capital letter, so lower-casing changes it.
    std::string local, address;
    for (int i = 0; address.empty() || address.substr(5, 6) == oracle::lower(address.substr(5, 6));
         ++i) {
        local = "alice" + std::to_string(i);
        address = made_with("s3cret", local, "example.org");
    }
    const std::string folded = oracle::lower(address);
    EXPECT_EQ(pass_output({"--reverse", "--secret=s3cret", folded}),
              local + "@example.org\nWARNING: Case broken on hash in address '" + folded + "'\n");
}

class CliSecretsFile : public ::testing::Test {
  protected:
    void SetUp() override {
        char name[] = "/tmp/srs-cli-XXXXXX";
        ASSERT_NE(mkdtemp(name), nullptr);
        dir_ = name;
    }
    void TearDown() override {
        std::error_code ignored;
        std::filesystem::remove_all(dir_, ignored);
    }
    // A secrets file as it should be: mode 0600.
    std::string write(const std::string &name, const std::string &content, mode_t mode = 0600) {
        const std::string path = dir_ + "/" + name;
        std::ofstream(path, std::ios::binary) << content;
        chmod(path.c_str(), mode);
        return path;
    }
    // Reverses an address made with `secret`, with the given secret options.
    static std::string reversed(const std::string &secret, Args options) {
        options.insert(options.begin(), "--reverse");
        options.push_back(made_with(secret));
        return pass_output(options);
    }
    std::string dir_;
};

TEST_F(CliSecretsFile, EmptyLinesAreSkipped) {
    const std::string file = write("secrets", "\n\nfirst\n\n\nsecond\n\n");
    const auto [o, stamp] =
        run_forward({"--forward", "--alias=fwd.example", "--secretfile=" + file, "a@b.example"});
    EXPECT_EQ(o.out, srs0("first", stamp, "a", "b.example", "fwd.example") + "\n");
    EXPECT_EQ(o.status, 255);
    EXPECT_EQ(reversed("second", {"--secretfile=" + file}), "alice@example.org\n");

    const std::string only_empty = write("empty", "\n\n\n");
    const auto none = process::run({"--reverse", "--secretfile=" + only_empty});
    EXPECT_EQ(none.err, no_secret);
    EXPECT_EQ(none.status, 1);
}

TEST_F(CliSecretsFile, CarriageReturnBelongsToTheSecret) {
    const std::string file = write("secrets", "abc\r\n");
    const auto [o, stamp] =
        run_forward({"--forward", "--alias=fwd.example", "--secretfile=" + file, "a@b.example"});
    const std::string address = srs0("abc\r", stamp, "a", "b.example", "fwd.example");
    EXPECT_EQ(o.out, address + "\n");
    EXPECT_EQ(pass_output({"--reverse", "--secret=abc", address}),
              reverse_error(address, msg_forged));
    EXPECT_EQ(pass_output({"--reverse", "--secretfile=" + file, address}), "a@b.example\n");
}

TEST_F(CliSecretsFile, LastLineWithoutNewline) {
    const std::string file = write("secrets", "one\ntwo");
    EXPECT_EQ(reversed("two", {"--secretfile=" + file}), "alice@example.org\n");
    EXPECT_EQ(reversed("one", {"--secretfile=" + file}), "alice@example.org\n");
}

TEST_F(CliSecretsFile, LongLinesAreReadInPieces) {
    // A line of 1023 + 4 characters is two secrets; a line of exactly 1023
    // characters leaves an empty piece behind, which is skipped.
    const std::string first(1023, 'L');
    const std::string file =
        write("secrets", first + "tail\n" + std::string(1023, 'y') + "\nlast\n");
    const Args options{"--secretfile=" + file};
    EXPECT_EQ(reversed("tail", options), "alice@example.org\n");
    EXPECT_EQ(reversed("last", options), "alice@example.org\n");
    EXPECT_EQ(reversed(first.substr(0, 32), options), "alice@example.org\n");
}

TEST_F(CliSecretsFile, ManySecretsAllCount) {
    std::string content;
    for (int i = 1; i <= 40; ++i)
        content += "secret" + std::to_string(i) + "\n";
    const std::string file = write("secrets", content);
    EXPECT_EQ(reversed("secret40", {"--secretfile=" + file}), "alice@example.org\n");
    EXPECT_EQ(reversed("secret33", {"--secret=x", "--secretfile=" + file}), "alice@example.org\n");
}

TEST_F(CliSecretsFile, SecretsKeepArgumentOrder) {
    // Forwarding uses the first secret in argument order; reversing takes
    // them all.
    const std::string file = write("secrets", "fromfile\nfromfile2\n");
    struct Case {
        Args options;
        std::string first_secret;
    };
    const Case cases[] = {
        {{"--secretfile=" + file, "--secret=cmdline"}, "fromfile"},
        {{"--secret=cmdline", "-SecretFile=" + file}, "cmdline"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.first_secret);
        Args args{"--forward", "--alias=fwd.example", "a@b.example"};
        args.insert(args.end(), c.options.begin(), c.options.end());
        const auto [o, stamp] = run_forward(args);
        EXPECT_EQ(o.out, srs0(c.first_secret, stamp, "a", "b.example", "fwd.example") + "\n");
        for (const char *secret : {"fromfile", "fromfile2", "cmdline"})
            EXPECT_EQ(reversed(secret, c.options), "alice@example.org\n") << secret;
    }
}

TEST_F(CliSecretsFile, FilesThatCannotServeAreRefused) {
    const std::string mib(1 << 20, 'a');
    auto cannot_read = [](const std::string &path, const std::string &why) {
        return "ERROR: Could not read file '" + path + "': " + why + "\n\n";
    };
    const std::string nul = "it holds a NUL byte, which would cut a secret short";
    struct Case {
        std::string name, path, err;
        int status;
    };
    const std::string with_nul = write("nul", "first\nsec\0ret\n"s);
    const std::string big = write("big", mib + "\n");
    const std::string just_fits = write("fits", mib.substr(1) + "\n");
    const std::string loose = write("loose", "secret\n", 0640);
    const std::string others = write("others", "secret\n", 0604);
    const Case cases[] = {
        {"NUL byte", with_nul, cannot_read(with_nul, nul), 1},
        {"endless zeros", "/dev/zero", cannot_read("/dev/zero", nul), 1},
        {"a directory", dir_, cannot_read(dir_, "Is a directory"), 1},
        {"over 1 MiB", big, cannot_read(big, "it is larger than 1 MiB"), 1},
        {"exactly 1 MiB", just_fits, "", 255},
        {"group may read", loose,
         "WARNING: Secrets file '" + loose + "' can be read by group or others; make it mode 0600\n",
         255},
        {"others may read", others,
         "WARNING: Secrets file '" + others + "' can be read by group or others; make it mode 0600\n",
         255},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        const auto o = process::run({"--reverse", "--secretfile=" + c.path});
        EXPECT_EQ(o.out, "");
        EXPECT_EQ(o.err, c.err);
        EXPECT_EQ(o.status, c.status);
    }
    // What a file gave counts only when all of it could be read.
    EXPECT_EQ(process::run({"--reverse", "--secretfile=" + with_nul, "--secret=x",
                            made_with("first")})
                  .out,
              "");
}

TEST_F(CliSecretsFile, MissingFileIsReported) {
    const std::string missing = dir_ + "/missing";
    const Args cases[] = {
        {"--secretfile=" + missing},
        {"--secret=s", "--reverse", "-SECRETFILE=" + missing, "--help"},
    };
    for (const Args &args : cases) {
        const auto o = process::run(args);
        EXPECT_EQ(o.out, "");
        EXPECT_EQ(o.err, "ERROR: Could not open file '" + missing + "'\n\n");
        EXPECT_EQ(o.status, 1);
    }
}

} // namespace
