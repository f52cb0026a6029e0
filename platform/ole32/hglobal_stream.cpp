// IStream over a global memory block. A stream and its clones share one SharedBlock (handle,
// logical size, delete-on-release) and each keeps its own position. The block is resized with
// exact sizes so that GlobalSize after writing tells the caller how much was written; the
// allocator under GlobalReAlloc over-allocates, so small writes stay cheap.
#include <algorithm>
#include <cstring>
#include <memory>
#include <mutex>
#include <new>

#include <shlwapi.h>
#include <winbase.h>

namespace {

// Streams never exceed what a 32-bit size field can say, as with the original.
constexpr ULONGLONG kMaxStreamSize = 0xFFFFFFFFull;
constexpr ULONG kCopyChunk = 64 * 1024;

// Answered only by our own streams: how GetHGlobalFromStream recognises them without trusting
// anything about a foreign object beyond its QueryInterface.
constexpr IID kIID_HGlobalStreamSelf = bf::make_guid("5D1B0C3E-7A42-4F86-9C1D-2E8B6F40A713");

struct SharedBlock {
    std::mutex mutex;  // guards size and every stream position on this block
    HGLOBAL handle = nullptr;
    ULONGLONG size = 0;
    bool delete_on_release = false;

    ~SharedBlock() {
        if (delete_on_release) GlobalFree(handle);
    }

    // Makes the block exactly n bytes; bytes between the old logical size and n read as zero,
    // except those from `overwritten` to n, which the caller is about to fill.
    bool resize(ULONGLONG n, ULONGLONG overwritten = ~0ull) {
        if (n > kMaxStreamSize) return false;
        SIZE_T actual = GlobalSize(handle);
        if (actual != n && !GlobalReAlloc(handle, static_cast<SIZE_T>(n), 0)) return false;
        // The block may have been shorter than the logical size if someone resized it behind us.
        ULONGLONG keep = std::min<ULONGLONG>(size, actual);
        ULONGLONG zero_end = std::min(n, overwritten);
        if (zero_end > keep) {
            auto* p = static_cast<unsigned char*>(GlobalLock(handle));
            if (!p) return false;
            std::memset(p + keep, 0, static_cast<std::size_t>(zero_end - keep));
            GlobalUnlock(handle);
        }
        size = n;
        return true;
    }

    // Bytes that can really be read: the block may have been shrunk behind the stream's back.
    ULONGLONG readable() const { return std::min<ULONGLONG>(size, GlobalSize(handle)); }
};

class HGlobalStream final : public bf::ComObject<IStream> {
public:
    HGlobalStream(std::shared_ptr<SharedBlock> block, ULONGLONG position)
        : block_(std::move(block)), pos_(position) {}

    HGLOBAL handle() const {
        std::lock_guard lock(block_->mutex);
        return block_->handle;
    }

    HRESULT STDMETHODCALLTYPE Read(void* pv, ULONG cb, ULONG* pcbRead) override {
        if (pcbRead) *pcbRead = 0;
        if (!pv && cb) return STG_E_INVALIDPOINTER;
        std::lock_guard lock(block_->mutex);
        ULONGLONG avail = block_->readable();
        ULONG n = pos_ >= avail ? 0 : static_cast<ULONG>(std::min<ULONGLONG>(cb, avail - pos_));
        if (n) {
            auto* p = static_cast<const unsigned char*>(GlobalLock(block_->handle));
            if (!p) return STG_E_READFAULT;
            std::memcpy(pv, p + pos_, n);
            GlobalUnlock(block_->handle);
            pos_ += n;
        }
        if (pcbRead) *pcbRead = n;
        return S_OK;
    }

    HRESULT STDMETHODCALLTYPE Write(const void* pv, ULONG cb, ULONG* pcbWritten) override {
        if (pcbWritten) *pcbWritten = 0;
        if (!pv && cb) return STG_E_INVALIDPOINTER;
        if (cb == 0) return S_OK;
        std::lock_guard lock(block_->mutex);
        if (pos_ > kMaxStreamSize - cb) return STG_E_MEDIUMFULL;
        ULONGLONG end = pos_ + cb;
        if (end > block_->readable()) {
            ULONGLONG n = std::max(end, block_->size);
            if (!block_->resize(n, end == n ? pos_ : ~0ull)) return STG_E_MEDIUMFULL;
        }
        auto* p = static_cast<unsigned char*>(GlobalLock(block_->handle));
        if (!p) return STG_E_WRITEFAULT;
        std::memcpy(p + pos_, pv, cb);
        GlobalUnlock(block_->handle);
        pos_ = end;
        if (pcbWritten) *pcbWritten = cb;
        return S_OK;
    }

    HRESULT STDMETHODCALLTYPE Seek(LARGE_INTEGER dlibMove, DWORD dwOrigin, ULARGE_INTEGER* plibNewPosition) override {
        std::lock_guard lock(block_->mutex);
        ULONGLONG base;
        switch (dwOrigin) {
        case STREAM_SEEK_SET: base = 0; break;
        case STREAM_SEEK_CUR: base = pos_; break;
        case STREAM_SEEK_END: base = block_->size; break;
        default: return STG_E_INVALIDFUNCTION;
        }
        const auto move = static_cast<ULONGLONG>(dlibMove.QuadPart);
        ULONGLONG result;
        if (dlibMove.QuadPart < 0) {
            ULONGLONG back = 0 - move;
            if (back > base) return STG_E_INVALIDFUNCTION;
            result = base - back;
        } else {
            if (move > ~0ull - base) return STG_E_INVALIDFUNCTION;
            result = base + move;
        }
        pos_ = result;
        if (plibNewPosition) plibNewPosition->QuadPart = result;
        return S_OK;
    }

    HRESULT STDMETHODCALLTYPE SetSize(ULARGE_INTEGER libNewSize) override {
        if (libNewSize.QuadPart > kMaxStreamSize) return STG_E_INVALIDFUNCTION;
        std::lock_guard lock(block_->mutex);
        if (libNewSize.QuadPart == block_->size && GlobalSize(block_->handle) == block_->size) return S_OK;
        return block_->resize(libNewSize.QuadPart) ? S_OK : STG_E_MEDIUMFULL;
    }

    HRESULT STDMETHODCALLTYPE CopyTo(IStream* pstm, ULARGE_INTEGER cb, ULARGE_INTEGER* pcbRead,
                                     ULARGE_INTEGER* pcbWritten) override {
        if (pcbRead) pcbRead->QuadPart = 0;
        if (pcbWritten) pcbWritten->QuadPart = 0;
        if (!pstm) return STG_E_INVALIDPOINTER;
        ULONGLONG left = cb.QuadPart, total_read = 0, total_written = 0;
        std::unique_ptr<unsigned char[]> buffer;
        HRESULT hr = S_OK;
        while (left) {
            ULONG want = static_cast<ULONG>(std::min<ULONGLONG>(left, kCopyChunk));
            if (!buffer) {
                buffer.reset(new (std::nothrow) unsigned char[kCopyChunk]);
                if (!buffer) {
                    hr = E_OUTOFMEMORY;
                    break;
                }
            }
            ULONG got = 0;
            // The target may share this block (a clone), so no lock is held while it writes.
            hr = Read(buffer.get(), want, &got);
            if (FAILED(hr) || got == 0) break;
            total_read += got;
            left -= got;
            ULONG put = 0;
            hr = pstm->Write(buffer.get(), got, &put);
            total_written += put;
            if (FAILED(hr) || put < got) break;
        }
        if (pcbRead) pcbRead->QuadPart = total_read;
        if (pcbWritten) pcbWritten->QuadPart = total_written;
        return hr;
    }

    HRESULT STDMETHODCALLTYPE Commit(DWORD) override { return S_OK; }
    HRESULT STDMETHODCALLTYPE Revert() override { return S_OK; }
    HRESULT STDMETHODCALLTYPE LockRegion(ULARGE_INTEGER, ULARGE_INTEGER, DWORD) override {
        return STG_E_INVALIDFUNCTION;
    }
    HRESULT STDMETHODCALLTYPE UnlockRegion(ULARGE_INTEGER, ULARGE_INTEGER, DWORD) override {
        return STG_E_INVALIDFUNCTION;
    }

    HRESULT STDMETHODCALLTYPE Stat(STATSTG* pstatstg, DWORD) override {
        if (!pstatstg) return STG_E_INVALIDPOINTER;
        std::memset(pstatstg, 0, sizeof *pstatstg);
        pstatstg->pwcsName = nullptr;  // memory streams have no name
        pstatstg->type = STGTY_STREAM;
        std::lock_guard lock(block_->mutex);
        pstatstg->cbSize.QuadPart = block_->size;
        pstatstg->grfMode = STGM_READWRITE;
        return S_OK;
    }

    HRESULT STDMETHODCALLTYPE Clone(IStream** ppstm) override {
        if (!ppstm) return STG_E_INVALIDPOINTER;
        *ppstm = nullptr;
        ULONGLONG pos;
        {
            std::lock_guard lock(block_->mutex);
            pos = pos_;
        }
        auto* clone = new (std::nothrow) HGlobalStream(block_, pos);
        if (!clone) return E_OUTOFMEMORY;
        *ppstm = clone;
        return S_OK;
    }

protected:
    void* query_more(REFIID riid) override {
        if (riid == IID_ISequentialStream) return static_cast<ISequentialStream*>(this);
        if (riid == kIID_HGlobalStreamSelf) return static_cast<IStream*>(this);
        return nullptr;
    }

private:
    std::shared_ptr<SharedBlock> block_;
    ULONGLONG pos_;  // guarded by block_->mutex
};

}  // namespace

extern "C" {

BFAPI HRESULT WINAPI CreateStreamOnHGlobal(HGLOBAL hGlobal, BOOL fDeleteOnRelease, LPSTREAM* ppstm) {
    if (!ppstm) return E_INVALIDARG;
    *ppstm = nullptr;
    const bool ours = hGlobal == nullptr;
    if (ours) {
        hGlobal = GlobalAlloc(GMEM_MOVEABLE, 0);
        if (!hGlobal) return E_OUTOFMEMORY;
    } else if (GlobalFlags(hGlobal) == GMEM_INVALID_HANDLE) {
        return E_INVALIDARG;
    }
    std::shared_ptr<SharedBlock> block;
    try {
        block = std::make_shared<SharedBlock>();
    } catch (const std::bad_alloc&) {
        if (ours) GlobalFree(hGlobal);
        return E_OUTOFMEMORY;
    }
    block->handle = hGlobal;
    block->size = GlobalSize(hGlobal);
    auto* stream = new (std::nothrow) HGlobalStream(block, 0);
    if (!stream) {
        if (ours) GlobalFree(hGlobal);
        return E_OUTOFMEMORY;
    }
    // Only now: a failed creation must not free a block the caller still owns.
    block->delete_on_release = fDeleteOnRelease != FALSE;
    *ppstm = stream;
    return S_OK;
}

BFAPI HRESULT WINAPI GetHGlobalFromStream(LPSTREAM pstm, HGLOBAL* phglobal) {
    if (!phglobal) return E_INVALIDARG;
    *phglobal = nullptr;
    if (!pstm) return E_INVALIDARG;
    void* self = nullptr;
    if (FAILED(pstm->QueryInterface(kIID_HGlobalStreamSelf, &self)) || !self) return E_INVALIDARG;
    auto* stream = static_cast<HGlobalStream*>(static_cast<IStream*>(self));
    *phglobal = stream->handle();
    stream->Release();
    return S_OK;
}

}  // extern "C"
