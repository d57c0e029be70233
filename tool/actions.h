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

// One line: the rewritten address, or an error line.
void forward_address(Reply &out, const Settings &settings, const char *address, const char *alias);

// One line (two with a case warning): the restored address, or an error
// line. Tries the handles in order until one restores the address or an
// error shows that no other secret can help.
void reverse_address(Reply &out, const Settings &settings, const char *address);

// The address pass of the command line: every address argument in order,
// each outcome written to standard output as soon as it is known. Returns
// the program's exit status (always 255).
int process_addresses(int argc, char **argv, const Settings &settings);

} // namespace srs_tool
