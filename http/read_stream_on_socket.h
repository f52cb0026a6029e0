// CReadStreamOnSocket: a read-only stream over the body of the HTTP client's last response, what
// the XML reader parses. It lives inside the SOAP transport and refers into the client's response
// buffer without owning it, so it is not reference-counted and must be emptied before that buffer
// changes (the next exchange).
#pragma once

#include <objidl.h>

namespace bf::http {

class CReadStreamOnSocket final : public IStream {
public:
    CReadStreamOnSocket() = default;
    CReadStreamOnSocket(const CReadStreamOnSocket&) = delete;
    CReadStreamOnSocket& operator=(const CReadStreamOnSocket&) = delete;
    virtual ~CReadStreamOnSocket() = default;

    // Reads start again at `body`; null or a length of 0 make an empty stream.
    void Init(const BYTE* body, DWORD length) noexcept {
        m_start = body;
        m_position = body;
        m_length = body ? length : 0;
    }
    void Reset() noexcept { Init(nullptr, 0); }
    DWORD Length() const noexcept { return m_length; }
    DWORD Remaining() const noexcept { return m_length - static_cast<DWORD>(m_position - m_start); }

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override;
    ULONG STDMETHODCALLTYPE AddRef() override { return 1; }
    ULONG STDMETHODCALLTYPE Release() override { return 1; }

    HRESULT STDMETHODCALLTYPE Read(void* pv, ULONG cb, ULONG* pcbRead) override;
    HRESULT STDMETHODCALLTYPE Write(const void*, ULONG, ULONG*) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE Seek(LARGE_INTEGER, DWORD, ULARGE_INTEGER*) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE SetSize(ULARGE_INTEGER) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE CopyTo(IStream*, ULARGE_INTEGER, ULARGE_INTEGER*, ULARGE_INTEGER*) override {
        return E_NOTIMPL;
    }
    HRESULT STDMETHODCALLTYPE Commit(DWORD) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE Revert() override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE LockRegion(ULARGE_INTEGER, ULARGE_INTEGER, DWORD) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE UnlockRegion(ULARGE_INTEGER, ULARGE_INTEGER, DWORD) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE Stat(STATSTG*, DWORD) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE Clone(IStream**) override { return E_NOTIMPL; }

private:
    const BYTE* m_start = nullptr;
    const BYTE* m_position = nullptr;
    DWORD m_length = 0;
};

}  // namespace bf::http
