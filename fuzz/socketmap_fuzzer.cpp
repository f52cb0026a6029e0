// The socketmap's request side: a stream of netstrings cut where the fuzzer says, answered
// request by request. Read in pieces it must give what it gives read whole; every payload sent
// back as a netstring must read back the same; every answer is one of the protocol's.
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "service/socketmap.h"

namespace {

using bf::service::NetstringReader;

struct Outcome {
    std::vector<std::string> messages;
    NetstringReader::Status end = NetstringReader::Status::Incomplete;
};

Outcome readAll(const std::string& stream, const std::vector<std::size_t>& chunks) {
    NetstringReader reader;
    Outcome o;
    std::size_t at = 0, turn = 0;
    while (at < stream.size() && o.end == NetstringReader::Status::Incomplete) {
        std::size_t size = chunks.empty() ? stream.size() : chunks[turn++ % chunks.size()];
        std::string_view piece(stream.data() + at, std::min(size, stream.size() - at));
        at += piece.size();
        while (!piece.empty() && o.end == NetstringReader::Status::Incomplete) {
            std::size_t used = 0;
            auto s = reader.read(piece, &used);
            if (used > piece.size()) __builtin_trap();
            piece.remove_prefix(used);
            if (s == NetstringReader::Status::Message) {
                if (reader.message().size() > bf::service::kMaxSocketmapRequest) __builtin_trap();
                o.messages.push_back(reader.message());
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
    std::size_t skip = 1 + chunks.size();
    std::string stream(reinterpret_cast<const char*>(data) + std::min(skip, size), size - std::min(skip, size));

    Outcome whole = readAll(stream, {}), cut = readAll(stream, chunks);
    if (whole.messages != cut.messages || whole.end != cut.end) __builtin_trap();

    std::string again;
    for (const auto& m : whole.messages) again += bf::service::netstring(m);
    Outcome reread = readAll(again, chunks);
    if (reread.messages != whole.messages || reread.end != NetstringReader::Status::Incomplete) __builtin_trap();

    bf::service::MemoryAliasDirectory directory;
    directory.put("live@alias.test", "user@mail.test");
    directory.put("off@alias.test", "user@mail.test", true);
    directory.put("fresh@alias.test", "");
    bf::service::SocketmapResponder responder(directory, "alias.test");
    for (const auto& m : whole.messages) {
        std::string reply = responder.answer(m).reply;
        if (reply.rfind("OK ", 0) != 0 && reply != "NOTFOUND " && reply.rfind("TEMP ", 0) != 0 &&
            reply.rfind("PERM ", 0) != 0)
            __builtin_trap();
        if (reply.rfind("OK ", 0) == 0 && reply != "OK user@mail.test") __builtin_trap();
    }
    return 0;
}
