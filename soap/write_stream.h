// IWriteStream: where the request writer puts its bytes (the transport's request buffer), and
// CStringWriteStream, one that appends to a std::string.
#pragma once

#include <string>

#include <winerror.h>

namespace bf::soap {

struct IWriteStream {
    // Writes `length` bytes; `written`, when given, receives the count written.
    virtual HRESULT WriteStream(const char* data, int length, DWORD* written) = 0;

protected:
    ~IWriteStream() = default;
};

class CStringWriteStream final : public IWriteStream {
public:
    HRESULT WriteStream(const char* data, int length, DWORD* written) override {
        if (written) *written = 0;
        if (length < 0 || (!data && length)) return E_INVALIDARG;
        try {
            text.append(data, static_cast<std::size_t>(length));
        } catch (...) {
            return E_OUTOFMEMORY;
        }
        if (written) *written = static_cast<DWORD>(length);
        return S_OK;
    }
    std::string text;
};

}  // namespace bf::soap
