// Reading secrets files.
#include "secrets.h"

#include <array>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include <fcntl.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

namespace srs_tool {
namespace {

constexpr std::size_t line_piece = 1023; // what one read of a 1024-byte buffer takes

} // namespace

void wipe(std::string &buffer) {
    // The whole allocation, not only the bytes in use.
    explicit_bzero(buffer.data(), buffer.capacity());
    buffer.clear();
}

SecretCopy::~SecretCopy() {
    wipe(text_);
}

SecretsFile read_whole_file(const char *path, std::string &content) {
    SecretsFile outcome;
    wipe(content);
    const int fd = open(path, O_RDONLY | O_CLOEXEC | O_NOCTTY);
    if (fd < 0) {
        outcome.status = SecretsFile::Status::cannot_open;
        outcome.error = errno;
        return outcome;
    }
    struct stat st {};
    if (fstat(fd, &st) == 0) outcome.readable_by_others = (st.st_mode & (S_IRGRP | S_IROTH)) != 0;

    // Read into a buffer of the final size at once, so that growing it
    // leaves no copy of the secrets in freed memory.
    content.reserve(max_secrets_file + 1);
    std::array<char, 4096> chunk;
    for (;;) {
        const ssize_t got = read(fd, chunk.data(), chunk.size());
        if (got < 0 && errno == EINTR) continue;
        if (got < 0) {
            outcome.status = SecretsFile::Status::cannot_read;
            outcome.error = errno;
            break;
        }
        if (got == 0) break;
        const auto n = static_cast<std::size_t>(got);
        if (std::memchr(chunk.data(), '\0', n) != nullptr) {
            outcome.status = SecretsFile::Status::nul_byte;
            break;
        }
        if (content.size() + n > max_secrets_file) {
            outcome.status = SecretsFile::Status::too_large;
            break;
        }
        content.append(chunk.data(), n);
    }
    explicit_bzero(chunk.data(), chunk.size());
    close(fd);
    if (outcome.status != SecretsFile::Status::ok) wipe(content);
    return outcome;
}

void split_secrets(std::string_view content, const std::function<void(std::string_view)> &add) {
    while (!content.empty()) {
        // One read: up to and including the first newline, at most 1023
        // characters.
        std::size_t n = std::min(content.size(), line_piece);
        const std::size_t newline = content.substr(0, n).find('\n');
        if (newline != std::string_view::npos) n = newline + 1;
        std::string_view piece = content.substr(0, n);
        content.remove_prefix(n);
        if (piece.back() == '\n') piece.remove_suffix(1);
        if (!piece.empty()) add(piece);
    }
}

std::string secrets_file_error(const SecretsFile &outcome, const char *path) {
    std::string reason;
    switch (outcome.status) {
    case SecretsFile::Status::ok:
        return {};
    case SecretsFile::Status::cannot_open: {
        std::string message = "ERROR: Could not open file '";
        message += path;
        message += "'\n\n";
        return message;
    }
    case SecretsFile::Status::cannot_read:
        reason = std::strerror(outcome.error);
        break;
    case SecretsFile::Status::nul_byte:
        reason = "it holds a NUL byte, which would cut a secret short";
        break;
    case SecretsFile::Status::too_large:
        reason = "it is larger than 1 MiB";
        break;
    }
    return "ERROR: Could not read file '" + std::string(path) + "': " + reason + "\n\n";
}

std::string secrets_file_reason(const SecretsFile &outcome, const char *path) {
    if (outcome.status == SecretsFile::Status::cannot_open)
        return "could not open file '" + std::string(path) + "': " + std::strerror(outcome.error);
    std::string message = secrets_file_error(outcome, path);
    message.erase(0, message.find(' ') + 1); // "ERROR: "
    message[0] = 'c';
    while (!message.empty() && message.back() == '\n')
        message.pop_back();
    return message;
}

std::string secrets_file_warning(const char *path) {
    return "WARNING: Secrets file '" + std::string(path) +
           "' can be read by group or others; make it mode 0600\n";
}

} // namespace srs_tool
