// Handles, options, further secrets and result codes.
#include "librewrite.h"

#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>

namespace {

struct HandleCloser {
    void operator()(srs_handle *h) const { srs_close(h); }
};
using Handle = std::unique_ptr<srs_handle, HandleCloser>;

Handle open(const char *secret = "secret", uint32_t len = 6, uint32_t max_age = 0,
            uint32_t hash_length = 0, uint32_t hash_min = 0) {
    return Handle(srs_open(secret, len, max_age, hash_length, hash_min));
}

TEST(HandleOpen, RefusesUnusableSecrets) {
    const char zero_first[] = {'\0', 'a', 'b'};
    EXPECT_EQ(srs_open(nullptr, 6, 0, 0, 0), nullptr);
    EXPECT_EQ(srs_open("", 1, 0, 0, 0), nullptr);
    EXPECT_EQ(srs_open("", 0, 0, 0, 0), nullptr);
    EXPECT_EQ(srs_open(zero_first, 3, 0, 0, 0), nullptr);
    EXPECT_EQ(srs_open("secret", 0, 0, 0, 0), nullptr);
    EXPECT_EQ(srs_open("0123456789abcdef0123456789abcdefX", 33, 0, 0, 0), nullptr);
}

TEST(HandleOpen, DefaultsAfterOpen) {
    auto h = open("secret", 6);
    ASSERT_NE(h, nullptr);
    EXPECT_EQ(std::memcmp(h->secret, "secret", 6), 0);
    EXPECT_EQ(h->secret_len, 6u);
    EXPECT_EQ(h->max_age, 31u);
    EXPECT_EQ(h->hash_length, 6u);
    EXPECT_EQ(h->separator, '=');
    EXPECT_EQ(h->use_timestamp, 1u);
    EXPECT_EQ(h->use_hash, 1u);
    EXPECT_EQ(h->use_database, 0u);
    EXPECT_EQ(h->db_insert, nullptr);
    EXPECT_EQ(h->db_lookup, nullptr);
    EXPECT_EQ(h->secret_count, 0);
    EXPECT_EQ(h->secrets, nullptr);
    EXPECT_EQ(h->secret_capacity, 0);
    EXPECT_EQ(open("secret", 6, 10)->max_age, 10u);
}

TEST(HandleOpen, KeepsExactlyTheGivenBytes) {
    // 32 bytes with zeros after the first all stay in the handle.
    char secret[32];
    for (int i = 0; i < 32; ++i)
        secret[i] = static_cast<char>(i % 3 == 0 ? 'k' : 0);
    auto h = open(secret, 32);
    ASSERT_NE(h, nullptr);
    EXPECT_EQ(h->secret_len, 32u);
    EXPECT_EQ(std::memcmp(h->secret, secret, 32), 0);

    // A longer text opened with a shorter length keeps only that prefix.
    auto p = open("0123456789", 4);
    ASSERT_NE(p, nullptr);
    EXPECT_EQ(p->secret_len, 4u);
    EXPECT_EQ(std::memcmp(p->secret, "0123", 4), 0);
}

TEST(HandleOpen, HashLengthDefaults) {
    struct Case {
        uint32_t length_arg, min_arg, hash_length, hash_min;
    };
    const Case cases[] = {
        {0, 0, 6, 6}, // both defaulted: the minimum is never 0
        {4, 0, 4, 4},     {10, 0, 10, 6}, {6, 0, 6, 6}, {5, 0, 5, 5},
        {0, 8, 8, 8},     {0, 7, 7, 7},   {0, 6, 6, 6}, {0, 3, 6, 3},
        {12, 3, 12, 3},   {3, 12, 3, 12}, // no cross-check between the two
        {28, 28, 28, 28},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(testing::Message() << "length " << c.length_arg << " min " << c.min_arg);
        auto h = open("secret", 6, 0, c.length_arg, c.min_arg);
        ASSERT_NE(h, nullptr);
        EXPECT_EQ(h->hash_length, c.hash_length);
        EXPECT_EQ(h->hash_min, c.hash_min);
    }
}

TEST(HandleSetters, Separator) {
    auto h = open();
    for (const int sep : {'+', '-', '='}) {
        EXPECT_EQ(srs_set_separator(h.get(), sep), SRS_OK);
        EXPECT_EQ(h->separator, sep);
    }
    srs_set_separator(h.get(), '+');
    for (const int bad : {int{':'}, 0, int{'@'}, '=' + 256, -1}) {
        EXPECT_EQ(srs_set_separator(h.get(), bad), SRS_BAD_PARAMETER) << bad;
        EXPECT_EQ(h->separator, '+');
    }
    EXPECT_EQ(srs_set_separator(nullptr, '+'), SRS_BAD_HANDLE);
}

TEST(HandleSetters, Options) {
    auto h = open();
    EXPECT_EQ(srs_set_option(h.get(), SRS_OPT_TIMESTAMP, 7), SRS_OK);
    EXPECT_EQ(h->use_timestamp, 1u);
    EXPECT_EQ(srs_set_option(h.get(), SRS_OPT_TIMESTAMP, 0), SRS_OK);
    EXPECT_EQ(h->use_timestamp, 0u);
    EXPECT_EQ(srs_set_option(h.get(), SRS_OPT_HASH, 0), SRS_OK);
    EXPECT_EQ(h->use_hash, 0u);
    EXPECT_EQ(srs_set_option(h.get(), SRS_OPT_HASH, -3), SRS_OK);
    EXPECT_EQ(h->use_hash, 1u);

    const srs_handle before = *h;
    for (const int bad : {0, 3, -1})
        EXPECT_EQ(srs_set_option(h.get(), bad, 1), SRS_BAD_PARAMETER);
    EXPECT_EQ(std::memcmp(&before, h.get(), sizeof before), 0);
    EXPECT_EQ(srs_set_option(nullptr, SRS_OPT_HASH, 1), SRS_BAD_HANDLE);
}

int insert_stub(srs_handle *, const char *, int, char *, int) {
    return SRS_OK;
}
int lookup_stub(srs_handle *, const char *, int, char *, uint32_t) {
    return SRS_OK;
}

TEST(HandleSetters, DatabaseFunctions) {
    auto h = open();
    EXPECT_EQ(srs_set_db_functions(h.get(), nullptr, nullptr), SRS_DB_NOT_IN_USE);
    EXPECT_EQ(h->use_database, 0u);

    // One callback is enough to switch database mode on.
    EXPECT_EQ(srs_set_db_functions(h.get(), insert_stub, nullptr), SRS_OK);
    EXPECT_EQ(h->use_database, 1u);
    EXPECT_EQ(h->db_insert, insert_stub);
    EXPECT_EQ(h->db_lookup, nullptr);

    EXPECT_EQ(srs_set_db_functions(h.get(), nullptr, lookup_stub), SRS_OK);
    EXPECT_EQ(h->db_insert, nullptr); // a null replaces the earlier callback
    EXPECT_EQ(h->db_lookup, lookup_stub);

    EXPECT_EQ(srs_set_db_functions(h.get(), nullptr, nullptr), SRS_DB_NOT_IN_USE);
    EXPECT_EQ(h->use_database, 0u);
    EXPECT_EQ(h->db_lookup, nullptr);
    EXPECT_EQ(srs_set_db_functions(nullptr, insert_stub, lookup_stub), SRS_BAD_HANDLE);
}

TEST(HandleSecrets, GrowsByEightKeepingOrder) {
    auto h = open();
    std::string secrets[17];
    for (int i = 0; i < 17; ++i) {
        secrets[i] = "further-" + std::to_string(i);
        ASSERT_EQ(
            srs_add_secret(h.get(), secrets[i].c_str(), static_cast<uint32_t>(secrets[i].size())),
            SRS_OK);
        EXPECT_EQ(h->secret_count, i + 1);
        EXPECT_EQ(h->secret_capacity, (i / 8 + 1) * 8);
    }
    for (int i = 0; i < 17; ++i) {
        ASSERT_EQ(h->secrets[i].secret_len, secrets[i].size());
        EXPECT_EQ(std::memcmp(h->secrets[i].secret, secrets[i].data(), secrets[i].size()), 0);
    }
    // The primary secret is untouched by further secrets.
    EXPECT_EQ(std::memcmp(h->secret, "secret", 6), 0);
}

TEST(HandleSecrets, RefusesWithoutChange) {
    auto h = open();
    ASSERT_EQ(srs_add_secret(h.get(), "one", 3), SRS_OK);
    const srs_handle before = *h;
    const char zero_first[] = {'\0', 'x'};
    EXPECT_EQ(srs_add_secret(h.get(), nullptr, 3), SRS_BAD_PARAMETER);
    EXPECT_EQ(srs_add_secret(h.get(), "", 1), SRS_BAD_PARAMETER);
    EXPECT_EQ(srs_add_secret(h.get(), zero_first, 2), SRS_BAD_PARAMETER);
    EXPECT_EQ(srs_add_secret(h.get(), "two", 0), SRS_BAD_PARAMETER);
    EXPECT_EQ(srs_add_secret(h.get(), "0123456789abcdef0123456789abcdefX", 33), SRS_BAD_PARAMETER);
    EXPECT_EQ(std::memcmp(&before, h.get(), sizeof before), 0);
    EXPECT_EQ(srs_add_secret(nullptr, "two", 3), SRS_BAD_HANDLE);

    // 32 bytes is the longest secret accepted.
    EXPECT_EQ(srs_add_secret(h.get(), "0123456789abcdef0123456789abcdef", 32), SRS_OK);
    EXPECT_EQ(h->secrets[1].secret_len, 32u);
}

TEST(HandleClose, AcceptsNullAndReturnsZero) {
    EXPECT_EQ(srs_close(nullptr), SRS_OK);
    srs_handle *h = srs_open("secret", 6, 0, 0, 0);
    ASSERT_EQ(srs_add_secret(h, "more", 4), SRS_OK);
    EXPECT_EQ(srs_close(h), SRS_OK);
}

TEST(ResultCodes, MessagesAndErrorTest) {
    struct Case {
        int code;
        const char *text;
        bool error;
    };
    const Case cases[] = {
        {0, "The call was successful", false},
        {1, "Hash matched but case was broken", false},
        {2, "Database not in use", false},
        {257, "Invalid SRS handle passed", true},
        {258, "One of the parameters passed was invalid", true},
        {259, "There was an invalid character found (usually in an address)", true},
        {260, "The SRS syntax was faulty", true},
        {261, "Address is not a SRS address", true},
        {262, "Hash shorter than minimum length", true},
        {263, "Hash verification failed (forged)", true},
        {264, "Time stamp contained bad characters", true},
        {265, "Time stamp expired", true},
        {272, "Database ID lookup failed", true},
        {513, "Out of memory", true},
        {514, "Return buffer is too small for data", true},
        {515, "Address was too long (either a given address or the processed return data)", true},
        {516, "An error occurred querying database", true},
        {65281, "Internal error", true},
        // Values without a row of their own.
        {3, "No such SRS error number.", false},
        {256, "No such SRS error number.", true},
        {266, "No such SRS error number.", true},
        {271, "No such SRS error number.", true},
        {65280, "No such SRS error number.", true},
        {-1, "No such SRS error number.", true},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.code);
        EXPECT_STREQ(srs_geterrormsg(c.code), c.text);
        EXPECT_EQ(SRS_IS_ERROR(c.code), c.error);
    }
}

TEST(ResultCodes, NamesHaveTheirValues) {
    EXPECT_EQ(SRS_BAD_HANDLE, 0x101);
    EXPECT_EQ(SRS_TIMESTAMP_EXPIRED, 0x109);
    EXPECT_EQ(SRS_DB_LOOKUP_FAILED, 0x110);
    EXPECT_EQ(SRS_OUT_OF_MEMORY, 0x201);
    EXPECT_EQ(SRS_DB_ERROR, 0x204);
    EXPECT_EQ(SRS_CHECK_FAILED, 0xFF00);
    EXPECT_EQ(SRS_INTERNAL_ERROR, 0xFF01);
}

} // namespace
