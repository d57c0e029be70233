// Forwarding and reversing one address, with the outcome written as lines
// to a reply: standard output for the command line, the connection for the
// daemon.
#pragma once

#include "options.h"

#include <array>
#include <cstdio>
#include <string>
#include <string_view>

namespace srs_tool {

// Size of the result buffer handed to the library.
inline constexpr uint32_t result_size = 256;

// The lines of one outcome. Kept in fixed storage, so that serving a
// request allocates nothing; a longer text (an address of many kilobytes
// from the command line) moves to the heap whole, never cut.
class Reply {
  public:
    [[gnu::format(printf, 2, 3)]] void line(const char *format, ...);
    std::string_view text() const {
        return heap_.empty() ? std::string_view(fixed_.data(), size_) : std::string_view(heap_);
    }

  private:
    std::array<char, 1536> fixed_; // written before it is read
    std::size_t size_ = 0;
    std::string heap_;
};

// What rewriting one address came to, for a front end to put in its own
// words: the library's result and, unless that is an error, the address.
struct Outcome {
    int rc = SRS_BAD_HANDLE;
    std::array<char, result_size> address; // terminated when rc is no error

    bool failed() const { return SRS_IS_ERROR(rc); }
    bool case_broken() const { return rc == SRS_CASE_BROKEN; }
    const char *message() const { return describe(rc); }
};

// Forwards the address with the first secret.
Outcome forward(const Settings &settings, const char *address, const char *alias);

// Reverses the address, trying the handles in order until one restores it
// or an error shows that no other secret can help; the outcome of the last
// try.
Outcome reverse(const Settings &settings, const char *address);

// The reverse failures that mean a refused bounce (forged, expired or
// malformed), as against an address that is simply no SRS address.
bool refused_bounce(int rc);

// The line protocol's words for an outcome: one line, or two for a
// reverse whose hash matched only with case ignored.
void write_forward(Reply &out, const char *address, const Outcome &outcome);
void write_reverse(Reply &out, const char *address, const Outcome &outcome);

// Both at once: rewrite and write the lines.
void forward_address(Reply &out, const Settings &settings, const char *address, const char *alias);
void reverse_address(Reply &out, const Settings &settings, const char *address);

// The address pass of the command line: every address argument in order,
// each outcome written to standard output as soon as it is known. Returns
// the program's exit status (always 255).
int process_addresses(int argc, char **argv, const Settings &settings);

} // namespace srs_tool
