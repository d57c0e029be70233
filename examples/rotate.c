/* Key rotation with librewrite.
 *
 * A forwarder that changes its secret must still accept bounces to the
 * addresses it wrote with the old one, for as long as their day stamps are
 * valid (31 days by default). So it opens its handle with the new secret,
 * which forward rewriting uses, and adds the old one with srs_add_secret,
 * which reverse rewriting also accepts.
 *
 * This program walks through that: it writes an address under the old
 * secret, rotates, writes one under the new secret, reverses both, and shows
 * that a handle without the old secret refuses the old address. It prints
 * every step and exits with status 1 when any result is not the expected one.
 *
 * Build against an installed librewrite:
 *     cc -std=c99 rotate.c $(pkg-config --cflags --libs librewrite) -o rotate
 */
#include <librewrite/librewrite.h>

#include <stdio.h>
#include <string.h>

static const char sender[] = "alice@example.org";
static const char alias[] = "forwarder.example";
static const char old_secret[] = "the secret of last year";
static const char new_secret[] = "the secret of this year";

static int failures = 0;

static void fail(const char *what) {
    fprintf(stderr, "rotate: unexpected: %s\n", what);
    ++failures;
}

/* Opens a handle with one secret, 31 days, 6-character hashes. */
static srs_handle *open_with(const char *secret) {
    srs_handle *h = srs_open(secret, (uint32_t)strlen(secret), 0, 0, 0);
    if (h == NULL) fail("srs_open returned NULL");
    return h;
}

/* Forwards the sender; 1 on success with the result in out. */
static int forward(srs_handle *h, char *out, uint32_t len) {
    const int rc = srs_forward(h, sender, alias, out, len);
    if (SRS_IS_ERROR(rc)) {
        fprintf(stderr, "rotate: srs_forward: %s\n", srs_geterrormsg(rc));
        fail("forward rewriting failed");
        return 0;
    }
    return 1;
}

/* Reverses an address and checks that the sender comes back. */
static void expect_sender(srs_handle *h, const char *label, const char *address) {
    char out[256];
    const int rc = srs_reverse(h, address, out, sizeof out);
    if (SRS_IS_ERROR(rc)) {
        printf("%-36s %s -> error: %s\n", label, address, srs_geterrormsg(rc));
        fail("an address that should reverse was refused");
        return;
    }
    /* SRS_CASE_BROKEN (1) is a success too; not expected here. */
    printf("%-36s %s -> %s\n", label, address, out);
    if (rc != SRS_OK || strcmp(out, sender) != 0) fail("reverse rewriting gave another result");
}

/* Reverses an address that must be refused as forged. */
static void expect_forged(srs_handle *h, const char *label, const char *address) {
    char out[256] = "";
    const int rc = srs_reverse(h, address, out, sizeof out);
    printf("%-36s %s -> %s\n", label, address,
           SRS_IS_ERROR(rc) ? srs_geterrormsg(rc) : out);
    if (rc != SRS_HASH_FORGED) fail("an address made with a dropped secret was not refused");
}

int main(void) {
    char made_old[256];
    char made_new[256];
    srs_handle *before = NULL;
    srs_handle *after = NULL;
    srs_handle *new_only = NULL;

    /* Before the rotation: the old secret alone. */
    before = open_with(old_secret);
    if (before == NULL || !forward(before, made_old, sizeof made_old)) goto done;
    printf("%-36s %s -> %s\n", "forward, old secret:", sender, made_old);

    /* The rotation: the new secret first, the old one kept for reversing. */
    after = open_with(new_secret);
    if (after == NULL) goto done;
    {
        const int rc = srs_add_secret(after, old_secret, (uint32_t)strlen(old_secret));
        if (rc != SRS_OK) {
            fprintf(stderr, "rotate: srs_add_secret: %s\n", srs_geterrormsg(rc));
            fail("srs_add_secret failed");
            goto done;
        }
    }
    if (!forward(after, made_new, sizeof made_new)) goto done;
    printf("%-36s %s -> %s\n", "forward, new secret:", sender, made_new);
    /* Same sender, same day: only the hash differs. */
    if (strcmp(made_old, made_new) == 0) fail("the new secret gave the old address");

    expect_sender(after, "reverse new address after rotation:", made_new);
    expect_sender(after, "reverse old address after rotation:", made_old);

    /* Once the old secret is dropped, its addresses no longer reverse. */
    new_only = open_with(new_secret);
    if (new_only == NULL) goto done;
    expect_forged(new_only, "reverse old address, new only:", made_old);

done:
    srs_close(new_only);
    srs_close(after);
    srs_close(before);
    if (failures != 0) {
        fprintf(stderr, "rotate: %d unexpected result(s)\n", failures);
        return 1;
    }
    puts("rotate: all results as expected");
    return 0;
}
