// The server's side of a connection, read from a fuzz input: Load() takes eight receive sizes
// (0: a receive that fails while input is left), used in turn, and the bytes the server sends.
// Sends succeed and read every byte they are given, so that a buffer that runs past its end shows.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "http/winsock.h"
#include <windef.h>

class FuzzSocket {
public:
    void Load(const std::uint8_t* pieces, const std::uint8_t* data, std::size_t size) {
        std::memcpy(m_pieces, pieces, sizeof m_pieces);
        m_data = data;
        m_size = size;
    }
    void SetTimeout(DWORD) {}
    bool IsConnected() const { return m_connected; }
    bool ConnectTo(const WCHAR* host, unsigned short) {
        if (!host || (refuseOnceDrained && m_pos == m_size)) return false;
        m_connected = true;
        return true;
    }
    bool Send(const WSABUF* buffers, DWORD count, DWORD* sent) {
        *sent = 0;
        if (!m_connected) return false;
        for (DWORD i = 0; i < count; ++i) {
            // Touch every byte: a buffer that runs past its end shows up here.
            volatile char sink = 0;
            for (ULONG j = 0; j < buffers[i].len; ++j) sink = sink ^ buffers[i].buf[j];
            *sent += buffers[i].len;
        }
        return true;
    }
    bool Receive(BYTE* buffer, DWORD* length) {
        if (!m_connected) return false;
        const std::uint8_t piece = m_pieces[m_next++ % sizeof m_pieces];
        if (piece == 0 && m_pos < m_size) {
            m_lastError = WSAETIMEDOUT;
            return false;
        }
        std::size_t n = piece;
        if (n > *length) n = *length;
        if (n > m_size - m_pos) n = m_size - m_pos;
        std::memcpy(buffer, m_data + m_pos, n);
        m_pos += n;
        *length = static_cast<DWORD>(n);
        return true;
    }
    void Disconnect() { m_connected = false; }
    DWORD LastError() const { return m_lastError; }
    // Once the input is used up there is no one to connect to.
    bool refuseOnceDrained = false;

private:
    std::uint8_t m_pieces[8] = {};
    std::size_t m_next = 0;
    const std::uint8_t* m_data = nullptr;
    std::size_t m_size = 0;
    std::size_t m_pos = 0;
    bool m_connected = false;
    DWORD m_lastError = 0;
};
