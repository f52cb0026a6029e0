// Each subcommand family registers itself on the top-level application. A command file adds
// itself with a static CommandRegistration, so new commands need no edit here or in main.cpp.
#pragma once

#include <CLI/CLI.hpp>

namespace bf::cli {

// Exit status a subcommand's callback leaves for main().
int& exit_status();

using AddCommand = void (*)(CLI::App& app);

// Registers a command family; `order` fixes its place in the help text (lower first).
struct CommandRegistration {
    CommandRegistration(int order, AddCommand add);
};

// Adds every registered family, in order.
void add_registered_commands(CLI::App& app);

}  // namespace bf::cli
