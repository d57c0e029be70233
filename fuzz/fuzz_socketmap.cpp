// The socketmap front end on arbitrary bytes: the netstring parser never
// reads past what it was given nor accepts more than the limit, every
// complete request gets one of the four replies within Postfix's size, and
// an address split and written again splits back the same way.
#include "fuzz_input.h"
#include "options.h"
#include "socketmap.h"

#include <cstdlib>
#include <string>

namespace {

void check(bool ok) {
    if (!ok) std::abort();
}

const srs_tool::Settings &settings() {
    static srs_tool::Settings s = [] {
        srs_tool::Settings made;
        made.run_mode = srs_tool::RunMode::daemon;
        made.alias = "srs.example";
        made.excludes = {"local.example", ".corp.example"};
        static char secret[] = "fuzz-secret";
        made.secret_list.push_back(secret);
        check(!srs_tool::open_handles(made));
        return made;
    }();
    return s;
}

bool starts(const std::string &s, const char *prefix) {
    return s.rfind(prefix, 0) == 0;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, std::size_t size) {
    const std::string_view bytes(reinterpret_cast<const char *>(data), size);
    const auto n = srs_tool::parse_netstring(bytes, 300);
    using Status = srs_tool::Netstring::Status;
    if (n.status == Status::complete) {
        check(n.size <= bytes.size() && n.payload.size() <= 300);
        check(n.payload.data() >= bytes.data() &&
              n.payload.data() + n.payload.size() <= bytes.data() + bytes.size());
        check(bytes[n.size - 1] == ',');
        const std::string reply = srs_tool::answer_socketmap(settings(), n.payload);
        check(starts(reply, "OK ") || reply == "NOTFOUND " || starts(reply, "PERM ") ||
              starts(reply, "TEMP "));
        check(reply.size() <= srs_tool::max_socketmap_reply);
    }

    // Split, written again, split again: the same local part and domain.
    if (const auto a = srs_tool::split_address(bytes);
        a && a->domain.find('@') == std::string::npos) {
        const std::string again = srs_tool::quote_local_part(a->local) + "@" + a->domain;
        const auto b = srs_tool::split_address(again);
        check(b && b->local == a->local && b->domain == a->domain);
    }
    return 0;
}
