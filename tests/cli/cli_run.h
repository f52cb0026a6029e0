// Runs the `brackenfold` command line as a user would, through the shell, for the CLI tests.
#pragma once

#include <sys/wait.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

namespace clitest {

struct Outcome {
    int status;
    std::string out;
    std::string err;
};

inline std::string slurp(const std::filesystem::path& p) {
    std::ifstream f(p, std::ios::binary);
    std::stringstream s;
    s << f.rdbuf();
    return s.str();
}

inline std::string shell_quote(const std::string& s) {
    std::string q = "'";
    for (char c : s) q += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return q + "'";
}

// Runs `brackenfold ARGS...` with `input` on standard input (none: end of input at once) and
// `environment` ("NAME=value ...", already quoted) before it; `dir` holds the files its
// standard streams go through.
inline Outcome run_brackenfold(const std::filesystem::path& dir, const std::vector<std::string>& args,
                               const std::string& input = "", const std::string& environment = "") {
    std::ofstream(dir / "in") << input;
    std::string cmd = environment + (environment.empty() ? "" : " ") + shell_quote(std::string(BF_BIN_DIR) + "/brackenfold");
    for (const auto& a : args) cmd += " " + shell_quote(a);
    cmd += " <" + shell_quote((dir / "in").string()) + " >" + shell_quote((dir / "out").string()) + " 2>" +
           shell_quote((dir / "err").string());
    int raw = std::system(cmd.c_str());
    return {WIFEXITED(raw) ? WEXITSTATUS(raw) : -1, slurp(dir / "out"), slurp(dir / "err")};
}

}  // namespace clitest
