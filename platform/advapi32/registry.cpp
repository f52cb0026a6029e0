// The registry over the SQLite hive.
//
// One process-wide connection, guarded by a mutex, serves every thread. Keys are rows that name
// their parent; row ids are never reused (AUTOINCREMENT), so a key handle simply remembers the
// row id and the rights it was opened with, and a key deleted meanwhile, by this process or
// another, shows up as a missing row: ERROR_KEY_DELETED. Handles live in a per-process table
// with a generation count per slot, so a closed or forged handle is detected, never followed.
#include <winreg.h>

#include <fcntl.h>
#include <locale.h>
#include <pthread.h>
#include <pwd.h>
#include <sqlite3.h>
#include <sys/stat.h>
#include <unistd.h>
#include <wctype.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <new>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include <stringapiset.h>

namespace {

using Id = sqlite3_int64;

// ---------------------------------------------------------------- names

locale_t case_locale() {
    static locale_t loc = newlocale(LC_CTYPE_MASK, "C.UTF-8", locale_t(nullptr));
    return loc;
}

// Upper-cases one UTF-16 unit, as the original compares names: unit by unit, surrogates as-is.
char16_t upcase(char16_t c) {
    if (c < 0x80) return (c >= u'a' && c <= u'z') ? char16_t(c - 0x20) : c;
    if (c >= 0xD800 && c <= 0xDFFF) return c;
    locale_t loc = case_locale();
    if (!loc) return c;
    wint_t u = towupper_l(static_cast<wint_t>(c), loc);
    return (u <= 0xFFFF && !(u >= 0xD800 && u <= 0xDFFF)) ? char16_t(u) : c;
}

// Names are kept as UTF-16LE blobs, exactly as given, next to an upper-cased UTF-16BE copy
// whose byte order sorts like the code units: that copy is what lookups and enumeration use.
std::string name_blob(std::u16string_view n) {
    std::string b(n.size() * 2, '\0');
    for (std::size_t i = 0; i < n.size(); ++i) {
        b[2 * i] = static_cast<char>(n[i] & 0xFF);
        b[2 * i + 1] = static_cast<char>(n[i] >> 8);
    }
    return b;
}

std::string fold_blob(std::u16string_view n) {
    std::string b(n.size() * 2, '\0');
    for (std::size_t i = 0; i < n.size(); ++i) {
        char16_t c = upcase(n[i]);
        b[2 * i] = static_cast<char>(c >> 8);
        b[2 * i + 1] = static_cast<char>(c & 0xFF);
    }
    return b;
}

std::u16string blob_name(const void* p, int bytes) {
    std::u16string n(static_cast<std::size_t>(bytes > 0 ? bytes / 2 : 0), u'\0');
    const auto* b = static_cast<const unsigned char*>(p);
    for (std::size_t i = 0; i < n.size(); ++i) n[i] = static_cast<char16_t>(b[2 * i] | (b[2 * i + 1] << 8));
    return n;
}

std::u16string_view view_of(LPCWSTR s) { return s ? std::u16string_view(s, bf::wcslen16(s)) : std::u16string_view(); }

// ---------------------------------------------------------------- roots and handles

struct Root {
    LONG handle;
    Id id;
    const char16_t* name;
};
constexpr Root kRoots[] = {
    {LONG(0x80000000u), 1, u"HKEY_CLASSES_ROOT"},  {LONG(0x80000001u), 2, u"HKEY_CURRENT_USER"},
    {LONG(0x80000002u), 3, u"HKEY_LOCAL_MACHINE"}, {LONG(0x80000003u), 4, u"HKEY_USERS"},
    {LONG(0x80000005u), 5, u"HKEY_CURRENT_CONFIG"},
};
constexpr Id kLastRootId = 5;

ULONG_PTR predefined_value(LONG v) { return static_cast<ULONG_PTR>(static_cast<LONG_PTR>(v)); }

struct Slot {
    Id key = 0;
    REGSAM access = 0;
    std::uint32_t gen = 0;
    bool used = false;
};

// Handle value: ((generation << 22) | (slot + 1)) << 2. Always positive and non-zero, so never
// one of the (sign-extended, negative) predefined values.
constexpr unsigned kSlotBits = 22;
constexpr std::uint32_t kMaxSlots = (1u << kSlotBits) - 1;
constexpr std::uint32_t kGenMask = (1u << 24) - 1;

HKEY encode(std::uint32_t slot, std::uint32_t gen) {
    ULONG_PTR v = ((static_cast<ULONG_PTR>(gen & kGenMask) << kSlotBits) | (slot + 1)) << 2;
    return reinterpret_cast<HKEY>(v);
}

struct KeyRef {
    Id id = 0;
    REGSAM access = 0;
};

REGSAM normalise_access(REGSAM sam) {
    REGSAM r = sam & (0xFFFF | STANDARD_RIGHTS_ALL);
    if (sam & GENERIC_READ) r |= KEY_READ;
    if (sam & GENERIC_WRITE) r |= KEY_WRITE;
    if (sam & GENERIC_EXECUTE) r |= KEY_EXECUTE;
    if (sam & (GENERIC_ALL | MAXIMUM_ALLOWED)) r |= KEY_ALL_ACCESS;
    return r & ~REGSAM(KEY_WOW64_32KEY | KEY_WOW64_64KEY);
}

// ---------------------------------------------------------------- process-wide state

struct Abandoned {
    sqlite3* db;
    std::unordered_map<const char*, sqlite3_stmt*> stmts;
};

struct State {
    std::mutex mu;
    sqlite3* db = nullptr;
    std::unordered_map<const char*, sqlite3_stmt*> stmts;  // keyed by the SQL literal
    std::vector<Slot> slots;
    std::vector<std::uint32_t> free_slots;
    // Connections inherited over fork(): SQLite must not use them in the child, not even to
    // close them, so they stay here untouched (and reachable).
    std::vector<Abandoned> abandoned;

    State();
    void close() {
        for (auto& [sql, st] : stmts) sqlite3_finalize(st);
        stmts.clear();
        if (db) sqlite3_close_v2(db);
        db = nullptr;
    }
};

State& state() {
    // Never destroyed: static destructors elsewhere may still close keys at exit.
    static State* s = new State;
    return *s;
}

void atfork_prepare() { state().mu.lock(); }
void atfork_parent() { state().mu.unlock(); }
void atfork_child() {
    State& s = state();
    if (s.db) {
        s.abandoned.push_back({s.db, std::move(s.stmts)});
        s.stmts.clear();
        s.db = nullptr;
    }
    s.mu.unlock();
}

State::State() { pthread_atfork(atfork_prepare, atfork_parent, atfork_child); }

LSTATUS from_sqlite(int rc) {
    switch (rc & 0xFF) {
    case SQLITE_OK:
    case SQLITE_ROW:
    case SQLITE_DONE:
        return ERROR_SUCCESS;
    case SQLITE_NOMEM:
        return ERROR_OUTOFMEMORY;
    case SQLITE_CORRUPT:
        return ERROR_REGISTRY_CORRUPT;
    case SQLITE_NOTADB:
        return ERROR_BADDB;
    case SQLITE_CANTOPEN:
        return ERROR_CANTOPEN;
    case SQLITE_READONLY:
    case SQLITE_PERM:
    case SQLITE_AUTH:
        return ERROR_ACCESS_DENIED;
    default:  // I/O errors, a full disk, a lock held past the busy time-out
        return ERROR_REGISTRY_IO_FAILED;
    }
}

// A cached prepared statement, reset when the scope ends.
class Stmt {
public:
    Stmt(State& s, const char* sql) {
        auto it = s.stmts.find(sql);
        if (it != s.stmts.end()) {
            st_ = it->second;
            return;
        }
        rc_ = sqlite3_prepare_v3(s.db, sql, -1, SQLITE_PREPARE_PERSISTENT, &st_, nullptr);
        if (rc_ != SQLITE_OK) {
            sqlite3_finalize(st_);
            st_ = nullptr;
            return;
        }
        try {
            s.stmts.emplace(sql, st_);
        } catch (...) {
            sqlite3_finalize(st_);
            throw;
        }
    }
    ~Stmt() {
        if (st_) {
            sqlite3_reset(st_);
            sqlite3_clear_bindings(st_);
        }
    }
    Stmt(const Stmt&) = delete;
    Stmt& operator=(const Stmt&) = delete;

    Stmt& bind(int i, Id v) {
        if (st_) sqlite3_bind_int64(st_, i, v);
        return *this;
    }
    Stmt& bind(int i, std::string_view blob) {
        static const char empty = 0;  // a null pointer would bind NULL, not an empty blob
        if (st_) sqlite3_bind_blob(st_, i, blob.empty() ? &empty : blob.data(), int(blob.size()), SQLITE_STATIC);
        return *this;
    }
    // SQLITE_ROW, SQLITE_DONE or an error code.
    int step() { return st_ ? sqlite3_step(st_) : (rc_ ? rc_ : SQLITE_ERROR); }
    // Runs a statement that returns no rows.
    LSTATUS run() {
        int rc = step();
        return rc == SQLITE_DONE || rc == SQLITE_ROW ? ERROR_SUCCESS : from_sqlite(rc);
    }
    Id integer(int col) const { return sqlite3_column_int64(st_, col); }
    std::string_view blob(int col) const {
        const void* p = sqlite3_column_blob(st_, col);
        int n = sqlite3_column_bytes(st_, col);
        return p ? std::string_view(static_cast<const char*>(p), std::size_t(n)) : std::string_view();
    }
    std::u16string name(int col) const {
        std::string_view b = blob(col);
        return blob_name(b.data(), int(b.size()));
    }

private:
    sqlite3_stmt* st_ = nullptr;
    int rc_ = SQLITE_OK;
};

// One transaction; rolled back unless committed.
class Txn {
public:
    explicit Txn(State& s) : s_(s) {}
    ~Txn() {
        if (open_) Stmt(s_, "ROLLBACK").run();
    }
    LSTATUS begin(bool write) {
        LSTATUS st = Stmt(s_, write ? "BEGIN IMMEDIATE" : "BEGIN").run();
        open_ = st == ERROR_SUCCESS;
        return st;
    }
    LSTATUS commit() {
        LSTATUS st = Stmt(s_, "COMMIT").run();
        if (st == ERROR_SUCCESS) open_ = false;
        return st;
    }

private:
    State& s_;
    bool open_ = false;
};

Id now_filetime() {
    using namespace std::chrono;
    auto t = duration_cast<nanoseconds>(system_clock::now().time_since_epoch()).count();
    return Id(t / 100) + 116444736000000000LL;  // 100 ns units since 1601
}

void put_filetime(PFILETIME ft, Id v) {
    if (!ft) return;
    ft->dwLowDateTime = static_cast<DWORD>(static_cast<std::uint64_t>(v) & 0xFFFFFFFFu);
    ft->dwHighDateTime = static_cast<DWORD>(static_cast<std::uint64_t>(v) >> 32);
}

// ---------------------------------------------------------------- opening the hive

bool make_dirs_for(const std::string& path) {
    std::size_t slash = path.rfind('/');
    if (slash == std::string::npos || slash == 0) return true;
    std::string dir = path.substr(0, slash);
    struct stat sb{};
    if (::stat(dir.c_str(), &sb) == 0) return S_ISDIR(sb.st_mode);
    for (std::size_t pos = 1; pos <= dir.size(); ++pos) {
        if (pos != dir.size() && dir[pos] != '/') continue;
        std::string part = dir.substr(0, pos);
        if (::mkdir(part.c_str(), 0700) == 0) {
            ::chmod(part.c_str(), 0700);  // whatever the umask says: the hive holds the account
        } else if (errno != EEXIST) {
            return false;
        }
    }
    return ::stat(dir.c_str(), &sb) == 0 && S_ISDIR(sb.st_mode);
}

constexpr const char* kSchema =
    "CREATE TABLE reg_key(id INTEGER PRIMARY KEY AUTOINCREMENT, parent INTEGER, name BLOB NOT NULL,"
    " fold BLOB NOT NULL, written INTEGER NOT NULL);"
    "CREATE UNIQUE INDEX reg_key_child ON reg_key(parent, fold);"
    "CREATE TABLE reg_value(seq INTEGER PRIMARY KEY, key INTEGER NOT NULL, name BLOB NOT NULL,"
    " fold BLOB NOT NULL, type INTEGER NOT NULL, data BLOB NOT NULL);"
    "CREATE UNIQUE INDEX reg_value_name ON reg_value(key, fold);"
    "PRAGMA user_version = 1;";

LSTATUS init_schema(State& s) {
    Txn t(s);
    if (LSTATUS st = t.begin(true)) return st;
    Id version = 0, tables = 0;
    {
        Stmt q(s, "PRAGMA user_version");
        int rc = q.step();
        if (rc != SQLITE_ROW) return from_sqlite(rc);
        version = q.integer(0);
    }
    if (version == 1) return t.commit();
    if (version != 0) return ERROR_BADDB;
    {
        Stmt q(s, "SELECT count(*) FROM sqlite_master");
        int rc = q.step();
        if (rc != SQLITE_ROW) return from_sqlite(rc);
        tables = q.integer(0);
    }
    if (tables != 0) return ERROR_BADDB;  // some other program's database
    if (int rc = sqlite3_exec(s.db, kSchema, nullptr, nullptr, nullptr)) return from_sqlite(rc);
    for (const Root& r : kRoots) {
        Stmt ins(s, "INSERT INTO reg_key(id, parent, name, fold, written) VALUES(?1, NULL, ?2, ?3, ?4)");
        std::u16string_view n(r.name);
        std::string nb = name_blob(n), fb = fold_blob(n);
        if (LSTATUS st = ins.bind(1, r.id).bind(2, nb).bind(3, fb).bind(4, now_filetime()).run()) return st;
    }
    return t.commit();
}

LSTATUS open_hive(State& s) {
    if (s.db) return ERROR_SUCCESS;
    std::string path = bf::registry_hive_path();
    if (path.empty() || !make_dirs_for(path)) return ERROR_CANTOPEN;
    int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (fd >= 0) {
        ::fchmod(fd, 0600);
        ::close(fd);
    } else if (errno != EEXIST) {
        return ERROR_CANTOPEN;
    }
    sqlite3* db = nullptr;
    int rc = sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READWRITE, nullptr);
    if (rc != SQLITE_OK) {
        sqlite3_close_v2(db);
        return rc == SQLITE_NOMEM ? ERROR_OUTOFMEMORY : ERROR_CANTOPEN;
    }
    s.db = db;
    sqlite3_extended_result_codes(db, 1);
    sqlite3_busy_timeout(db, 30000);
    LSTATUS st = ERROR_SUCCESS;
    {
        Stmt wal(s, "PRAGMA journal_mode=WAL");
        rc = wal.step();
        if (rc != SQLITE_ROW) st = from_sqlite(rc);
    }
    if (!st) st = from_sqlite(sqlite3_exec(db, "PRAGMA synchronous=NORMAL", nullptr, nullptr, nullptr));
    if (!st) st = init_schema(s);
    if (st) s.close();  // the next call tries again
    return st;
}

// ---------------------------------------------------------------- key operations

LSTATUS resolve(State& s, HKEY h, KeyRef& out) {
    auto v = reinterpret_cast<ULONG_PTR>(h);
    for (const Root& r : kRoots) {
        if (v == predefined_value(r.handle)) {
            out = {r.id, KEY_ALL_ACCESS};
            return ERROR_SUCCESS;
        }
    }
    if (v == 0 || (v & 3) != 0) return ERROR_INVALID_HANDLE;
    ULONG_PTR raw = v >> 2;
    std::uint32_t slot = static_cast<std::uint32_t>(raw & kMaxSlots);
    if (slot == 0 || (raw >> kSlotBits) > kGenMask) return ERROR_INVALID_HANDLE;
    std::uint32_t gen = static_cast<std::uint32_t>(raw >> kSlotBits);
    --slot;
    if (slot >= s.slots.size()) return ERROR_INVALID_HANDLE;
    const Slot& e = s.slots[slot];
    if (!e.used || e.gen != gen) return ERROR_INVALID_HANDLE;
    out = {e.key, e.access};
    return ERROR_SUCCESS;
}

LSTATUS new_handle(State& s, Id key, REGSAM access, PHKEY out) {
    std::uint32_t slot;
    if (!s.free_slots.empty()) {
        slot = s.free_slots.back();
        s.free_slots.pop_back();
    } else {
        if (s.slots.size() >= kMaxSlots) return ERROR_OUTOFMEMORY;
        s.slots.emplace_back();
        slot = static_cast<std::uint32_t>(s.slots.size() - 1);
    }
    Slot& e = s.slots[slot];
    e.key = key;
    e.access = access;
    e.used = true;
    *out = encode(slot, e.gen);
    return ERROR_SUCCESS;
}

LSTATUS split_path(LPCWSTR sub, std::vector<std::u16string_view>& parts) {
    std::u16string_view p = view_of(sub);
    if (!p.empty() && p.back() == u'\\') p.remove_suffix(1);  // one trailing separator is tolerated
    if (p.empty()) return ERROR_SUCCESS;
    std::size_t start = 0;
    for (;;) {
        std::size_t end = p.find(u'\\', start);
        std::u16string_view part = p.substr(start, end == std::u16string_view::npos ? end : end - start);
        if (part.empty()) return ERROR_BAD_PATHNAME;
        if (part.size() > bf::kMaxKeyNameChars) return ERROR_INVALID_PARAMETER;
        parts.push_back(part);
        if (end == std::u16string_view::npos) return ERROR_SUCCESS;
        start = end + 1;
    }
}

LSTATUS key_alive(State& s, Id id) {
    Stmt q(s, "SELECT 1 FROM reg_key WHERE id = ?1");
    int rc = q.bind(1, id).step();
    if (rc == SQLITE_ROW) return ERROR_SUCCESS;
    return rc == SQLITE_DONE ? ERROR_KEY_DELETED : from_sqlite(rc);
}

// Finds a direct subkey; ERROR_FILE_NOT_FOUND when there is none.
LSTATUS find_child(State& s, Id parent, std::u16string_view name, Id& child) {
    Stmt q(s, "SELECT id FROM reg_key WHERE parent = ?1 AND fold = ?2");
    std::string fb = fold_blob(name);
    int rc = q.bind(1, parent).bind(2, fb).step();
    if (rc == SQLITE_ROW) {
        child = q.integer(0);
        return ERROR_SUCCESS;
    }
    return rc == SQLITE_DONE ? ERROR_FILE_NOT_FOUND : from_sqlite(rc);
}

LSTATUS walk(State& s, Id from, const std::vector<std::u16string_view>& parts, Id& out) {
    Id cur = from;
    for (auto part : parts)
        if (LSTATUS st = find_child(s, cur, part, cur)) return st;
    out = cur;
    return ERROR_SUCCESS;
}

LSTATUS touch(State& s, Id id) {
    return Stmt(s, "UPDATE reg_key SET written = ?2 WHERE id = ?1").bind(1, id).bind(2, now_filetime()).run();
}

LSTATUS count_rows(State& s, const char* sql, Id id, Id& n) {
    Stmt q(s, sql);
    int rc = q.bind(1, id).step();
    if (rc != SQLITE_ROW) return from_sqlite(rc);
    n = q.integer(0);
    return ERROR_SUCCESS;
}

LSTATUS delete_descendants(State& s, Id id) {
    if (LSTATUS st = Stmt(s,
                          "WITH RECURSIVE t(id) AS (SELECT id FROM reg_key WHERE parent = ?1"
                          " UNION ALL SELECT k.id FROM reg_key k JOIN t ON k.parent = t.id)"
                          " DELETE FROM reg_value WHERE key IN t")
                         .bind(1, id)
                         .run())
        return st;
    return Stmt(s,
                "WITH RECURSIVE t(id) AS (SELECT id FROM reg_key WHERE parent = ?1"
                " UNION ALL SELECT k.id FROM reg_key k JOIN t ON k.parent = t.id)"
                " DELETE FROM reg_key WHERE id IN t")
        .bind(1, id)
        .run();
}

LSTATUS delete_one(State& s, Id id) {
    Id parent = 0;
    {
        Stmt q(s, "SELECT parent FROM reg_key WHERE id = ?1");
        int rc = q.bind(1, id).step();
        if (rc != SQLITE_ROW) return rc == SQLITE_DONE ? ERROR_KEY_DELETED : from_sqlite(rc);
        parent = q.integer(0);
    }
    if (LSTATUS st = Stmt(s, "DELETE FROM reg_value WHERE key = ?1").bind(1, id).run()) return st;
    if (LSTATUS st = Stmt(s, "DELETE FROM reg_key WHERE id = ?1").bind(1, id).run()) return st;
    return touch(s, parent);
}

// Runs op on the key behind h inside one transaction, with the registry lock held and the hive
// open. need: the rights the handle must have been opened with.
template <class Op>
LSTATUS with_key(HKEY h, REGSAM need, bool write, Op&& op) {
    try {
        State& s = state();
        std::lock_guard lock(s.mu);
        KeyRef k;
        if (LSTATUS st = resolve(s, h, k)) return st;
        if ((k.access & need) != need) return ERROR_ACCESS_DENIED;
        if (LSTATUS st = open_hive(s)) return st;
        Txn t(s);
        if (LSTATUS st = t.begin(write)) return st;
        if (LSTATUS st = key_alive(s, k.id)) return st;
        if (LSTATUS st = op(s, k)) return st;
        return t.commit();
    } catch (const std::bad_alloc&) {
        return ERROR_OUTOFMEMORY;
    }
}

bool is_predefined(HKEY h) {
    auto v = reinterpret_cast<ULONG_PTR>(h);
    return v >= predefined_value(LONG(0x80000000u)) && v <= predefined_value(LONG(0x8000000Fu));
}

LSTATUS copy_name(const std::u16string& n, LPWSTR buf, LPDWORD cch) {
    if (*cch < n.size() + 1) return ERROR_MORE_DATA;
    std::memcpy(buf, n.data(), n.size() * sizeof(WCHAR));
    buf[n.size()] = 0;
    *cch = static_cast<DWORD>(n.size());
    return ERROR_SUCCESS;
}

}  // namespace

// ---------------------------------------------------------------- helpers for platform users

namespace bf {

std::string registry_hive_path() {
    if (const char* h = std::getenv("BRACKENFOLD_HIVE"); h && *h) return h;
    std::string base;
    if (const char* x = std::getenv("XDG_DATA_HOME"); x && x[0] == '/') {
        base = x;
    } else {
        std::string home;
        if (const char* e = std::getenv("HOME"); e && *e) {
            home = e;
        } else {
            struct passwd pw{}, *res = nullptr;
            std::vector<char> buf(16384);
            if (getpwuid_r(getuid(), &pw, buf.data(), buf.size(), &res) == 0 && res && res->pw_dir) home = res->pw_dir;
        }
        if (home.empty()) return {};
        base = home + "/.local/share";
    }
    return base + "/brackenfold/hive.db";
}

bool registry_names_equal(std::u16string_view a, std::u16string_view b) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i)
        if (upcase(a[i]) != upcase(b[i])) return false;
    return true;
}

LSTATUS registry_key_name(HKEY hKey, std::u16string& name) {
    return with_key(hKey, 0, false, [&](State& s, KeyRef k) -> LSTATUS {
        std::vector<std::u16string> parts;
        for (Id cur = k.id; cur != 0;) {
            Stmt q(s, "SELECT parent, name FROM reg_key WHERE id = ?1");
            int rc = q.bind(1, cur).step();
            if (rc != SQLITE_ROW) return rc == SQLITE_DONE ? ERROR_REGISTRY_CORRUPT : from_sqlite(rc);
            parts.push_back(q.name(1));
            cur = q.integer(0);
            if (parts.size() > 4096) return ERROR_REGISTRY_CORRUPT;  // a cycle: never follow it forever
        }
        name.clear();
        for (auto it = parts.rbegin(); it != parts.rend(); ++it) {
            if (!name.empty()) name += u'\\';
            name += *it;
        }
        return ERROR_SUCCESS;
    });
}

void registry_reset_for_tests() {
    State& s = state();
    std::lock_guard lock(s.mu);
    s.close();
    s.free_slots.clear();
    for (std::uint32_t i = 0; i < s.slots.size(); ++i) {
        Slot& e = s.slots[i];
        if (e.used) ++e.gen;
        e.used = false;
        s.free_slots.push_back(i);
    }
}

}  // namespace bf

// ---------------------------------------------------------------- the API

extern "C" {

BFAPI LSTATUS WINAPI RegCreateKeyExW(HKEY hKey, LPCWSTR lpSubKey, DWORD, LPWSTR, DWORD, REGSAM samDesired,
                                     const SECURITY_ATTRIBUTES*, PHKEY phkResult, LPDWORD lpdwDisposition) {
    if (!phkResult) return ERROR_INVALID_PARAMETER;
    *phkResult = nullptr;
    if (!lpSubKey) return ERROR_INVALID_PARAMETER;
    std::vector<std::u16string_view> parts;
    try {
        if (LSTATUS st = split_path(lpSubKey, parts)) return st;
    } catch (const std::bad_alloc&) {
        return ERROR_OUTOFMEMORY;
    }
    REGSAM access = normalise_access(samDesired);
    HKEY made = nullptr;
    DWORD disposition = REG_OPENED_EXISTING_KEY;
    LSTATUS result = with_key(hKey, 0, true, [&](State& s, KeyRef k) -> LSTATUS {
        Id cur = k.id;
        for (auto part : parts) {
            Id child = 0;
            LSTATUS st = find_child(s, cur, part, child);
            if (st == ERROR_FILE_NOT_FOUND) {
                // Creating right under the handle's key takes the right to; deeper keys are ours.
                if (cur == k.id && !(k.access & KEY_CREATE_SUB_KEY)) return ERROR_ACCESS_DENIED;
                std::string nb = name_blob(part), fb = fold_blob(part);
                Id now = now_filetime();
                st = Stmt(s, "INSERT INTO reg_key(parent, name, fold, written) VALUES(?1, ?2, ?3, ?4)")
                         .bind(1, cur)
                         .bind(2, nb)
                         .bind(3, fb)
                         .bind(4, now)
                         .run();
                if (st) return st;
                child = sqlite3_last_insert_rowid(s.db);
                if ((st = touch(s, cur))) return st;
                disposition = REG_CREATED_NEW_KEY;
            } else if (st) {
                return st;
            }
            cur = child;
        }
        return new_handle(s, cur, access, &made);
    });
    if (result == ERROR_SUCCESS) {
        *phkResult = made;
        if (lpdwDisposition) *lpdwDisposition = disposition;
    } else if (made) {
        RegCloseKey(made);  // the transaction did not commit: nothing was created
    }
    return result;
}

BFAPI LSTATUS WINAPI RegOpenKeyExW(HKEY hKey, LPCWSTR lpSubKey, DWORD, REGSAM samDesired, PHKEY phkResult) {
    if (!phkResult) return ERROR_INVALID_PARAMETER;
    *phkResult = nullptr;
    std::vector<std::u16string_view> parts;
    try {
        if (LSTATUS st = split_path(lpSubKey, parts)) return st;
    } catch (const std::bad_alloc&) {
        return ERROR_OUTOFMEMORY;
    }
    REGSAM access = normalise_access(samDesired);
    HKEY made = nullptr;
    LSTATUS st = with_key(hKey, 0, false, [&](State& s, KeyRef k) -> LSTATUS {
        Id target = 0;
        if (LSTATUS e = walk(s, k.id, parts, target)) return e;
        return new_handle(s, target, access, &made);
    });
    if (st == ERROR_SUCCESS) {
        *phkResult = made;
    } else if (made) {
        RegCloseKey(made);  // the transaction did not end well: give the handle back
    }
    return st;
}

BFAPI LSTATUS WINAPI RegCloseKey(HKEY hKey) {
    if (is_predefined(hKey)) return ERROR_SUCCESS;
    State& s = state();
    std::lock_guard lock(s.mu);
    KeyRef k;
    if (LSTATUS st = resolve(s, hKey, k)) return st;
    auto raw = reinterpret_cast<ULONG_PTR>(hKey) >> 2;
    auto slot = static_cast<std::uint32_t>(raw & kMaxSlots) - 1;
    Slot& e = s.slots[slot];
    e.used = false;
    e.gen = (e.gen + 1) & kGenMask;
    try {
        s.free_slots.push_back(slot);
    } catch (const std::bad_alloc&) {
        // The slot is lost to reuse, the handle is closed all the same.
    }
    return ERROR_SUCCESS;
}

BFAPI LSTATUS WINAPI RegQueryValueExW(HKEY hKey, LPCWSTR lpValueName, LPDWORD, LPDWORD lpType, LPBYTE lpData,
                                      LPDWORD lpcbData) {
    if (lpData && !lpcbData) return ERROR_INVALID_PARAMETER;
    return with_key(hKey, KEY_QUERY_VALUE, false, [&](State& s, KeyRef k) -> LSTATUS {
        Stmt q(s, "SELECT type, data FROM reg_value WHERE key = ?1 AND fold = ?2");
        std::string fb = fold_blob(view_of(lpValueName));
        int rc = q.bind(1, k.id).bind(2, fb).step();
        if (rc != SQLITE_ROW) return rc == SQLITE_DONE ? ERROR_FILE_NOT_FOUND : from_sqlite(rc);
        std::string_view data = q.blob(1);
        if (lpType) *lpType = static_cast<DWORD>(q.integer(0));
        if (lpData) {
            if (*lpcbData < data.size()) {
                *lpcbData = static_cast<DWORD>(data.size());
                return ERROR_MORE_DATA;
            }
            if (!data.empty()) std::memcpy(lpData, data.data(), data.size());
        }
        if (lpcbData) *lpcbData = static_cast<DWORD>(data.size());
        return ERROR_SUCCESS;
    });
}

BFAPI LSTATUS WINAPI RegSetValueExW(HKEY hKey, LPCWSTR lpValueName, DWORD, DWORD dwType, const BYTE* lpData,
                                    DWORD cbData) {
    if (!lpData && cbData) return ERROR_NOACCESS;
    std::u16string_view name = view_of(lpValueName);
    if (name.size() > bf::kMaxValueNameChars) return ERROR_INVALID_PARAMETER;
    return with_key(hKey, KEY_SET_VALUE, true, [&](State& s, KeyRef k) -> LSTATUS {
        std::string fb = fold_blob(name);
        std::string_view data(reinterpret_cast<const char*>(lpData), lpData ? cbData : 0);
        // An existing value keeps its name's case and its place in the enumeration.
        Stmt up(s, "UPDATE reg_value SET type = ?3, data = ?4 WHERE key = ?1 AND fold = ?2");
        if (LSTATUS st = up.bind(1, k.id).bind(2, fb).bind(3, Id(dwType)).bind(4, data).run()) return st;
        if (sqlite3_changes(s.db) == 0) {
            std::string nb = name_blob(name);
            Stmt ins(s, "INSERT INTO reg_value(key, name, fold, type, data) VALUES(?1, ?2, ?3, ?4, ?5)");
            if (LSTATUS st = ins.bind(1, k.id).bind(2, nb).bind(3, fb).bind(4, Id(dwType)).bind(5, data).run())
                return st;
        }
        return touch(s, k.id);
    });
}

BFAPI LSTATUS WINAPI RegDeleteValueW(HKEY hKey, LPCWSTR lpValueName) {
    return with_key(hKey, KEY_SET_VALUE, true, [&](State& s, KeyRef k) -> LSTATUS {
        std::string fb = fold_blob(view_of(lpValueName));
        if (LSTATUS st = Stmt(s, "DELETE FROM reg_value WHERE key = ?1 AND fold = ?2").bind(1, k.id).bind(2, fb).run())
            return st;
        if (sqlite3_changes(s.db) == 0) return ERROR_FILE_NOT_FOUND;
        return touch(s, k.id);
    });
}

BFAPI LSTATUS WINAPI RegDeleteKeyW(HKEY hKey, LPCWSTR lpSubKey) {
    if (!lpSubKey) return ERROR_INVALID_PARAMETER;
    std::vector<std::u16string_view> parts;
    try {
        if (LSTATUS st = split_path(lpSubKey, parts)) return st;
    } catch (const std::bad_alloc&) {
        return ERROR_OUTOFMEMORY;
    }
    // An empty name deletes the key the handle is open on, which takes the right to.
    REGSAM need = parts.empty() ? DELETE : 0;
    return with_key(hKey, need, true, [&](State& s, KeyRef k) -> LSTATUS {
        Id target = 0;
        if (LSTATUS st = walk(s, k.id, parts, target)) return st;
        if (target <= kLastRootId) return ERROR_ACCESS_DENIED;
        Id children = 0;
        if (LSTATUS st = count_rows(s, "SELECT count(*) FROM reg_key WHERE parent = ?1", target, children)) return st;
        if (children) return ERROR_ACCESS_DENIED;
        return delete_one(s, target);
    });
}

BFAPI LSTATUS WINAPI RegDeleteTreeW(HKEY hKey, LPCWSTR lpSubKey) {
    std::vector<std::u16string_view> parts;
    try {
        if (LSTATUS st = split_path(lpSubKey, parts)) return st;
    } catch (const std::bad_alloc&) {
        return ERROR_OUTOFMEMORY;
    }
    // Emptying the handle's own key takes the rights to enumerate, read and delete in it.
    REGSAM need = parts.empty() ? REGSAM(DELETE | KEY_ENUMERATE_SUB_KEYS | KEY_QUERY_VALUE) : 0;
    return with_key(hKey, need, true, [&](State& s, KeyRef k) -> LSTATUS {
        if (parts.empty()) {
            Id values = 0;
            if (LSTATUS st = count_rows(s, "SELECT count(*) FROM reg_value WHERE key = ?1", k.id, values)) return st;
            if (values && !(k.access & KEY_SET_VALUE)) return ERROR_ACCESS_DENIED;
            if (LSTATUS st = delete_descendants(s, k.id)) return st;
            if (LSTATUS st = Stmt(s, "DELETE FROM reg_value WHERE key = ?1").bind(1, k.id).run()) return st;
            return touch(s, k.id);
        }
        Id target = 0;
        if (LSTATUS st = walk(s, k.id, parts, target)) return st;
        if (LSTATUS st = delete_descendants(s, target)) return st;
        return delete_one(s, target);
    });
}

BFAPI LSTATUS WINAPI RegEnumKeyExW(HKEY hKey, DWORD dwIndex, LPWSTR lpName, LPDWORD lpcchName, LPDWORD,
                                   LPWSTR lpClass, LPDWORD lpcchClass, PFILETIME lpftLastWriteTime) {
    if (!lpName || !lpcchName) return ERROR_INVALID_PARAMETER;
    if (lpClass && !lpcchClass) return ERROR_INVALID_PARAMETER;
    return with_key(hKey, KEY_ENUMERATE_SUB_KEYS, false, [&](State& s, KeyRef k) -> LSTATUS {
        Stmt q(s, "SELECT name, written FROM reg_key WHERE parent = ?1 ORDER BY fold LIMIT 1 OFFSET ?2");
        int rc = q.bind(1, k.id).bind(2, Id(dwIndex)).step();
        if (rc != SQLITE_ROW) return rc == SQLITE_DONE ? ERROR_NO_MORE_ITEMS : from_sqlite(rc);
        if (lpClass && *lpcchClass < 1) return ERROR_MORE_DATA;
        if (LSTATUS st = copy_name(q.name(0), lpName, lpcchName)) return st;
        if (lpClass) {
            lpClass[0] = 0;
            *lpcchClass = 0;
        }
        put_filetime(lpftLastWriteTime, q.integer(1));
        return ERROR_SUCCESS;
    });
}

BFAPI LSTATUS WINAPI RegEnumValueW(HKEY hKey, DWORD dwIndex, LPWSTR lpValueName, LPDWORD lpcchValueName, LPDWORD,
                                   LPDWORD lpType, LPBYTE lpData, LPDWORD lpcbData) {
    if (!lpValueName || !lpcchValueName) return ERROR_INVALID_PARAMETER;
    if (lpData && !lpcbData) return ERROR_INVALID_PARAMETER;
    return with_key(hKey, KEY_QUERY_VALUE, false, [&](State& s, KeyRef k) -> LSTATUS {
        Stmt q(s, "SELECT name, type, data FROM reg_value WHERE key = ?1 ORDER BY seq LIMIT 1 OFFSET ?2");
        int rc = q.bind(1, k.id).bind(2, Id(dwIndex)).step();
        if (rc != SQLITE_ROW) return rc == SQLITE_DONE ? ERROR_NO_MORE_ITEMS : from_sqlite(rc);
        if (LSTATUS st = copy_name(q.name(0), lpValueName, lpcchValueName)) return st;
        if (lpType) *lpType = static_cast<DWORD>(q.integer(1));
        std::string_view data = q.blob(2);
        if (lpData) {
            if (*lpcbData < data.size()) {
                *lpcbData = static_cast<DWORD>(data.size());
                return ERROR_MORE_DATA;
            }
            if (!data.empty()) std::memcpy(lpData, data.data(), data.size());
        }
        if (lpcbData) *lpcbData = static_cast<DWORD>(data.size());
        return ERROR_SUCCESS;
    });
}

BFAPI LSTATUS WINAPI RegQueryInfoKeyW(HKEY hKey, LPWSTR lpClass, LPDWORD lpcchClass, LPDWORD, LPDWORD lpcSubKeys,
                                      LPDWORD lpcbMaxSubKeyLen, LPDWORD lpcbMaxClassLen, LPDWORD lpcValues,
                                      LPDWORD lpcbMaxValueNameLen, LPDWORD lpcbMaxValueLen,
                                      LPDWORD lpcbSecurityDescriptor, PFILETIME lpftLastWriteTime) {
    if (lpClass && !lpcchClass) return ERROR_INVALID_PARAMETER;
    return with_key(hKey, KEY_QUERY_VALUE, false, [&](State& s, KeyRef k) -> LSTATUS {
        Id subkeys = 0, max_subkey = 0, values = 0, max_value_name = 0, max_value = 0, written = 0;
        {
            Stmt q(s, "SELECT count(*), coalesce(max(length(name)), 0) FROM reg_key WHERE parent = ?1");
            int rc = q.bind(1, k.id).step();
            if (rc != SQLITE_ROW) return from_sqlite(rc);
            subkeys = q.integer(0);
            max_subkey = q.integer(1) / 2;
        }
        {
            Stmt q(s,
                   "SELECT count(*), coalesce(max(length(name)), 0), coalesce(max(length(data)), 0)"
                   " FROM reg_value WHERE key = ?1");
            int rc = q.bind(1, k.id).step();
            if (rc != SQLITE_ROW) return from_sqlite(rc);
            values = q.integer(0);
            max_value_name = q.integer(1) / 2;
            max_value = q.integer(2);
        }
        {
            Stmt q(s, "SELECT written FROM reg_key WHERE id = ?1");
            int rc = q.bind(1, k.id).step();
            if (rc != SQLITE_ROW) return rc == SQLITE_DONE ? ERROR_KEY_DELETED : from_sqlite(rc);
            written = q.integer(0);
        }
        if (lpClass) {
            if (*lpcchClass < 1) return ERROR_MORE_DATA;
            lpClass[0] = 0;
        }
        if (lpcchClass) *lpcchClass = 0;
        if (lpcSubKeys) *lpcSubKeys = static_cast<DWORD>(subkeys);
        if (lpcbMaxSubKeyLen) *lpcbMaxSubKeyLen = static_cast<DWORD>(max_subkey);
        if (lpcbMaxClassLen) *lpcbMaxClassLen = 0;
        if (lpcValues) *lpcValues = static_cast<DWORD>(values);
        if (lpcbMaxValueNameLen) *lpcbMaxValueNameLen = static_cast<DWORD>(max_value_name);
        if (lpcbMaxValueLen) *lpcbMaxValueLen = static_cast<DWORD>(max_value);
        if (lpcbSecurityDescriptor) *lpcbSecurityDescriptor = 0;
        put_filetime(lpftLastWriteTime, written);
        return ERROR_SUCCESS;
    });
}

BFAPI LSTATUS WINAPI RegOpenKeyW(HKEY hKey, LPCWSTR lpSubKey, PHKEY phkResult) {
    if (!phkResult) return ERROR_INVALID_PARAMETER;
    if (!lpSubKey || !*lpSubKey) {
        // Hands back the very handle it was given, as the original does.
        if (!is_predefined(hKey)) {
            State& s = state();
            std::lock_guard lock(s.mu);
            KeyRef k;
            if (LSTATUS st = resolve(s, hKey, k)) return st;
        }
        *phkResult = hKey;
        return ERROR_SUCCESS;
    }
    return RegOpenKeyExW(hKey, lpSubKey, 0, MAXIMUM_ALLOWED, phkResult);
}

BFAPI LSTATUS WINAPI RegCreateKeyW(HKEY hKey, LPCWSTR lpSubKey, PHKEY phkResult) {
    if (!lpSubKey || !*lpSubKey) return RegOpenKeyW(hKey, lpSubKey, phkResult);
    return RegCreateKeyExW(hKey, lpSubKey, 0, nullptr, REG_OPTION_NON_VOLATILE, MAXIMUM_ALLOWED, nullptr, phkResult,
                           nullptr);
}

BFAPI LSTATUS WINAPI RegSetValueW(HKEY hKey, LPCWSTR lpSubKey, DWORD dwType, LPCWSTR lpData, DWORD) {
    if (dwType != REG_SZ || !lpData) return ERROR_INVALID_PARAMETER;
    HKEY target = hKey;
    bool opened = lpSubKey && *lpSubKey;
    if (opened) {
        if (LSTATUS st = RegCreateKeyExW(hKey, lpSubKey, 0, nullptr, 0, KEY_SET_VALUE, nullptr, &target, nullptr))
            return st;
    }
    DWORD bytes = static_cast<DWORD>((bf::wcslen16(lpData) + 1) * sizeof(WCHAR));
    LSTATUS st = RegSetValueExW(target, nullptr, 0, REG_SZ, reinterpret_cast<const BYTE*>(lpData), bytes);
    if (opened) RegCloseKey(target);
    return st;
}

BFAPI LSTATUS WINAPI RegQueryValueW(HKEY hKey, LPCWSTR lpSubKey, LPWSTR lpData, PLONG lpcbData) {
    if (lpData && !lpcbData) return ERROR_INVALID_PARAMETER;
    HKEY target = hKey;
    bool opened = lpSubKey && *lpSubKey;
    if (opened) {
        if (LSTATUS st = RegOpenKeyExW(hKey, lpSubKey, 0, KEY_QUERY_VALUE, &target)) return st;
    }
    auto* cb = reinterpret_cast<LPDWORD>(lpcbData);
    LSTATUS st = RegQueryValueExW(target, nullptr, nullptr, nullptr, reinterpret_cast<LPBYTE>(lpData), cb);
    if (st == ERROR_FILE_NOT_FOUND) {
        // No unnamed value reads as the empty string.
        st = ERROR_SUCCESS;
        if (lpData) {
            if (*cb < sizeof(WCHAR))
                st = ERROR_MORE_DATA;
            else
                lpData[0] = 0;
        }
        if (cb) *cb = sizeof(WCHAR);
    }
    if (opened) RegCloseKey(target);
    return st;
}

}  // extern "C"
