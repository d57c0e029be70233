// What the library does when memory runs out, what it leaves in memory it
// releases, and that rewriting allocates nothing. malloc, calloc and free
// are wrapped at link time (-Wl,--wrap=...), so calls from the library come
// through here.
#include "librewrite.h"

#include "oracle.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <climits>
#include <cstddef>
#include <cstring>
#include <string>

extern "C" {
void *__real_malloc(std::size_t size);
void *__real_calloc(std::size_t count, std::size_t size);
void __real_free(void *p);
}

namespace {

int pass_next = 0;    // allocations to let through before failing
int fail_next = 0;    // allocations then still to fail
long allocations = 0; // malloc and calloc calls so far, failed ones too

// The latest blocks handed out, with the sizes asked for.
struct Block {
    const void *p = nullptr;
    std::size_t size = 0;
};
std::array<Block, 64> recent;
std::size_t recent_count = 0;

void *remember(void *p, std::size_t size) {
    if (p != nullptr) recent[recent_count++ % recent.size()] = {p, size};
    return p;
}

// Blocks whose contents are checked when they are freed.
struct Watched {
    const void *block = nullptr;
    std::size_t size = 0;
    bool freed = false;
    bool was_zero = false;
};
std::array<Watched, 3> watched;

bool fails() {
    ++allocations;
    if (pass_next > 0) {
        --pass_next;
        return false;
    }
    if (fail_next > 0) {
        --fail_next;
        return true;
    }
    return false;
}

} // namespace

extern "C" {

void *__wrap_malloc(std::size_t size) {
    return fails() ? nullptr : remember(__real_malloc(size), size);
}

void *__wrap_calloc(std::size_t count, std::size_t size) {
    return fails() ? nullptr : remember(__real_calloc(count, size), count * size);
}

void __wrap_free(void *p) {
    for (Watched &w : watched)
        if (p != nullptr && p == w.block) {
            const auto *bytes = static_cast<const unsigned char *>(p);
            w.was_zero = std::all_of(bytes, bytes + w.size, [](unsigned char b) { return b == 0; });
            w.freed = true;
            w.block = nullptr;
        }
    __real_free(p);
}

} // extern "C"

namespace {

// Watches up to three blocks, each whole as it was allocated.
void watch(std::initializer_list<const void *> blocks) {
    watched = {};
    std::size_t i = 0;
    for (const void *block : blocks) {
        std::size_t size = 0;
        for (std::size_t k = 0; k < std::min(recent_count, recent.size()); ++k)
            if (recent[(recent_count - 1 - k) % recent.size()].p == block) {
                size = recent[(recent_count - 1 - k) % recent.size()].size;
                break;
            }
        ASSERT_NE(size, 0u) << "not one of the latest blocks allocated";
        watched[i++] = {block, size, false, false};
    }
}

void expect_watched_wiped(std::size_t count) {
    for (std::size_t i = 0; i < count; ++i) {
        EXPECT_TRUE(watched[i].freed) << "block " << i;
        EXPECT_TRUE(watched[i].was_zero) << "block " << i;
    }
}

class AllocFailure : public testing::Test {
  protected:
    void TearDown() override {
        pass_next = 0;
        fail_next = 0;
        watched = {};
    }
};

TEST_F(AllocFailure, OpenReturnsNull) {
    fail_next = 1;
    EXPECT_EQ(srs_open("secret", 6, 0, 0, 0), nullptr);
}

TEST_F(AllocFailure, AddSecretLeavesHandleUnchanged) {
    // A growth takes two blocks, the secrets and their key states: whichever
    // fails, the handle is as before (and the sanitizer build sees the other
    // block released).
    for (const int passed : {0, 1}) {
        SCOPED_TRACE(testing::Message() << "allocations passed before the failure: " << passed);
        srs_handle *h = srs_open("secret", 6, 0, 0, 0);
        ASSERT_NE(h, nullptr);

        // First growth fails.
        srs_handle before = *h;
        pass_next = passed;
        fail_next = 1;
        EXPECT_EQ(srs_add_secret(h, "one", 3), SRS_OUT_OF_MEMORY);
        EXPECT_EQ(std::memcmp(&before, h, sizeof before), 0);

        // A later growth fails: the old arrays, count and capacity stay valid.
        for (int i = 0; i < 8; ++i)
            ASSERT_EQ(srs_add_secret(h, "k", 1), SRS_OK);
        before = *h;
        pass_next = passed;
        fail_next = 1;
        EXPECT_EQ(srs_add_secret(h, "ninth", 5), SRS_OUT_OF_MEMORY);
        EXPECT_EQ(std::memcmp(&before, h, sizeof before), 0);
        EXPECT_EQ(h->secrets[7].secret[0], 'k');
        EXPECT_EQ(srs__hash_verify(h, "data", 4, oracle::hash_text("k", "data").c_str(), 8),
                  SRS_OK);

        // And it works again once memory is back.
        EXPECT_EQ(srs_add_secret(h, "ninth", 5), SRS_OK);
        EXPECT_EQ(h->secret_capacity, 16);
        srs_close(h);
    }
}

TEST_F(AllocFailure, HmacStartReportsMinusOne) {
    mHMAC_ctx ctx;
    fail_next = 1;
    EXPECT_EQ(mHMAC_start(&ctx, &mHMACD_SHA1, "key", 3), -1);
}

TEST_F(AllocFailure, RewritingNeitherAllocatesNorFails) {
    // Secrets made with several secrets of the handle, one changed in place
    // (its states are then computed on the stack), and every allocation
    // failing: the rewriting calls still succeed, without one allocation.
    srs_handle *h = srs_open("secret", 6, 0, 0, 0);
    ASSERT_NE(h, nullptr);
    for (int i = 0; i < 9; ++i) {
        const std::string s = "older-" + std::to_string(i);
        ASSERT_EQ(srs_add_secret(h, s.data(), static_cast<uint32_t>(s.size())), SRS_OK);
    }
    srs_handle *by_older = srs_open("older-8", 7, 0, 0, 0);
    ASSERT_NE(by_older, nullptr);
    char made_by_primary[256], made_by_older[256], srs1[256], forged[256];
    ASSERT_EQ(srs_forward(h, "user@example.com", "fwd", made_by_primary, 256), SRS_OK);
    ASSERT_EQ(srs_forward(by_older, "user@example.com", "fwd", made_by_older, 256), SRS_OK);
    ASSERT_EQ(srs_forward(h, made_by_primary, "hop2", srs1, 256), SRS_OK);
    std::strcpy(forged, made_by_primary);
    forged[5] = forged[5] == 'A' ? 'B' : 'A';
    std::memcpy(h->secrets[3].secret, "OLDER", 5); // changed in place

    const long before = allocations;
    fail_next = INT_MAX;
    char out[256];
    unsigned char digest[20];
    int digest_len = 0;
    for (const char *address : {"user@example.com", "SRS0=h=TT=d=l@hop1", "SRS1=h=hop1==x@hop2"})
        EXPECT_EQ(srs_forward(h, address, "fwd", out, sizeof out), SRS_OK) << address;
    EXPECT_EQ(srs_reverse(h, made_by_primary, out, sizeof out), SRS_OK);
    EXPECT_EQ(srs_reverse(h, made_by_older, out, sizeof out), SRS_OK);
    EXPECT_EQ(srs_reverse(h, srs1, out, sizeof out), SRS_OK);
    EXPECT_EQ(srs_reverse(h, forged, out, sizeof out), SRS_HASH_FORGED);
    EXPECT_EQ(srs_generate_unique_id(h, "text", out, sizeof out), SRS_OK);
    EXPECT_EQ(srs__hash(h, 3, "data", 4, digest, &digest_len), SRS_OK);
    EXPECT_EQ(srs__hash_verify(h, "data", 4, "AAAAAAAA", 8), SRS_CHECK_FAILED);
    EXPECT_EQ(allocations - before, 0);
    fail_next = 0;
    srs_close(by_older);
    srs_close(h);
}

TEST_F(AllocFailure, CloseWipesSecretsBeforeRelease) {
    srs_handle *h = srs_open("primary-secret", 14, 0, 0, 0);
    ASSERT_NE(h, nullptr);
    ASSERT_EQ(srs_add_secret(h, "further-secret", 14), SRS_OK);

    // The further secrets and their key states; the block of the handle
    // itself, with the primary secret and its key states.
    watch({h->secrets, h->secret_keys, h});
    srs_close(h);
    expect_watched_wiped(3);
}

TEST_F(AllocFailure, GrowingSecretsWipesTheOldArrays) {
    srs_handle *h = srs_open("secret", 6, 0, 0, 0);
    for (int i = 0; i < 8; ++i)
        ASSERT_EQ(srs_add_secret(h, "old-secret", 10), SRS_OK);
    watch({h->secrets, h->secret_keys});
    ASSERT_EQ(srs_add_secret(h, "ninth", 5), SRS_OK);
    expect_watched_wiped(2);
    srs_close(h);
}

TEST_F(AllocFailure, HmacEndWipesTheKeyedHashContext) {
    mHMAC_ctx ctx;
    ASSERT_EQ(mHMAC_start(&ctx, &mHMACD_SHA1, "key", 3), 0);
    watch({ctx.hash_ctx});
    mHMAC_end(&ctx, nullptr);
    expect_watched_wiped(1);
}

} // namespace
