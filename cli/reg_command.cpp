// `brackenfold reg`: query, add, delete and export keys of the platform registry (the hive), in
// the manner of the original platform's registry console tool.
#include <cstdio>
#include <iostream>
#include <memory>
#include <string>
#include <vector>

#include "cli/commands.h"
#include "cli/reg_text.h"
#include <stringapiset.h>

namespace bf::cli {
namespace {

using namespace bf::cli::reg;

constexpr const char* kNotFound = "ERROR: The system was unable to find the specified registry key or value.";
constexpr const char* kSuccess = "The operation completed successfully.";

struct Options {
    std::string key;
    std::string value;
    std::string type = "REG_SZ";
    std::string data;
    bool force = false;
};

class Key {
public:
    Key() = default;
    Key(const Key&) = delete;
    Key& operator=(const Key&) = delete;
    ~Key() {
        if (h_) RegCloseKey(h_);
    }
    HKEY get() const { return h_; }
    PHKEY put() { return &h_; }

private:
    HKEY h_ = nullptr;
};

int fail(const std::string& message) {
    std::fflush(stdout);
    std::fprintf(stderr, "ERROR: %s\n", message.c_str());
    return 1;
}

int fail(LSTATUS st) {
    if (st == ERROR_FILE_NOT_FOUND) {
        std::fflush(stdout);
        std::fprintf(stderr, "%s\n", kNotFound);
        return 1;
    }
    std::string hive = bf::registry_hive_path();
    switch (st) {
    case ERROR_ACCESS_DENIED:
        return fail("Access is denied.");
    case ERROR_CANTOPEN:
        return fail("The registry hive '" + hive + "' cannot be opened.");
    case ERROR_BADDB:
    case ERROR_REGISTRY_CORRUPT:
        return fail("The registry hive '" + hive + "' is not a valid registry database.");
    case ERROR_REGISTRY_IO_FAILED:
        return fail("Reading or writing the registry hive '" + hive + "' failed.");
    case ERROR_KEY_DELETED:
        return fail("The key was deleted meanwhile.");
    case ERROR_BAD_PATHNAME:
    case ERROR_INVALID_PARAMETER:
        return fail("Invalid key or value name.");
    case ERROR_OUTOFMEMORY:
        return fail("Not enough memory.");
    default:
        return fail("The registry call failed (error " + std::to_string(st) + ").");
    }
}

void out(const std::string& s) { std::fwrite(s.data(), 1, s.size(), stdout); }

struct Value {
    std::u16string name;
    DWORD type = 0;
    std::vector<BYTE> data;
};

LSTATUS read_values(HKEY h, std::vector<Value>& values) {
    std::vector<WCHAR> name(bf::kMaxValueNameChars + 1);
    for (DWORD i = 0;; ++i) {
        Value v;
        for (;;) {
            DWORD cch = static_cast<DWORD>(name.size());
            DWORD cb = static_cast<DWORD>(v.data.size());
            LSTATUS st = RegEnumValueW(h, i, name.data(), &cch, nullptr, &v.type, v.data.empty() ? nullptr : v.data.data(),
                                       &cb);
            if (st == ERROR_NO_MORE_ITEMS) return ERROR_SUCCESS;
            if (st == ERROR_MORE_DATA || (st == ERROR_SUCCESS && cb > v.data.size())) {
                v.data.resize(cb);  // sized first, or grown meanwhile: read again
                continue;
            }
            if (st != ERROR_SUCCESS) return st;
            v.data.resize(cb);
            v.name.assign(name.data(), cch);
            break;
        }
        values.push_back(std::move(v));
    }
}

LSTATUS read_subkeys(HKEY h, std::vector<std::u16string>& names) {
    WCHAR name[bf::kMaxKeyNameChars + 1];
    for (DWORD i = 0;; ++i) {
        DWORD cch = static_cast<DWORD>(std::size(name));
        LSTATUS st = RegEnumKeyExW(h, i, name, &cch, nullptr, nullptr, nullptr, nullptr);
        if (st == ERROR_NO_MORE_ITEMS) return ERROR_SUCCESS;
        if (st != ERROR_SUCCESS) return st;
        names.emplace_back(name, cch);
    }
}

// Opens the key named on the command line; 0 on success, else the exit status after the message.
int open_named(const std::string& text, REGSAM sam, Key& key, KeyName& name) {
    auto parsed = parse_key_name(text);
    if (!parsed) return fail("Invalid key name '" + text + "'. It must start with HKCR, HKCU, HKLM or HKU.");
    name = *parsed;
    if (LSTATUS st = RegOpenKeyExW(name.root, name.sub.c_str(), 0, sam, key.put())) return fail(st);
    return 0;
}

int run_query(const Options& o, bool has_value) {
    Key key;
    KeyName name;
    if (int rc = open_named(o.key, KEY_READ, key, name)) return rc;
    std::u16string full;
    if (LSTATUS st = bf::registry_key_name(key.get(), full)) return fail(st);
    std::vector<Value> values;
    if (LSTATUS st = read_values(key.get(), values)) return fail(st);
    std::string text = bf::to_utf8(full) + "\n";
    if (has_value) {
        std::u16string wanted = bf::to_utf16(o.value);
        const Value* found = nullptr;
        for (const Value& v : values)
            if (bf::registry_names_equal(v.name, wanted)) found = &v;
        if (!found) return fail(ERROR_FILE_NOT_FOUND);
        out(text + query_line(found->name, found->type, found->data));
        return 0;
    }
    std::vector<std::u16string> subkeys;
    if (LSTATUS st = read_subkeys(key.get(), subkeys)) return fail(st);
    for (const Value& v : values) text += query_line(v.name, v.type, v.data);
    text += "\n";
    for (const auto& s : subkeys) text += bf::to_utf8(full + u"\\" + s) + "\n";
    out(text);
    return 0;
}

bool confirm(const std::string& question) {
    out(question);
    std::fflush(stdout);
    std::string answer;
    if (!std::getline(std::cin, answer)) return false;
    while (!answer.empty() && (answer.back() == '\r' || answer.back() == ' ')) answer.pop_back();
    for (char& c : answer) c = (c >= 'A' && c <= 'Z') ? char(c + 32) : c;
    return answer == "yes" || answer == "y";
}

int run_add(const Options& o, bool has_value, bool has_data) {
    auto name = parse_key_name(o.key);
    if (!name) return fail("Invalid key name '" + o.key + "'. It must start with HKCR, HKCU, HKLM or HKU.");
    auto type = parse_type_name(o.type);
    if (!type)
        return fail("Invalid type '" + o.type +
                    "'. Valid types: REG_SZ, REG_EXPAND_SZ, REG_MULTI_SZ, REG_BINARY, REG_DWORD, REG_QWORD, REG_NONE.");
    std::string error;
    auto data = encode_data(*type, o.data, has_data, error);
    if (!data) return fail(error);
    std::u16string value = has_value ? bf::to_utf16(o.value) : std::u16string();
    if (value.size() > bf::kMaxValueNameChars) return fail("Invalid value name: longer than 16383 characters.");

    Key key;
    LSTATUS st = RegCreateKeyExW(name->root, name->sub.c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE,
                                 KEY_QUERY_VALUE | KEY_SET_VALUE, nullptr, key.put(), nullptr);
    if (st) return fail(st);
    st = RegQueryValueExW(key.get(), value.c_str(), nullptr, nullptr, nullptr, nullptr);
    if (st == ERROR_SUCCESS && !o.force) {
        std::string shown = value.empty() ? std::string("(Default)") : bf::to_utf8(value);
        if (!confirm("Value " + shown + " exists, overwrite(Yes/No)? ")) {
            out("The operation was canceled by the user.\n");
            return 1;
        }
    } else if (st != ERROR_SUCCESS && st != ERROR_FILE_NOT_FOUND) {
        return fail(st);
    }
    st = RegSetValueExW(key.get(), value.c_str(), 0, *type, data->data(), static_cast<DWORD>(data->size()));
    if (st) return fail(st);
    out(std::string(kSuccess) + "\n");
    return 0;
}

int run_delete(const Options& o, bool has_value) {
    auto name = parse_key_name(o.key);
    if (!name) return fail("Invalid key name '" + o.key + "'. It must start with HKCR, HKCU, HKLM or HKU.");
    LSTATUS st;
    if (has_value) {
        Key key;
        st = RegOpenKeyExW(name->root, name->sub.c_str(), 0, KEY_SET_VALUE, key.put());
        if (!st) st = RegDeleteValueW(key.get(), bf::to_utf16(o.value).c_str());
    } else {
        if (name->sub.empty()) return fail("A root key cannot be deleted.");
        st = RegDeleteTreeW(name->root, name->sub.c_str());
    }
    if (st) return fail(st);
    out(std::string(kSuccess) + "\n");
    return 0;
}

LSTATUS export_tree(HKEY key, const std::u16string& full, std::string& text) {
    std::vector<Value> values;
    std::vector<std::u16string> subkeys;
    if (LSTATUS st = read_values(key, values)) return st;
    if (LSTATUS st = read_subkeys(key, subkeys)) return st;
    text += "[" + bf::to_utf8(full) + "]\n";
    for (const Value& v : values) text += export_line(v.name, v.type, v.data);
    text += "\n";
    for (const auto& s : subkeys) {
        Key sub;
        LSTATUS st = RegOpenKeyExW(key, s.c_str(), 0, KEY_READ, sub.put());
        if (st == ERROR_FILE_NOT_FOUND || st == ERROR_KEY_DELETED) continue;  // gone meanwhile
        if (st) return st;
        if ((st = export_tree(sub.get(), full + u"\\" + s, text))) return st;
    }
    return ERROR_SUCCESS;
}

int run_export(const Options& o, bool has_key) {
    std::string text = "Windows Registry Editor Version 5.00\n\n";
    if (has_key) {
        Key key;
        KeyName name;
        if (int rc = open_named(o.key, KEY_READ, key, name)) return rc;
        std::u16string full;
        if (LSTATUS st = bf::registry_key_name(key.get(), full)) return fail(st);
        if (LSTATUS st = export_tree(key.get(), full, text)) return fail(st);
    } else {
        for (HKEY root : {HKEY_CLASSES_ROOT, HKEY_CURRENT_USER, HKEY_LOCAL_MACHINE, HKEY_USERS}) {
            DWORD subkeys = 0, values = 0;
            LSTATUS st = RegQueryInfoKeyW(root, nullptr, nullptr, nullptr, &subkeys, nullptr, nullptr, &values, nullptr,
                                          nullptr, nullptr, nullptr);
            if (st) return fail(st);
            if (!subkeys && !values) continue;
            if ((st = export_tree(root, root_name(root), text))) return fail(st);
        }
    }
    out(text);
    return 0;
}

}  // namespace

namespace {
void add_reg_command(CLI::App& app) {
    auto* reg = app.add_subcommand("reg", "Read and write the platform registry (the hive)");
    reg->require_subcommand(1);
    auto o = std::make_shared<Options>();
    const std::string key_help = "Key: HKCR, HKCU, HKLM or HKU (or the full root name), then \\-separated names";

    auto* query = reg->add_subcommand("query", "Print a key's values and subkeys");
    query->add_option("KEY", o->key, key_help)->required();
    auto* query_value = query->add_option("--value", o->value, "Print only this value (\"\" for the unnamed one)");
    query->callback([o, query_value] { exit_status() = run_query(*o, query_value->count() > 0); });

    auto* add = reg->add_subcommand("add", "Create a key and set a value");
    add->add_option("KEY", o->key, key_help)->required();
    auto* add_value = add->add_option("--value", o->value, "Value name (default: the unnamed value)");
    add->add_option("--type", o->type,
                    "REG_SZ (default), REG_EXPAND_SZ, REG_MULTI_SZ, REG_BINARY, REG_DWORD, REG_QWORD or REG_NONE");
    auto* add_data = add->add_option("--data", o->data,
                                     "Data: text; a decimal or 0x-hexadecimal number for REG_DWORD and REG_QWORD; "
                                     "hexadecimal digits for REG_BINARY; strings separated by \\0 for REG_MULTI_SZ");
    add->add_flag("--force", o->force, "Overwrite an existing value without asking");
    add->callback([o, add_value, add_data] {
        exit_status() = run_add(*o, add_value->count() > 0, add_data->count() > 0);
    });

    auto* del = reg->add_subcommand("delete", "Delete a value, or a key with all its subkeys");
    del->add_option("KEY", o->key, key_help)->required();
    auto* del_value = del->add_option("--value", o->value, "Delete only this value (\"\" for the unnamed one)");
    del->add_flag("--force", o->force, "Accepted for scripts; nothing is asked");
    del->callback([o, del_value] { exit_status() = run_delete(*o, del_value->count() > 0); });

    auto* exp = reg->add_subcommand("export", "Print a key tree (default: every root) as registration-file text");
    auto* exp_key = exp->add_option("KEY", o->key, key_help);
    exp->callback([o, exp_key] { exit_status() = run_export(*o, exp_key->count() > 0); });
}


const CommandRegistration kRegistration{80, add_reg_command};
}  // namespace

}  // namespace bf::cli
