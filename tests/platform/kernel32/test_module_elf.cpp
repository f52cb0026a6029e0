// Corrupt, truncated and hostile files given to data-file loads, and hostile resource tables.
// Whatever the bytes, the result is a clean ERROR_BAD_FORMAT or a module whose resources stay
// inside their bounds (the sanitizer builds check the reads).
#include <gtest/gtest.h>

#include <elf.h>
#include <fcntl.h>
#include <unistd.h>

#include <cstring>
#include <fstream>
#include <functional>
#include <iterator>
#include <random>
#include <string>
#include <vector>

#include <libloaderapi.h>
#include <stringapiset.h>

namespace {

std::string read_file(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), {}};
}

class HostileFile : public ::testing::Test {
protected:
    void SetUp() override {
        original_ = read_file(std::string(BF_LIB_DIR) + "/libbf_test_satellite.so");
        ASSERT_GT(original_.size(), sizeof(Elf64_Ehdr));
        char tmpl[] = "/tmp/bf_elf_test_XXXXXX";
        int fd = mkstemp(tmpl);
        ASSERT_GE(fd, 0);
        close(fd);
        path_ = tmpl;
        wpath_ = bf::to_utf16(path_);

        std::memcpy(&eh_, original_.data(), sizeof eh_);
        for (unsigned i = 0; i < eh_.e_shnum; ++i) {
            Elf64_Shdr sh = shdr(original_, i);
            if (section_name(sh.sh_name) == ".bf_rsrc") rsrc_index_ = i;
        }
        ASSERT_GT(rsrc_index_, 0u);
    }
    void TearDown() override { std::remove(path_.c_str()); }

    Elf64_Shdr shdr(const std::string& image, unsigned i) const {
        Elf64_Shdr sh;
        std::memcpy(&sh, image.data() + eh_.e_shoff + i * eh_.e_shentsize, sizeof sh);
        return sh;
    }
    std::size_t shdr_offset(unsigned i) const { return eh_.e_shoff + i * eh_.e_shentsize; }
    std::string section_name(unsigned name) const {
        Elf64_Shdr strs = shdr(original_, eh_.e_shstrndx);
        return std::string(original_.c_str() + strs.sh_offset + name);
    }
    Elf64_Shdr rsrc() const { return shdr(original_, rsrc_index_); }

    template <class T>
    static void poke(std::string& image, std::size_t offset, T value) {
        std::memcpy(image.data() + offset, &value, sizeof value);
    }

    void write(const std::string& bytes) const {
        int fd = open(path_.c_str(), O_WRONLY);
        ASSERT_GE(fd, 0);
        ASSERT_EQ(pwrite(fd, bytes.data(), bytes.size(), 0), static_cast<ssize_t>(bytes.size()));
        ASSERT_EQ(ftruncate(fd, static_cast<off_t>(bytes.size())), 0);
        close(fd);
    }

    // Loads the current file as data; on success reads every resource byte and frees the module.
    DWORD load(const std::string& bytes) const {
        write(bytes);
        SetLastError(0);
        HMODULE m = LoadLibraryExW(wpath_.c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE);
        if (!m) return GetLastError();
        touch_all(m);
        FreeLibrary(m);
        return ERROR_SUCCESS;
    }

    static void touch_all(HMODULE m) {
        for (LPCWSTR type : {u"TYPELIB", u"PNG"}) {
            for (WORD id : {1, 201, 202}) {
                HRSRC r = FindResourceW(m, MAKEINTRESOURCEW(id), type);
                if (!r) continue;
                auto* p = static_cast<const volatile BYTE*>(LockResource(LoadResource(m, r)));
                unsigned sum = 0;
                for (DWORD i = 0, n = SizeofResource(m, r); i < n; ++i) sum += p[i];
                (void)sum;
            }
        }
    }

    std::string original_;
    std::string path_;
    std::u16string wpath_;
    Elf64_Ehdr eh_{};
    unsigned rsrc_index_ = 0;
};

TEST_F(HostileFile, IntactCopyLoads) {  // the control for everything below
    write(original_);
    HMODULE m = LoadLibraryExW(wpath_.c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE);
    ASSERT_TRUE(m);
    EXPECT_TRUE(FindResourceW(m, MAKEINTRESOURCEW(1), u"TYPELIB"));
    FreeLibrary(m);
}

TEST_F(HostileFile, EveryTruncationIsRefused) {
    // The section headers sit at the end of the file, so every cut damages them or what they describe.
    int fd = open(path_.c_str(), O_RDWR | O_TRUNC);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(::write(fd, original_.data(), original_.size()), static_cast<ssize_t>(original_.size()));
    for (std::size_t len = original_.size(); len-- > 0;) {
        ASSERT_EQ(ftruncate(fd, static_cast<off_t>(len)), 0);
        SetLastError(0);
        HMODULE m = LoadLibraryExW(wpath_.c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE);
        if (m) {
            ADD_FAILURE() << "loaded at length " << len;
            FreeLibrary(m);
            break;
        }
        if (GetLastError() != ERROR_BAD_FORMAT) {
            ADD_FAILURE() << "length " << len << ": error " << GetLastError();
            break;
        }
    }
    close(fd);
}

TEST_F(HostileFile, DamagedHeadersAreRefused) {
    struct Case {
        const char* what;
        std::function<void(std::string&)> damage;
    };
    const std::size_t rs = shdr_offset(rsrc_index_);
    const std::size_t strs = shdr_offset(eh_.e_shstrndx);
    const Case cases[] = {
        {"not ELF", [](std::string& f) { f[1] = 'X'; }},
        {"unknown class", [](std::string& f) { f[EI_CLASS] = 3; }},
        {"big-endian", [](std::string& f) { f[EI_DATA] = ELFDATA2MSB; }},
        {"object file", [](std::string& f) { poke<Elf64_Half>(f, offsetof(Elf64_Ehdr, e_type), ET_REL); }},
        {"section table past the end", [](std::string& f) { poke<Elf64_Off>(f, offsetof(Elf64_Ehdr, e_shoff), f.size()); }},
        {"section table offset wraps", [](std::string& f) { poke<Elf64_Off>(f, offsetof(Elf64_Ehdr, e_shoff), ~Elf64_Off(15)); }},
        {"too many sections", [](std::string& f) { poke<Elf64_Half>(f, offsetof(Elf64_Ehdr, e_shnum), 0xFF00); }},
        {"short section headers", [](std::string& f) { poke<Elf64_Half>(f, offsetof(Elf64_Ehdr, e_shentsize), 16); }},
        {"name table index out of range",
         [this](std::string& f) { poke<Elf64_Half>(f, offsetof(Elf64_Ehdr, e_shstrndx), eh_.e_shnum); }},
        {"huge extended section count",
         [this](std::string& f) {
             poke<Elf64_Half>(f, offsetof(Elf64_Ehdr, e_shnum), 0);
             poke<Elf64_Xword>(f, eh_.e_shoff + offsetof(Elf64_Shdr, sh_size), Elf64_Xword(1) << 40);
         }},
        {"name table past the end",
         [strs](std::string& f) { poke<Elf64_Off>(f, strs + offsetof(Elf64_Shdr, sh_offset), f.size() - 2); }},
        {"name table size wraps",
         [strs](std::string& f) { poke<Elf64_Xword>(f, strs + offsetof(Elf64_Shdr, sh_size), ~Elf64_Xword(0)); }},
        {"resources past the end",
         [rs](std::string& f) { poke<Elf64_Xword>(f, rs + offsetof(Elf64_Shdr, sh_size), f.size()); }},
        {"resource offset wraps",
         [rs](std::string& f) { poke<Elf64_Off>(f, rs + offsetof(Elf64_Shdr, sh_offset), ~Elf64_Off(7)); }},
        {"resources without bytes", [rs](std::string& f) { poke<Elf64_Word>(f, rs + offsetof(Elf64_Shdr, sh_type), SHT_NOBITS); }},
    };
    for (const Case& c : cases) {
        std::string f = original_;
        c.damage(f);
        EXPECT_EQ(load(f), DWORD(ERROR_BAD_FORMAT)) << c.what;
    }
}

TEST_F(HostileFile, DamagedResourceTablesAreRefused) {
    const std::size_t table = rsrc().sh_offset;
    const std::size_t entry0 = table + 16;
    const std::uint32_t total = [&] {
        std::uint32_t t;
        std::memcpy(&t, original_.data() + table + 12, 4);
        return t;
    }();
    struct Case {
        const char* what;
        std::function<void(std::string&)> damage;
    };
    const Case cases[] = {
        {"bad magic", [&](std::string& f) { f[table + 7] = '2'; }},
        {"count beyond the table", [&](std::string& f) { poke<std::uint32_t>(f, table + 8, 0x0FFFFFFF); }},
        {"total beyond the section", [&](std::string& f) { poke<std::uint32_t>(f, table + 12, total + 16); }},
        {"total smaller than the header", [&](std::string& f) { poke<std::uint32_t>(f, table + 12, 8); }},
        {"type name offset outside", [&](std::string& f) { poke<std::uint32_t>(f, entry0 + 4, total); }},
        {"type id too large", [&](std::string& f) { poke<std::uint32_t>(f, entry0, 0x10000); }},
        {"name id zero with no name", [&](std::string& f) { poke<std::uint32_t>(f, entry0 + 8, 0); poke<std::uint32_t>(f, entry0 + 12, total); }},
        {"data offset outside", [&](std::string& f) { poke<std::uint32_t>(f, entry0 + 16, total + 1); }},
        {"data runs past the table", [&](std::string& f) { poke<std::uint32_t>(f, entry0 + 20, total); }},
        {"data size wraps", [&](std::string& f) { poke<std::uint32_t>(f, entry0 + 20, 0xFFFFFFF0u); }},
        {"garbage after the table",
         [&](std::string& f) {
             // Shrink the table's own size so that its tail reads as a second, broken table.
             poke<std::uint32_t>(f, table + 12, total - 16);
             std::memset(f.data() + table + total - 16, 0x5A, 16);
         }},
    };
    for (const Case& c : cases) {
        std::string f = original_;
        c.damage(f);
        EXPECT_EQ(load(f), DWORD(ERROR_BAD_FORMAT)) << c.what;
    }
}

TEST_F(HostileFile, RenamedResourceSectionMeansNoResources) {
    std::string f = original_;
    const std::size_t name = shdr(f, eh_.e_shstrndx).sh_offset + rsrc().sh_name;
    f[name + 1] = 'x';  // ".xf_rsrc"
    write(f);
    HMODULE m = LoadLibraryExW(wpath_.c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE);
    ASSERT_TRUE(m);
    SetLastError(0);
    EXPECT_EQ(FindResourceW(m, MAKEINTRESOURCEW(1), u"TYPELIB"), nullptr);
    EXPECT_EQ(GetLastError(), DWORD(ERROR_RESOURCE_DATA_NOT_FOUND));
    FreeLibrary(m);

    // A section name offset outside the name table is skipped, not followed.
    f = original_;
    poke<Elf64_Word>(f, shdr_offset(rsrc_index_) + offsetof(Elf64_Shdr, sh_name), 0xFFFFFFF0u);
    EXPECT_EQ(load(f), DWORD(ERROR_SUCCESS));
}

TEST_F(HostileFile, RandomDamageNeverEscapesItsBounds) {
    std::mt19937 rng(20240611);
    const std::size_t headers_at = eh_.e_shoff;
    const Elf64_Shdr r = rsrc();
    int loaded = 0, refused = 0;
    for (int round = 0; round < 3000; ++round) {
        std::string f = original_;
        // Aim most of the damage at what the loader reads: the headers and the resource table.
        for (int k = 0; k < 1 + int(rng() % 4); ++k) {
            std::size_t at;
            switch (rng() % 3) {
                case 0: at = headers_at + rng() % (f.size() - headers_at); break;
                case 1: at = r.sh_offset + rng() % r.sh_size; break;
                default: at = rng() % f.size(); break;
            }
            f[at] = static_cast<char>(rng());
        }
        DWORD rc = load(f);
        if (rc == ERROR_SUCCESS) ++loaded;
        else if (rc == ERROR_BAD_FORMAT) ++refused;
        else ADD_FAILURE() << "round " << round << ": error " << rc;
    }
    EXPECT_GT(loaded, 0);
    EXPECT_GT(refused, 0);
}

// ---------------------------------------------------------------------------------------------
// Tables built by hand.

struct TableBuilder {
    std::string bytes;
    void u32(std::uint32_t v) { bytes.append(reinterpret_cast<const char*>(&v), 4); }
    void header(std::uint32_t count, std::uint32_t total) {
        bytes += "BFRSRC01";
        u32(count);
        u32(total);
    }
    void entry(std::uint32_t type_id, std::uint32_t type_off, std::uint32_t name_id, std::uint32_t name_off,
               std::uint32_t data_off, std::uint32_t size) {
        for (auto v : {type_id, type_off, name_id, name_off, data_off, size}) u32(v);
    }
    void pad16() { bytes.resize((bytes.size() + 15) & ~std::size_t(15), '\0'); }
};

// header 16 + one entry 24 = 40; "Png\0" at 40; "Logo\0" at 44; data "abc" at 49; total 64.
TableBuilder one_table() {
    TableBuilder t;
    t.header(1, 64);
    t.entry(0, 40, 0, 44, 49, 3);
    t.bytes += std::string("Png\0Logo\0abc", 12);
    t.pad16();
    return t;
}

TEST(ResourceTables, ConcatenatedTablesStringNamesAndPadding) {
    TableBuilder t = one_table();
    TableBuilder second;
    second.header(2, 16 + 48 + 16);
    second.entry(10, 0, 7, 0, 64, 0);
    second.entry(10, 0, 8, 0, 64, 16);
    second.bytes.append(16, 'z');
    t.bytes += second.bytes;
    t.bytes.append(32, '\0');  // a linker's alignment padding
    std::vector<bf::ResourceEntry> out;
    ASSERT_TRUE(bf::parse_resource_tables(t.bytes.data(), t.bytes.size(), out));
    ASSERT_EQ(out.size(), 3u);
    EXPECT_EQ(out[0].type_id, 0);
    EXPECT_EQ(out[0].type_name, u"PNG");  // names are looked up case-insensitively
    EXPECT_EQ(out[0].name, u"LOGO");
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(out[0].data), out[0].size), "abc");
    EXPECT_EQ(out[0].key, t.bytes.data() + 16);
    EXPECT_EQ(out[1].type_id, 10);
    EXPECT_EQ(out[1].name_id, 7);
    EXPECT_EQ(out[1].size, 0u);
    EXPECT_EQ(out[2].size, 16u);
    EXPECT_EQ(out[2].data, reinterpret_cast<const BYTE*>(t.bytes.data()) + 64 + 64);
}

TEST(ResourceTables, BoundsAreExact) {
    std::vector<bf::ResourceEntry> out;
    EXPECT_TRUE(bf::parse_resource_tables(nullptr, 0, out));
    EXPECT_TRUE(out.empty());

    TableBuilder edge;  // data ending exactly at the table's end is fine, one byte more is not
    edge.header(1, 48);
    edge.entry(1, 0, 1, 0, 40, 8);
    edge.bytes.append(8, 'd');
    ASSERT_EQ(edge.bytes.size(), 48u);
    EXPECT_TRUE(bf::parse_resource_tables(edge.bytes.data(), edge.bytes.size(), out));
    std::memcpy(edge.bytes.data() + 16 + 20, "\x09\0\0\0", 4);
    EXPECT_FALSE(bf::parse_resource_tables(edge.bytes.data(), edge.bytes.size(), out));

    TableBuilder unterminated;  // a type name running into the end of the table
    unterminated.header(1, 48);
    unterminated.entry(0, 40, 1, 0, 40, 0);
    unterminated.bytes.append(8, 'T');
    EXPECT_FALSE(bf::parse_resource_tables(unterminated.bytes.data(), unterminated.bytes.size(), out));

    TableBuilder empty_name;
    empty_name.header(1, 48);
    empty_name.entry(0, 40, 1, 0, 40, 0);
    empty_name.bytes.append(8, '\0');
    EXPECT_FALSE(bf::parse_resource_tables(empty_name.bytes.data(), empty_name.bytes.size(), out));

    TableBuilder t = one_table();
    for (std::size_t cut = 1; cut < t.bytes.size(); ++cut)
        EXPECT_FALSE(bf::parse_resource_tables(t.bytes.data(), cut, out)) << cut;
}

TEST(ElfSection, ReadsOnlyWithinTheFile) {
    // A reader that fails any request beyond what the caller said the file holds.
    const std::string f = read_file(std::string(BF_LIB_DIR) + "/libbf_test_satellite.so");
    for (std::uint64_t claimed : {std::uint64_t(0), std::uint64_t(16), std::uint64_t(64), std::uint64_t(f.size())}) {
        bool out_of_range = false;
        bf::ReadAt reader = [&](std::uint64_t off, std::size_t n, void* dst) {
            if (off > claimed || n > claimed - off) {
                out_of_range = true;
                return false;
            }
            std::memcpy(dst, f.data() + off, n);
            return true;
        };
        bf::ElfResourceSection sec;
        DWORD rc = bf::locate_resource_section(claimed, reader, sec);
        EXPECT_FALSE(out_of_range) << claimed;
        if (claimed == f.size()) {
            EXPECT_EQ(rc, DWORD(ERROR_SUCCESS));
            EXPECT_TRUE(sec.present);
            EXPECT_TRUE(sec.allocated);
            EXPECT_LE(sec.offset + sec.size, f.size());
        } else {
            EXPECT_EQ(rc, DWORD(ERROR_BAD_FORMAT));
            EXPECT_FALSE(sec.present);
        }
    }
}

}  // namespace
