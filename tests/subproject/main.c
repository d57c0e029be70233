/* Uses librewrite built as a subproject: the public header under its
 * installed name, a forward and reverse rewrite, and the version. Exits
 * non-zero on a failure. */
#include <librewrite/librewrite.h>

#include <stdio.h>
#include <string.h>

/* Only the public header is on the include path, not the library's own
 * module headers. */
#if defined(__has_include)
#if __has_include("sha1.h") || __has_include("rewrite.h") || __has_include("librewrite.h")
#error "a header of librewrite's lib/ folder is on the include path"
#endif
#endif

int main(void) {
    char fwd[256], back[256];
    srs_handle *h = srs_open("secret", 6, 0, 0, 0);
    int rc;
    if (h == NULL) return 1;
    rc = srs_forward(h, "alice@example.org", "forwarder.example", fwd, sizeof fwd);
    if (!SRS_IS_ERROR(rc)) rc = srs_reverse(h, fwd, back, sizeof back);
    srs_close(h);
    if (SRS_IS_ERROR(rc) || strcmp(back, "alice@example.org") != 0) {
        fprintf(stderr, "subproject: %s\n", srs_geterrormsg(rc));
        return 1;
    }
    if (strcmp(srs_version(), LIBREWRITE_VERSION_STRING) != 0) {
        fprintf(stderr, "subproject: library %s, header %s\n", srs_version(),
                LIBREWRITE_VERSION_STRING);
        return 1;
    }
    printf("%s -> %s (librewrite %s)\n", fwd, back, srs_version());
    return 0;
}
