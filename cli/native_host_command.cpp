// brackenfold native-host: started by the browser for the extension (see `brackenfold extension
// install`). Standard input and output carry the browser's framed messages and nothing else:
// whatever else would be printed goes to standard error.
#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <cstdio>
#include <string>
#include <vector>

#include "cli/commands.h"
#include "host/native_host.h"

namespace bf::cli {
namespace {

int native_host() {
    // A browser that has closed our output makes a write fail, not end the process unannounced.
    signal(SIGPIPE, SIG_IGN);
    std::fflush(stdout);
    int out = fcntl(STDOUT_FILENO, F_DUPFD_CLOEXEC, 3);
    if (out < 0 || dup2(STDERR_FILENO, STDOUT_FILENO) < 0) {
        std::fprintf(stderr, "error: cannot set up the browser's output\n");
        return 1;
    }
    int status = host::run_native_host(STDIN_FILENO, out, host::NativeHostOptions{});
    ::close(out);
    return status;
}

void add_native_host_command(CLI::App& app) {
    CLI::App* cmd = app.add_subcommand("native-host", "The extension's native host (the browser starts it)");
    // The browser passes the caller's origin and, on some systems, a window handle.
    cmd->allow_extras();
    cmd->callback([] { exit_status() = native_host(); });
}

const CommandRegistration kRegistration{26, add_native_host_command};

}  // namespace
}  // namespace bf::cli
