// Database mode with a small in-memory store, and unique identifiers.
#include "oracle.h"

#include <gtest/gtest.h>

#include <array>
#include <cstdio>
#include <cstring>
#include <map>
#include <string>
#include <vector>

namespace {

using oracle::Handle;

// The callbacks carry no context of their own: the store is reached through
// this fixture's statics.
class Database : public testing::Test {
  protected:
    static inline std::map<std::string, std::string> store;
    static inline int next_id = 0;
    static inline int insert_result = SRS_OK;
    static inline std::string id_prefix = "id";
    static inline int last_room = 0;
    static inline int last_length = 0;
    static inline std::string last_lookup;
    static inline int lookups = 0;

    void SetUp() override {
        store.clear();
        next_id = 0;
        insert_result = SRS_OK;
        id_prefix = "id";
        lookups = 0;
        last_lookup.clear();
        h = oracle::open("secret");
        ASSERT_EQ(srs_set_db_functions(h.get(), insert, lookup), SRS_OK);
    }

    static int insert(srs_handle *, const char *address, int length, char *id, int room) {
        last_room = room;
        last_length = length;
        if (SRS_IS_ERROR(insert_result)) return insert_result;
        const std::string key = id_prefix + std::to_string(next_id++);
        store[key] = std::string(address, static_cast<std::size_t>(length));
        std::snprintf(id, static_cast<std::size_t>(room), "%s", key.c_str());
        return insert_result;
    }

    static int lookup(srs_handle *, const char *id, int length, char *buf, uint32_t len) {
        ++lookups;
        last_lookup.assign(id, static_cast<std::size_t>(length));
        const auto it = store.find(last_lookup);
        if (it == store.end()) return SRS_DB_LOOKUP_FAILED;
        if (it->second.size() + 1 > len) return SRS_BUFFER_TOO_SMALL;
        std::memcpy(buf, it->second.c_str(), it->second.size() + 1);
        return SRS_OK;
    }

    std::pair<int, std::string> forward(const char *address) {
        std::array<char, 512> out;
        out.fill('#');
        const int rc = srs_forward(h.get(), address, "fwd.example", out.data(), out.size());
        return {rc, SRS_IS_ERROR(rc) ? std::string(out.data(), 4) : std::string(out.data())};
    }

    std::pair<int, std::string> reverse(const std::string &address) {
        std::array<char, 512> out;
        out.fill('#');
        const int rc = srs_reverse(h.get(), address.c_str(), out.data(), out.size());
        return {rc, SRS_IS_ERROR(rc) ? std::string(out.data(), 4) : std::string(out.data())};
    }

    Handle h;
};

TEST_F(Database, RoundTripThroughTheStore) {
    const auto [fwd, ts] = oracle::on_one_day([&] { return forward("Jane.Doe@Example.ORG"); });
    ASSERT_EQ(fwd.first, SRS_OK);
    // The identifier replaces domain and local part; the hash covers it.
    const std::string hash = oracle::hash_text("secret", oracle::lower(ts + "id0")).substr(0, 6);
    EXPECT_EQ(fwd.second, "SRS0=" + hash + "=" + ts + "=id0@fwd.example");
    EXPECT_EQ(last_room, 253);
    EXPECT_EQ(last_length, 20);
    EXPECT_EQ(store["id0"], "Jane.Doe@Example.ORG");

    const auto back = reverse(fwd.second);
    EXPECT_EQ(back.first, SRS_OK);
    EXPECT_EQ(back.second, "Jane.Doe@Example.ORG");
    EXPECT_EQ(last_lookup, "id0");
}

TEST_F(Database, OptionsShapeTheAddress) {
    srs_set_option(h.get(), SRS_OPT_TIMESTAMP, 0);
    auto r = forward("a@b");
    EXPECT_EQ(r.second,
              "SRS0=" + oracle::hash_text("secret", "id0").substr(0, 6) + "=id0@fwd.example");
    EXPECT_EQ(last_room, 256);
    EXPECT_EQ(reverse(r.second).second, "a@b");

    srs_set_option(h.get(), SRS_OPT_HASH, 0);
    r = forward("c@d");
    EXPECT_EQ(r.second, "SRS0=id1@fwd.example");
    EXPECT_EQ(reverse(r.second).second, "c@d");
}

TEST_F(Database, IdentifiersWithEqualsSignsComeBackWhole) {
    id_prefix = "x=y=";
    const auto r = forward("a@b");
    ASSERT_EQ(r.first, SRS_OK);
    EXPECT_EQ(reverse(r.second).second, "a@b");
    EXPECT_EQ(last_lookup, "x=y=0");
}

TEST_F(Database, CaseChangedIdentifierReachesTheLookup) {
    id_prefix = "ID";
    const auto r = forward("a@b");
    // The hash passes with case ignored; a failing lookup decides the result.
    const auto back = reverse(oracle::lower(r.second));
    EXPECT_EQ(last_lookup, "id0");
    EXPECT_EQ(back.first, SRS_DB_LOOKUP_FAILED);
    // A lookup that finds the sender keeps the hash check's verdict: 1 when
    // lower-casing changed the hash, as outside database mode.
    store["id0"] = "a@b";
    const std::string hash = r.second.substr(5, 6);
    const bool changed = hash != oracle::lower(hash);
    EXPECT_EQ(reverse(oracle::lower(r.second)).first, changed ? SRS_CASE_BROKEN : SRS_OK);
    EXPECT_EQ(reverse(r.second).first, SRS_OK);
}

// Each handle carries its own store through its context: no registry.
TEST(DatabaseContext, CallbacksReadTheirHandlesContext) {
    using Store = std::map<std::string, std::string>;
    auto insert = [](srs_handle *h, const char *address, int length, char *id, int room) {
        auto &store = *static_cast<Store *>(srs_get_db_context(h));
        const std::string key = "k" + std::to_string(store.size());
        store[key] = std::string(address, static_cast<std::size_t>(length));
        std::snprintf(id, static_cast<std::size_t>(room), "%s", key.c_str());
        return SRS_OK;
    };
    auto lookup = [](srs_handle *h, const char *id, int length, char *buf, uint32_t len) {
        const auto &store = *static_cast<const Store *>(srs_get_db_context(h));
        const auto it = store.find(std::string(id, static_cast<std::size_t>(length)));
        if (it == store.end()) return SRS_DB_LOOKUP_FAILED;
        std::snprintf(buf, len, "%s", it->second.c_str());
        return SRS_OK;
    };
    Store first, second;
    Handle a = oracle::open("secret"), b = oracle::open("secret");
    EXPECT_EQ(srs_get_db_context(a.get()), nullptr);
    EXPECT_EQ(srs_set_db_context(nullptr, &first), SRS_BAD_HANDLE);
    EXPECT_EQ(srs_get_db_context(nullptr), nullptr);
    for (auto &[h, store] : {std::pair{a.get(), &first}, std::pair{b.get(), &second}}) {
        ASSERT_EQ(srs_set_db_context(h, store), SRS_OK);
        ASSERT_EQ(srs_set_db_functions(h, +insert, +lookup), SRS_OK);
    }
    std::array<char, 256> out{}, back{};
    ASSERT_EQ(srs_forward(a.get(), "alice@a.example", "fwd", out.data(), out.size()), SRS_OK);
    EXPECT_EQ(first.at("k0"), "alice@a.example");
    EXPECT_TRUE(second.empty());
    // Same secret, same identifier, other store: not found there.
    EXPECT_EQ(srs_reverse(b.get(), out.data(), back.data(), back.size()), SRS_DB_LOOKUP_FAILED);
    ASSERT_EQ(srs_reverse(a.get(), out.data(), back.data(), back.size()), SRS_OK);
    EXPECT_STREQ(back.data(), "alice@a.example");
}

TEST_F(Database, CallbackErrorsPassThrough) {
    for (const int rc : {SRS_DB_ERROR, SRS_DB_LOOKUP_FAILED}) {
        insert_result = rc;
        const auto r = forward("a@b");
        EXPECT_EQ(r.first, rc);
        EXPECT_EQ(r.second, "####");
    }
    insert_result = SRS_CASE_BROKEN; // not an error: the call goes on
    EXPECT_EQ(forward("a@b").first, SRS_OK);

    const std::string unknown =
        "SRS0=" +
        oracle::hash_text("secret", oracle::lower(oracle::stamp_days_ago(0) + "nope"))
            .substr(0, 6) +
        "=" + oracle::stamp_days_ago(0) + "=nope@fwd";
    EXPECT_EQ(reverse(unknown).first, SRS_DB_LOOKUP_FAILED);
}

TEST_F(Database, ForgedOrExpiredAddressesNeverReachTheStore) {
    const auto r = forward("a@b");
    std::string forged = r.second;
    forged[5] = forged[5] == 'A' ? 'B' : 'A';
    EXPECT_EQ(reverse(forged).first, SRS_HASH_FORGED);

    const std::string old = oracle::stamp_days_ago(40);
    const std::string expired =
        "SRS0=" + oracle::hash_text("secret", oracle::lower(old + "id0")).substr(0, 6) + "=" + old +
        "=id0@fwd";
    EXPECT_EQ(reverse(expired).first, SRS_TIMESTAMP_EXPIRED);
    EXPECT_EQ(lookups, 0);
}

TEST_F(Database, MissingCallbacks) {
    // Lookup only: plain addresses need the insert callback, SRS0 inputs don't.
    srs_set_db_functions(h.get(), nullptr, lookup);
    EXPECT_EQ(forward("a@b").first, SRS_DB_ERROR);
    EXPECT_EQ(forward("SRS0=x=y=z=w@hop").first, SRS_OK);

    // Insert only: reverse answers 516, but only after the stamp check.
    srs_set_db_functions(h.get(), insert, nullptr);
    const auto r = forward("a@b");
    ASSERT_EQ(r.first, SRS_OK);
    EXPECT_EQ(reverse(r.second).first, SRS_DB_ERROR);
    const std::string old = oracle::stamp_days_ago(40);
    EXPECT_EQ(reverse("SRS0=abcdef=" + old + "=id0@fwd").first, SRS_TIMESTAMP_EXPIRED);

    // SRS1 addresses never touch the store.
    srs_set_db_functions(h.get(), insert, lookup);
    std::array<char, 256> srs1;
    ASSERT_EQ(srs_forward(h.get(), "SRS0=x=y=z=w@hop", "fwd", srs1.data(), srs1.size()), SRS_OK);
    EXPECT_EQ(reverse(srs1.data()).second, "SRS0=x=y=z=w@hop");
    EXPECT_EQ(lookups, 0);
}

TEST_F(Database, SendersLongerThanWhatIsReadAreRefused) {
    // 256 characters reach the store whole; a longer sender is refused
    // rather than stored cut short.
    const std::string longest = std::string(250, 'l') + "@d.org";
    ASSERT_EQ(longest.size(), 256u);
    EXPECT_EQ(forward(longest.c_str()).first, SRS_OK);
    EXPECT_EQ(last_length, 256);
    EXPECT_EQ(store["id0"], longest);
    EXPECT_EQ(forward((longest + "x").c_str()).first, SRS_ADDRESS_TOO_LONG);
    EXPECT_EQ(store.size(), 1u);
}

TEST_F(Database, StoredEntryStaysWhenTheBufferIsTooSmall) {
    std::array<char, 8> small;
    small.fill('#');
    EXPECT_EQ(srs_forward(h.get(), "a@b", "fwd", small.data(), small.size()), SRS_BUFFER_TOO_SMALL);
    EXPECT_EQ(std::string(small.data(), small.size()), "########");
    EXPECT_EQ(store.size(), 1u);
}

TEST(UniqueId, IsTheBase64HmacOfTheText) {
    Handle h = oracle::open("secret");
    struct Case {
        const char *text;
        uint32_t length;
        std::string expected;
    };
    const std::string full = oracle::hash_text("secret", "User@Example.com");
    const Case cases[] = {
        {"User@Example.com", 29, full},
        {"User@Example.com", 64, full},
        {"User@Example.com", 7, full.substr(0, 6)},
        {"User@Example.com", 1, ""},
        {"", 29, oracle::hash_text("secret", "")},
        {"user@example.com", 29, oracle::hash_text("secret", "user@example.com")}, // no folding
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(testing::Message() << c.text << " / " << c.length);
        std::vector<char> buf(c.length + 4, '#');
        ASSERT_EQ(srs_generate_unique_id(h.get(), c.text, buf.data(), c.length), SRS_OK);
        EXPECT_EQ(std::string(buf.data()), c.expected);
        // strncpy-style: the rest of the buffer is zero-filled, nothing past it.
        for (uint32_t i = static_cast<uint32_t>(c.expected.size()); i < c.length; ++i)
            EXPECT_EQ(buf[i], '\0');
        EXPECT_EQ(buf[c.length], '#');
    }
    EXPECT_NE(full, oracle::hash_text("secret", "user@example.com"));

    Handle other = oracle::open("another");
    std::array<char, 29> a, b;
    srs_generate_unique_id(h.get(), "x", a.data(), a.size());
    srs_generate_unique_id(other.get(), "x", b.data(), b.size());
    EXPECT_STRNE(a.data(), b.data());
}

TEST(UniqueId, Errors) {
    Handle h = oracle::open("secret");
    std::array<char, 4> buf{'#', '#', '#', '#'};
    EXPECT_EQ(srs_generate_unique_id(nullptr, "x", buf.data(), 4), SRS_BAD_HANDLE);
    EXPECT_EQ(srs_generate_unique_id(h.get(), nullptr, buf.data(), 4), SRS_BAD_PARAMETER);
    EXPECT_EQ(srs_generate_unique_id(h.get(), "x", buf.data(), 0), SRS_BAD_PARAMETER);
    EXPECT_EQ(std::string(buf.data(), 4), "####");
}

} // namespace
