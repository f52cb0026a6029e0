// Global memory blocks. Every live block, fixed or moveable, is in one table keyed by its
// handle, so that no call ever dereferences a handle it did not hand out. Fixed handles are the
// block's pointer (malloc'ed, so at least 8-aligned); moveable handles are serial numbers shaped
// as ((serial << 4) | 4) so they can never equal a fixed pointer, and serials are never reused,
// so a freed handle stays invalid for good.
#include <winbase.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <unordered_map>

namespace {

// Larger requests fail cleanly instead of reaching the allocator (sanitizer allocators abort on
// absurd sizes rather than returning null).
constexpr SIZE_T kMaxBlock = SIZE_T{1} << 39;

struct Block {
    unsigned char* data = nullptr;  // null only for a discarded moveable block
    SIZE_T size = 0;                // what GlobalSize reports
    SIZE_T capacity = 0;            // what is allocated; blocks shrink in place
    unsigned locks = 0;
    bool moveable = false;
    bool discardable = false;
    bool share = false;
};

struct Table {
    std::mutex mutex;
    std::unordered_map<ULONG_PTR, Block> blocks;     // by handle
    std::unordered_map<ULONG_PTR, ULONG_PTR> owner;  // moveable block data -> handle
    ULONG_PTR next_serial = 0x1000;
};

Table& table() {
    // Never destroyed: blocks may be freed from other libraries' static destructors.
    static Table* t = new Table;
    return *t;
}

ULONG_PTR key(LPCVOID p) { return reinterpret_cast<ULONG_PTR>(p); }
HGLOBAL as_handle(ULONG_PTR k) { return reinterpret_cast<HGLOBAL>(k); }

unsigned char* allocate(SIZE_T n, bool zero) {
    if (n == 0) n = 1;  // a unique pointer even for an empty block
    return static_cast<unsigned char*>(zero ? std::calloc(n, 1) : std::malloc(n));
}

template <class T>
T fail(DWORD error, T result) {
    SetLastError(error);
    return result;
}

Block* find(Table& t, HGLOBAL h) {
    auto it = t.blocks.find(key(h));
    return it == t.blocks.end() ? nullptr : &it->second;
}

// Moves the table entry of block `old_key` to `new_key` without allocating (node re-keying).
void rekey(std::unordered_map<ULONG_PTR, Block>& m, ULONG_PTR old_key, ULONG_PTR new_key) {
    auto node = m.extract(old_key);
    node.key() = new_key;
    m.insert(std::move(node));
}

}  // namespace

extern "C" {

BFAPI HGLOBAL WINAPI GlobalAlloc(UINT uFlags, SIZE_T dwBytes) {
    if (uFlags & ~GMEM_VALID_FLAGS) return fail<HGLOBAL>(ERROR_INVALID_PARAMETER, nullptr);
    if (dwBytes > kMaxBlock) return fail<HGLOBAL>(ERROR_NOT_ENOUGH_MEMORY, nullptr);
    Block b;
    b.moveable = (uFlags & GMEM_MOVEABLE) != 0;
    b.discardable = b.moveable && (uFlags & GMEM_DISCARDABLE);
    b.share = (uFlags & GMEM_SHARE) != 0;
    b.size = dwBytes;
    if (!b.moveable || dwBytes != 0) {
        b.data = allocate(dwBytes, uFlags & GMEM_ZEROINIT);
        if (!b.data) return fail<HGLOBAL>(ERROR_NOT_ENOUGH_MEMORY, nullptr);
        b.capacity = dwBytes;
    }
    Table& t = table();
    std::lock_guard lock(t.mutex);
    try {
        ULONG_PTR k;
        if (b.moveable) {
            k = (t.next_serial++ << 4) | 4;
            if (b.data) t.owner.emplace(key(b.data), k);
        } else {
            k = key(b.data);
        }
        try {
            t.blocks.insert_or_assign(k, b);
        } catch (...) {
            if (b.data && b.moveable) t.owner.erase(key(b.data));
            throw;
        }
        return as_handle(k);
    } catch (...) {
        std::free(b.data);
        return fail<HGLOBAL>(ERROR_NOT_ENOUGH_MEMORY, nullptr);
    }
}

BFAPI HGLOBAL WINAPI GlobalReAlloc(HGLOBAL hMem, SIZE_T dwBytes, UINT uFlags) {
    if (uFlags & ~(GMEM_VALID_FLAGS | GMEM_MODIFY)) return fail<HGLOBAL>(ERROR_INVALID_PARAMETER, nullptr);
    Table& t = table();
    std::lock_guard lock(t.mutex);
    Block* b = find(t, hMem);
    if (!b) return fail<HGLOBAL>(ERROR_INVALID_HANDLE, nullptr);

    if (uFlags & GMEM_MODIFY) {
        if (!b->moveable && (uFlags & GMEM_MOVEABLE)) {
            // The data stays where it is; only its handle changes kind.
            try {
                ULONG_PTR k = (t.next_serial++ << 4) | 4;
                t.owner.emplace(key(b->data), k);
                rekey(t.blocks, key(hMem), k);
                b = &t.blocks.at(k);
                b->moveable = true;
                b->discardable = (uFlags & GMEM_DISCARDABLE) != 0;
                return as_handle(k);
            } catch (...) {
                t.owner.erase(key(b->data));
                return fail<HGLOBAL>(ERROR_NOT_ENOUGH_MEMORY, nullptr);
            }
        }
        if (b->moveable) b->discardable = (uFlags & GMEM_DISCARDABLE) != 0;
        return hMem;
    }

    if (dwBytes > kMaxBlock) return fail<HGLOBAL>(ERROR_NOT_ENOUGH_MEMORY, nullptr);
    const bool zero = (uFlags & GMEM_ZEROINIT) != 0;

    if (b->moveable && dwBytes == 0) {
        // Discarding moves the data away; a locked block's pointer must stay valid.
        if (b->locks) return fail<HGLOBAL>(ERROR_INVALID_PARAMETER, nullptr);
        if (b->data) {
            t.owner.erase(key(b->data));
            std::free(b->data);
        }
        b->data = nullptr;
        b->size = b->capacity = 0;
        return hMem;
    }

    if (b->data && dwBytes <= b->capacity) {
        if (zero && dwBytes > b->size) std::memset(b->data + b->size, 0, dwBytes - b->size);
        b->size = dwBytes;
        return hMem;
    }

    const bool may_move = (uFlags & GMEM_MOVEABLE) || (b->moveable && b->locks == 0);
    if (!may_move) return fail<HGLOBAL>(ERROR_NOT_ENOUGH_MEMORY, nullptr);

    if (!b->data) {  // a discarded moveable block comes back
        unsigned char* data = allocate(dwBytes, zero);
        if (!data) return fail<HGLOBAL>(ERROR_NOT_ENOUGH_MEMORY, nullptr);
        try {
            t.owner.emplace(key(data), key(hMem));
        } catch (...) {
            std::free(data);
            return fail<HGLOBAL>(ERROR_NOT_ENOUGH_MEMORY, nullptr);
        }
        b->data = data;
        b->size = b->capacity = dwBytes;
        return hMem;
    }

    // Grow by half again so that a stream written in small pieces does not copy quadratically.
    SIZE_T capacity = std::max(dwBytes, std::min(kMaxBlock, b->capacity + b->capacity / 2));
    auto* data = static_cast<unsigned char*>(std::realloc(b->data, capacity));
    if (!data && capacity != dwBytes) {
        capacity = dwBytes;
        data = static_cast<unsigned char*>(std::realloc(b->data, capacity));
    }
    if (!data) return fail<HGLOBAL>(ERROR_NOT_ENOUGH_MEMORY, nullptr);
    if (zero) std::memset(data + b->size, 0, dwBytes - b->size);
    const ULONG_PTR old_data = key(b->data);
    b->data = data;
    b->size = dwBytes;
    b->capacity = capacity;
    if (old_data == key(data)) return hMem;
    if (b->moveable) {
        auto node = t.owner.extract(old_data);
        node.key() = key(data);
        t.owner.insert(std::move(node));
        return hMem;
    }
    rekey(t.blocks, key(hMem), key(data));  // a fixed block's handle is its new address
    return as_handle(key(data));
}

BFAPI LPVOID WINAPI GlobalLock(HGLOBAL hMem) {
    Table& t = table();
    std::lock_guard lock(t.mutex);
    Block* b = find(t, hMem);
    if (!b) return fail<LPVOID>(ERROR_INVALID_HANDLE, nullptr);
    if (!b->moveable) return b->data;
    if (!b->data) return fail<LPVOID>(ERROR_DISCARDED, nullptr);
    ++b->locks;
    return b->data;
}

BFAPI BOOL WINAPI GlobalUnlock(HGLOBAL hMem) {
    Table& t = table();
    std::lock_guard lock(t.mutex);
    Block* b = find(t, hMem);
    if (!b) return fail<BOOL>(ERROR_INVALID_HANDLE, FALSE);
    if (!b->moveable) return TRUE;
    if (b->locks == 0) return fail<BOOL>(ERROR_NOT_LOCKED, FALSE);
    if (--b->locks > 0) return TRUE;
    return fail<BOOL>(NO_ERROR, FALSE);
}

BFAPI HGLOBAL WINAPI GlobalFree(HGLOBAL hMem) {
    if (!hMem) return nullptr;
    unsigned char* data;
    {
        Table& t = table();
        std::lock_guard lock(t.mutex);
        auto it = t.blocks.find(key(hMem));
        if (it == t.blocks.end()) return fail<HGLOBAL>(ERROR_INVALID_HANDLE, hMem);
        data = it->second.data;
        if (it->second.moveable && data) t.owner.erase(key(data));
        t.blocks.erase(it);
    }
    std::free(data);
    return nullptr;
}

BFAPI SIZE_T WINAPI GlobalSize(HGLOBAL hMem) {
    Table& t = table();
    std::lock_guard lock(t.mutex);
    Block* b = find(t, hMem);
    if (!b) return fail<SIZE_T>(ERROR_INVALID_HANDLE, 0);
    return b->size;
}

BFAPI HGLOBAL WINAPI GlobalHandle(LPCVOID pMem) {
    Table& t = table();
    std::lock_guard lock(t.mutex);
    if (pMem) {
        if (t.blocks.count(key(pMem))) return as_handle(key(pMem));  // a fixed pointer or a moveable handle
        auto it = t.owner.find(key(pMem));
        if (it != t.owner.end()) return as_handle(it->second);
    }
    return fail<HGLOBAL>(ERROR_INVALID_HANDLE, nullptr);
}

BFAPI UINT WINAPI GlobalFlags(HGLOBAL hMem) {
    Table& t = table();
    std::lock_guard lock(t.mutex);
    Block* b = find(t, hMem);
    if (!b) return fail<UINT>(ERROR_INVALID_HANDLE, GMEM_INVALID_HANDLE);
    if (!b->moveable) return 0;
    UINT flags = std::min(b->locks, static_cast<unsigned>(GMEM_LOCKCOUNT));
    if (b->discardable) flags |= GMEM_DISCARDABLE;
    if (!b->data) flags |= GMEM_DISCARDED;
    if (b->share) flags |= GMEM_DDESHARE;
    return flags;
}

}  // extern "C"
