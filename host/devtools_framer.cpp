#include "host/devtools_framer.h"

#include <cstring>

namespace bf::host {

bool DevToolsFramer::feed(std::string_view bytes, std::vector<std::string>* out, std::string* error) {
    auto fail = [&] {
        failed_ = true;
        partial_.clear();
        partial_.shrink_to_fit();
        if (error) *error = "a message from the browser is longer than " + std::to_string(cap_ >> 20) + " MiB";
        return false;
    };
    if (failed_) return fail();
    while (!bytes.empty()) {
        const void* nul = std::memchr(bytes.data(), '\0', bytes.size());
        size_t take = nul ? static_cast<size_t>(static_cast<const char*>(nul) - bytes.data()) : bytes.size();
        if (partial_.size() + take > cap_) return fail();
        partial_.append(bytes.data(), take);
        if (!nul) break;
        if (!partial_.empty()) out->push_back(std::move(partial_));
        partial_.clear();
        bytes.remove_prefix(take + 1);
    }
    return true;
}

std::string DevToolsFramer::frame(std::string_view message) {
    std::string out;
    out.reserve(message.size() + 1);
    out.append(message);
    out.push_back('\0');
    return out;
}

}  // namespace bf::host
