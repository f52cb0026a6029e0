#include "http/chunked_decoder.h"

#include <cstring>

namespace bf::http {

void ChunkedDecoder::Reset() {
    m_state = State::Size;
    m_line.clear();
    m_remaining = 0;
    m_bodyLength = 0;
}

bool ChunkedDecoder::ParseSizeLine(std::string_view line, std::size_t& size) {
    std::size_t i = 0;
    std::size_t value = 0;
    while (i < line.size()) {
        const char c = line[i];
        int digit;
        if (c >= '0' && c <= '9') digit = c - '0';
        else if (c >= 'a' && c <= 'f') digit = c - 'a' + 10;
        else if (c >= 'A' && c <= 'F') digit = c - 'A' + 10;
        else break;
        value = value * 16 + static_cast<std::size_t>(digit);
        if (value > 0x7FFFFFFF) return false;
        ++i;
    }
    // At least one digit: an empty size line must not pass for the last chunk.
    if (i == 0) return false;
    while (i < line.size() && (line[i] == ' ' || line[i] == '\t')) ++i;
    if (i < line.size() && line[i] != ';') return false;
    size = value;
    return true;
}

ChunkedDecoder::Result ChunkedDecoder::Feed(const char* data, std::size_t length, std::size_t& consumed, Sink& sink) {
    consumed = 0;
    if (m_state == State::Done) return Result::Done;
    if (m_state == State::Failed) return Result::Failed;
    std::size_t i = 0;
    while (i < length) {
        switch (m_state) {
        case State::Size:
        case State::Trailers: {
            const void* found = std::memchr(data + i, '\n', length - i);
            const std::size_t end = found ? static_cast<std::size_t>(static_cast<const char*>(found) - data) : length;
            if (m_line.size() + (end - i) > kMaxLine) return Fail();
            m_line.append(data + i, end - i);
            i = end;
            if (!found) break;
            ++i;
            if (m_line.empty() || m_line.back() != '\r') return Fail();
            m_line.pop_back();
            if (m_state == State::Size) {
                std::size_t size = 0;
                if (!ParseSizeLine(m_line, size)) return Fail();
                if (size == 0) {
                    m_state = State::Trailers;
                } else {
                    m_remaining = size;
                    m_state = State::Data;
                }
            } else if (m_line.empty()) {
                m_state = State::Done;
                consumed = i;
                return Result::Done;
            } else {
                sink.OnTrailer(m_line);
            }
            m_line.clear();
            break;
        }
        case State::Data: {
            const std::size_t n = length - i < m_remaining ? length - i : m_remaining;
            if (!sink.OnData(data + i, n)) return Fail();
            m_bodyLength += n;
            m_remaining -= n;
            i += n;
            if (m_remaining == 0) m_state = State::DataEnd;
            break;
        }
        case State::DataEnd:
            if (data[i] != "\r\n"[m_line.size()]) return Fail();
            m_line += data[i++];
            if (m_line.size() == 2) {
                m_line.clear();
                m_state = State::Size;
            }
            break;
        case State::Done:
        case State::Failed:
            break;
        }
    }
    consumed = i;
    return Result::NeedMore;
}

}  // namespace bf::http
