// srs: rewrites mail envelope senders with the Sender Rewriting Scheme,
// from the command line or as a daemon on a local socket.
#include "actions.h"
#include "daemon.h"
#include "options.h"

#include <cstdio>

int main(int argc, char **argv) {
    srs_tool::Settings settings;
    if (const auto exit = srs_tool::read_command_line(argc, argv, settings)) {
        std::fwrite(exit->message.data(), 1, exit->message.size(), exit->stream);
        return exit->status;
    }
    if (settings.run_mode == srs_tool::RunMode::daemon) return srs_tool::run_daemon(settings);
    const int status = srs_tool::process_addresses(argc, argv, settings);
    std::fflush(stdout);
    return status;
}
