// What the library does when memory runs out, and what it leaves in memory
// it releases. malloc, calloc and free are wrapped at link time
// (-Wl,--wrap=...), so calls from the library come through here.
#include "librewrite.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstddef>
#include <cstring>

extern "C" {
void *__real_malloc(std::size_t size);
void *__real_calloc(std::size_t count, std::size_t size);
void __real_free(void *p);
}

namespace {

int fail_next = 0;             // allocations still to fail
const void *watched = nullptr; // a block whose contents are checked at free
std::size_t watched_size = 0;
bool watched_freed = false;
bool watched_was_zero = false;

} // namespace

extern "C" {

void *__wrap_malloc(std::size_t size) {
    if (fail_next > 0) {
        --fail_next;
        return nullptr;
    }
    return __real_malloc(size);
}

void *__wrap_calloc(std::size_t count, std::size_t size) {
    if (fail_next > 0) {
        --fail_next;
        return nullptr;
    }
    return __real_calloc(count, size);
}

void __wrap_free(void *p) {
    if (p != nullptr && p == watched) {
        const auto *bytes = static_cast<const unsigned char *>(p);
        watched_was_zero =
            std::all_of(bytes, bytes + watched_size, [](unsigned char b) { return b == 0; });
        watched_freed = true;
        watched = nullptr;
    }
    __real_free(p);
}

} // extern "C"

namespace {

void watch(const void *p, std::size_t size) {
    watched = p;
    watched_size = size;
    watched_freed = false;
    watched_was_zero = false;
}

class AllocFailure : public testing::Test {
  protected:
    void TearDown() override {
        fail_next = 0;
        watched = nullptr;
    }
};

TEST_F(AllocFailure, OpenReturnsNull) {
    fail_next = 1;
    EXPECT_EQ(srs_open("secret", 6, 0, 0, 0), nullptr);
}

TEST_F(AllocFailure, AddSecretLeavesHandleUnchanged) {
    srs_handle *h = srs_open("secret", 6, 0, 0, 0);
    ASSERT_NE(h, nullptr);

    // First growth fails.
    srs_handle before = *h;
    fail_next = 1;
    EXPECT_EQ(srs_add_secret(h, "one", 3), SRS_OUT_OF_MEMORY);
    EXPECT_EQ(std::memcmp(&before, h, sizeof before), 0);

    // A later growth fails: the old array, count and capacity stay valid.
    for (int i = 0; i < 8; ++i)
        ASSERT_EQ(srs_add_secret(h, "k", 1), SRS_OK);
    before = *h;
    fail_next = 1;
    EXPECT_EQ(srs_add_secret(h, "ninth", 5), SRS_OUT_OF_MEMORY);
    EXPECT_EQ(std::memcmp(&before, h, sizeof before), 0);
    EXPECT_EQ(h->secrets[7].secret[0], 'k');

    // And it works again once memory is back.
    EXPECT_EQ(srs_add_secret(h, "ninth", 5), SRS_OK);
    EXPECT_EQ(h->secret_capacity, 16);
    srs_close(h);
}

TEST_F(AllocFailure, HmacStartReportsMinusOne) {
    mHMAC_ctx ctx;
    fail_next = 1;
    EXPECT_EQ(mHMAC_start(&ctx, &mHMACD_SHA1, "key", 3), -1);
}

TEST_F(AllocFailure, HashTokenFailsWithoutContext) {
    srs_handle *h = srs_open("secret", 6, 0, 0, 0);
    ASSERT_NE(h, nullptr);
    unsigned char digest[20];
    int len = 0;
    fail_next = 1;
    EXPECT_NE(srs__hash(h, -1, "data", 4, digest, &len), SRS_OK);

    // A secret whose hash cannot be computed does not match; the next one
    // is still tried. "dSNsgn" is the start of base64(HMAC-SHA1("other",
    // "data")), computed independently.
    ASSERT_EQ(srs_add_secret(h, "other", 5), SRS_OK);
    fail_next = 1;
    EXPECT_EQ(srs__hash_verify(h, "data", 4, "dSNsgn", 6), SRS_OK);
    fail_next = 2;
    EXPECT_EQ(srs__hash_verify(h, "data", 4, "dSNsgn", 6), SRS_CHECK_FAILED);
    srs_close(h);
}

TEST_F(AllocFailure, RewritingReportsAnInternalError) {
    srs_handle *h = srs_open("secret", 6, 0, 0, 0);
    ASSERT_NE(h, nullptr);
    char buf[256];
    std::memset(buf, '#', sizeof buf);
    for (const char *address : {"user@example.com", "SRS0=h=TT=d=l@hop1", "SRS1=h=hop1==x@hop2"}) {
        fail_next = 1;
        EXPECT_EQ(srs_forward(h, address, "fwd", buf, sizeof buf), SRS_INTERNAL_ERROR) << address;
        EXPECT_EQ(buf[0], '#');
    }
    fail_next = 1;
    EXPECT_EQ(srs_generate_unique_id(h, "text", buf, sizeof buf), SRS_INTERNAL_ERROR);
    EXPECT_EQ(buf[0], '#');

    // Reverse: a hash that cannot be computed is a hash that does not match.
    ASSERT_EQ(srs_forward(h, "SRS0=h=TT=d=l@hop1", "fwd", buf, sizeof buf), SRS_OK);
    char out[256];
    fail_next = 1;
    EXPECT_EQ(srs_reverse(h, buf, out, sizeof out), SRS_HASH_FORGED);
    EXPECT_EQ(srs_reverse(h, buf, out, sizeof out), SRS_OK);
    srs_close(h);
}

TEST_F(AllocFailure, CloseWipesSecretsBeforeRelease) {
    srs_handle *h = srs_open("primary-secret", 14, 0, 0, 0);
    ASSERT_NE(h, nullptr);
    ASSERT_EQ(srs_add_secret(h, "further-secret", 14), SRS_OK);

    // The array of further secrets, wiped before it is freed.
    watch(h->secrets, static_cast<std::size_t>(h->secret_capacity) * sizeof(srs_secret));
    srs_close(h);
    EXPECT_TRUE(watched_freed);
    EXPECT_TRUE(watched_was_zero);

    // The record itself, with the primary secret.
    h = srs_open("primary-secret", 14, 0, 0, 0);
    ASSERT_NE(h, nullptr);
    watch(h, sizeof *h);
    srs_close(h);
    EXPECT_TRUE(watched_freed);
    EXPECT_TRUE(watched_was_zero);
}

TEST_F(AllocFailure, GrowingSecretsWipesTheOldArray) {
    srs_handle *h = srs_open("secret", 6, 0, 0, 0);
    for (int i = 0; i < 8; ++i)
        ASSERT_EQ(srs_add_secret(h, "old-secret", 10), SRS_OK);
    watch(h->secrets, 8 * sizeof(srs_secret));
    ASSERT_EQ(srs_add_secret(h, "ninth", 5), SRS_OK);
    EXPECT_TRUE(watched_freed);
    EXPECT_TRUE(watched_was_zero);
    srs_close(h);
}

TEST_F(AllocFailure, HmacEndWipesTheKeyedHashContext) {
    mHMAC_ctx ctx;
    ASSERT_EQ(mHMAC_start(&ctx, &mHMACD_SHA1, "key", 3), 0);
    watch(ctx.hash_ctx, static_cast<std::size_t>(mHMACD_SHA1.ctx_size));
    mHMAC_end(&ctx, nullptr);
    EXPECT_TRUE(watched_freed);
    EXPECT_TRUE(watched_was_zero);
}

} // namespace
