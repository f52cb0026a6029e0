// Native messaging: how the browser talks to a native host over its standard input and output.
// Each message is a 32-bit length in the machine's byte order followed by that many bytes of
// UTF-8 JSON. The reader is socket-free and incremental, so the stream may arrive in any pieces.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace bf::host {

// The name the extension connects to, and the id the browser gives the extension (from the
// public key in extension/manifest.json): the only origin the host's manifest lets connect.
inline constexpr const char* kNativeHostName = "org.brackenfold.toolbar";
inline constexpr const char* kExtensionId = "noabfhdllnkblejlehmpbdbpiaihpnih";

// Largest message taken from the browser. Page reads are small; a length past this is a broken
// or hostile stream, and reading it would only hold memory.
inline constexpr std::uint32_t kNativeMessageCap = 8u * 1024 * 1024;
// Largest message the browser takes from a host.
inline constexpr std::size_t kNativeReplyCap = 1024 * 1024;

class NativeMessageReader {
public:
    explicit NativeMessageReader(std::uint32_t cap = kNativeMessageCap) : cap_(cap) {}

    // Appends the messages `bytes` completes to `out`. False once a length is over the cap: the
    // stream cannot be followed past it, so the reader takes nothing more (error() says why).
    bool feed(std::string_view bytes, std::vector<std::string>& out);

    bool failed() const { return !error_.empty(); }
    const std::string& error() const { return error_; }
    // Bytes of an unfinished message are waiting: the end of the input now cuts a message.
    bool mid_message() const { return have_ > 0 || in_body_; }

private:
    std::uint32_t cap_;
    unsigned char length_[4]{};
    std::size_t have_ = 0;   // bytes of the length prefix read
    std::size_t need_ = 0;   // body bytes still missing
    bool in_body_ = false;
    std::string body_;
    std::string error_;
};

// The framed message for the browser; false (and `out` untouched) when it is over the cap.
bool frame_native_message(std::string_view json, std::string* out);

}  // namespace bf::host
