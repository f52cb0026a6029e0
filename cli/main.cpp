// brackenfold: the one command over the toolbar, its browser host, the reference service and
// the platform registry.
#include <cstdio>
#include <iostream>

#include "cli/commands.h"

namespace bf::cli {
int& exit_status() {
    static int status = 0;
    return status;
}
}  // namespace bf::cli

int main(int argc, char** argv) {
    CLI::App app{"Brackenfold: one alias address per web site, kept by a browser toolbar", "brackenfold"};
    app.set_version_flag("--version", std::string("brackenfold ") + BRACKENFOLD_VERSION);
    app.require_subcommand(1);
    bf::cli::add_reg_command(app);
    bf::cli::add_soap_command(app);
    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& e) {
        return app.exit(e);
    }
    std::fflush(stdout);
    return bf::cli::exit_status();
}
