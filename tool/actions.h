// Forwarding and reversing one address, with the outcome written as lines
// to a stream: standard output for the command line, the connection for
// the daemon.
#pragma once

#include "options.h"

#include <cstdio>

namespace srs_tool {

// Size of the result buffer handed to the library.
inline constexpr uint32_t result_size = 256;

// One line: the rewritten address, or an error line.
void forward_address(std::FILE *out, const Settings &settings, const char *address,
                     const char *alias);

// One line (two with a case warning): the restored address, or an error
// line. Tries the handles in order until one restores the address or an
// error shows that no other secret can help.
void reverse_address(std::FILE *out, const Settings &settings, const char *address);

// The address pass of the command line: every address argument in order.
// Returns the program's exit status (always 255).
int process_addresses(int argc, char **argv, const Settings &settings);

} // namespace srs_tool
