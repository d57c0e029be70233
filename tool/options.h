// The command line of srs: run settings, secrets files, and the handles.
#pragma once

#include "librewrite.h"
#include "secrets.h"
#include "store.h"

#include <cstdio>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <sys/types.h>

namespace srs_tool {

// First line of the usage text, and what the daemon's starting process says.
inline constexpr const char *banner =
    "srs - Sender Rewriting Scheme: rewrites envelope senders for mail forwarding and reverses "
    "them for bounces";

enum class RunMode { none, forward, reverse, daemon };

// Connection processes the daemon runs at once unless --maxchildren= says
// otherwise.
inline constexpr int default_max_children = 256;

// Where a secret came from, in argument order: a --secret= value, or the
// name of a secrets file (read again when the daemon reloads).
struct SecretSource {
    bool file;
    const char *text;
};

// The user the daemon runs as (--user=), looked up at start-up.
struct RunAs {
    std::string name;
    uid_t uid;
    gid_t gid;
};

// Takes the handle's store off it, then closes it.
struct HandleCloser {
    void operator()(srs_handle *h) const;
};
using Handle = std::unique_ptr<srs_handle, HandleCloser>;

// The settings read from the command line, and the handles opened from them.
struct Settings {
    RunMode run_mode = RunMode::none;
    std::optional<std::string_view> alias;
    int hash_length = 6;
    char separator = '=';
    std::string_view socket_path = "/tmp/srsd";
    // Secrets in argument order; each is either an argument string or a copy
    // of a secrets-file line kept in file_secrets.
    std::vector<const char *> secret_list;
    std::vector<std::unique_ptr<SecretCopy>> file_secrets;
    std::vector<SecretSource> secret_sources;

    // Daemon only.
    std::optional<RunAs> user;
    std::optional<std::string_view> pid_file;
    int max_children = default_max_children;
    bool verbose = false; // log every successful rewrite too
    std::string_view syslog_path = "/dev/log";
    bool socket_given = false;                      // --socket= was given
    std::optional<std::string_view> socketmap_path; // Postfix's socketmap protocol
    std::vector<std::string_view> excludes;         // --exclude= domains
    std::optional<StoreSpec> store;                 // database mode
    std::string_view store_password_file;           // --storeauth=

    srs_handle *forward_handle = nullptr;
    std::vector<Handle> handle_list;
};

// A start-up failure: the message goes to `stream` exactly as it stands and
// the program ends with `status`.
struct Exit {
    int status;
    std::string message;
    std::FILE *stream;
};

// Reads the options (the first pass over the arguments) and opens the
// handles. Returns nothing when the program is to go on to its action;
// otherwise how it ends (--help, or a failure).
std::optional<Exit> read_command_line(int argc, char **argv, Settings &settings);

// Reads one secrets file, appending one secret per non-empty line (lines of
// more than 1023 characters count as several). A failure, or nothing; a file
// that others may read is reported to `warn`.
std::optional<Exit> read_secrets_file(const char *path, Settings &settings,
                                      const std::function<void(const std::string &)> &warn);

// Reads every secret again from where it came from (the files as they are
// now) and opens new handles with them. On success they replace the old
// ones; on failure nothing changes and the reason is returned.
std::optional<std::string> reload_secrets(Settings &settings,
                                          const std::function<void(const std::string &)> &warn);

// The value of a hash length option, read the way atoi reads a number but
// without overflow (saturated).
int parse_decimal(const char *text);

// Opens the handles for the chosen action. Returns a failure, or nothing.
std::optional<Exit> open_handles(Settings &settings);

void print_usage(std::FILE *out);

// An address argument of the address pass, or nothing for an option.
std::optional<const char *> address_argument(const char *arg);

} // namespace srs_tool
