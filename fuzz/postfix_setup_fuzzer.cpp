// `mail setup` on whatever main.cf and master.cf hold (the input up to the first NUL is main.cf,
// the rest master.cf): it refuses or rewrites, never crashes, and a second run changes nothing.
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "service/postfix_setup.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string input(reinterpret_cast<const char*>(data), size);
    const std::size_t nul = input.find('\0');
    std::string main = input.substr(0, nul), master = nul == std::string::npos ? std::string() : input.substr(nul + 1);
    bf::service::PostfixSetup setup;
    setup.aliasDomain = "alias.example.com";
    std::vector<bf::service::PostfixChange> changes;
    std::string error;
    if (!bf::service::apply_postfix_setup(setup, &main, &master, &changes, &error)) return 0;
    std::string main2 = main, master2 = master;
    if (!bf::service::apply_postfix_setup(setup, &main2, &master2, &changes, &error)) __builtin_trap();
    if (main2 != main || master2 != master) __builtin_trap();
    for (const auto& c : changes)
        if (c.changed()) __builtin_trap();
    return 0;
}
