// ChunkedDecoder: decodes a chunked message body fed in pieces of any size. Data goes to the
// sink as it arrives (a chunk never has to fit a buffer), trailer lines after the last chunk
// go to the sink one by one, and the blank line that ends the trailers ends the body.
// Socket-free.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace bf::http {

class ChunkedDecoder {
public:
    enum class Result { NeedMore, Done, Failed };

    struct Sink {
        // False stops the decode as failed (a size limit, say).
        virtual bool OnData(const char* data, std::size_t length) = 0;
        // One trailer line without its CR LF.
        virtual void OnTrailer(std::string_view line) = 0;

    protected:
        ~Sink() = default;
    };

    // Size lines and trailer lines longer than this fail the decode.
    static constexpr std::size_t kMaxLine = 8192;

    void Reset();
    // Consumes input up to the end of the body; `consumed` receives the bytes used. Bytes after
    // the end are left alone. After Done or Failed the decoder stays there until Reset.
    Result Feed(const char* data, std::size_t length, std::size_t& consumed, Sink& sink);
    std::size_t BodyLength() const { return m_bodyLength; }

    // Parses a chunk size line without its CR LF: hexadecimal digits, optional blanks and an
    // optional ";" extension, which is ignored. False for anything else or a size over 2^31-1.
    static bool ParseSizeLine(std::string_view line, std::size_t& size);

private:
    enum class State { Size, Data, DataEnd, Trailers, Done, Failed };

    Result Fail() {
        m_state = State::Failed;
        return Result::Failed;
    }

    State m_state = State::Size;
    std::string m_line;
    std::size_t m_remaining = 0;
    std::size_t m_bodyLength = 0;
};

}  // namespace bf::http
