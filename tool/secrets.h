// Secrets files: one secret per line, read whole and checked before any
// line counts, and copies of secrets that are wiped when released.
#pragma once

#include <cstddef>
#include <functional>
#include <string>
#include <string_view>

namespace srs_tool {

// A secrets file larger than this is refused: it is not a secrets file.
inline constexpr std::size_t max_secrets_file = 1 << 20;

// A secret copied out of a file. Its bytes are overwritten when it is
// released, so no copy stays behind in freed memory.
class SecretCopy {
  public:
    explicit SecretCopy(std::string_view text) : text_(text) {}
    ~SecretCopy();
    SecretCopy(const SecretCopy &) = delete;
    SecretCopy &operator=(const SecretCopy &) = delete;
    const char *c_str() const { return text_.c_str(); }

  private:
    std::string text_;
};

// Overwrites a buffer that held secrets, in a way the compiler keeps.
void wipe(std::string &buffer);

struct SecretsFile {
    enum class Status {
        ok,
        cannot_open, // open failed
        cannot_read, // a read failed, or the name is a directory
        nul_byte,    // a NUL byte would cut a secret short
        too_large,   // more than max_secrets_file bytes
    };
    Status status = Status::ok;
    int error = 0;                  // errno of a failed open or read
    bool readable_by_others = false; // group or others may read it
};

// Reads the whole file at path into content (replacing what it held).
SecretsFile read_whole_file(const char *path, std::string &content);

// The secrets of a file's content: each line as a read of at most 1023
// characters takes it (a longer line gives several pieces), without its
// newline; empty pieces are skipped.
void split_secrets(std::string_view content, const std::function<void(std::string_view)> &add);

// The start-up message for a file that failed (anything but ok).
std::string secrets_file_error(const SecretsFile &outcome, const char *path);

// The same for a log line, with the system's reason where there is one.
std::string secrets_file_reason(const SecretsFile &outcome, const char *path);

// The warning for a file that group or others may read.
std::string secrets_file_warning(const char *path);

} // namespace srs_tool
