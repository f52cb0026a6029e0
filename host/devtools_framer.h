// The DevTools pipe's framing: one JSON message per NUL byte, in both directions. The reader is
// incremental -- bytes arrive in any pieces, messages come out whole -- and refuses a message
// longer than its cap (the browser's screenshots are the largest we ask for, well below it).
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace bf::host {

inline constexpr size_t kDevToolsMessageCap = 64u << 20;

class DevToolsFramer {
public:
    explicit DevToolsFramer(size_t cap = kDevToolsMessageCap) : cap_(cap) {}

    // Appends the messages completed by `bytes` to `out`. False once a message has grown past the
    // cap, with `error` set; the framer then stays failed (the stream cannot be resynchronised).
    // Empty messages (two NULs in a row) are skipped.
    bool feed(std::string_view bytes, std::vector<std::string>* out, std::string* error);

    bool failed() const { return failed_; }
    size_t pending() const { return partial_.size(); }  // bytes of an unfinished message

    // The bytes that carry `message` (which must hold no NUL).
    static std::string frame(std::string_view message);

private:
    size_t cap_;
    std::string partial_;
    bool failed_ = false;
};

}  // namespace bf::host
