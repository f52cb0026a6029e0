// ByteBuffer: the HTTP client's response buffer. Holds 4 KiB in place and moves to the heap when
// it must grow; a NUL byte always follows the last valid byte, so text parsers may rely on one.
#pragma once

#include <cstddef>
#include <memory>

namespace bf::http {

class ByteBuffer {
public:
    static constexpr std::size_t kInPlace = 4096;

    ByteBuffer();
    ByteBuffer(const ByteBuffer&) = delete;
    ByteBuffer& operator=(const ByteBuffer&) = delete;

    char* Data() { return m_data; }
    const char* Data() const { return m_data; }
    std::size_t Size() const { return m_size; }
    bool Empty() const { return m_size == 0; }
    // Bytes the buffer can hold without moving (the trailing NUL not counted).
    std::size_t Capacity() const { return m_capacity - 1; }

    // Appends `length` bytes; a length of -1 appends a NUL-terminated string without its NUL.
    // Throws std::bad_alloc when memory runs out (the contents are then unchanged).
    void Append(const char* data, std::ptrdiff_t length);
    // Room for `length` more bytes after the end, to be filled and then committed.
    char* Prepare(std::size_t length) {
        if (length < m_capacity - m_size) return m_data + m_size;  // the common case: room enough
        return Grow(length);
    }
    void Commit(std::size_t length) {
        if (length > m_capacity - 1 - m_size) length = m_capacity - 1 - m_size;
        m_size += length;
        m_data[m_size] = '\0';
    }
    // Keeps the first `length` bytes (no effect when there are fewer).
    void Truncate(std::size_t length);
    // Empties the buffer; a large heap block is given back rather than kept for the next use.
    void Clear();

private:
    void Reserve(std::size_t total);
    char* Grow(std::size_t length);

    char m_inPlace[kInPlace];
    std::unique_ptr<char[]> m_heap;
    char* m_data;
    std::size_t m_size = 0;
    std::size_t m_capacity = kInPlace;  // including the NUL
};

}  // namespace bf::http
