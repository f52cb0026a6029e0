// Modules: the executable and the shared libraries the dynamic loader has mapped, plus data-file
// loads that only read a file's resource table. A code module's HMODULE is its load address, so
// any module the loader knows is found by walking the loader's list, whoever loaded it.
#include <libloaderapi.h>

#include <dlfcn.h>
#include <elf.h>
#include <fcntl.h>
#include <link.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <memory>
#include <mutex>
#include <optional>
#include <sstream>
#include <string_view>
#include <unordered_map>

#include <stringapiset.h>

namespace {

constexpr std::uintptr_t kDataFileTag = 1;       // low bits of a data-file HMODULE, as the original
constexpr std::uintptr_t kImageResourceTag = 2;
constexpr std::uint64_t kMaxResourceSection = 256u << 20;

struct Range {
    std::uintptr_t start, end;
};

struct LoadedModule {
    std::uintptr_t base = 0;  // the HMODULE
    std::uintptr_t bias = 0;  // added to link-time addresses
    std::string name;         // as the loader recorded it
    bool is_main = false;
    std::vector<Range> readable;
};

struct Snapshot {
    std::vector<LoadedModule> modules;
    unsigned long long adds = 0, subs = 0;
};

int collect_module(dl_phdr_info* info, std::size_t, void* arg) {
    auto* snap = static_cast<Snapshot*>(arg);
    LoadedModule m;
    m.bias = info->dlpi_addr;
    m.is_main = snap->modules.empty();  // the loader lists the executable first
    m.name = info->dlpi_name ? info->dlpi_name : "";
    std::uintptr_t lowest = UINTPTR_MAX;
    for (int i = 0; i < info->dlpi_phnum; ++i) {
        const auto& ph = info->dlpi_phdr[i];
        if (ph.p_type != PT_LOAD) continue;
        if (ph.p_vaddr < lowest) lowest = ph.p_vaddr;
        if (ph.p_flags & PF_R) m.readable.push_back({m.bias + ph.p_vaddr, m.bias + ph.p_vaddr + ph.p_memsz});
    }
    snap->adds = info->dlpi_adds;
    snap->subs = info->dlpi_subs;
    if (lowest == UINTPTR_MAX) return 0;
    m.base = (m.bias + lowest) & ~std::uintptr_t(getpagesize() - 1);
    snap->modules.push_back(std::move(m));
    return 0;
}

Snapshot snapshot_modules() {
    Snapshot s;
    dl_iterate_phdr(collect_module, &s);
    return s;
}

const std::string& exe_path() {
    static const std::string path = [] {
        char buf[PATH_MAX];
        ssize_t n = readlink("/proc/self/exe", buf, sizeof buf);
        return n > 0 ? std::string(buf, static_cast<std::size_t>(n)) : std::string();
    }();
    return path;
}

// The loader keeps a library's name as it was asked for; a relative name needs the kernel's view.
std::string path_from_maps(std::uintptr_t base) {
    std::ifstream maps("/proc/self/maps");
    std::string line;
    while (std::getline(maps, line)) {
        std::istringstream in(line);
        std::string range, perms, offset, dev, inode, path;
        in >> range >> perms >> offset >> dev >> inode;
        std::getline(in >> std::ws, path);
        auto dash = range.find('-');
        if (dash == std::string::npos) continue;
        std::uintptr_t start = std::strtoull(range.substr(0, dash).c_str(), nullptr, 16);
        if (start == base && !path.empty() && path[0] == '/') return path;
    }
    return {};
}

std::string module_path(const LoadedModule& m) {
    if (m.is_main) return exe_path();
    if (!m.name.empty() && m.name[0] == '/') return m.name;
    // Without a slash there is no file behind it (the kernel's vDSO); the loader resolves every
    // searched-for library to an absolute path.
    if (m.name.find('/') == std::string::npos) return {};
    return path_from_maps(m.base);
}

std::string_view base_name(std::string_view p) {
    auto slash = p.rfind('/');
    return slash == std::string_view::npos ? p : p.substr(slash + 1);
}

std::string canonical(const std::string& p) {
    char buf[PATH_MAX];
    return realpath(p.c_str(), buf) ? std::string(buf) : p;
}

const LoadedModule* find_by_base(const Snapshot& s, std::uintptr_t base) {
    for (auto& m : s.modules)
        if (m.base == base) return &m;
    return nullptr;
}

// Case-sensitive: a bare file name matches the last path component, anything with a slash
// matches the whole path.
const LoadedModule* find_by_name(const Snapshot& s, const std::string& name) {
    const bool has_dir = name.find('/') != std::string::npos;
    const std::string wanted = has_dir ? canonical(name) : name;
    for (auto& m : s.modules) {
        std::string path = module_path(m);
        if (path.empty()) continue;
        if (has_dir ? (path == wanted || canonical(path) == wanted) : base_name(path) == wanted) return &m;
    }
    return nullptr;
}

struct ResourceSet {
    bool has_section = false;
    std::unique_ptr<std::max_align_t[]> storage;  // data-file loads: the section's bytes
    std::vector<bf::ResourceEntry> entries;
};

struct DataModule {
    std::string path;
    std::shared_ptr<const ResourceSet> resources;
};

struct Owned {
    void* dl = nullptr;
    unsigned count = 0;
};

struct State {
    std::mutex mu;
    std::unordered_map<std::uintptr_t, Owned> owned;  // references taken by LoadLibrary / GetModuleHandleEx
    std::unordered_map<std::uintptr_t, std::shared_ptr<DataModule>> data;
    std::uintptr_t next_data = 0x10000;
    // Resource indexes of code modules, valid while the loader has neither loaded nor unloaded
    // anything since they were built.
    std::unordered_map<std::uintptr_t, std::shared_ptr<const ResourceSet>> code_cache;
    unsigned long long cache_adds = 0, cache_subs = 0;
};

State& state() {
    static State* s = new State;  // outlives every library destructor that might call in
    return *s;
}

bool is_data_handle(HMODULE h) { return (reinterpret_cast<std::uintptr_t>(h) & 3) != 0; }

std::shared_ptr<DataModule> find_data(HMODULE h) {
    State& s = state();
    std::lock_guard lk(s.mu);
    auto it = s.data.find(reinterpret_cast<std::uintptr_t>(h));
    return it == s.data.end() ? nullptr : it->second;
}

struct Fd {
    int fd = -1;
    ~Fd() {
        if (fd >= 0) ::close(fd);
    }
};

bf::ReadAt reader(int fd) {
    return [fd](std::uint64_t offset, std::size_t size, void* dst) {
        auto* out = static_cast<char*>(dst);
        while (size > 0) {
            ssize_t n = ::pread(fd, out, size, static_cast<off_t>(offset));
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) return false;
            out += n;
            size -= static_cast<std::size_t>(n);
            offset += static_cast<std::uint64_t>(n);
        }
        return true;
    };
}

DWORD errno_to_error(int e) {
    switch (e) {
        case EACCES:
        case EPERM:
        case EISDIR: return ERROR_ACCESS_DENIED;
        case ENOMEM: return ERROR_NOT_ENOUGH_MEMORY;
        default: return ERROR_MOD_NOT_FOUND;
    }
}

// Opens a regular file for reading without blocking on FIFOs and the like.
DWORD open_regular(const std::string& path, Fd& f, struct stat& st) {
    f.fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (f.fd < 0) return errno_to_error(errno);
    if (::fstat(f.fd, &st) != 0) return errno_to_error(errno);
    if (S_ISDIR(st.st_mode)) return ERROR_ACCESS_DENIED;
    if (!S_ISREG(st.st_mode)) return ERROR_BAD_FORMAT;
    return ERROR_SUCCESS;
}

// Builds the resource index of a module the loader has mapped: the section headers come from
// the file, the bytes from memory, and only if they fall inside the module's readable segments.
std::shared_ptr<const ResourceSet> index_code_module(const LoadedModule& m) {
    auto set = std::make_shared<ResourceSet>();
    Fd f;
    struct stat st;
    std::string path = module_path(m);
    if (path.empty() || open_regular(path, f, st) != ERROR_SUCCESS) return set;
    bf::ElfResourceSection sec;
    if (bf::locate_resource_section(static_cast<std::uint64_t>(st.st_size), reader(f.fd), sec) != ERROR_SUCCESS ||
        !sec.present || !sec.allocated)
        return set;
    std::uintptr_t start, end;
    if (__builtin_add_overflow(m.bias, sec.address, &start) || __builtin_add_overflow(start, sec.size, &end)) return set;
    bool inside = false;
    for (auto& r : m.readable) inside = inside || (start >= r.start && end <= r.end);
    if (!inside) return set;  // the file on disk is not the one that was loaded
    std::vector<bf::ResourceEntry> entries;
    if (!bf::parse_resource_tables(reinterpret_cast<const void*>(start), sec.size, entries)) return set;
    set->has_section = true;
    set->entries = std::move(entries);
    return set;
}

DWORD resources_of(HMODULE h, std::shared_ptr<const ResourceSet>& out) {
    if (is_data_handle(h)) {
        auto d = find_data(h);
        if (!d) return ERROR_MOD_NOT_FOUND;
        out = d->resources;
        return ERROR_SUCCESS;
    }
    Snapshot snap = snapshot_modules();
    const LoadedModule* m = h ? find_by_base(snap, reinterpret_cast<std::uintptr_t>(h)) : &snap.modules.front();
    if (!m) return ERROR_MOD_NOT_FOUND;
    State& s = state();
    std::lock_guard lk(s.mu);
    if (s.cache_adds != snap.adds || s.cache_subs != snap.subs) {
        s.code_cache.clear();
        s.cache_adds = snap.adds;
        s.cache_subs = snap.subs;
    }
    auto& slot = s.code_cache[m->base];
    if (!slot) slot = index_code_module(*m);
    out = slot;
    return ERROR_SUCCESS;
}

// A resource type or name as the caller gave it: an integer, "#123", or a string.
struct Key {
    WORD id = 0;
    std::u16string name;
};

Key key_of(LPCWSTR p) {
    Key k;
    if (IS_INTRESOURCE(p)) {
        k.id = static_cast<WORD>(reinterpret_cast<ULONG_PTR>(p));
        return k;
    }
    std::u16string s(p);
    if (s.size() >= 2 && s.size() <= 6 && s[0] == u'#') {
        unsigned long v = 0;
        bool digits = true;
        for (std::size_t i = 1; i < s.size(); ++i) {
            if (s[i] < u'0' || s[i] > u'9') digits = false;
            else v = v * 10 + (s[i] - u'0');
        }
        if (digits && v > 0 && v <= 0xFFFF) {
            k.id = static_cast<WORD>(v);
            return k;
        }
    }
    for (auto& c : s)
        if (c >= u'a' && c <= u'z') c = static_cast<char16_t>(c - u'a' + u'A');
    k.name = std::move(s);
    return k;
}

bool matches(const Key& k, WORD id, const std::u16string& name) { return k.id ? k.id == id : (id == 0 && k.name == name); }

const bf::ResourceEntry* entry_of(const ResourceSet& set, HRSRC h) {
    for (auto& e : set.entries)
        if (e.key == h) return &e;
    return nullptr;
}

std::vector<std::string> search_dirs() {
    std::vector<std::string> dirs;
    const std::string& exe = exe_path();
    if (auto slash = exe.rfind('/'); slash != std::string::npos) dirs.push_back(exe.substr(0, slash));
    if (const char* llp = std::getenv("LD_LIBRARY_PATH")) {
        std::string_view rest(llp);
        while (!rest.empty()) {
            auto colon = rest.find(':');
            std::string_view dir = rest.substr(0, colon);
            if (!dir.empty()) dirs.emplace_back(dir);
            if (colon == std::string_view::npos) break;
            rest.remove_prefix(colon + 1);
        }
    }
    dirs.emplace_back(".");
    return dirs;
}

HMODULE load_data_file(const std::string& name, std::uintptr_t tag) {
    std::string path = name;
    if (name.find('/') == std::string::npos) {
        for (auto& dir : search_dirs()) {
            std::string candidate = dir + "/" + name;
            if (::access(candidate.c_str(), F_OK) == 0) {
                path = candidate;
                break;
            }
        }
    }
    Fd f;
    struct stat st;
    if (DWORD rc = open_regular(path, f, st); rc != ERROR_SUCCESS) {
        SetLastError(rc);
        return nullptr;
    }
    const auto read_at = reader(f.fd);
    bf::ElfResourceSection sec;
    if (DWORD rc = bf::locate_resource_section(static_cast<std::uint64_t>(st.st_size), read_at, sec); rc != ERROR_SUCCESS) {
        SetLastError(rc);
        return nullptr;
    }
    auto set = std::make_shared<ResourceSet>();
    if (sec.present) {
        if (sec.size > kMaxResourceSection) {
            SetLastError(ERROR_BAD_FORMAT);
            return nullptr;
        }
        const std::size_t units = (sec.size + sizeof(std::max_align_t) - 1) / sizeof(std::max_align_t);
        set->storage.reset(new (std::nothrow) std::max_align_t[units ? units : 1]);
        if (!set->storage) {
            SetLastError(ERROR_NOT_ENOUGH_MEMORY);
            return nullptr;
        }
        if (!read_at(sec.offset, sec.size, set->storage.get()) ||
            !bf::parse_resource_tables(set->storage.get(), sec.size, set->entries)) {
            SetLastError(ERROR_BAD_FORMAT);
            return nullptr;
        }
        set->has_section = true;
    }
    auto d = std::make_shared<DataModule>();
    d->path = canonical(path);
    d->resources = std::move(set);
    State& s = state();
    std::lock_guard lk(s.mu);
    std::uintptr_t h = s.next_data | tag;
    s.next_data += 0x10000;  // never reused, never page aligned like a code module
    s.data.emplace(h, std::move(d));
    return reinterpret_cast<HMODULE>(h);
}

// Decides between "missing" and "not a library" the way the original reports them.
DWORD classify_load_failure(const std::string& path, const char* why) {
    if (path.find('/') != std::string::npos) {
        Fd f;
        struct stat st;
        if (DWORD rc = open_regular(path, f, st); rc != ERROR_SUCCESS) return rc;
        unsigned char ident[EI_NIDENT];
        if (::pread(f.fd, ident, sizeof ident, 0) != static_cast<ssize_t>(sizeof ident) ||
            std::memcmp(ident, ELFMAG, SELFMAG) != 0)
            return ERROR_BAD_FORMAT;
    }
    std::string_view w = why ? why : "";
    if (w.find("undefined symbol") != std::string_view::npos) return ERROR_PROC_NOT_FOUND;
    if (w.find("No such file") != std::string_view::npos) return ERROR_MOD_NOT_FOUND;
    return ERROR_BAD_FORMAT;
}

std::uintptr_t base_of_handle(void* dl) {
    link_map* lm = nullptr;
    if (dlinfo(dl, RTLD_DI_LINKMAP, &lm) != 0 || !lm) return 0;
    Dl_info info;
    if (!dladdr(lm->l_ld, &info)) return 0;
    return reinterpret_cast<std::uintptr_t>(info.dli_fbase);
}

void add_owned(std::uintptr_t base, void* dl) {
    State& s = state();
    std::lock_guard lk(s.mu);
    Owned& o = s.owned[base];
    o.dl = dl;
    ++o.count;
}

HMODULE load_code(const std::string& path) {
    dlerror();
    // Not under our lock: constructors of the library may call back into these functions.
    void* dl = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (!dl) {
        SetLastError(classify_load_failure(path, dlerror()));
        return nullptr;
    }
    std::uintptr_t base = base_of_handle(dl);
    if (!base) {
        dlclose(dl);
        SetLastError(ERROR_BAD_FORMAT);
        return nullptr;
    }
    add_owned(base, dl);
    return reinterpret_cast<HMODULE>(base);
}

std::string narrow(LPCWSTR s) { return bf::to_utf8(std::u16string_view(s)); }

}  // namespace

extern "C" {

BFAPI HMODULE WINAPI GetModuleHandleW(LPCWSTR lpModuleName) {
    Snapshot snap = snapshot_modules();
    const LoadedModule* m = lpModuleName ? find_by_name(snap, narrow(lpModuleName)) : &snap.modules.front();
    if (!m) {
        SetLastError(ERROR_MOD_NOT_FOUND);
        return nullptr;
    }
    return reinterpret_cast<HMODULE>(m->base);
}

BFAPI BOOL WINAPI GetModuleHandleExW(DWORD dwFlags, LPCWSTR lpModuleName, HMODULE* phModule) {
    constexpr DWORD kKnown = GET_MODULE_HANDLE_EX_FLAG_PIN | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT |
                             GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS;
    if (phModule) *phModule = nullptr;
    if (!phModule || (dwFlags & ~kKnown) ||
        ((dwFlags & GET_MODULE_HANDLE_EX_FLAG_PIN) && (dwFlags & GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT))) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    Snapshot snap = snapshot_modules();
    const LoadedModule* m = nullptr;
    if (dwFlags & GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS) {
        Dl_info info;
        if (lpModuleName && dladdr(lpModuleName, &info) && info.dli_fbase)
            m = find_by_base(snap, reinterpret_cast<std::uintptr_t>(info.dli_fbase));
    } else {
        m = lpModuleName ? find_by_name(snap, narrow(lpModuleName)) : &snap.modules.front();
    }
    if (!m) {
        SetLastError(ERROR_MOD_NOT_FOUND);
        return FALSE;
    }
    if (!(dwFlags & GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT) && !m->is_main) {
        // The executable cannot be unloaded, so only libraries need the reference.
        int mode = RTLD_LAZY | RTLD_NOLOAD | ((dwFlags & GET_MODULE_HANDLE_EX_FLAG_PIN) ? RTLD_NODELETE : 0);
        void* dl = dlopen(module_path(*m).c_str(), mode);
        if (dl) {
            if (dwFlags & GET_MODULE_HANDLE_EX_FLAG_PIN)
                dlclose(dl);  // pinned for good; no reference to give back
            else
                add_owned(m->base, dl);
        }
    }
    *phModule = reinterpret_cast<HMODULE>(m->base);
    return TRUE;
}

BFAPI DWORD WINAPI GetModuleFileNameW(HMODULE hModule, LPWSTR lpFilename, DWORD nSize) {
    if (!lpFilename && nSize) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    std::string path;
    if (!hModule) {
        path = exe_path();
    } else if (!is_data_handle(hModule)) {  // data-file loads have no file name, as on the original
        Snapshot snap = snapshot_modules();
        if (const LoadedModule* m = find_by_base(snap, reinterpret_cast<std::uintptr_t>(hModule))) path = module_path(*m);
    }
    if (path.empty()) {
        SetLastError(ERROR_MOD_NOT_FOUND);
        return 0;
    }
    std::u16string wide = bf::to_utf16(path);
    if (wide.size() < nSize) {
        std::memcpy(lpFilename, wide.c_str(), (wide.size() + 1) * sizeof(WCHAR));
        return static_cast<DWORD>(wide.size());
    }
    if (nSize > 0) {
        std::memcpy(lpFilename, wide.data(), (nSize - 1) * sizeof(WCHAR));
        lpFilename[nSize - 1] = 0;
    }
    SetLastError(ERROR_INSUFFICIENT_BUFFER);
    return nSize;
}

BFAPI HMODULE WINAPI LoadLibraryW(LPCWSTR lpLibFileName) { return LoadLibraryExW(lpLibFileName, nullptr, 0); }

BFAPI HMODULE WINAPI LoadLibraryExW(LPCWSTR lpLibFileName, HANDLE hFile, DWORD dwFlags) {
    constexpr DWORD kDataFlags =
        LOAD_LIBRARY_AS_DATAFILE | LOAD_LIBRARY_AS_DATAFILE_EXCLUSIVE | LOAD_LIBRARY_AS_IMAGE_RESOURCE;
    if (!lpLibFileName || hFile || (dwFlags & ~(kDataFlags | LOAD_WITH_ALTERED_SEARCH_PATH))) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    std::string path = narrow(lpLibFileName);
    if (path.empty()) {
        SetLastError(ERROR_MOD_NOT_FOUND);
        return nullptr;
    }
    if (dwFlags & kDataFlags)
        return load_data_file(path, (dwFlags & LOAD_LIBRARY_AS_IMAGE_RESOURCE) ? kImageResourceTag : kDataFileTag);
    return load_code(path);
}

BFAPI BOOL WINAPI FreeLibrary(HMODULE hLibModule) {
    State& s = state();
    const auto key = reinterpret_cast<std::uintptr_t>(hLibModule);
    if (is_data_handle(hLibModule)) {
        std::shared_ptr<DataModule> dropped;
        std::lock_guard lk(s.mu);
        auto it = s.data.find(key);
        if (it == s.data.end()) {
            SetLastError(ERROR_MOD_NOT_FOUND);
            return FALSE;
        }
        dropped = std::move(it->second);
        s.data.erase(it);
        return TRUE;
    }
    void* to_close = nullptr;
    {
        std::lock_guard lk(s.mu);
        auto it = s.owned.find(key);
        if (it != s.owned.end()) {
            to_close = it->second.dl;
            if (--it->second.count == 0) s.owned.erase(it);
        }
    }
    if (to_close) {
        dlclose(to_close);  // outside the lock: destructors may call back in
        return TRUE;
    }
    // A module these calls hold no reference to (the executable, or one somebody else loaded):
    // nothing to give back.
    Snapshot snap = snapshot_modules();
    if (hLibModule && find_by_base(snap, key)) return TRUE;
    SetLastError(ERROR_MOD_NOT_FOUND);
    return FALSE;
}

BFAPI FARPROC WINAPI GetProcAddress(HMODULE hModule, LPCSTR lpProcName) {
    if (is_data_handle(hModule)) {
        SetLastError(find_data(hModule) ? ERROR_PROC_NOT_FOUND : ERROR_MOD_NOT_FOUND);
        return nullptr;
    }
    Snapshot snap = snapshot_modules();
    const LoadedModule* m = hModule ? find_by_base(snap, reinterpret_cast<std::uintptr_t>(hModule)) : &snap.modules.front();
    if (!m) {
        SetLastError(ERROR_MOD_NOT_FOUND);
        return nullptr;
    }
    if (IS_INTRESOURCE(lpProcName) || !*lpProcName) {  // no ordinals in ELF
        SetLastError(ERROR_PROC_NOT_FOUND);
        return nullptr;
    }
    void* dl = m->is_main ? dlopen(nullptr, RTLD_LAZY) : dlopen(module_path(*m).c_str(), RTLD_LAZY | RTLD_NOLOAD);
    void* sym = nullptr;
    if (dl) {
        sym = dlsym(dl, lpProcName);
        // Only the module's own exports count, not those of libraries it pulls in.
        Dl_info info;
        if (sym && (!dladdr(sym, &info) || reinterpret_cast<std::uintptr_t>(info.dli_fbase) != m->base)) sym = nullptr;
        dlclose(dl);
    }
    if (!sym) {
        SetLastError(ERROR_PROC_NOT_FOUND);
        return nullptr;
    }
    return reinterpret_cast<FARPROC>(sym);
}

BFAPI HRSRC WINAPI FindResourceW(HMODULE hModule, LPCWSTR lpName, LPCWSTR lpType) {
    if (!lpName || !lpType) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    std::shared_ptr<const ResourceSet> set;
    if (DWORD rc = resources_of(hModule, set); rc != ERROR_SUCCESS) {
        SetLastError(rc);
        return nullptr;
    }
    if (!set->has_section) {
        SetLastError(ERROR_RESOURCE_DATA_NOT_FOUND);
        return nullptr;
    }
    const Key type = key_of(lpType), name = key_of(lpName);
    bool type_seen = false;
    for (auto& e : set->entries) {
        if (!matches(type, e.type_id, e.type_name)) continue;
        type_seen = true;
        if (matches(name, e.name_id, e.name)) return static_cast<HRSRC>(const_cast<void*>(e.key));
    }
    SetLastError(type_seen ? ERROR_RESOURCE_NAME_NOT_FOUND : ERROR_RESOURCE_TYPE_NOT_FOUND);
    return nullptr;
}

BFAPI HRSRC WINAPI FindResourceExW(HMODULE hModule, LPCWSTR lpType, LPCWSTR lpName, WORD) {
    return FindResourceW(hModule, lpName, lpType);
}

BFAPI DWORD WINAPI SizeofResource(HMODULE hModule, HRSRC hResInfo) {
    std::shared_ptr<const ResourceSet> set;
    if (DWORD rc = resources_of(hModule, set); rc != ERROR_SUCCESS) {
        SetLastError(rc);
        return 0;
    }
    const bf::ResourceEntry* e = hResInfo ? entry_of(*set, hResInfo) : nullptr;
    if (!e) {
        SetLastError(ERROR_INVALID_HANDLE);
        return 0;
    }
    return e->size;
}

BFAPI HGLOBAL WINAPI LoadResource(HMODULE hModule, HRSRC hResInfo) {
    std::shared_ptr<const ResourceSet> set;
    if (DWORD rc = resources_of(hModule, set); rc != ERROR_SUCCESS) {
        SetLastError(rc);
        return nullptr;
    }
    const bf::ResourceEntry* e = hResInfo ? entry_of(*set, hResInfo) : nullptr;
    if (!e) {
        SetLastError(ERROR_INVALID_HANDLE);
        return nullptr;
    }
    return const_cast<BYTE*>(e->data);
}

BFAPI LPVOID WINAPI LockResource(HGLOBAL hResData) { return hResData; }

// Resources need no freeing; the original has always answered FALSE here.
BFAPI BOOL WINAPI FreeResource(HGLOBAL) { return FALSE; }

}  // extern "C"
