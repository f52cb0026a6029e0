// The native host's reading of the browser's stream: the framing, cut where the input's first
// bytes say, and each message through the host's parser. Checks: no crash, no leak, messages
// come out the same however the stream is cut, and a parsed message has its type's fields.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "host/native_messaging.h"
#include "host/native_protocol.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 2) return 0;
    std::size_t piece = 1 + data[0] % 64;
    std::string_view stream(reinterpret_cast<const char*>(data) + 1, size - 1);

    std::vector<std::string> whole, pieces;
    bf::host::NativeMessageReader a(64 * 1024), b(64 * 1024);
    bool ok_whole = a.feed(stream, whole);
    bool ok_pieces = true;
    for (std::size_t i = 0; i < stream.size() && ok_pieces; i += piece)
        ok_pieces = b.feed(stream.substr(i, piece), pieces);
    if (ok_whole != ok_pieces || whole != pieces || a.mid_message() != b.mid_message()) std::abort();

    for (const auto& text : whole) {
        bf::host::BrowserMessage m;
        std::string error;
        if (bf::host::parse_browser_message(text, &m, &error)) {
            if (m.type == bf::host::BrowserMessageType::reply && !m.answer.is_object()) std::abort();
            if (m.url.size() > bf::host::kBrowserTextCap) std::abort();
        } else if (error.empty()) {
            std::abort();
        }
    }
    return 0;
}
