// A read-only IStream over a byte buffer it owns: how the codec is fed without a network (the
// command line, benchmarks, fuzzers, tests). Reads may be cut into chunks of chosen sizes, so that
// the reader sees its input split at chosen places.
#pragma once

#include <string>
#include <vector>

#include <shlwapi.h>
#include <objidl.h>

namespace bf::soap {

class CBufferStream final : public bf::ComObject<IStream> {
public:
    explicit CBufferStream(std::string bytes) : bytes_(std::move(bytes)) {}
    // Read i hands out at most chunks[i % chunks.size()] bytes (0 entries are skipped); an empty
    // list means no limit.
    void setChunks(std::vector<ULONG> chunks) { chunks_ = std::move(chunks); }

    HRESULT STDMETHODCALLTYPE Read(void* pv, ULONG cb, ULONG* pcbRead) override;
    HRESULT STDMETHODCALLTYPE Write(const void*, ULONG, ULONG* pcbWritten) override;
    HRESULT STDMETHODCALLTYPE Seek(LARGE_INTEGER dlibMove, DWORD dwOrigin, ULARGE_INTEGER* plibNewPosition) override;
    HRESULT STDMETHODCALLTYPE SetSize(ULARGE_INTEGER) override { return STG_E_ACCESSDENIED; }
    HRESULT STDMETHODCALLTYPE CopyTo(IStream*, ULARGE_INTEGER, ULARGE_INTEGER*, ULARGE_INTEGER*) override {
        return E_NOTIMPL;
    }
    HRESULT STDMETHODCALLTYPE Commit(DWORD) override { return S_OK; }
    HRESULT STDMETHODCALLTYPE Revert() override { return S_OK; }
    HRESULT STDMETHODCALLTYPE LockRegion(ULARGE_INTEGER, ULARGE_INTEGER, DWORD) override { return STG_E_INVALIDFUNCTION; }
    HRESULT STDMETHODCALLTYPE UnlockRegion(ULARGE_INTEGER, ULARGE_INTEGER, DWORD) override { return STG_E_INVALIDFUNCTION; }
    HRESULT STDMETHODCALLTYPE Stat(STATSTG* pstatstg, DWORD grfStatFlag) override;
    HRESULT STDMETHODCALLTYPE Clone(IStream**) override { return E_NOTIMPL; }

protected:
    void* query_more(REFIID riid) override {
        return riid == IID_ISequentialStream ? static_cast<ISequentialStream*>(this) : nullptr;
    }

private:
    std::string bytes_;
    std::size_t pos_ = 0;
    std::vector<ULONG> chunks_;
    std::size_t reads_ = 0;
};

}  // namespace bf::soap
