#include "cli/commands.h"

namespace bf::cli {
void add_soap_command(CLI::App& app) {
    (void)app;
}
}  // namespace bf::cli
