#include "cli/commands.h"

namespace bf::cli {
void add_reg_command(CLI::App& app) {
    app.add_subcommand("reg", "Read and write the platform registry (the hive)");
}
}  // namespace bf::cli
