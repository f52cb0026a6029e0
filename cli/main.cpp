// brackenfold: the one command over the toolbar, its browser host, the reference service and
// the platform registry.
#include <algorithm>
#include <cstdio>
#include <utility>
#include <vector>
#include <iostream>

#include "cli/commands.h"

namespace bf::cli {
int& exit_status() {
    static int status = 0;
    return status;
}

namespace {
std::vector<std::pair<int, AddCommand>>& registry() {
    static std::vector<std::pair<int, AddCommand>> commands;
    return commands;
}
}  // namespace

CommandRegistration::CommandRegistration(int order, AddCommand add) { registry().emplace_back(order, add); }

void add_registered_commands(CLI::App& app) {
    auto commands = registry();
    std::stable_sort(commands.begin(), commands.end(),
                     [](const auto& a, const auto& b) { return a.first < b.first; });
    for (const auto& [order, add] : commands) add(app);
}
}  // namespace bf::cli

int main(int argc, char** argv) {
    CLI::App app{"Brackenfold: one alias address per web site, kept by a browser toolbar", "brackenfold"};
    app.set_version_flag("--version", std::string("brackenfold ") + BRACKENFOLD_VERSION);
    app.require_subcommand(1);
    bf::cli::add_registered_commands(app);
    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& e) {
        return app.exit(e);
    }
    std::fflush(stdout);
    return bf::cli::exit_status();
}
