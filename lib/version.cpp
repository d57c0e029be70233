// The version of the library, as built: it may differ from the header a
// program was compiled with when the shared library is newer.
#include "librewrite.h"

extern "C" {

const char *srs_version(void) {
    return LIBREWRITE_VERSION_STRING;
}

} // extern "C"
