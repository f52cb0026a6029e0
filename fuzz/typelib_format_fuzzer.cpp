// The type library text format: the input is a description, parsed from bytes.
//
// Checks: a failure leaves nothing half-read and says which line; a success starts like the
// format (so LoadTypeLib would find it), keeps its own types before the imported ones, points
// every reference at a described non-coclass type, has no base cycle, and comes back the same
// when written out again and re-read. A success is then loaded through LoadTypeLib and every
// type walked through ITypeLib/ITypeInfo.
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>

#include <oleauto.h>
#include <stringapiset.h>
#include "platform/oleaut32/typelib_format.h"

namespace {

std::string g_file;

[[noreturn]] void Fail(const char* what) {
    std::fprintf(stderr, "%s\n", what);
    std::abort();
}

std::string Quote(const std::u16string& s) {
    std::string out = "\"";
    for (char c : bf::to_utf8(s)) {
        if (c == '"' || c == '\\') out.push_back('\\');
        out.push_back(c);
    }
    return out + "\"";
}

std::string Hex(unsigned long v) {
    char b[16];
    std::snprintf(b, sizeof b, "0x%lX", v);
    return b;
}

template <std::size_t N>
std::string Flags(WORD flags, const char* const (&names)[N], const int (&values)[N]) {
    std::string out;
    for (std::size_t i = 0; i < N; ++i)
        if (flags & values[i]) out += std::string(" ") + names[i];
    return out;
}

// Writes the data back in the text format.
std::string Write(const bf::TypeLibData& d) {
    static const char* const kLib[] = {"restricted", "control", "hidden", "hasdiskimage"};
    static const int kLibV[] = {LIBFLAG_FRESTRICTED, LIBFLAG_FCONTROL, LIBFLAG_FHIDDEN, LIBFLAG_FHASDISKIMAGE};
    static const char* const kType[] = {"appobject", "cancreate",  "licensed",      "predeclid", "hidden",
                                        "control",   "dual",       "nonextensible", "oleautomation",
                                        "restricted", "aggregatable", "replaceable", "dispatchable",
                                        "reversebind", "proxy"};
    static const int kTypeV[] = {TYPEFLAG_FAPPOBJECT, TYPEFLAG_FCANCREATE,     TYPEFLAG_FLICENSED,
                                 TYPEFLAG_FPREDECLID, TYPEFLAG_FHIDDEN,        TYPEFLAG_FCONTROL,
                                 TYPEFLAG_FDUAL,      TYPEFLAG_FNONEXTENSIBLE, TYPEFLAG_FOLEAUTOMATION,
                                 TYPEFLAG_FRESTRICTED, TYPEFLAG_FAGGREGATABLE, TYPEFLAG_FREPLACEABLE,
                                 TYPEFLAG_FDISPATCHABLE, TYPEFLAG_FREVERSEBIND, TYPEFLAG_FPROXY};
    static const char* const kFunc[] = {"restricted", "source", "bindable", "hidden"};
    static const int kFuncV[] = {FUNCFLAG_FRESTRICTED, FUNCFLAG_FSOURCE, FUNCFLAG_FBINDABLE, FUNCFLAG_FHIDDEN};
    static const char* const kImpl[] = {"default", "source", "restricted", "defaultvtable"};
    static const int kImplV[] = {IMPLTYPEFLAG_FDEFAULT, IMPLTYPEFLAG_FSOURCE, IMPLTYPEFLAG_FRESTRICTED,
                                 IMPLTYPEFLAG_FDEFAULTVTABLE};

    std::string t = "bftypelib 1\nlibrary " + bf::to_utf8(d.name) + " " + bf::guid_to_string(d.guid) + " " +
                    std::to_string(d.major) + "." + std::to_string(d.minor) + "\n";
    t += "lcid " + Hex(d.lcid) + "\nhelpcontext " + std::to_string(d.help_context) + "\n";
    t += "doc " + Quote(d.doc) + "\nhelpfile " + Quote(d.help_file) + "\nflags" + Flags(d.flags, kLib, kLibV) + "\n";
    for (const bf::TypeLibType& ty : d.types) {
        t += ty.imported ? "import " : "";
        t += ty.kind == TKIND_INTERFACE ? "interface " : ty.kind == TKIND_DISPATCH ? "dispinterface " : "coclass ";
        t += bf::to_utf8(ty.name) + " " + bf::guid_to_string(ty.guid);
        if (ty.kind != TKIND_COCLASS && !ty.impls.empty()) t += " : " + bf::to_utf8(ty.impls[0].name);
        t += "\ndoc " + Quote(ty.doc) + "\nhelpcontext " + std::to_string(ty.help_context) + "\nflags" +
             Flags(ty.flags, kType, kTypeV) + "\n";
        if (ty.kind == TKIND_COCLASS)
            for (const bf::TypeLibImpl& im : ty.impls)
                t += "implements " + bf::to_utf8(im.name) + Flags(static_cast<WORD>(im.flags), kImpl, kImplV) + "\n";
        for (const bf::TypeLibFunc& f : ty.funcs) {
            t += f.invkind == INVOKE_FUNC           ? "method "
                 : f.invkind == INVOKE_PROPERTYGET ? "propget "
                 : f.invkind == INVOKE_PROPERTYPUT ? "propput "
                                                    : "propputref ";
            t += std::to_string(f.memid) + " " + bf::to_utf8(f.name);
            for (const auto& p : f.params) t += " " + bf::to_utf8(p);
            t += "\ndoc " + Quote(f.doc) + "\nflags" + Flags(f.flags, kFunc, kFuncV) + "\n";
        }
    }
    return t;
}

bool SameFunc(const bf::TypeLibFunc& a, const bf::TypeLibFunc& b) {
    return a.memid == b.memid && a.invkind == b.invkind && a.flags == b.flags && a.name == b.name &&
           a.params == b.params && bf::to_utf8(a.doc) == bf::to_utf8(b.doc);
}

bool Same(const bf::TypeLibData& a, const bf::TypeLibData& b) {
    if (a.name != b.name || !(a.guid == b.guid) || a.lcid != b.lcid || a.major != b.major || a.minor != b.minor ||
        a.flags != b.flags || bf::to_utf8(a.doc) != bf::to_utf8(b.doc) ||
        bf::to_utf8(a.help_file) != bf::to_utf8(b.help_file) || a.help_context != b.help_context ||
        a.own_count != b.own_count || a.types.size() != b.types.size())
        return false;
    for (std::size_t i = 0; i < a.types.size(); ++i) {
        const bf::TypeLibType &x = a.types[i], &y = b.types[i];
        if (x.name != y.name || !(x.guid == y.guid) || x.kind != y.kind || x.flags != y.flags ||
            x.imported != y.imported || bf::to_utf8(x.doc) != bf::to_utf8(y.doc) ||
            x.help_context != y.help_context || x.funcs.size() != y.funcs.size() || x.impls.size() != y.impls.size())
            return false;
        for (std::size_t k = 0; k < x.funcs.size(); ++k)
            if (!SameFunc(x.funcs[k], y.funcs[k])) return false;
        for (std::size_t k = 0; k < x.impls.size(); ++k)
            if (x.impls[k].name != y.impls[k].name || x.impls[k].flags != y.impls[k].flags ||
                x.impls[k].ref != y.impls[k].ref)
                return false;
    }
    return true;
}

bool NamesEqual(const std::u16string& a, const std::u16string& b) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
        char16_t x = a[i] >= u'A' && a[i] <= u'Z' ? static_cast<char16_t>(a[i] + 32) : a[i];
        char16_t y = b[i] >= u'A' && b[i] <= u'Z' ? static_cast<char16_t>(b[i] + 32) : b[i];
        if (x != y) return false;
    }
    return true;
}

void CheckStructure(const bf::TypeLibData& d) {
    if (d.own_count > d.types.size()) Fail("own_count past the types");
    for (std::size_t i = 0; i < d.types.size(); ++i) {
        const bf::TypeLibType& t = d.types[i];
        if (t.imported != (i >= d.own_count)) Fail("imported types are not after the library's own");
        if (t.kind == TKIND_COCLASS && !t.funcs.empty()) Fail("a coclass with members");
        if (t.kind != TKIND_COCLASS && t.impls.size() > 1) Fail("an interface with two bases");
        for (const bf::TypeLibImpl& im : t.impls) {
            if (im.ref >= d.types.size()) Fail("a reference past the types");
            if (d.types[im.ref].kind == TKIND_COCLASS) Fail("a reference to a coclass");
            if (!NamesEqual(d.types[im.ref].name, im.name)) Fail("a reference to another name");
        }
        for (std::size_t k = 0; k < i; ++k)
            if (NamesEqual(d.types[k].name, t.name)) Fail("two types of one name");
        std::size_t cur = i, steps = 0;
        while (d.types[cur].kind != TKIND_COCLASS && !d.types[cur].impls.empty()) {
            cur = d.types[cur].impls[0].ref;
            if (++steps > d.types.size()) Fail("a base cycle was accepted");
        }
    }
}

// Vtable slots of a type: seven for a dispatch interface, its base's and its own members for
// a vtable interface, none for a coclass.
long Slots(const bf::TypeLibData& d, std::size_t i) {
    const bf::TypeLibType& t = d.types[i];
    if (t.kind == TKIND_DISPATCH) return 7;
    if (t.kind != TKIND_INTERFACE) return 0;
    return (t.impls.empty() ? 0 : Slots(d, t.impls[0].ref)) + static_cast<long>(t.funcs.size());
}

void Walk(ITypeLib* lib, const bf::TypeLibData& d) {
    if (lib->GetTypeInfoCount() != d.own_count) Fail("GetTypeInfoCount is not the own type count");
    TLIBATTR* la = nullptr;
    if (FAILED(lib->GetLibAttr(&la)) || !la) Fail("GetLibAttr failed");
    if (!(la->guid == d.guid) || la->wMajorVerNum != d.major || la->wMinorVerNum != d.minor) Fail("GetLibAttr lies");
    lib->ReleaseTLibAttr(la);
    BSTR name = nullptr, doc = nullptr, help = nullptr;
    DWORD ctx = 0;
    if (FAILED(lib->GetDocumentation(-1, &name, &doc, &ctx, &help))) Fail("library GetDocumentation failed");
    SysFreeString(name);
    SysFreeString(doc);
    SysFreeString(help);
    for (UINT i = 0; i < lib->GetTypeInfoCount(); ++i) {
        ITypeInfo* ti = nullptr;
        if (FAILED(lib->GetTypeInfo(i, &ti)) || !ti) Fail("GetTypeInfo failed");
        TYPEATTR* ta = nullptr;
        if (FAILED(ti->GetTypeAttr(&ta)) || !ta) Fail("GetTypeAttr failed");
        const bf::TypeLibType& t = d.types[i];
        const long slots = Slots(d, i);
        if (ta->cFuncs != t.funcs.size() || ta->cImplTypes != t.impls.size()) Fail("GetTypeAttr miscounts");
        if (static_cast<long>(ta->cbSizeVft) != slots * static_cast<long>(sizeof(void*)))
            Fail("cbSizeVft is not the vtable's size");
        for (UINT f = 0; f < ta->cFuncs; ++f) {
            FUNCDESC* fd = nullptr;
            if (FAILED(ti->GetFuncDesc(f, &fd)) || !fd) Fail("GetFuncDesc failed");
            if (t.kind == TKIND_INTERFACE &&
                static_cast<long>(fd->oVft) != (slots - static_cast<long>(t.funcs.size()) + f) * static_cast<long>(sizeof(void*)))
                Fail("oVft is not the member's vtable offset");
            BSTR names[4] = {};
            UINT got = 0;
            if (SUCCEEDED(ti->GetNames(fd->memid, names, 4, &got)))
                for (UINT k = 0; k < got; ++k) SysFreeString(names[k]);
            BSTR n = nullptr;
            if (SUCCEEDED(ti->GetDocumentation(fd->memid, &n, nullptr, nullptr, nullptr))) {
                MEMBERID id = 0;
                LPOLESTR ask[1] = {n};
                (void)ti->GetIDsOfNames(ask, 1, &id);
                SysFreeString(n);
            }
            ti->ReleaseFuncDesc(fd);
        }
        for (UINT k = 0; k < ta->cImplTypes; ++k) {
            HREFTYPE ref = 0;
            INT flags = 0;
            if (FAILED(ti->GetRefTypeOfImplType(k, &ref))) Fail("GetRefTypeOfImplType failed");
            (void)ti->GetImplTypeFlags(k, &flags);
            ITypeInfo* base = nullptr;
            if (FAILED(ti->GetRefTypeInfo(ref, &base)) || !base) Fail("GetRefTypeInfo failed");
            TYPEATTR* ba = nullptr;
            if (SUCCEEDED(base->GetTypeAttr(&ba))) base->ReleaseTypeAttr(ba);
            base->Release();
        }
        ti->ReleaseTypeAttr(ta);
        ti->Release();
    }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    char path[] = "/tmp/bf-fuzz-typelib-XXXXXX";
    int fd = mkstemp(path);
    if (fd < 0) std::abort();
    close(fd);
    g_file = path;
    std::atexit([] { unlink(g_file.c_str()); });
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    bf::TypeLibData d;
    d.name = u"left over";
    std::string error;
    const HRESULT hr = bf::parse_type_library(text, d, &error);
    if (FAILED(hr)) {
        if (hr != TYPE_E_INVDATAREAD && hr != E_OUTOFMEMORY) Fail("unexpected failure code");
        if (!d.name.empty() || !d.types.empty() || d.own_count != 0) Fail("a failed parse left data behind");
        if (hr == TYPE_E_INVDATAREAD && error.compare(0, 5, "line ") != 0) Fail("no line in the error");
        return 0;
    }
    if (hr != S_OK) Fail("unexpected success code");
    if (!bf::looks_like_type_library(text)) Fail("parsed, yet does not look like a type library");
    CheckStructure(d);

    const std::string written = Write(d);
    bf::TypeLibData again;
    std::string error2;
    if (bf::parse_type_library(written, again, &error2) != S_OK) {
        std::fprintf(stderr, "%s\n---\n%s", error2.c_str(), written.c_str());
        Fail("the written form does not parse");
    }
    if (!Same(d, again)) {
        std::fprintf(stderr, "%s", written.c_str());
        Fail("the written form reads back differently");
    }

    {
        std::ofstream out(g_file, std::ios::binary | std::ios::trunc);
        out.write(text.data(), static_cast<std::streamsize>(text.size()));
    }
    const std::u16string wide = bf::to_utf16(g_file);
    ITypeLib* lib = nullptr;
    const HRESULT load = LoadTypeLib(wide.c_str(), &lib);
    if (load != S_OK || !lib) Fail("LoadTypeLib refused a description that parses");
    Walk(lib, d);
    lib->Release();
    return 0;
}
