// Database mode for the program: --store=sqlite:PATH, --store=redis:/PATH
// (a unix socket) or --store=redis:HOST:PORT puts every handle in database
// mode with that store.
#pragma once

#include "librewrite.h"

#include <optional>
#include <string>
#include <string_view>

namespace srs_tool {

struct StoreSpec {
    enum class Kind { sqlite, redis };
    Kind kind;
    std::string_view target;  // the file, or the Redis server
    std::string_view text;    // the whole --store= value, for messages
    std::string_view password_file; // Redis: --storeauth=
};

// The value of --store=, or nothing when it names no store.
std::optional<StoreSpec> parse_store(std::string_view value);

// Attaches the store to the handle; the reason when that fails.
std::optional<std::string> attach_store(const StoreSpec &choice, srs_handle *handle);

// Takes whatever store the handle has off it (before srs_close).
void detach_store(srs_handle *handle);

// True for the results of a failing store: worth trying again later.
bool is_store_error(int rc);

// The text of a result, the stores' own results included.
const char *describe(int rc);

// The store's reason for the handle's last failure ("" without one).
const char *store_error(const srs_handle *handle);

} // namespace srs_tool
