// Reading resource tables out of ELF files. Everything here treats its input as hostile: a
// data-file load may be pointed at any file, so every offset and count is checked against the
// bytes actually present before it is used, and all arithmetic is done in 64 bits with
// overflow checks.
#include <elf.h>

#include <cstring>
#include <memory>
#include <string_view>

#include <libloaderapi.h>
#include <stringapiset.h>

namespace {

constexpr char kMagic[8] = {'B', 'F', 'R', 'S', 'R', 'C', '0', '1'};
constexpr std::size_t kHeaderSize = 16;
constexpr std::size_t kEntrySize = 24;
constexpr std::size_t kMaxNameBytes = 256;
// Section header tables beyond this are not from any linker we use.
constexpr std::uint64_t kMaxSectionTableBytes = 64u << 20;
constexpr std::uint64_t kMaxStringTableBytes = 16u << 20;

std::uint32_t rd32(const BYTE* p) {
    std::uint32_t v;
    std::memcpy(&v, p, 4);  // tables are aligned, but a hostile one need not be
    return v;
}

bool all_zero(const BYTE* p, std::size_t n) {
    for (std::size_t i = 0; i < n; ++i)
        if (p[i]) return false;
    return true;
}

// A type or name: an integer id, or the offset of a zero-terminated name inside the table.
bool read_key(const BYTE* table, std::size_t total, std::uint32_t id, std::uint32_t off, WORD& out_id,
              std::u16string& out_name) {
    if (id != 0) {
        if (id > 0xFFFF) return false;
        out_id = static_cast<WORD>(id);
        return true;
    }
    if (off >= total) return false;
    std::size_t room = total - off < kMaxNameBytes ? total - off : kMaxNameBytes;
    auto* start = table + off;
    auto* end = static_cast<const BYTE*>(std::memchr(start, 0, room));
    if (!end || end == start) return false;
    out_name = bf::to_utf16(std::string_view(reinterpret_cast<const char*>(start), static_cast<std::size_t>(end - start)));
    for (auto& c : out_name)
        if (c >= u'a' && c <= u'z') c = static_cast<char16_t>(c - u'a' + u'A');
    return true;
}

bool add_overflows(std::uint64_t a, std::uint64_t b, std::uint64_t& sum) { return __builtin_add_overflow(a, b, &sum); }

// Whether [offset, offset + size) lies inside a file of file_size bytes.
bool within(std::uint64_t offset, std::uint64_t size, std::uint64_t file_size) {
    std::uint64_t end;
    return !add_overflows(offset, size, end) && end <= file_size;
}

template <class Ehdr, class Shdr>
DWORD locate(std::uint64_t file_size, const bf::ReadAt& read_at, bf::ElfResourceSection& out) {
    Ehdr eh;
    if (file_size < sizeof eh || !read_at(0, sizeof eh, &eh)) return ERROR_BAD_FORMAT;
    if (eh.e_type != ET_DYN && eh.e_type != ET_EXEC) return ERROR_BAD_FORMAT;
    if (eh.e_version != EV_CURRENT) return ERROR_BAD_FORMAT;
    if (eh.e_shoff == 0) return ERROR_SUCCESS;  // no section headers (fully stripped): no resources

    const std::uint64_t shoff = eh.e_shoff;
    const std::uint64_t entsize = eh.e_shentsize;
    if (entsize < sizeof(Shdr)) return ERROR_BAD_FORMAT;
    std::uint64_t shnum = eh.e_shnum;
    std::uint64_t shstrndx = eh.e_shstrndx;
    if (shnum == 0 || shstrndx == SHN_XINDEX) {
        // Extended numbering keeps the real values in section header 0.
        Shdr first;
        if (!within(shoff, sizeof first, file_size) || !read_at(shoff, sizeof first, &first)) return ERROR_BAD_FORMAT;
        if (shnum == 0) shnum = first.sh_size;
        if (shstrndx == SHN_XINDEX) shstrndx = first.sh_link;
    }
    if (shnum == 0) return ERROR_SUCCESS;
    if (shnum > kMaxSectionTableBytes / entsize || !within(shoff, shnum * entsize, file_size)) return ERROR_BAD_FORMAT;
    if (shstrndx == SHN_UNDEF) return ERROR_SUCCESS;  // no section names, so no resource section
    if (shstrndx >= shnum) return ERROR_BAD_FORMAT;

    std::unique_ptr<BYTE[]> table(new (std::nothrow) BYTE[shnum * entsize]);
    if (!table) return ERROR_NOT_ENOUGH_MEMORY;
    if (!read_at(shoff, shnum * entsize, table.get())) return ERROR_BAD_FORMAT;
    auto header = [&](std::uint64_t i) {
        Shdr sh;
        std::memcpy(&sh, table.get() + i * entsize, sizeof sh);
        return sh;
    };

    const Shdr names = header(shstrndx);
    if (names.sh_type == SHT_NOBITS || names.sh_size == 0 || names.sh_size > kMaxStringTableBytes ||
        !within(names.sh_offset, names.sh_size, file_size))
        return ERROR_BAD_FORMAT;
    std::string strtab(names.sh_size, '\0');
    if (!read_at(names.sh_offset, names.sh_size, strtab.data())) return ERROR_BAD_FORMAT;

    constexpr std::string_view wanted(bf::kResourceSectionName);
    for (std::uint64_t i = 1; i < shnum; ++i) {
        const Shdr sh = header(i);
        if (sh.sh_name >= strtab.size() || strtab.size() - sh.sh_name <= wanted.size()) continue;
        if (strtab.compare(sh.sh_name, wanted.size(), wanted) != 0 || strtab[sh.sh_name + wanted.size()] != '\0') continue;
        if (sh.sh_type == SHT_NOBITS || !within(sh.sh_offset, sh.sh_size, file_size)) return ERROR_BAD_FORMAT;
        out.present = true;
        out.allocated = (sh.sh_flags & SHF_ALLOC) != 0;
        out.address = sh.sh_addr;
        out.offset = sh.sh_offset;
        out.size = sh.sh_size;
        return ERROR_SUCCESS;
    }
    return ERROR_SUCCESS;
}

}  // namespace

namespace bf {

BFAPI bool parse_resource_tables(const void* image, std::size_t size, std::vector<ResourceEntry>& out) {
    out.clear();
    auto* p = static_cast<const BYTE*>(image);
    if (!p && size) return false;
    std::size_t off = 0;
    while (off < size) {
        // Tables are 16-byte aligned; the linker pads between them with zeros.
        if (all_zero(p + off, size - off)) break;
        if (size - off < kHeaderSize || std::memcmp(p + off, kMagic, sizeof kMagic) != 0) return false;
        const BYTE* table = p + off;
        const std::uint32_t count = rd32(table + 8);
        const std::uint32_t total = rd32(table + 12);
        if (total < kHeaderSize || total > size - off) return false;
        if (count > (total - kHeaderSize) / kEntrySize) return false;
        for (std::uint32_t i = 0; i < count; ++i) {
            const BYTE* e = table + kHeaderSize + std::size_t(i) * kEntrySize;
            ResourceEntry r;
            if (!read_key(table, total, rd32(e), rd32(e + 4), r.type_id, r.type_name)) return false;
            if (!read_key(table, total, rd32(e + 8), rd32(e + 12), r.name_id, r.name)) return false;
            const std::uint32_t data_off = rd32(e + 16);
            const std::uint32_t data_size = rd32(e + 20);
            if (data_off > total || data_size > total - data_off) return false;
            r.data = table + data_off;
            r.size = data_size;
            r.key = e;
            out.push_back(std::move(r));
        }
        off += total;
        std::size_t aligned = (off + 15) & ~std::size_t(15);
        off = aligned < off || aligned > size ? size : aligned;
    }
    return true;
}

BFAPI DWORD locate_resource_section(std::uint64_t file_size, const ReadAt& read_at, ElfResourceSection& out) {
    out = ElfResourceSection{};
    unsigned char ident[EI_NIDENT];
    if (file_size < EI_NIDENT || !read_at(0, EI_NIDENT, ident)) return ERROR_BAD_FORMAT;
    if (std::memcmp(ident, ELFMAG, SELFMAG) != 0) return ERROR_BAD_FORMAT;
    if (ident[EI_DATA] != (__BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__ ? ELFDATA2LSB : ELFDATA2MSB))
        return ERROR_BAD_FORMAT;
    if (ident[EI_VERSION] != EV_CURRENT) return ERROR_BAD_FORMAT;
    DWORD rc;
    if (ident[EI_CLASS] == ELFCLASS64)
        rc = locate<Elf64_Ehdr, Elf64_Shdr>(file_size, read_at, out);
    else if (ident[EI_CLASS] == ELFCLASS32)
        rc = locate<Elf32_Ehdr, Elf32_Shdr>(file_size, read_at, out);
    else
        rc = ERROR_BAD_FORMAT;
    if (rc != ERROR_SUCCESS) out = ElfResourceSection{};
    return rc;
}

}  // namespace bf
