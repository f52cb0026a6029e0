// Task memory: the allocator whose blocks cross interface boundaries (callee allocates, caller
// frees with CoTaskMemFree).
#include <cstdlib>

#include <winbase.h>

namespace {
// Same ceiling as global memory: absurd sizes fail with null instead of reaching the allocator.
constexpr SIZE_T kMaxTaskBlock = SIZE_T{1} << 39;
}  // namespace

extern "C" {

BFAPI LPVOID WINAPI CoTaskMemAlloc(SIZE_T cb) {
    if (cb > kMaxTaskBlock) return nullptr;
    return std::malloc(cb ? cb : 1);
}

BFAPI LPVOID WINAPI CoTaskMemRealloc(LPVOID pv, SIZE_T cb) {
    if (!pv) return CoTaskMemAlloc(cb);
    if (cb == 0) {
        std::free(pv);
        return nullptr;
    }
    if (cb > kMaxTaskBlock) return nullptr;  // pv stays valid, as with realloc
    return std::realloc(pv, cb);
}

BFAPI void WINAPI CoTaskMemFree(LPVOID pv) { std::free(pv); }

}  // extern "C"
