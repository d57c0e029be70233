// The hash token (digest under one secret, verification against every
// secret) and the two-character day stamp. Expected hashes come from
// OpenSSL through oracle.h.
#include "librewrite.h"
#include "oracle.h"

#include <gtest/gtest.h>

#include <climits>
#include <cstring>
#include <ctime>
#include <memory>
#include <string>
#include <vector>

namespace {

constexpr char kBase32[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZ234567";
constexpr std::time_t kDay = 86400;

bool is_letter(char c) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z');
}

char flip_case(char c) {
    return static_cast<char>(c ^ 0x20);
}

// The library's digest under one secret index, written as base64 text.
std::string lib_hash_text(const srs_handle *h, int index, const std::string &data) {
    unsigned char digest[24];
    std::memset(digest, 0xA5, sizeof digest);
    int digest_len = -1;
    EXPECT_EQ(srs__hash(h, index, data.data(), static_cast<int>(data.size()), digest, &digest_len),
              SRS_OK);
    EXPECT_EQ(digest_len, 20);
    for (int i = 20; i < 24; ++i)
        EXPECT_EQ(digest[i], 0xA5) << "byte " << i << " written";
    char text[29];
    EXPECT_EQ(srs__base64enc(digest, 20, text, sizeof text), SRS_OK);
    return std::string(text);
}

int verify(const srs_handle *h, const std::string &data, const char *hash, int hash_len) {
    return srs__hash_verify(h, data.data(), static_cast<int>(data.size()), hash, hash_len);
}

// Verifies hash text held in a heap block of exactly its length, with no
// terminator after it, so that AddressSanitizer sees any read past it.
int verify_unterminated(const srs_handle *h, const std::string &data, const std::string &hash) {
    auto block = std::make_unique<char[]>(hash.size() == 0 ? 1 : hash.size());
    std::memcpy(block.get(), hash.data(), hash.size());
    return verify(h, data, block.get(), static_cast<int>(hash.size()));
}

// The first of "prefix0", "prefix1", ... for which pred holds.
template <class Pred> std::string first_candidate(const std::string &prefix, Pred pred) {
    for (int i = 0; i < 100000; ++i) {
        std::string s = prefix + std::to_string(i);
        if (pred(s)) return s;
    }
    ADD_FAILURE() << "no candidate found for " << prefix;
    return prefix;
}

// ---- srs__hash ------------------------------------------------------------

TEST(HashTokenDigest, EachSecretIndexMatchesOpenSSL) {
    const std::string primary = "primary-key";
    const std::string further0 = "older-key";
    const std::string further1 = "0123456789abcdef0123456789ABCDEF"; // 32 bytes
    const std::string further2("k\0y", 3);                           // zero byte inside
    auto h = oracle::open(primary);
    ASSERT_NE(h, nullptr);
    ASSERT_EQ(srs_add_secret(h.get(), further0.data(), 9), SRS_OK);
    ASSERT_EQ(srs_add_secret(h.get(), further1.data(), 32), SRS_OK);
    ASSERT_EQ(srs_add_secret(h.get(), further2.data(), 3), SRS_OK);
    ASSERT_EQ(h->secret_count, 3);

    struct Case {
        int index;
        const std::string &key;
    };
    const Case cases[] = {
        {-1, primary}, {-2, primary},      {INT_MIN, primary}, {3, primary}, // 3 == count
        {4, primary},  {INT_MAX, primary}, {0, further0},      {1, further1}, {2, further2},
    };
    const std::string datas[] = {
        "", "example.com", "tbexample.comuser", std::string("a\0b\0c", 5), std::string(200, 'x'),
    };
    for (const Case &c : cases)
        for (const std::string &data : datas) {
            SCOPED_TRACE(testing::Message() << "index " << c.index << " data size " << data.size());
            EXPECT_EQ(lib_hash_text(h.get(), c.index, data), oracle::hash_text(c.key, data));
        }
}

TEST(HashTokenDigest, OnlyLenBytesOfDataCount) {
    auto h = oracle::open("secret");
    ASSERT_NE(h, nullptr);
    const std::string data = "abcdefXYZ";
    unsigned char digest[20];
    int digest_len = 0;
    ASSERT_EQ(srs__hash(h.get(), -1, data.data(), 6, digest, &digest_len), SRS_OK);
    char text[29];
    ASSERT_EQ(srs__base64enc(digest, 20, text, sizeof text), SRS_OK);
    EXPECT_EQ(std::string(text), oracle::hash_text("secret", "abcdef"));

    // No further secret: index 0 is out of range and names the primary.
    EXPECT_EQ(lib_hash_text(h.get(), 0, "abcdef"), oracle::hash_text("secret", "abcdef"));
}

// ---- srs__hash_verify -----------------------------------------------------

class HashTokenVerify : public testing::Test {
  protected:
    void SetUp() override {
        h = oracle::open(secret, 0, 6, 1);
        ASSERT_NE(h, nullptr);
        ASSERT_EQ(h->hash_min, 1u);
        text = oracle::hash_text(secret, data);
        ASSERT_EQ(text.size(), 28u);
        ASSERT_EQ(text[27], '=');
    }

    const std::string secret = "verify-secret";
    const std::string data = "tbexample.comalice";
    oracle::Handle h;
    std::string text; // 28 characters, the last '='
};

TEST_F(HashTokenVerify, EveryExactPrefixMatches) {
    for (int n = 1; n <= 27; ++n) {
        SCOPED_TRACE(testing::Message() << "length " << n);
        EXPECT_EQ(verify_unterminated(h.get(), data, text.substr(0, n)), SRS_OK);
    }
    // Inside an address the hash is followed by the separator.
    const std::string address = "SRS0=" + text.substr(0, 6) + "=TB=example.com=alice@fw.example";
    EXPECT_EQ(verify(h.get(), data, address.c_str() + 5, 6), SRS_OK);
}

TEST_F(HashTokenVerify, AgainstTheFullTextAndBeyond) {
    const std::string full = text;                                // with its '='
    const std::string longer = text + "A";                        // 29 characters
    const std::string from_address = text.substr(0, 27) + "A=TB"; // no '=' at 28
    const std::string cut = text.substr(0, 3) + std::string(1, '\0') + text.substr(4);
    struct Case {
        const char *what;
        const std::string &hash;
        int hash_len;
        int expected;
    };
    const Case cases[] = {
        {"28 chars incl '='", full, 28, SRS_OK},
        {"terminator compared as 29th char", full, 29, SRS_OK},
        {"compare stops at the terminators", full, 40, SRS_OK},
        {"29 chars", longer, 29, SRS_CHECK_FAILED},
        {"28 chars, last not '='", from_address, 28, SRS_CHECK_FAILED},
        {"31 chars from an address", from_address, 31, SRS_CHECK_FAILED},
        {"terminator inside the compared length", cut, 10, SRS_CHECK_FAILED},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        EXPECT_EQ(verify(h.get(), data, c.hash.c_str(), c.hash_len), c.expected);
    }
}

TEST_F(HashTokenVerify, SingleCharacterChanges) {
    // Every position of the 27 hash characters: a letter whose case is
    // flipped still matches (SRS_CASE_BROKEN); any other change fails,
    // including the 0x20 partner of a non-letter, which only a careless
    // case fold would take for the same character.
    const std::string hash = text.substr(0, 27);
    int letters = 0, others = 0;
    for (std::size_t i = 0; i < hash.size(); ++i) {
        const char c = hash[i];
        std::vector<std::pair<char, int>> changes;
        if (is_letter(c)) {
            ++letters;
            changes.push_back({flip_case(c), SRS_CASE_BROKEN});
            const char other =
                (c == 'z' || c == 'Z') ? static_cast<char>(c - 1) : static_cast<char>(c + 1);
            changes.push_back({other, SRS_CHECK_FAILED});
            changes.push_back({flip_case(other), SRS_CHECK_FAILED});
            changes.push_back({'+', SRS_CHECK_FAILED});
        } else {
            ++others;
            changes.push_back({flip_case(c), SRS_CHECK_FAILED});
            if (c == '+')
                changes.push_back({'/', SRS_CHECK_FAILED});
            else if (c == '/')
                changes.push_back({'+', SRS_CHECK_FAILED});
            else
                changes.push_back({c == '9' ? '0' : static_cast<char>(c + 1), SRS_CHECK_FAILED});
            changes.push_back({'A', SRS_CHECK_FAILED});
        }
        for (const auto &[ch, expected] : changes) {
            std::string mutated = hash;
            mutated[i] = ch;
            SCOPED_TRACE(testing::Message()
                         << "position " << i << ": '" << c << "' -> '" << ch << "'");
            EXPECT_EQ(verify_unterminated(h.get(), data, mutated), expected);
        }
    }
    EXPECT_GT(letters, 0);
    EXPECT_GT(others, 0) << "hash text has no digit, '+' or '/': pick other data";
}

TEST_F(HashTokenVerify, WholeTextCaseFolded) {
    const std::string hash = text.substr(0, 27);
    std::string upper = hash;
    for (char &c : upper)
        if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
    ASSERT_NE(oracle::lower(hash), hash);
    ASSERT_NE(upper, hash);
    EXPECT_EQ(verify_unterminated(h.get(), data, oracle::lower(hash)), SRS_CASE_BROKEN);
    EXPECT_EQ(verify_unterminated(h.get(), data, upper), SRS_CASE_BROKEN);
    // The data counts as given, byte for byte.
    const std::string other = "TBexample.comalice";
    ASSERT_NE(oracle::hash_text(secret, other).substr(0, 6), hash.substr(0, 6));
    EXPECT_EQ(verify_unterminated(h.get(), other, hash.substr(0, 6)), SRS_CHECK_FAILED);
}

TEST_F(HashTokenVerify, LengthAgainstHashMin) {
    struct Case {
        uint32_t hash_min;
        int hash_len;
        bool right_chars;
        int expected;
    };
    const Case cases[] = {
        {6, 5, true, SRS_HASH_TOO_SHORT},
        {6, 1, true, SRS_HASH_TOO_SHORT},
        {6, 0, true, SRS_HASH_TOO_SHORT},
        {6, 5, false, SRS_HASH_TOO_SHORT},
        {6, 6, true, SRS_OK},
        {6, 6, false, SRS_CHECK_FAILED},
        {6, 10, true, SRS_OK},
        {6, 27, true, SRS_OK}, // beyond hash_length 6
        {8, 7, true, SRS_HASH_TOO_SHORT},
        {8, 8, true, SRS_OK},
        {28, 27, true, SRS_HASH_TOO_SHORT},
        {1, 1, true, SRS_OK},
        {0, 0, true, SRS_OK},
        {0, 0, false, SRS_OK}, // nothing compared
        {0, -1, true, SRS_CHECK_FAILED},
        {6, -1, true, SRS_CHECK_FAILED},
        {6, INT_MIN, true, SRS_CHECK_FAILED},
    };
    std::string wrong = text.substr(0, 27);
    wrong[0] = wrong[0] == '0' ? '1' : '0';
    for (const Case &c : cases) {
        SCOPED_TRACE(testing::Message() << "hash_min " << c.hash_min << " length " << c.hash_len
                                        << (c.right_chars ? " right" : " wrong"));
        h->hash_min = c.hash_min;
        const std::string &hash = c.right_chars ? text : wrong;
        EXPECT_EQ(verify(h.get(), data, hash.c_str(), c.hash_len), c.expected);
    }

    // Too short is decided before anything is read or hashed.
    h->hash_min = 6;
    EXPECT_EQ(srs__hash_verify(h.get(), nullptr, 10, nullptr, 5), SRS_HASH_TOO_SHORT);
}

TEST(HashTokenVerifySecrets, FurtherSecretsAreTried) {
    const std::string data = "tbexample.combob";
    auto h = oracle::open("current", 0, 6, 6);
    ASSERT_NE(h, nullptr);
    const std::string by_old = oracle::hash_text("retired", data).substr(0, 6);
    const std::string by_older = oracle::hash_text("long-retired", data).substr(0, 6);
    const std::string by_current = oracle::hash_text("current", data).substr(0, 6);
    const std::string by_stranger = oracle::hash_text("stranger", data).substr(0, 6);
    ASSERT_NE(by_old, by_current);
    ASSERT_NE(oracle::lower(by_older), by_older);

    EXPECT_EQ(verify_unterminated(h.get(), data, by_current), SRS_OK);
    EXPECT_EQ(verify_unterminated(h.get(), data, by_old), SRS_CHECK_FAILED);

    ASSERT_EQ(srs_add_secret(h.get(), "retired", 7), SRS_OK);
    ASSERT_EQ(srs_add_secret(h.get(), "long-retired", 12), SRS_OK);
    struct Case {
        const std::string &hash;
        bool fold;
        int expected;
    };
    const Case cases[] = {
        {by_current, false, SRS_OK},       {by_old, false, SRS_OK},
        {by_older, false, SRS_OK},         {by_stranger, false, SRS_CHECK_FAILED},
        {by_older, true, SRS_CASE_BROKEN},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.hash);
        EXPECT_EQ(verify_unterminated(h.get(), data, c.fold ? oracle::lower(c.hash) : c.hash),
                  c.expected);
    }
}

TEST(HashTokenVerifySecrets, FirstSecretMatchingEitherWayDecides) {
    // One-character hashes, with secrets searched so that one matches only
    // with case ignored and another matches exactly.
    const std::string data = "tbexample.comcarol";
    const std::string primary = first_candidate(
        "primary-", [&](const std::string &s) { return is_letter(oracle::hash_text(s, data)[0]); });
    const char p = oracle::hash_text(primary, data)[0];
    const std::string hash(1, flip_case(p)); // the primary's first char, case flipped
    const std::string exact = first_candidate(
        "exact-", [&](const std::string &s) { return oracle::hash_text(s, data)[0] == hash[0]; });
    const std::string folded = first_candidate(
        "folded-", [&](const std::string &s) { return oracle::hash_text(s, data)[0] == p; });
    const std::string neither = first_candidate("neither-", [&](const std::string &s) {
        const char c = oracle::hash_text(s, data)[0];
        return c != p && c != hash[0];
    });

    struct Case {
        const char *what;
        std::vector<std::string> secrets; // primary first
        int expected;
    };
    const Case cases[] = {
        {"primary folded, further exact", {primary, exact}, SRS_CASE_BROKEN},
        {"further folded before further exact", {neither, folded, exact}, SRS_CASE_BROKEN},
        {"further exact before further folded", {neither, exact, folded}, SRS_OK},
        {"primary exact, further folded", {exact, folded}, SRS_OK},
        {"only folded", {neither, primary}, SRS_CASE_BROKEN},
        {"none", {neither}, SRS_CHECK_FAILED},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        auto h = oracle::open(c.secrets[0], 0, 6, 1);
        ASSERT_NE(h, nullptr);
        for (std::size_t i = 1; i < c.secrets.size(); ++i)
            ASSERT_EQ(srs_add_secret(h.get(), c.secrets[i].data(),
                                     static_cast<uint32_t>(c.secrets[i].size())),
                      SRS_OK);
        EXPECT_EQ(verify_unterminated(h.get(), data, hash), c.expected);
    }
}

// ---- Key states ----------------------------------------------------------

// Every secret the handle holds now: the primary first.
std::vector<std::string> secrets_of(const srs_handle *h) {
    std::vector<std::string> out{std::string(h->secret, h->secret_len)};
    for (int i = 0; i < h->secret_count; ++i)
        out.emplace_back(h->secrets[i].secret, h->secrets[i].secret_len);
    return out;
}

// The handle hashes, identifies and verifies with exactly the secrets it
// holds now, as OpenSSL computes them; a hash made with a secret it no
// longer holds is refused.
void expect_current(srs_handle *h, const std::vector<std::string> &retired) {
    const std::string data = "tbexample.comalice";
    const std::vector<std::string> secrets = secrets_of(h);
    for (int index = -1; index < h->secret_count; ++index) {
        const std::string &secret = secrets[static_cast<std::size_t>(index + 1)];
        SCOPED_TRACE(testing::Message() << "index " << index << " secret " << secret);
        const std::string text = oracle::hash_text(secret, data);
        EXPECT_EQ(lib_hash_text(h, index, data), text);
        EXPECT_EQ(verify_unterminated(h, data, text.substr(0, 8)), SRS_OK);
    }
    char id[29];
    ASSERT_EQ(srs_generate_unique_id(h, data.c_str(), id, sizeof id), SRS_OK);
    EXPECT_EQ(std::string(id), oracle::hash_text(secrets[0], data));
    for (const std::string &old : retired)
        EXPECT_EQ(verify_unterminated(h, data, oracle::hash_text(old, data).substr(0, 8)),
                  SRS_CHECK_FAILED)
            << "still accepts " << old;
}

TEST(HashTokenKeyStates, FollowTheSecretsAsTheyAreNow) {
    auto h = oracle::open("primary-secret", 0, 6, 8);
    ASSERT_NE(h, nullptr);
    char out[256];
    for (int i = 0; i < 200; ++i)
        ASSERT_EQ(srs_forward(h.get(), "user@example.com", "fwd.example", out, sizeof out), SRS_OK);

    // Added after many rewrites, across both growths of the arrays.
    for (int i = 0; i < 17; ++i) {
        const std::string s = "further-secret-" + std::to_string(i);
        ASSERT_EQ(srs_add_secret(h.get(), s.data(), static_cast<uint32_t>(s.size())), SRS_OK);
    }
    expect_current(h.get(), {"stranger"});

    // Changed in place, bytes and lengths: the reading calls use the secret
    // as it is now, before and after a setter stores its states anew.
    const struct {
        const char *what;
        int index; // -1 the primary
        std::string secret;
    } changes[] = {
        {"primary bytes", -1, "PRIMARY-secret"},
        {"primary shorter", -1, "PRIMARY"},
        {"primary to 32 bytes", -1, "0123456789abcdef0123456789abcdef"},
        {"first further bytes", 0, "further-secret-X"},
        {"ninth further shorter", 8, "f8"},
        {"last further, a zero byte inside", 16, std::string("la\0st", 5)},
    };
    std::vector<std::string> retired{"stranger"};
    for (const auto &c : changes) {
        SCOPED_TRACE(c.what);
        char *bytes = c.index < 0 ? h->secret : h->secrets[c.index].secret;
        uint32_t &len = c.index < 0 ? h->secret_len : h->secrets[c.index].secret_len;
        retired.emplace_back(bytes, len);
        std::memcpy(bytes, c.secret.data(), c.secret.size());
        len = static_cast<uint32_t>(c.secret.size());
        expect_current(h.get(), retired);
        ASSERT_EQ(srs_set_separator(h.get(), h->separator), SRS_OK);
        expect_current(h.get(), retired);
    }

    // Removed by close: a handle opened next, likely in the same memory,
    // holds only its own secret.
    retired = secrets_of(h.get());
    h.reset();
    h = oracle::open("next-secret", 0, 6, 8);
    ASSERT_NE(h, nullptr);
    expect_current(h.get(), retired);
}

// ---- srs_timestamp_create -------------------------------------------------

std::string create(std::time_t t) {
    char out[4] = {'#', '#', '#', '#'};
    EXPECT_EQ(srs_timestamp_create(t, out), SRS_OK);
    EXPECT_EQ(out[2], '#') << "wrote past the two stamp characters";
    EXPECT_EQ(out[3], '#');
    return std::string(out, 2);
}

TEST(TimestampCreate, KnownDays) {
    struct Case {
        long long day;
        const char *stamp;
    };
    const Case cases[] = {
        {0, "AA"},
        {1, "AB"},
        {25, "AZ"},
        {26, "A2"},
        {31, "A7"},
        {32, "BA"},
        {609, "TB"},
        {1023, "77"},
        {1024, "AA"},
        {1024 + 609, "TB"},
        {20 * 1024 + 609, "TB"},
        {(1LL << 31) + 609, "TB"},
        {(1LL << 40) + 1023, "77"},
    };
    for (const Case &c : cases)
        for (const std::time_t offset : {std::time_t{0}, kDay / 2, kDay - 1}) {
            const std::time_t t = static_cast<std::time_t>(c.day) * kDay + offset;
            SCOPED_TRACE(testing::Message() << "day " << c.day << " + " << offset << " s");
            EXPECT_EQ(create(t), c.stamp);
        }
    // Days count toward zero before 1970.
    EXPECT_EQ(create(-1), "AA");
    EXPECT_EQ(create(-(kDay - 1)), "AA");
    EXPECT_EQ(create(-kDay), "77");
}

TEST(TimestampCreate, AgreesWithOracleOverTwoCycles) {
    for (long long day = 0; day < 2048; ++day)
        for (const std::time_t offset : {std::time_t{0}, std::time_t{1}, kDay - 1}) {
            const std::time_t t = static_cast<std::time_t>(day) * kDay + offset;
            ASSERT_EQ(create(t), oracle::stamp(t)) << "time " << t;
        }
    const std::time_t now = std::time(nullptr);
    EXPECT_EQ(create(now), oracle::stamp(now));
}

// ---- srs_timestamp_check --------------------------------------------------

std::string stamp_of_value(unsigned value) {
    return {kBase32[(value >> 5) & 31], kBase32[value & 31]};
}

int check(const srs_handle *h, const std::string &stamp, std::time_t now) {
    // Exactly two bytes on the heap: the check must not look further.
    auto block = std::make_unique<char[]>(2);
    std::memcpy(block.get(), stamp.data(), 2);
    return srs_timestamp_check(h, block.get(), now);
}

TEST(TimestampCheck, WindowOverEveryValue) {
    struct Case {
        long long day;
        uint32_t max_age;
    };
    const Case cases[] = {
        {20 * 1024 + 609, 31},
        {20 * 1024 + 5, 31},
        {5, 31}, // day < max_age: wraps
        {20 * 1024, 31},
        {20 * 1024 + 1023, 31},
        {20 * 1024 + 609, 0},
        {20 * 1024 + 609, 1},
        {20 * 1024 + 609, 100},
        {20 * 1024 + 609, 1023},
        {20 * 1024 + 609, 1024},
        {20 * 1024 + 609, 1024 + 31},
        {20 * 1024 + 5, 0xFFFFFFFFu},
        {20 * 1024 + 5, 0xFFFFFC00u}, // ≡ 1023, ≡ 0
    };
    auto h = oracle::open("secret");
    ASSERT_NE(h, nullptr);
    for (const Case &c : cases) {
        h->max_age = c.max_age;
        const unsigned today = static_cast<unsigned>(c.day % 1024);
        const unsigned window = c.max_age % 1024;
        unsigned accepted = 0;
        for (const std::time_t offset : {std::time_t{0}, kDay - 1}) {
            const std::time_t now = static_cast<std::time_t>(c.day) * kDay + offset;
            for (unsigned value = 0; value < 1024; ++value) {
                const bool valid = (today - value + 1024) % 1024 <= window;
                const int expected = valid ? SRS_OK : SRS_CHECK_FAILED;
                const std::string upper = stamp_of_value(value);
                SCOPED_TRACE(testing::Message() << "day " << c.day << " max_age " << c.max_age
                                                << " value " << value << " " << upper);
                ASSERT_EQ(check(h.get(), upper, now), expected);
                ASSERT_EQ(check(h.get(), oracle::lower(upper), now), expected);
                accepted += valid ? 1 : 0;
            }
        }
        EXPECT_EQ(accepted, 2 * (window + 1));
    }
}

TEST(TimestampCheck, WindowEdges) {
    auto h = oracle::open("secret");
    ASSERT_NE(h, nullptr);
    ASSERT_EQ(h->max_age, 31u);
    struct Case {
        long long day;
        unsigned value;
        int expected;
    };
    const Case cases[] = {
        {20 * 1024 + 609, 609, SRS_OK},
        {20 * 1024 + 609, 578, SRS_OK},
        {20 * 1024 + 609, 577, SRS_CHECK_FAILED},
        {20 * 1024 + 609, 610, SRS_CHECK_FAILED},
        {20 * 1024 + 5, 998, SRS_OK},
        {20 * 1024 + 5, 1023, SRS_OK},
        {20 * 1024 + 5, 0, SRS_OK},
        {20 * 1024 + 5, 5, SRS_OK},
        {20 * 1024 + 5, 997, SRS_CHECK_FAILED},
        {20 * 1024 + 5, 6, SRS_CHECK_FAILED},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(testing::Message() << "day " << c.day << " value " << c.value);
        EXPECT_EQ(check(h.get(), stamp_of_value(c.value), c.day * kDay + 3600), c.expected);
    }
    EXPECT_EQ(stamp_of_value(609), "TB");
    EXPECT_EQ(check(h.get(), "tb", (20 * 1024 + 609) * kDay), SRS_OK);
    EXPECT_EQ(check(h.get(), "tB", (20 * 1024 + 609) * kDay), SRS_OK);
    EXPECT_EQ(check(h.get(), "tc", (20 * 1024 + 609) * kDay), SRS_CHECK_FAILED);
}

TEST(TimestampCheck, StampsMadeDaysAgo) {
    auto h = oracle::open("secret");
    ASSERT_NE(h, nullptr);
    const std::time_t now = std::time(nullptr);
    struct Case {
        uint32_t max_age;
        long long days_ago;
        int expected;
    };
    const Case cases[] = {
        {31, 0, SRS_OK},
        {31, 31, SRS_OK},
        {31, 32, SRS_CHECK_FAILED},
        {31, -1, SRS_CHECK_FAILED},
        {31, 1024, SRS_OK},
        {31, 1024 + 31, SRS_OK},
        {31, 1024 + 32, SRS_CHECK_FAILED},
        {0, 0, SRS_OK},
        {0, 1, SRS_CHECK_FAILED},
        {0, -1, SRS_CHECK_FAILED},
        {1024, 0, SRS_OK},
        {1024, 1, SRS_CHECK_FAILED},
        {1024, 1023, SRS_CHECK_FAILED},
        {1024 + 31, 31, SRS_OK},
        {1024 + 31, 32, SRS_CHECK_FAILED},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(testing::Message() << "max_age " << c.max_age << " days ago " << c.days_ago);
        h->max_age = c.max_age;
        const std::string stamp = oracle::stamp(now - static_cast<std::time_t>(c.days_ago) * kDay);
        EXPECT_EQ(check(h.get(), stamp, now), c.expected);
    }
}

TEST(TimestampCheck, CharactersOutsideTheAlphabet) {
    // With a window of 1023 days every well-formed stamp is valid, so a
    // character taken for some value would give 0 instead of 259.
    auto h = oracle::open("secret");
    ASSERT_NE(h, nullptr);
    h->max_age = 1023;
    const std::time_t now = (20 * 1024 + 609) * kDay;
    for (int b = 0; b < 256; ++b) {
        const char c = static_cast<char>(b);
        const bool valid =
            (b >= 'A' && b <= 'Z') || (b >= 'a' && b <= 'z') || (b >= '2' && b <= '7');
        const int expected = valid ? SRS_OK : SRS_BAD_CHARACTER;
        SCOPED_TRACE(testing::Message() << "byte " << b);
        EXPECT_EQ(check(h.get(), std::string{c, 'A'}, now), expected);
        EXPECT_EQ(check(h.get(), std::string{'7', c}, now), expected);
    }
}

TEST(TimestampCheck, BadFirstCharacterStopsTheRead) {
    auto h = oracle::open("secret");
    ASSERT_NE(h, nullptr);
    const std::time_t now = (20 * 1024 + 609) * kDay;
    for (const char first : {'\0', '0', '=', '\x80', '\xC1'}) {
        SCOPED_TRACE(testing::Message() << "byte " << (static_cast<int>(first) & 0xFF));
        auto block = std::make_unique<char[]>(1); // no second byte to read
        block[0] = first;
        EXPECT_EQ(srs_timestamp_check(h.get(), block.get(), now), SRS_BAD_CHARACTER);
    }
    // A third character is never looked at.
    for (const char *stamp : {"TB", "TB=", "TB0", "TB\x80"})
        EXPECT_EQ(srs_timestamp_check(h.get(), stamp, now), SRS_OK) << stamp;
}

} // namespace
