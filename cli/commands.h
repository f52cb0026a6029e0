// Each subcommand family registers itself on the top-level application.
#pragma once

#include <CLI/CLI.hpp>

namespace bf::cli {

// Exit status a subcommand's callback leaves for main().
int& exit_status();

void add_reg_command(CLI::App& app);
void add_soap_command(CLI::App& app);

}  // namespace bf::cli
