// The SRS rewriting core: handles and their settings, result codes.
#include "rewrite.h"

#include "address.h"
#include "hash.h"
#include "hmac.h"
#include "timestamp.h"

#include <algorithm>
#include <array>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string_view>

namespace rewrite::core {
namespace {

struct Message {
    int code;
    const char *text;
};

constexpr std::array messages{
    Message{SRS_OK, "The call was successful"},
    Message{SRS_CASE_BROKEN, "Hash matched but case was broken"},
    Message{SRS_DB_NOT_IN_USE, "Database not in use"},
    Message{SRS_BAD_HANDLE, "Invalid SRS handle passed"},
    Message{SRS_BAD_PARAMETER, "One of the parameters passed was invalid"},
    Message{SRS_BAD_CHARACTER, "There was an invalid character found (usually in an address)"},
    Message{SRS_BAD_SYNTAX, "The SRS syntax was faulty"},
    Message{SRS_NOT_SRS, "Address is not a SRS address"},
    Message{SRS_HASH_TOO_SHORT, "Hash shorter than minimum length"},
    Message{SRS_HASH_FORGED, "Hash verification failed (forged)"},
    Message{SRS_TIMESTAMP_BAD_CHARS, "Time stamp contained bad characters"},
    Message{SRS_TIMESTAMP_EXPIRED, "Time stamp expired"},
    Message{SRS_DB_LOOKUP_FAILED, "Database ID lookup failed"},
    Message{SRS_OUT_OF_MEMORY, "Out of memory"},
    Message{SRS_BUFFER_TOO_SMALL, "Return buffer is too small for data"},
    Message{SRS_ADDRESS_TOO_LONG,
            "Address was too long (either a given address or the processed return data)"},
    Message{SRS_DB_ERROR, "An error occurred querying database"},
    Message{SRS_INTERNAL_ERROR, "Internal error"},
};
constexpr const char *unknown_message = "No such SRS error number.";

// A secret is usable when it is present, does not begin with NUL and has
// 1 to 32 bytes.
bool usable_secret(const char *secret, std::uint32_t len) {
    return secret != nullptr && secret[0] != '\0' && len >= 1 && len <= SRS_MAX_SECRET_LENGTH;
}

// Working text of one rewrite: the hash input, the identifier and the hash
// text all fit in this much room, so nothing is allocated.
constexpr std::size_t work_size = address::max_length;

// Lower-cased pieces appended one after another.
class HashInput {
  public:
    void append(std::string_view piece) {
        // The callers' bounds keep every input within work_size; the clamp
        // only guards against a broken caller.
        const std::size_t n = std::min(piece.size(), text_.size() - size_);
        for (std::size_t i = 0; i < n; ++i) {
            const char c = piece[i];
            text_[size_ + i] = (c >= 'A' && c <= 'Z') ? static_cast<char>(c + ('a' - 'A')) : c;
        }
        size_ += n;
    }
    const char *data() const { return text_.data(); }
    int size() const { return static_cast<int>(size_); }

  private:
    std::array<char, work_size> text_;
    std::size_t size_ = 0;
};

// Appends pieces to the caller's buffer; only used once the whole result
// is known to fit.
class Writer {
  public:
    explicit Writer(char *out) : out_(out) {}
    Writer &operator<<(std::string_view piece) {
        std::memcpy(out_, piece.data(), piece.size());
        out_ += piece.size();
        return *this;
    }
    Writer &operator<<(char c) {
        *out_++ = c;
        return *this;
    }
    void finish() { *out_ = '\0'; }

  private:
    char *out_;
};

// Base64 hash text of the input under the primary secret, cut to the
// handle's hash length (28 characters at most). Cannot fail: the hash
// starts from the handle's key states and allocates nothing.
std::string_view make_hash(const srs_handle &h, const HashInput &input,
                           std::array<char, hash::text_size + 1> &text) {
    std::array<unsigned char, hash::digest_size> digest;
    int digest_len = 0;
    srs__hash(&h, -1, input.data(), input.size(), digest.data(), &digest_len);
    const std::size_t chars = std::min<std::size_t>(h.hash_length, hash::text_size);
    hash::encode(digest.data(), chars, text.data());
    return {text.data(), chars};
}

// What srs_open allocates: the handle and, behind it, the key states of its
// primary secret. The handle comes first, so the block is freed through it.
struct HandleBlock {
    srs_handle handle;
    srs_key_state primary_key;
};

// The array of further secrets and the parallel one of their key states,
// each wiped before it is released: both are as good as the secrets.
void release_secrets(srs_secret *secrets, srs_key_state *keys, std::int32_t capacity) {
    const auto n = static_cast<std::size_t>(capacity);
    if (secrets != nullptr) {
        rewrite::hmac::secure_zero(secrets, n * sizeof(srs_secret));
        std::free(secrets);
    }
    if (keys != nullptr) {
        rewrite::hmac::secure_zero(keys, n * sizeof(srs_key_state));
        std::free(keys);
    }
}

// text[from, from + count), count cut at the end of the text. The indices
// come from the callers' own scans and are always in range; unlike substr
// this never throws, so the library needs no C++ runtime.
constexpr std::string_view piece(std::string_view text, std::size_t from,
                                 std::size_t count = std::string_view::npos) {
    return {text.data() + from, std::min(count, text.size() - from)};
}

// Position of the first '=' in text[from, to), or npos.
std::size_t find_equals(std::string_view text, std::size_t from, std::size_t to) {
    if (from >= to) return std::string_view::npos;
    const std::size_t at = piece(text, from, to - from).find('=');
    return at == std::string_view::npos ? at : from + at;
}

enum class Kind { plain, srs0, srs1 };

// The tag SRS0 or SRS1 in any case of its letters (OR-ing 0x20 maps exactly
// 'S' and 's' to 's', 'R' and 'r' to 'r'), followed by a separator.
Kind kind_of(std::string_view address) {
    if (address.size() < 5 || !is_separator(address[4])) return Kind::plain;
    const auto lower = [&](std::size_t i) { return static_cast<char>(address[i] | 0x20); };
    if (lower(0) != 's' || lower(1) != 'r' || lower(2) != 's') return Kind::plain;
    if (address[3] == '0') return Kind::srs0;
    if (address[3] == '1') return Kind::srs1;
    return Kind::plain;
}

// True when the text runs past the length that is read.
bool longer_than_read(const char *text) {
    return strnlen(text, address::max_length + 1) > address::max_length;
}

} // namespace
} // namespace rewrite::core

using namespace rewrite::core;

extern "C" {

srs_handle *srs_open(const char *secret, uint32_t secret_len, uint32_t max_age,
                     uint32_t hash_length, uint32_t hash_min) {
    if (!usable_secret(secret, secret_len)) return nullptr;
    // The handle is a C record owned by the caller until srs_close.
    auto *block = static_cast<HandleBlock *>(std::calloc(1, sizeof(HandleBlock)));
    if (block == nullptr) return nullptr;
    srs_handle *h = &block->handle;
    std::memcpy(h->secret, secret, secret_len);
    h->secret_len = secret_len;
    h->max_age = max_age != 0 ? max_age : default_max_age;
    // Each default reads the other argument as given.
    h->hash_length = hash_length != 0                   ? hash_length
                     : hash_min >= hash_length_from_min ? hash_min
                                                        : default_hash_length;
    // With both arguments 0 the minimum is the default length too: a
    // minimum of 0 would accept an empty hash field, i.e. any forgery.
    h->hash_min = hash_min != 0                                             ? hash_min
                  : (hash_length != 0 && hash_length < default_hash_length) ? hash_length
                                                                            : default_hash_length;
    h->separator = '=';
    h->use_timestamp = 1;
    h->use_hash = 1;
    h->use_database = 0;
    h->db_insert = nullptr;
    h->db_lookup = nullptr;
    h->secret_count = 0;
    h->secrets = nullptr;
    h->secret_capacity = 0;
    h->db_context = nullptr;
    // The primary secret's key states, computed once here: every hash made
    // with the handle starts from them.
    h->primary_key = &block->primary_key;
    rewrite::hash::store(block->primary_key, secret, secret_len);
    h->secret_keys = nullptr;
    return h;
}

int srs_close(srs_handle *handle) {
    if (handle == nullptr) return SRS_OK;
    release_secrets(handle->secrets, handle->secret_keys, handle->secret_capacity);
    // The handle with the primary secret and its key states.
    auto *block = reinterpret_cast<HandleBlock *>(handle);
    rewrite::hmac::secure_zero(block, sizeof *block);
    std::free(block);
    return SRS_OK;
}

// The setters may change the handle, so each also stores the key states of
// any secret a caller changed in place (the reading calls only work around
// them, as they may share the handle between threads).
int srs_set_separator(srs_handle *handle, int separator) {
    if (handle == nullptr) return SRS_BAD_HANDLE;
    if (!is_separator(separator)) return SRS_BAD_PARAMETER;
    rewrite::hash::refresh(*handle);
    handle->separator = static_cast<char>(separator);
    return SRS_OK;
}

int srs_set_option(srs_handle *handle, int option, int value) {
    if (handle == nullptr) return SRS_BAD_HANDLE;
    uint32_t *flag = nullptr;
    switch (option) {
    case SRS_OPT_TIMESTAMP:
        flag = &handle->use_timestamp;
        break;
    case SRS_OPT_HASH:
        flag = &handle->use_hash;
        break;
    default:
        return SRS_BAD_PARAMETER;
    }
    rewrite::hash::refresh(*handle);
    *flag = value != 0 ? 1 : 0;
    return SRS_OK;
}

int srs_set_db_functions(srs_handle *handle, srs_db_insert_fn insert_fn,
                         srs_db_lookup_fn lookup_fn) {
    if (handle == nullptr) return SRS_BAD_HANDLE;
    rewrite::hash::refresh(*handle);
    handle->db_insert = insert_fn;
    handle->db_lookup = lookup_fn;
    const bool on = insert_fn != nullptr || lookup_fn != nullptr;
    handle->use_database = on ? 1 : 0;
    return on ? SRS_OK : SRS_DB_NOT_IN_USE;
}

int srs_set_db_context(srs_handle *handle, void *context) {
    if (handle == nullptr) return SRS_BAD_HANDLE;
    rewrite::hash::refresh(*handle);
    handle->db_context = context;
    return SRS_OK;
}

void *srs_get_db_context(const srs_handle *handle) {
    return handle == nullptr ? nullptr : handle->db_context;
}

int srs_add_secret(srs_handle *handle, const char *secret, uint32_t secret_len) {
    if (handle == nullptr) return SRS_BAD_HANDLE;
    if (!usable_secret(secret, secret_len)) return SRS_BAD_PARAMETER;
    if (handle->secret_count == handle->secret_capacity) {
        if (handle->secret_capacity > INT32_MAX - secrets_growth) return SRS_OUT_OF_MEMORY;
        const int32_t capacity = handle->secret_capacity + secrets_growth;
        // Fresh arrays rather than realloc, so that moved arrays leave no
        // copy of the secrets or their key states behind in freed memory.
        // On failure the old arrays, count and capacity stay as they were.
        const auto old_count = static_cast<std::size_t>(handle->secret_capacity);
        const auto count = static_cast<std::size_t>(capacity);
        auto *grown = static_cast<srs_secret *>(std::malloc(count * sizeof(srs_secret)));
        auto *grown_keys = static_cast<srs_key_state *>(std::malloc(count * sizeof(srs_key_state)));
        if (grown == nullptr || grown_keys == nullptr) {
            std::free(grown);
            std::free(grown_keys);
            return SRS_OUT_OF_MEMORY;
        }
        if (handle->secrets != nullptr) {
            std::memcpy(grown, handle->secrets, old_count * sizeof(srs_secret));
            std::memcpy(grown_keys, handle->secret_keys, old_count * sizeof(srs_key_state));
        }
        release_secrets(handle->secrets, handle->secret_keys, handle->secret_capacity);
        handle->secrets = grown;
        handle->secret_keys = grown_keys;
        handle->secret_capacity = capacity;
    }
    // Secrets changed in place since they were stored get their states now.
    rewrite::hash::refresh(*handle);
    srs_secret &entry = handle->secrets[handle->secret_count];
    std::memset(&entry, 0, sizeof entry);
    std::memcpy(entry.secret, secret, secret_len);
    entry.secret_len = secret_len;
    rewrite::hash::store(handle->secret_keys[handle->secret_count], secret, secret_len);
    ++handle->secret_count;
    return SRS_OK;
}

const char *srs_geterrormsg(int code) {
    for (const Message &m : messages)
        if (m.code == code) return m.text;
    return unknown_message;
}

int srs_forward(srs_handle *handle, const char *address, const char *alias, char *buffer,
                uint32_t buffer_len) {
    if (handle == nullptr) return SRS_BAD_HANDLE;
    const srs_handle &h = *handle;

    const std::uint32_t ds = srs__get_domain_start(address);
    const std::size_t len = rewrite::address::bounded_length(address);
    if (ds < 2 || ds >= len) return SRS_BAD_PARAMETER;
    const std::size_t alias_len =
        alias == nullptr ? 0 : strnlen(alias, rewrite::address::max_length + 1);
    if (srs__get_domain_start(alias) != 0 || alias_len == 0) return SRS_BAD_PARAMETER;
    // An alias cut at the read limit would send bounces to a wrong host.
    if (alias_len > rewrite::address::max_length) return SRS_ADDRESS_TOO_LONG;

    const std::string_view addr(address, len);
    const std::string_view alias_text(alias, alias_len);
    const std::string_view local = piece(addr, 0, ds - 1);
    const std::string_view domain = piece(addr, ds);
    const std::size_t hash_chars = std::min<std::size_t>(h.hash_length, rewrite::hash::text_size);
    const char separator = h.separator;

    std::array<char, rewrite::hash::text_size + 1> hash_text;
    std::string_view hash;
    HashInput input;
    const Kind kind = kind_of(addr);

    if (kind == Kind::plain) {
        std::array<char, 2> stamp{};
        const bool stamped = h.use_timestamp != 0;
        const std::size_t stamp_field = stamped ? 3 : 0;
        if (stamped) {
            srs_timestamp_create(std::time(nullptr), stamp.data());
            input.append(std::string_view(stamp.data(), stamp.size()));
        }

        std::array<char, work_size> id_place;
        std::string_view id;
        if (h.use_database == 0) {
            if (len + stamp_field > 255) return SRS_ADDRESS_TOO_LONG;
            input.append(domain);
            input.append(local);
        } else {
            if (h.db_insert == nullptr) return SRS_DB_ERROR;
            // The store is told the length read, 256 at most: a longer
            // sender would be stored cut short and its bounces lost.
            if (longer_than_read(address)) return SRS_ADDRESS_TOO_LONG;
            const auto room = static_cast<int>(work_size - stamp_field);
            id_place.fill('\0');
            const int rc =
                h.db_insert(handle, address, static_cast<int>(len), id_place.data(), room);
            if (SRS_IS_ERROR(rc)) return rc;
            id = std::string_view(id_place.data(),
                                  strnlen(id_place.data(), static_cast<std::size_t>(room)));
            input.append(id);
        }

        if (h.use_hash != 0) hash = make_hash(h, input, hash_text);

        const std::size_t body = h.use_database == 0 ? domain.size() + 1 + local.size() : id.size();
        const std::size_t size =
            5 + (h.use_hash != 0 ? hash_chars + 1 : 0) + stamp_field + body + 1 + alias_text.size();
        if (std::size_t{buffer_len} < size + 1) return SRS_BUFFER_TOO_SMALL;

        Writer out(buffer);
        out << "SRS0" << separator;
        if (h.use_hash != 0) out << hash << '=';
        if (stamped) out << std::string_view(stamp.data(), stamp.size()) << '=';
        if (h.use_database == 0)
            out << domain << '=' << local;
        else
            out << id;
        out << '@' << alias_text;
        out.finish();
        return SRS_OK;
    }

    // An SRS0 or SRS1 address whose domain runs past the read limit would be
    // rewritten with that domain cut short.
    if (longer_than_read(address)) return SRS_ADDRESS_TOO_LONG;

    std::string_view host;      // the first forwarder's domain
    std::string_view remainder; // the SRS0 local part from its separator on
    std::string_view kept;      // what follows the new hash: host '=' remainder
    if (kind == Kind::srs0) {
        if (ds + alias_text.size() > 257) return SRS_ADDRESS_TOO_LONG;
        host = domain;
        remainder = piece(local, 4);
    } else {
        const std::size_t hash_end = find_equals(local, 5, local.size());
        if (hash_end == std::string_view::npos) return SRS_BAD_SYNTAX;
        if (ds + alias_text.size() > 257) return SRS_ADDRESS_TOO_LONG;
        const std::size_t host_end = find_equals(local, hash_end + 1, local.size());
        if (host_end == std::string_view::npos) return SRS_BAD_SYNTAX;
        host = piece(local, hash_end + 1, host_end - hash_end - 1);
        remainder = piece(local, host_end + 1);
        kept = piece(local, hash_end + 1);
    }
    input.append(host);
    input.append(remainder);
    hash = make_hash(h, input, hash_text);

    const std::size_t size =
        5 + hash_chars + 1 + host.size() + 1 + remainder.size() + 1 + alias_text.size();
    if (std::size_t{buffer_len} < size + 1) return SRS_BUFFER_TOO_SMALL;

    Writer out(buffer);
    out << "SRS1" << separator << hash << '=';
    if (kind == Kind::srs0)
        out << host << '=' << remainder;
    else
        out << kept;
    out << '@' << alias_text;
    out.finish();
    return SRS_OK;
}

int srs_reverse(srs_handle *handle, const char *address, char *buffer, uint32_t buffer_len) {
    if (handle == nullptr) return SRS_BAD_HANDLE;
    const srs_handle &h = *handle;

    const std::uint32_t ds = srs__get_domain_start(address);
    const std::size_t len = rewrite::address::bounded_length(address);
    if (ds < 2 || ds >= len) return SRS_BAD_PARAMETER;
    const std::string_view local(address, ds - 1);
    const std::size_t n = local.size();

    const Kind kind = kind_of(local);
    if (kind == Kind::plain) return SRS_NOT_SRS;

    // The hash field runs from position 5 to the next '='; p is where the
    // fields after it start.
    std::string_view hash;
    std::size_t p = 5;
    if (kind == Kind::srs1 || h.use_hash != 0) {
        const std::size_t hash_end = find_equals(local, 5, n);
        if (hash_end == std::string_view::npos) return SRS_BAD_SYNTAX;
        hash = piece(local, 5, hash_end - 5);
        p = hash_end + 1;
    }
    auto verify = [&](const HashInput &input) {
        const int rc = srs__hash_verify(&h, input.data(), input.size(), hash.data(),
                                        static_cast<int>(hash.size()));
        return SRS_IS_ERROR(rc) ? SRS_HASH_FORGED : rc;
    };
    // The result goes into the caller's buffer only once the hash has been
    // verified: after any error the buffer is as it was.
    auto fits = [&](std::size_t size) { return size + 1 <= std::size_t{buffer_len}; };

    HashInput input;
    if (kind == Kind::srs1) {
        const std::size_t host_end = find_equals(local, p, n);
        if (host_end == std::string_view::npos) return SRS_BAD_SYNTAX;
        const std::string_view host = piece(local, p, host_end - p);
        const std::string_view remainder = piece(local, host_end + 1);
        if (!fits(4 + (n - p))) return SRS_BUFFER_TOO_SMALL;
        input.append(host);
        input.append(remainder);
        const int rc = verify(input);
        if (SRS_IS_ERROR(rc)) return rc;
        Writer out(buffer);
        out << "SRS0" << remainder << '@' << host;
        out.finish();
        return rc;
    }

    if (h.use_timestamp != 0) {
        // Positions p and p + 1 lie inside the address: at worst they are the
        // '@' and the first character of the domain.
        const int rc = srs_timestamp_check(&h, address + p, std::time(nullptr));
        if (rc == SRS_BAD_CHARACTER) return SRS_TIMESTAMP_BAD_CHARS;
        if (SRS_IS_ERROR(rc)) return SRS_TIMESTAMP_EXPIRED;
        if (p + 2 > n - 1 || local[p + 2] != '=') return SRS_BAD_SYNTAX;
        input.append(piece(local, p, 2));
        p += 3;
    }

    if (h.use_database != 0) {
        if (h.db_lookup == nullptr) return SRS_DB_ERROR;
        const std::string_view id = piece(local, p);
        int checked = SRS_OK;
        if (h.use_hash != 0) {
            input.append(id);
            checked = verify(input);
            if (SRS_IS_ERROR(checked)) return checked;
        }
        const int rc =
            h.db_lookup(handle, id.data(), static_cast<int>(id.size()), buffer, buffer_len);
        // A found sender whose hash matched only with case ignored is still
        // reported as case-broken, as outside database mode.
        return rc == SRS_OK ? checked : rc;
    }

    const std::size_t domain_end = find_equals(local, p, n);
    if (domain_end == std::string_view::npos) return SRS_BAD_SYNTAX;
    const std::string_view domain = piece(local, p, domain_end - p);
    const std::string_view sender_local = piece(local, domain_end + 1);
    if (!fits(n - p)) return SRS_BUFFER_TOO_SMALL;
    int rc = SRS_OK;
    if (h.use_hash != 0) {
        input.append(domain);
        input.append(sender_local);
        rc = verify(input);
        if (SRS_IS_ERROR(rc)) return rc;
    }
    Writer out(buffer);
    out << sender_local << '@' << domain;
    out.finish();
    return rc;
}

int srs_generate_unique_id(srs_handle *handle, const char *text, char *buffer,
                           uint32_t buffer_len) {
    if (handle == nullptr) return SRS_BAD_HANDLE;
    if (text == nullptr || buffer == nullptr || buffer_len == 0) return SRS_BAD_PARAMETER;
    const std::size_t len = std::strlen(text);
    if (len > INT32_MAX) return SRS_BAD_PARAMETER;

    std::array<unsigned char, rewrite::hash::digest_size> digest;
    std::array<char, rewrite::hash::text_size + 1> id;
    int digest_len = 0;
    srs__hash(handle, -1, text, static_cast<int>(len), digest.data(), &digest_len);
    srs__base64enc(digest.data(), rewrite::hash::digest_size, id.data(),
                   static_cast<uint32_t>(id.size()));
    std::strncpy(buffer, id.data(), buffer_len);
    buffer[buffer_len - 1] = '\0';
    return SRS_OK;
}

} // extern "C"
