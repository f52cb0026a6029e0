#include "http/read_stream_on_socket.h"

#include <algorithm>
#include <cstring>

namespace bf::http {

HRESULT CReadStreamOnSocket::QueryInterface(REFIID riid, void** ppv) {
    if (!ppv) return E_POINTER;
    if (riid == IID_IUnknown || riid == IID_IStream || riid == IID_ISequentialStream) {
        *ppv = static_cast<IStream*>(this);
        return S_OK;
    }
    *ppv = nullptr;
    return E_NOINTERFACE;
}

HRESULT CReadStreamOnSocket::Read(void* pv, ULONG cb, ULONG* pcbRead) {
    if (pcbRead) *pcbRead = 0;
    const DWORD count = std::min<DWORD>(cb, Remaining());
    if (count > 0) {
        if (!pv) return STG_E_INVALIDPOINTER;
        std::memcpy(pv, m_position, count);
        m_position += count;
    }
    if (pcbRead) *pcbRead = count;
    return S_OK;
}

}  // namespace bf::http
