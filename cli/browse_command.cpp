// brackenfold browse: a browser window hosting the registered toolbars, driven by a script or
// by commands typed at a prompt.
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <iostream>
#include <memory>
#include <string>
#include <vector>

#include "cli/commands.h"
#include "host/browse_session.h"

namespace bf::cli {
namespace {

struct BrowseOptions {
    std::string script;
    std::vector<std::string> resolve;
    int width = 800;
    double wait_timeout = 30;
    double load_timeout = 30;
    std::string engine = "embedded";
    std::string chromium;
    bool headed = false;
    std::string url;
};

void print_errors(const std::vector<std::string>& warnings) {
    for (const auto& w : warnings) std::cerr << "warning: " << w << '\n';
}

void run_browse(const BrowseOptions& o) {
    std::ifstream file;
    bool interactive = false;
    if (!o.script.empty()) {
        file.open(o.script);
        if (!file) {
            std::cerr << "error: cannot read script '" << o.script << "'\n";
            exit_status() = 1;
            return;
        }
    } else {
        interactive = isatty(STDIN_FILENO) != 0;
    }
    std::istream& in = o.script.empty() ? std::cin : file;

    host::SessionOptions so;
    so.toolbar_width = o.width;
    so.wait_timeout_seconds = o.wait_timeout;
    so.resolve = o.resolve;
    so.engine = o.engine;
    so.chromium = o.chromium;
    so.headed = o.headed;
    so.load_timeout_seconds = o.load_timeout;
    host::BrowseSession session(so);
    std::string error;
    std::vector<std::string> warnings;
    bool started = session.start(o.url, &error, &warnings);
    print_errors(warnings);
    if (!started) {
        std::cerr << "error: " << error << '\n';
        exit_status() = 1;
        return;
    }

    std::string line;
    for (;;) {
        if (interactive) {
            std::cout << "browse> " << std::flush;
        }
        if (!std::getline(in, line)) break;
        std::string output;
        error.clear();
        warnings.clear();
        host::Outcome outcome = session.execute(line, &output, &error, &warnings);
        std::cout << output << std::flush;
        print_errors(warnings);
        if (outcome == host::Outcome::quit) break;
        if (outcome == host::Outcome::failed) {
            std::cerr << "error: " << error << '\n';
            if (!interactive || session.lost()) {
                exit_status() = 1;
                break;
            }
        }
    }
    if (interactive) std::cout << '\n';
    session.shutdown();
}

void add_browse_command(CLI::App& app) {
    auto opts = std::make_shared<BrowseOptions>();
    CLI::App* browse = app.add_subcommand("browse", "Open a browser window with the toolbar and drive it by commands");
    browse->add_option("--script", opts->script, "read commands from FILE (default: standard input)");
    browse->add_option("--resolve", opts->resolve, "HOST:PORT:ADDRESS, as curl's --resolve (repeatable)");
    browse->add_option("--width", opts->width, "width of the toolbar area in pixels (default 800)")
        ->check(CLI::Range(100, 8192));
    browse->add_option("--wait-timeout", opts->wait_timeout, "seconds that `wait` waits at most (default 30)")
        ->check(CLI::Range(0.0, 86400.0));
    browse->add_option("--engine", opts->engine, "embedded (libcurl and gumbo, the default) or chromium")
        ->check(CLI::IsMember({"embedded", "chromium"}));
    browse->add_option("--chromium", opts->chromium,
                       "the Chromium binary (default: $BRACKENFOLD_CHROMIUM, else /usr/bin/chromium)");
    browse->add_flag("--headed", opts->headed, "show Chromium's window when there is a display");
    browse->add_option("--load-timeout", opts->load_timeout,
                       "seconds Chromium may take to load a page (default 30)")
        ->check(CLI::Range(0.1, 86400.0));
    browse->add_option("URL", opts->url, "page to open first");
    browse->footer(
        "Commands, one per line ('#' starts a comment):\n"
        "  open URL | wait | waitfor FIELD [SECONDS] | click status|login|name|rating|ad | type FIELD TEXT\n"
        "  clear FIELD | submit [FIELD] | show | fields | snapshot FILE | newwindow [URL] | window N\n"
        "  closewindow | quit");
    browse->callback([opts] { run_browse(*opts); });
}

const CommandRegistration kRegistration{10, add_browse_command};
}  // namespace

}  // namespace bf::cli
