// The command line of srs: options, secrets files and handles.
#include "options.h"

#include <algorithm>
#include <array>
#include <cctype>
#include <climits>
#include <cstring>
#include <new>

#include <pwd.h>
#include <strings.h>
#include <unistd.h>

namespace srs_tool {
namespace {

constexpr std::size_t secret_list_growth = 32;
// Hash characters that can be reversed: the base64 text of the digest has
// 27 characters before its pad '=', which no hash field may hold.
constexpr int max_hash_length = 27;
constexpr std::size_t max_secret_length = SRS_MAX_SECRET_LENGTH;

const char *const out_of_memory = "ERROR: Out of memory\n\n";

enum class Option {
    address,
    alias,
    daemon,
    forward,
    hash_length,
    help,
    reverse,
    secret,
    secret_file,
    separator,
    socket,
    user,
    pid_file,
    max_children,
    syslog,
    verbose,
    version,
    socketmap,
    exclude,
    store,
    store_password_file,
};

struct Entry {
    const char *name;
    bool prefix; // matches any name that begins with it; the rest is the value
    Option option;
};

// Searched in this order; the first entry that matches wins.
constexpr std::array entries{
    Entry{"address=", true, Option::address},
    Entry{"alias=", true, Option::alias},
    Entry{"d", false, Option::daemon},
    Entry{"forward", false, Option::forward},
    Entry{"hashlength=", true, Option::hash_length},
    Entry{"help", false, Option::help},
    Entry{"reverse", false, Option::reverse},
    Entry{"secret=", true, Option::secret},
    Entry{"secretfile=", true, Option::secret_file},
    Entry{"separator=", true, Option::separator},
    Entry{"socket=", true, Option::socket},
    // Added since; none is a prefix of an earlier entry's name.
    Entry{"user=", true, Option::user},
    Entry{"pidfile=", true, Option::pid_file},
    Entry{"maxchildren=", true, Option::max_children},
    Entry{"syslog=", true, Option::syslog},
    Entry{"verbose", false, Option::verbose},
    Entry{"version", false, Option::version},
    Entry{"socketmap=", true, Option::socketmap},
    Entry{"exclude=", true, Option::exclude},
    Entry{"store=", true, Option::store},
    Entry{"storeauth=", true, Option::store_password_file},
};

// The option name of an argument that begins with '-': after one dash, and
// after a second one when there is one.
const char *option_name(const char *arg) {
    const char *name = arg + 1;
    return *name == '-' ? name + 1 : name;
}

std::string format(const char *fmt, const char *text) {
    const int n = std::snprintf(nullptr, 0, fmt, text);
    std::string out(static_cast<std::size_t>(n), '\0');
    std::snprintf(out.data(), out.size() + 1, fmt, text);
    return out;
}

Exit failure(std::string message) {
    return Exit{1, std::move(message), stderr};
}

// Appends a secret; false when memory is short, the list then unchanged.
bool append_secret(Settings &settings, const char *text) {
    auto &list = settings.secret_list;
    try {
        if (list.size() == list.capacity()) list.reserve(list.capacity() + secret_list_growth);
    } catch (const std::bad_alloc &) {
        return false;
    }
    list.push_back(text);
    return true;
}

// An option of the daemon met before -d: "ERROR: socket must come after d".
Exit daemon_only(const char *word) {
    return failure(format("ERROR: %s must come after d\n\n", word));
}

// Looks the daemon's user up; only root can become another user.
std::optional<Exit> set_user(Settings &settings, const char *name) {
    passwd entry{};
    passwd *found = nullptr;
    std::array<char, 16384> buffer;
    if (getpwnam_r(name, &entry, buffer.data(), buffer.size(), &found) != 0 || found == nullptr)
        return failure(format("ERROR: Unknown user '%s'\n\n", name));
    if (geteuid() != 0)
        return failure(format("ERROR: Only root can run the daemon as user '%s'\n\n", name));
    settings.user = RunAs{name, found->pw_uid, found->pw_gid};
    return std::nullopt;
}

// The secrets of a file's content, appended in order.
bool append_file_secrets(Settings &settings, std::string_view content) {
    try {
        split_secrets(content, [&](std::string_view piece) {
            settings.file_secrets.push_back(std::make_unique<SecretCopy>(piece));
            if (!append_secret(settings, settings.file_secrets.back()->c_str()))
                throw std::bad_alloc();
        });
    } catch (const std::bad_alloc &) {
        return false;
    }
    return true;
}

bool set_run_mode(Settings &settings, RunMode mode) {
    if (settings.run_mode != RunMode::none) return false;
    settings.run_mode = mode;
    return true;
}

} // namespace

int parse_decimal(const char *text) {
    while (std::isspace(static_cast<unsigned char>(*text)))
        ++text;
    bool negative = false;
    if (*text == '+' || *text == '-') negative = *text++ == '-';
    long long value = 0;
    for (; *text >= '0' && *text <= '9'; ++text) {
        value = value * 10 + (*text - '0');
        if (value > INT_MAX) {
            value = INT_MAX + 1LL;
            break;
        }
    }
    if (negative) value = -value;
    return static_cast<int>(std::clamp<long long>(value, INT_MIN, INT_MAX));
}

// Reads one secrets file into the settings; its outcome, with
// Status::ok also when memory ran short (then `short_of_memory`).
SecretsFile load_secrets_file(const char *path, Settings &settings,
                              const std::function<void(const std::string &)> &warn,
                              bool &short_of_memory) {
    std::string content;
    const SecretsFile outcome = read_whole_file(path, content);
    short_of_memory = false;
    if (outcome.status != SecretsFile::Status::ok) return outcome;
    if (outcome.readable_by_others) warn(secrets_file_warning(path));
    short_of_memory = !append_file_secrets(settings, content);
    wipe(content);
    return outcome;
}

std::optional<Exit> read_secrets_file(const char *path, Settings &settings,
                                      const std::function<void(const std::string &)> &warn) {
    bool short_of_memory = false;
    const SecretsFile outcome = load_secrets_file(path, settings, warn, short_of_memory);
    if (outcome.status != SecretsFile::Status::ok)
        return failure(secrets_file_error(outcome, path));
    if (short_of_memory) return failure(out_of_memory);
    return std::nullopt;
}

std::optional<std::string> reload_secrets(Settings &settings,
                                          const std::function<void(const std::string &)> &warn) {
    // A start-up message as a reason: without "ERROR: " and the newlines.
    auto reason = [](std::string message) {
        if (message.rfind("ERROR: ", 0) == 0) message.erase(0, 7);
        while (!message.empty() && message.back() == '\n')
            message.pop_back();
        return message;
    };
    Settings fresh;
    fresh.run_mode = settings.run_mode;
    fresh.hash_length = settings.hash_length;
    fresh.separator = settings.separator;
    fresh.store = settings.store;
    fresh.store_password_file = settings.store_password_file;
    try {
        fresh.secret_sources = settings.secret_sources;
    } catch (const std::bad_alloc &) {
        return "Out of memory";
    }
    for (const SecretSource &source : fresh.secret_sources) {
        if (!source.file) {
            if (!append_secret(fresh, source.text)) return "Out of memory";
        } else {
            bool short_of_memory = false;
            const SecretsFile outcome = load_secrets_file(source.text, fresh, warn, short_of_memory);
            if (outcome.status != SecretsFile::Status::ok)
                return secrets_file_reason(outcome, source.text);
            if (short_of_memory) return "Out of memory";
        }
    }
    if (fresh.secret_list.empty()) return "No secret specified";
    if (auto failed = open_handles(fresh)) return reason(failed->message);
    settings.secret_list.swap(fresh.secret_list);
    settings.file_secrets.swap(fresh.file_secrets);
    settings.handle_list.swap(fresh.handle_list);
    settings.forward_handle = fresh.forward_handle;
    return std::nullopt; // the old secrets and handles go with `fresh`
}

std::optional<Exit> read_command_line(int argc, char **argv, Settings &settings) {
    for (int i = 1; i < argc; ++i) {
        const char *arg = argv[i];
        if (arg[0] != '-') continue; // an address, for the address pass

        const char *name = option_name(arg);
        const Entry *match = nullptr;
        for (const Entry &e : entries) {
            const std::size_t n = std::strlen(e.name);
            if (e.prefix ? strncasecmp(name, e.name, n) == 0 : strcasecmp(name, e.name) == 0) {
                match = &e;
                break;
            }
        }
        if (match == nullptr) return failure(format("ERROR: Unknown flag '%s'\n\n", arg));
        const char *value = name + std::strlen(match->name);

        switch (match->option) {
        case Option::address:
            break;
        case Option::alias: {
            const char *at = std::strchr(value, '@');
            settings.alias = at != nullptr ? at + 1 : value;
            break;
        }
        case Option::daemon:
        case Option::forward:
        case Option::reverse: {
            const RunMode mode = match->option == Option::daemon    ? RunMode::daemon
                                 : match->option == Option::forward ? RunMode::forward
                                                                    : RunMode::reverse;
            if (!set_run_mode(settings, mode))
                return failure("ERROR: reverse, forward and d flags are mutually exclusive\n\n");
            break;
        }
        case Option::hash_length:
            settings.hash_length = parse_decimal(value);
            if (settings.hash_length <= 0 || settings.hash_length > max_hash_length)
                return failure("ERROR: Invalid hash length\n\n");
            break;
        case Option::help:
            print_usage(stdout);
            return Exit{0, "", stdout};
        case Option::secret:
            if (!append_secret(settings, value)) return failure(out_of_memory);
            try {
                settings.secret_sources.push_back({false, value});
            } catch (const std::bad_alloc &) {
                return failure(out_of_memory);
            }
            break;
        case Option::secret_file: {
            try {
                settings.secret_sources.push_back({true, value});
            } catch (const std::bad_alloc &) {
                return failure(out_of_memory);
            }
            auto warn = [](const std::string &text) { std::fputs(text.c_str(), stderr); };
            if (auto failed = read_secrets_file(value, settings, warn)) return failed;
            break;
        }
        case Option::separator:
            if (value[0] != '+' && value[0] != '-' && value[0] != '=') {
                // The character may be the terminator of an empty value: the
                // message then carries that zero byte between the quotes.
                std::string message = "ERROR: Invalid separtor ' '\n\n";
                message[message.find('\'') + 1] = value[0];
                return failure(std::move(message));
            }
            settings.separator = value[0];
            break;
        case Option::socket:
            if (settings.run_mode != RunMode::daemon)
                return failure("ERROR: socket must come after d\n\n");
            settings.socket_path = value;
            settings.socket_given = true;
            break;
        case Option::socketmap:
            if (settings.run_mode != RunMode::daemon) return daemon_only("socketmap");
            settings.socketmap_path = value;
            break;
        case Option::exclude:
            if (settings.run_mode != RunMode::daemon) return daemon_only("exclude");
            try {
                settings.excludes.push_back(value);
            } catch (const std::bad_alloc &) {
                return failure(out_of_memory);
            }
            break;
        case Option::user:
            if (settings.run_mode != RunMode::daemon) return daemon_only("user");
            if (auto failed = set_user(settings, value)) return failed;
            break;
        case Option::pid_file:
            if (settings.run_mode != RunMode::daemon) return daemon_only("pidfile");
            settings.pid_file = value;
            break;
        case Option::max_children:
            if (settings.run_mode != RunMode::daemon) return daemon_only("maxchildren");
            settings.max_children = parse_decimal(value);
            if (settings.max_children <= 0)
                return failure("ERROR: Invalid maximum of connection processes\n\n");
            break;
        case Option::syslog:
            if (settings.run_mode != RunMode::daemon) return daemon_only("syslog");
            settings.syslog_path = value;
            break;
        case Option::verbose:
            if (settings.run_mode != RunMode::daemon) return daemon_only("verbose");
            settings.verbose = true;
            break;
        case Option::store:
            settings.store = parse_store(value);
            if (!settings.store)
                return failure(format("ERROR: Invalid store '%s': use sqlite:PATH, redis:/PATH or "
                                      "redis:HOST:PORT\n\n",
                                      value));
            break;
        case Option::store_password_file:
            settings.store_password_file = value;
            break;
        case Option::version:
            return Exit{0, "srs " + std::string(srs_version()) + "\n", stdout};
        }
    }

    // The socketmap front end forwards into the SRS domain of --alias=.
    if ((settings.run_mode == RunMode::forward || settings.socketmap_path) && !settings.alias)
        return failure("ERROR: You must specify an alias\n\n");
    if (settings.secret_list.empty()) return failure("ERROR: No secret specified\n\n");
    if (auto failed = open_handles(settings)) return failed;
    if (settings.run_mode == RunMode::none)
        return Exit{1, "ERROR: You must specify one of forward, reverse or d\n\n", stdout};
    return std::nullopt;
}

void HandleCloser::operator()(srs_handle *h) const {
    detach_store(h);
    srs_close(h);
}

std::optional<Exit> open_handles(Settings &settings) {
    auto open = [&](const char *secret) -> srs_handle * {
        const auto len = static_cast<uint32_t>(strnlen(secret, max_secret_length));
        const auto hash_length = static_cast<uint32_t>(settings.hash_length);
        srs_handle *h = srs_open(secret, len, 0, hash_length, hash_length);
        if (h != nullptr) srs_set_separator(h, settings.separator);
        return h;
    };
    const char *const init_failed = "ERROR: SRS initialisation failed\n\n";

    if (settings.store) settings.store->password_file = settings.store_password_file;
    // Database mode: the store on every handle, checked now.
    // A daemon that switches user opens its store only as that user (a
    // file made by root could not be written by it): run_daemon does it.
    auto attach = [&](srs_handle *h) -> std::optional<Exit> {
        if (!settings.store || (settings.run_mode == RunMode::daemon && settings.user))
            return std::nullopt;
        if (const auto failed = attach_store(*settings.store, h)) {
            std::string message = "ERROR: Could not open store '";
            message += settings.store->text;
            message += "': " + *failed + "\n\n";
            return failure(std::move(message));
        }
        return std::nullopt;
    };
    if (settings.run_mode == RunMode::forward) {
        Handle h(open(settings.secret_list.front()));
        if (!h) return failure(init_failed);
        if (auto failed = attach(h.get())) return failed;
        settings.forward_handle = h.get();
        settings.handle_list.push_back(std::move(h));
        return std::nullopt;
    }
    try {
        settings.handle_list.reserve(settings.secret_list.size());
    } catch (const std::bad_alloc &) {
        return failure(out_of_memory);
    }
    for (const char *secret : settings.secret_list) {
        Handle h(open(secret));
        if (!h) return failure(init_failed);
        if (auto failed = attach(h.get())) return failed;
        settings.handle_list.push_back(std::move(h));
    }
    settings.forward_handle = settings.handle_list.front().get();
    return std::nullopt;
}

void print_usage(std::FILE *out) {
    std::fprintf(out, "%s\n", banner);
    std::fputs("\n"
               "Syntax: srs <flags> <address>+\n"
               "\n"
               "    Actions\n",
               out);
    auto line = [out](const char *option, const char *text) {
        std::fprintf(out, "        %-17s%s\n", option, text);
    };
    line("-d", "Run daemon");
    line("--forward", "Perform SRS forward on address");
    line("--reverse", "Perform SRS reverse on address");
    std::fputs("\n    Options\n", out);
    line("--address=", "Different way of specifying addresses to process");
    line("--alias=", "Alias domain (or address) for SRS forward");
    line("--hashlength=", "Characters in hash length");
    line("--help", "Display this help");
    line("--secret=", "SRS secret");
    line("--secretfile=", "Read file for SRS secret(s)");
    line("--separator=", "SRS separator, must be + - or =");
    line("--socket=", "Specify SRS socket for daemon");
    std::fputs("\nMultiple secrets and addresses supported, can also use - instead of --\n\n", out);
    std::fputs("    More options (all but --version only after -d)\n", out);
    line("--version", "Print the version of srs");
    line("--user=", "Run the daemon as this user, once its socket is bound");
    line("--pidfile=", "Write the daemon's process id to this file");
    line("--maxchildren=", "Most connection processes at once (default 256)");
    line("--syslog=", "Log socket of the system logger (default /dev/log)");
    line("--verbose", "Log every successful rewrite as well");
    line("--socketmap=", "Serve Postfix's socketmap protocol on this socket");
    line("--exclude=", "Socketmap: leave senders of this domain alone");
    line("--store=", "Database mode: sqlite:PATH, redis:/PATH or redis:HOST:PORT");
    line("--storeauth=", "Redis store: file whose first line is the password");
    std::fputs("\n", out);
}

std::optional<const char *> address_argument(const char *arg) {
    if (arg[0] != '-') return arg;
    const char *name = option_name(arg);
    if (strncasecmp(name, "address=", 8) == 0) return name + 8;
    return std::nullopt;
}

} // namespace srs_tool
