/* The public header from C99: every public function called from C, and the
 * program linked with the C compiler alone. Exits non-zero on a failure. */
#include <librewrite/librewrite.h>

#include <stdio.h>
#include <string.h>

static int failures = 0;

#define CHECK(cond)                                                                                \
    do {                                                                                           \
        if (!(cond)) {                                                                             \
            fprintf(stderr, "%s:%d: check failed: %s\n", __FILE__, __LINE__, #cond);               \
            ++failures;                                                                            \
        }                                                                                          \
    } while (0)

static int insert_cb(srs_handle *h, const char *address, int len, char *id, int room) {
    (void)h;
    (void)address;
    (void)len;
    (void)room;
    strcpy(id, "id");
    return SRS_OK;
}

static int lookup_cb(srs_handle *h, const char *id, int id_len, char *buf, uint32_t len) {
    (void)h;
    (void)id;
    (void)id_len;
    (void)buf;
    (void)len;
    return SRS_DB_LOOKUP_FAILED;
}

static void test_version(void) {
    char expected[32];
    snprintf(expected, sizeof expected, "%d.%d.%d", LIBREWRITE_VERSION_MAJOR,
             LIBREWRITE_VERSION_MINOR, LIBREWRITE_VERSION_PATCH);
    CHECK(strcmp(LIBREWRITE_VERSION_STRING, expected) == 0);
    CHECK(strcmp(srs_version(), LIBREWRITE_VERSION_STRING) == 0);
}

static void test_handle(void) {
    srs_handle *h = srs_open("secret", 6, 0, 0, 0);
    CHECK(h != NULL);
    if (h == NULL) return;
    CHECK(h->max_age == 31 && h->hash_length == 6 && h->hash_min == 6);
    CHECK(srs_set_separator(h, '+') == SRS_OK && h->separator == '+');
    CHECK(srs_set_option(h, SRS_OPT_TIMESTAMP, 0) == SRS_OK && h->use_timestamp == 0);
    CHECK(srs_set_option(h, SRS_OPT_HASH, 1) == SRS_OK);
    CHECK(srs_set_db_functions(h, insert_cb, lookup_cb) == SRS_OK && h->use_database == 1);
    CHECK(srs_set_db_functions(h, NULL, NULL) == SRS_DB_NOT_IN_USE);
    CHECK(srs_get_db_context(h) == NULL && h->db_context == NULL);
    CHECK(srs_set_db_context(h, &failures) == SRS_OK && srs_get_db_context(h) == &failures);
    CHECK(srs_set_db_context(NULL, &failures) == SRS_BAD_HANDLE);
    CHECK(srs_get_db_context(NULL) == NULL);
    CHECK(srs_add_secret(h, "older", 5) == SRS_OK && h->secret_count == 1);
    CHECK(strcmp(srs_geterrormsg(SRS_HASH_FORGED), "Hash verification failed (forged)") == 0);
    CHECK(SRS_IS_ERROR(SRS_BUFFER_TOO_SMALL) && !SRS_IS_ERROR(SRS_CASE_BROKEN));
    CHECK(srs_close(h) == 0);
}

static void test_tokens(void) {
    srs_handle *h = srs_open("secret", 6, 0, 0, 0);
    unsigned char digest[20];
    int digest_len = 0;
    char stamp[2];
    CHECK(h != NULL);
    if (h == NULL) return;
    /* base64(HMAC-SHA1("secret", "data")) = mBjjMGulrCZ7XyZ5/kq9N+bNe1Q= */
    CHECK(srs__hash(h, -1, "data", 4, digest, &digest_len) == SRS_OK && digest_len == 20);
    CHECK(srs__hash_verify(h, "data", 4, "mBjjMG", 6) == SRS_OK);
    CHECK(srs__hash_verify(h, "data", 4, "MBJJMG", 6) == SRS_CASE_BROKEN);
    CHECK(srs_timestamp_create((time_t)0, stamp) == SRS_OK && stamp[0] == 'A' && stamp[1] == 'A');
    CHECK(srs_timestamp_check(h, "AA", (time_t)0) == SRS_OK);
    srs_close(h);
}

static void test_address(void) {
    char buf[32];
    unsigned char bytes[8];
    uint32_t n = 0;
    CHECK(srs__get_domain_start("user@example.org") == 5);
    CHECK(strncpytolower(buf, "MiXeD", 32) == 5 && strcmp(buf, "mixed") == 0);
    CHECK(srs__base64enc("foobar", 6, buf, sizeof buf) == SRS_OK && strcmp(buf, "Zm9vYmFy") == 0);
    CHECK(srs__base32enc("foobar", 6, buf, sizeof buf) == SRS_OK &&
          strcmp(buf, "MZXW6YTBOI======") == 0);
    CHECK(srs__base64dec("Zm9vYg==", 8, bytes, sizeof bytes, &n) == SRS_OK && n == 4 &&
          memcmp(bytes, "foob", 4) == 0);
    CHECK(srs__BASE64[63] == '/' && srs__BASE32[31] == '7');
    CHECK(srs__BASE64rev['q'] == 42 && srs__BASE32rev['Q'] == 16);
}

static void test_hashes(void) {
    /* FIPS 180 "abc" and RFC 2202 test case 2. */
    static const unsigned char abc[20] = {0xa9, 0x99, 0x3e, 0x36, 0x47, 0x06, 0x81,
                                          0x6a, 0xba, 0x3e, 0x25, 0x71, 0x78, 0x50,
                                          0xc2, 0x6c, 0x9c, 0xd0, 0xd8, 0x9d};
    static const unsigned char jefe[20] = {0xef, 0xfc, 0xdf, 0x6a, 0xe5, 0xeb, 0x2f,
                                           0xa2, 0xd2, 0x74, 0x16, 0xd5, 0xf1, 0x84,
                                           0xdf, 0x9c, 0x25, 0x9a, 0x7c, 0x79};
    mSHA1_ctx sha;
    mHMAC_ctx mac;
    unsigned char out[20];
    unsigned char block[64];
    memset(block, 0, sizeof block);

    mSHA1_start(&sha);
    mSHA1_process(&sha, "abc", 3);
    mSHA1_end(&sha, NULL);
    mSHA1_gethash(&sha, out);
    CHECK(memcmp(out, abc, 20) == 0);
    mSHA1_start(&sha);
    mSHA1_block(&sha, block);
    CHECK(mHMACD_SHA1.block_size == 64 && mHMACD_SHA1.digest_size == 20 &&
          mHMACD_SHA1.ctx_size == (int32_t)sizeof(mSHA1_ctx));

    CHECK(mHMAC_start(&mac, &mHMACD_SHA1, "Jefe", 4) == 0);
    mHMAC_process(&mac, "what do ya want ", 16);
    mHMAC_process(&mac, "for nothing?", 12);
    mHMAC_end(&mac, NULL);
    mHMAC_gethash(&mac, out);
    CHECK(memcmp(out, jefe, 20) == 0);
}

int main(void) {
    test_version();
    test_handle();
    test_tokens();
    test_address();
    test_hashes();
    if (failures != 0) {
        fprintf(stderr, "%d C interface checks failed\n", failures);
        return 1;
    }
    puts("C interface: all checks passed");
    return 0;
}
