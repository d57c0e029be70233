// Forward and reverse actions.
#include "actions.h"

#include <array>

namespace srs_tool {
namespace {

// Errors after which no other secret could restore the address.
bool final_for_every_secret(int rc) {
    return rc == SRS_BAD_SYNTAX || rc == SRS_NOT_SRS || rc == SRS_HASH_TOO_SHORT ||
           rc == SRS_TIMESTAMP_BAD_CHARS;
}

} // namespace

void forward_address(std::FILE *out, const Settings &settings, const char *address,
                     const char *alias) {
    std::array<char, result_size> buffer{};
    const int rc = srs_forward(settings.forward_handle, address, alias, buffer.data(), result_size);
    if (SRS_IS_ERROR(rc))
        std::fprintf(out, "ERROR: Address '%s' failed - %s\n", address, srs_geterrormsg(rc));
    else
        std::fprintf(out, "%s\n", buffer.data());
}

void reverse_address(std::FILE *out, const Settings &settings, const char *address) {
    std::array<char, result_size> buffer{};
    int rc = SRS_BAD_HANDLE; // no handle at all
    for (const Handle &handle : settings.handle_list) {
        rc = srs_reverse(handle.get(), address, buffer.data(), result_size);
        if (!SRS_IS_ERROR(rc)) {
            std::fprintf(out, "%s\n", buffer.data());
            if (rc == SRS_CASE_BROKEN)
                std::fprintf(out, "WARNING: Case broken on hash in address '%s'\n", address);
            return;
        }
        if (final_for_every_secret(rc)) break;
    }
    std::fprintf(out, "ERROR: Could not validate address '%s' - %s\n", address,
                 srs_geterrormsg(rc));
}

int process_addresses(int argc, char **argv, const Settings &settings) {
    for (int i = 1; i < argc; ++i) {
        const auto address = address_argument(argv[i]);
        if (!address) continue;
        if (settings.run_mode == RunMode::forward)
            forward_address(stdout, settings, *address, settings.alias->data());
        else
            reverse_address(stdout, settings, *address);
    }
    return 255;
}

} // namespace srs_tool
