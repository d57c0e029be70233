// Forward and reverse actions.
#include "actions.h"

#include <algorithm>
#include <array>
#include <cstdarg>

namespace srs_tool {
namespace {

// Errors after which no other secret could restore the address.
bool final_for_every_secret(int rc) {
    return rc == SRS_BAD_SYNTAX || rc == SRS_NOT_SRS || rc == SRS_HASH_TOO_SHORT ||
           rc == SRS_TIMESTAMP_BAD_CHARS;
}

} // namespace

void Reply::line(const char *format, ...) {
    va_list args;
    va_start(args, format);
    va_list again;
    va_copy(again, args);
    int n = 0;
    if (heap_.empty()) {
        const std::size_t room = fixed_.size() - size_;
        n = std::vsnprintf(fixed_.data() + size_, room, format, args);
        if (n >= 0 && static_cast<std::size_t>(n) < room) {
            size_ += static_cast<std::size_t>(n);
            n = -1; // done
        } else {
            heap_.assign(fixed_.data(), size_);
        }
    } else {
        n = std::vsnprintf(nullptr, 0, format, args);
    }
    if (n > 0) {
        const std::size_t old = heap_.size();
        heap_.resize(old + static_cast<std::size_t>(n) + 1);
        std::vsnprintf(heap_.data() + old, static_cast<std::size_t>(n) + 1, format, again);
        heap_.pop_back(); // the terminator
    }
    va_end(again);
    va_end(args);
}

Outcome forward(const Settings &settings, const char *address, const char *alias) {
    Outcome outcome;
    outcome.address[0] = '\0';
    outcome.rc =
        srs_forward(settings.forward_handle, address, alias, outcome.address.data(), result_size);
    return outcome;
}

Outcome reverse(const Settings &settings, const char *address) {
    Outcome outcome; // SRS_BAD_HANDLE: no handle at all
    outcome.address[0] = '\0';
    for (const Handle &handle : settings.handle_list) {
        outcome.rc = srs_reverse(handle.get(), address, outcome.address.data(), result_size);
        if (!outcome.failed() || final_for_every_secret(outcome.rc)) break;
    }
    return outcome;
}

bool refused_bounce(int rc) {
    return rc == SRS_HASH_FORGED || rc == SRS_TIMESTAMP_EXPIRED || rc == SRS_BAD_SYNTAX ||
           rc == SRS_TIMESTAMP_BAD_CHARS || rc == SRS_HASH_TOO_SHORT;
}

void write_forward(Reply &out, const char *address, const Outcome &outcome) {
    if (outcome.failed())
        out.line("ERROR: Address '%s' failed - %s\n", address, outcome.message());
    else
        out.line("%s\n", outcome.address.data());
}

void write_reverse(Reply &out, const char *address, const Outcome &outcome) {
    if (outcome.failed()) {
        out.line("ERROR: Could not validate address '%s' - %s\n", address, outcome.message());
        return;
    }
    out.line("%s\n", outcome.address.data());
    if (outcome.case_broken())
        out.line("WARNING: Case broken on hash in address '%s'\n", address);
}

void forward_address(Reply &out, const Settings &settings, const char *address, const char *alias) {
    write_forward(out, address, forward(settings, address, alias));
}

void reverse_address(Reply &out, const Settings &settings, const char *address) {
    write_reverse(out, address, reverse(settings, address));
}

int process_addresses(int argc, char **argv, const Settings &settings) {
    for (int i = 1; i < argc; ++i) {
        const auto address = address_argument(argv[i]);
        if (!address) continue;
        Reply reply;
        if (settings.run_mode == RunMode::forward)
            forward_address(reply, settings, *address, settings.alias->data());
        else
            reverse_address(reply, settings, *address);
        std::fwrite(reply.text().data(), 1, reply.text().size(), stdout);
    }
    return 255;
}

} // namespace srs_tool
