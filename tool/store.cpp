// The stores the program can use.
#include "store.h"

#include <cstring>

#ifdef SRS_WITH_SQLITE
#include <librewrite/srs_sqlite.h>
#endif
#ifdef SRS_WITH_REDIS
#include <librewrite/srs_redis.h>
#endif

namespace srs_tool {

std::optional<StoreSpec> parse_store(std::string_view value) {
    auto rest = [&](std::string_view prefix) -> std::optional<std::string_view> {
        if (value.substr(0, prefix.size()) != prefix || value.size() == prefix.size())
            return std::nullopt;
        return value.substr(prefix.size());
    };
    if (const auto path = rest("sqlite:")) return StoreSpec{StoreSpec::Kind::sqlite, *path, value, {}};
    if (const auto server = rest("redis:")) {
        // A unix socket's path, or HOST:PORT with a port.
        if (server->front() != '/') {
            const std::size_t colon = server->rfind(':');
            if (colon == std::string_view::npos || colon == 0 || colon + 1 == server->size() ||
                server->find_first_not_of("0123456789", colon + 1) != std::string_view::npos)
                return std::nullopt;
        }
        return StoreSpec{StoreSpec::Kind::redis, *server, value, {}};
    }
    return std::nullopt;
}

std::optional<std::string> attach_store(const StoreSpec &choice, [[maybe_unused]] srs_handle *handle) {
    const std::string target(choice.target);
    switch (choice.kind) {
    case StoreSpec::Kind::sqlite:
#ifdef SRS_WITH_SQLITE
        if (const int rc = srs_sqlite_attach(handle, target.c_str()); SRS_IS_ERROR(rc))
            return std::string(srs_sqlite_errormsg(rc)) + ": " + srs_sqlite_last_error(handle);
        return std::nullopt;
#else
        return std::string("this srs was built without the SQLite store");
#endif
    case StoreSpec::Kind::redis:
#ifdef SRS_WITH_REDIS
    {
        const std::string password(choice.password_file);
        srs_redis_options options{};
        options.password_file = password.empty() ? nullptr : password.c_str();
        if (const int rc = srs_redis_attach(handle, target.c_str(), &options); SRS_IS_ERROR(rc))
            return std::string(srs_geterrormsg(rc)) + ": " + srs_redis_last_error(handle);
        return std::nullopt;
    }
#else
        return std::string("this srs was built without the Redis store");
#endif
    }
    return std::string("unknown store");
}

void detach_store([[maybe_unused]] srs_handle *handle) {
#ifdef SRS_WITH_SQLITE
    srs_sqlite_detach(handle);
#endif
#ifdef SRS_WITH_REDIS
    srs_redis_detach(handle);
#endif
}

bool is_store_error(int rc) {
    return rc == SRS_DB_ERROR || (rc >= 0x0221 && rc <= 0x0223);
}

const char *describe(int rc) {
#ifdef SRS_WITH_SQLITE
    return srs_sqlite_errormsg(rc);
#else
    return srs_geterrormsg(rc);
#endif
}

const char *store_error([[maybe_unused]] const srs_handle *handle) {
#ifdef SRS_WITH_SQLITE
    if (const char *e = srs_sqlite_last_error(handle); srs_get_db_context(handle) != nullptr && *e)
        return e;
#endif
#ifdef SRS_WITH_REDIS
    if (const char *e = srs_redis_last_error(handle); *e) return e;
#endif
    return "";
}

} // namespace srs_tool
