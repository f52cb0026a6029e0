// The DevTools pipe's framer against a plain split of the same bytes: the input is cut into pieces
// whose sizes the input itself gives, fed piece by piece under a small cap, and the messages that
// come out must be the NUL-separated runs of the input, or the framer must have failed exactly at
// the first run longer than the cap. Every message is then read as the client reads it.
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "host/devtools_client.h"
#include "host/devtools_framer.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 1) return 0;
    const size_t cap = 1 + data[0] % 64;
    const std::string input(reinterpret_cast<const char*>(data) + 1, size - 1);

    std::vector<std::string> expected;
    bool overflow = false;
    std::string run;
    for (char c : input) {
        if (c == '\0') {
            if (!run.empty()) expected.push_back(run);
            run.clear();
            continue;
        }
        run.push_back(c);
        if (run.size() > cap) {
            overflow = true;
            break;
        }
    }

    bf::host::DevToolsFramer framer(cap);
    std::vector<std::string> got;
    std::string error;
    bool ok = true;
    size_t at = 0, step = 0;
    while (at < input.size() && ok) {
        size_t len = 1 + static_cast<unsigned char>(input[step++ % input.size()]) % 17;
        len = std::min(len, input.size() - at);
        ok = framer.feed(std::string_view(input).substr(at, len), &got, &error);
        at += len;
    }
    if (ok == overflow) __builtin_trap();
    if (got != expected) __builtin_trap();
    if (!ok && (error.empty() || !framer.failed())) __builtin_trap();
    for (const auto& m : got) {
        bf::host::Json j = bf::host::Json::parse(m, nullptr, false);
        (void)bf::host::json_string(j, "method");
        (void)bf::host::json_string(j, "sessionId");
    }
    return 0;
}
