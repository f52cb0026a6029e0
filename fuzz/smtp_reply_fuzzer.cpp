// The SMTP client's reply reader on what a mail server might send, cut where the fuzzer says:
// in pieces it reads what it reads whole, and every reply it gives keeps to its limits.
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "service/smtp_client.h"

namespace {

using bf::service::SmtpReplyReader;

struct Outcome {
    std::vector<std::string> replies;
    SmtpReplyReader::Status end = SmtpReplyReader::Status::Incomplete;
};

Outcome readAll(const std::string& stream, const std::vector<std::size_t>& chunks) {
    SmtpReplyReader reader;
    Outcome o;
    std::size_t at = 0, turn = 0;
    while (at < stream.size() && o.end == SmtpReplyReader::Status::Incomplete) {
        std::size_t size = chunks.empty() ? stream.size() : chunks[turn++ % chunks.size()];
        std::string_view piece(stream.data() + at, std::min(size, stream.size() - at));
        at += piece.size();
        while (!piece.empty() && o.end == SmtpReplyReader::Status::Incomplete) {
            std::size_t used = 0;
            auto s = reader.read(piece, &used);
            if (used > piece.size()) __builtin_trap();
            piece.remove_prefix(used);
            if (s == SmtpReplyReader::Status::Reply) {
                const auto& r = reader.reply();
                if (r.code < 200 || r.code > 599 || r.lines.empty() || r.lines.size() > SmtpReplyReader::kMaxLines)
                    __builtin_trap();
                for (const auto& line : r.lines)
                    if (line.size() > SmtpReplyReader::kMaxLine || line.find('\n') != std::string::npos) __builtin_trap();
                o.replies.push_back(r.text());
            } else {
                o.end = s;
            }
        }
    }
    return o;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 1) return 0;
    std::vector<std::size_t> chunks;
    for (std::size_t i = 0; i < (data[0] & 7u) && 1 + i < size; ++i) chunks.push_back(1u + data[1 + i]);
    std::size_t skip = std::min(size, 1 + chunks.size());
    std::string stream(reinterpret_cast<const char*>(data) + skip, size - skip);
    Outcome whole = readAll(stream, {}), cut = readAll(stream, chunks);
    if (whole.replies != cut.replies || whole.end != cut.end) __builtin_trap();
    return 0;
}
