// Stream interfaces: ISequentialStream and IStream in the original slot order, with STATSTG
// and the seek, commit and stat flag values; the global interface table.
#pragma once

#include <unknwn.h>

BF_DECLARE_IID(ISequentialStream, "0C733A30-2A1C-11CE-ADE5-00AA0044773D");
BF_DECLARE_IID(IStream, "0000000C-0000-0000-C000-000000000046");

enum STREAM_SEEK : DWORD { STREAM_SEEK_SET = 0, STREAM_SEEK_CUR = 1, STREAM_SEEK_END = 2 };
enum STGC : DWORD { STGC_DEFAULT = 0, STGC_OVERWRITE = 1, STGC_ONLYIFCURRENT = 2, STGC_DANGEROUSLYCOMMITMERELYTODISKCACHE = 4 };
enum STATFLAG : DWORD { STATFLAG_DEFAULT = 0, STATFLAG_NONAME = 1, STATFLAG_NOOPEN = 2 };
enum STGTY : DWORD { STGTY_STORAGE = 1, STGTY_STREAM = 2, STGTY_LOCKBYTES = 3, STGTY_PROPERTY = 4 };
// glibc's <fcntl.h> defines LOCK_WRITE for its own (obsolete) locks; keep the enumerator's name
// whichever header comes first.
#pragma push_macro("LOCK_WRITE")
#undef LOCK_WRITE
enum LOCKTYPE : DWORD { LOCK_WRITE = 1, LOCK_EXCLUSIVE = 2, LOCK_ONLYONCE = 4 };
#pragma pop_macro("LOCK_WRITE")
#define STGM_READ 0x00000000L
#define STGM_WRITE 0x00000001L
#define STGM_READWRITE 0x00000002L

struct STATSTG {
    LPOLESTR pwcsName;  // allocated with CoTaskMemAlloc, or null
    DWORD type;
    ULARGE_INTEGER cbSize;
    FILETIME mtime;
    FILETIME ctime;
    FILETIME atime;
    DWORD grfMode;
    DWORD grfLocksSupported;
    CLSID clsid;
    DWORD grfStateBits;
    DWORD reserved;
};

struct BFAPI ISequentialStream : IUnknown {
    virtual HRESULT STDMETHODCALLTYPE Read(void* pv, ULONG cb, ULONG* pcbRead) = 0;
    virtual HRESULT STDMETHODCALLTYPE Write(const void* pv, ULONG cb, ULONG* pcbWritten) = 0;

protected:
    ~ISequentialStream() = default;
};

struct BFAPI IStream : ISequentialStream {
    virtual HRESULT STDMETHODCALLTYPE Seek(LARGE_INTEGER dlibMove, DWORD dwOrigin, ULARGE_INTEGER* plibNewPosition) = 0;
    virtual HRESULT STDMETHODCALLTYPE SetSize(ULARGE_INTEGER libNewSize) = 0;
    virtual HRESULT STDMETHODCALLTYPE CopyTo(IStream* pstm, ULARGE_INTEGER cb, ULARGE_INTEGER* pcbRead,
                                             ULARGE_INTEGER* pcbWritten) = 0;
    virtual HRESULT STDMETHODCALLTYPE Commit(DWORD grfCommitFlags) = 0;
    virtual HRESULT STDMETHODCALLTYPE Revert() = 0;
    virtual HRESULT STDMETHODCALLTYPE LockRegion(ULARGE_INTEGER libOffset, ULARGE_INTEGER cb, DWORD dwLockType) = 0;
    virtual HRESULT STDMETHODCALLTYPE UnlockRegion(ULARGE_INTEGER libOffset, ULARGE_INTEGER cb, DWORD dwLockType) = 0;
    virtual HRESULT STDMETHODCALLTYPE Stat(STATSTG* pstatstg, DWORD grfStatFlag) = 0;
    virtual HRESULT STDMETHODCALLTYPE Clone(IStream** ppstm) = 0;

protected:
    ~IStream() = default;
};
using LPSTREAM = IStream*;

// The global interface table: the ole32 class that hands interface pointers between threads by
// cookie. Offers: IGlobalInterfaceTable, CLSID_StdGlobalInterfaceTable (a built-in class for
// CoCreateInstance).
//
// There is one table per process; every CoCreateInstance hands out the same object, and it is
// never destroyed. Without marshalling on this platform, GetInterfaceFromGlobal gives the
// registered object itself, queried for the interface asked for, on any thread.
BF_DECLARE_IID(IGlobalInterfaceTable, "00000146-0000-0000-C000-000000000046");
inline constexpr CLSID CLSID_StdGlobalInterfaceTable = bf::make_guid("00000323-0000-0000-C000-000000000046");

struct BFAPI IGlobalInterfaceTable : IUnknown {
    // Keeps a reference to pUnk queried for riid (E_INVALIDARG for a null object or cookie slot,
    // the QueryInterface failure when the object lacks riid). Cookies are never 0.
    virtual HRESULT STDMETHODCALLTYPE RegisterInterfaceInGlobal(IUnknown* pUnk, REFIID riid, DWORD* pdwCookie) = 0;
    // Releases the table's reference; E_INVALIDARG for a cookie that is not registered.
    virtual HRESULT STDMETHODCALLTYPE RevokeInterfaceFromGlobal(DWORD dwCookie) = 0;
    // E_INVALIDARG for an unknown cookie or null ppv, else the object's QueryInterface result.
    virtual HRESULT STDMETHODCALLTYPE GetInterfaceFromGlobal(DWORD dwCookie, REFIID riid, void** ppv) = 0;

protected:
    ~IGlobalInterfaceTable() = default;
};
