#include "soap/buffer_stream.h"

#include <algorithm>
#include <cstring>

namespace bf::soap {

HRESULT CBufferStream::Read(void* pv, ULONG cb, ULONG* pcbRead) {
    if (pcbRead) *pcbRead = 0;
    if (!pv && cb) return STG_E_INVALIDPOINTER;
    std::size_t n = std::min<std::size_t>(cb, bytes_.size() - pos_);
    if (!chunks_.empty() && n) {
        ULONG limit = 0;
        for (std::size_t tries = 0; tries < chunks_.size() && limit == 0; ++tries)
            limit = chunks_[reads_++ % chunks_.size()];
        if (limit) n = std::min<std::size_t>(n, limit);
    }
    if (n) std::memcpy(pv, bytes_.data() + pos_, n);
    pos_ += n;
    if (pcbRead) *pcbRead = static_cast<ULONG>(n);
    return n < cb ? S_FALSE : S_OK;
}

HRESULT CBufferStream::Write(const void*, ULONG, ULONG* pcbWritten) {
    if (pcbWritten) *pcbWritten = 0;
    return STG_E_ACCESSDENIED;
}

HRESULT CBufferStream::Seek(LARGE_INTEGER dlibMove, DWORD dwOrigin, ULARGE_INTEGER* plibNewPosition) {
    long long base = 0;
    switch (dwOrigin) {
        case STREAM_SEEK_SET: base = 0; break;
        case STREAM_SEEK_CUR: base = static_cast<long long>(pos_); break;
        case STREAM_SEEK_END: base = static_cast<long long>(bytes_.size()); break;
        default: return STG_E_INVALIDFUNCTION;
    }
    long long target = base + dlibMove.QuadPart;
    if (target < 0) return STG_E_INVALIDFUNCTION;
    pos_ = std::min<std::size_t>(static_cast<std::size_t>(target), bytes_.size());
    if (plibNewPosition) plibNewPosition->QuadPart = pos_;
    return S_OK;
}

HRESULT CBufferStream::Stat(STATSTG* pstatstg, DWORD) {
    if (!pstatstg) return STG_E_INVALIDPOINTER;
    std::memset(pstatstg, 0, sizeof *pstatstg);
    pstatstg->type = STGTY_STREAM;
    pstatstg->cbSize.QuadPart = bytes_.size();
    pstatstg->grfMode = STGM_READ;
    return S_OK;
}

}  // namespace bf::soap
