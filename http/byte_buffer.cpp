#include "http/byte_buffer.h"

#include <cstring>
#include <new>

namespace bf::http {
namespace {
// Blocks up to this size are kept across Clear; a client mostly sees small responses again.
constexpr std::size_t kKeepOnClear = 256 * 1024;
}  // namespace

ByteBuffer::ByteBuffer() : m_data(m_inPlace) { m_inPlace[0] = '\0'; }

void ByteBuffer::Reserve(std::size_t total) {
    if (total < m_size || total + 1 < total) throw std::bad_alloc();
    if (total + 1 <= m_capacity) return;
    // Grow by at least half again: appending receive after receive stays linear.
    std::size_t capacity = m_capacity + (total + 1 - m_capacity);
    const std::size_t step = m_capacity / 2 > kInPlace ? m_capacity / 2 : kInPlace;
    if (capacity < m_capacity + step) capacity = m_capacity + step;
    std::unique_ptr<char[]> block(new char[capacity]);
    std::memcpy(block.get(), m_data, m_size + 1);
    m_heap = std::move(block);
    m_data = m_heap.get();
    m_capacity = capacity;
}

void ByteBuffer::Append(const char* data, std::ptrdiff_t length) {
    if (length < 0) {
        if (length != -1 || !data) return;
        length = static_cast<std::ptrdiff_t>(std::strlen(data));
    }
    if (length == 0) return;
    const std::size_t n = static_cast<std::size_t>(length);
    // The source may lie inside this buffer, which may move.
    const bool inside = data >= m_data && data < m_data + m_size;
    const std::size_t offset = inside ? static_cast<std::size_t>(data - m_data) : 0;
    Reserve(m_size + n);
    if (inside) data = m_data + offset;
    std::memmove(m_data + m_size, data, n);
    m_size += n;
    m_data[m_size] = '\0';
}

char* ByteBuffer::Grow(std::size_t length) {
    if (m_size + length < m_size) throw std::bad_alloc();
    Reserve(m_size + length);
    return m_data + m_size;
}

void ByteBuffer::Truncate(std::size_t length) {
    if (length >= m_size) return;
    m_size = length;
    m_data[m_size] = '\0';
}

void ByteBuffer::Clear() {
    if (m_capacity > kKeepOnClear) {
        m_heap.reset();
        m_data = m_inPlace;
        m_capacity = kInPlace;
    }
    m_size = 0;
    m_data[0] = '\0';
}

}  // namespace bf::http
