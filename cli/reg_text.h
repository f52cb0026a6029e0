// Text forms of `brackenfold reg`: key names, value types, the data of `reg add`, the lines of
// `reg query` and the registration-file text of `reg export`.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <winreg.h>

namespace bf::cli::reg {

struct KeyName {
    HKEY root = nullptr;
    std::u16string sub;  // below the root, without leading or trailing separators
};

// "HKCU\Software\X" or "HKEY_CURRENT_USER\Software\X", root case-insensitive; nullopt for an
// unknown root.
std::optional<KeyName> parse_key_name(std::string_view text);

// Full name of a root key ("HKEY_CURRENT_USER").
std::u16string root_name(HKEY root);

std::string type_name(DWORD type);
std::optional<DWORD> parse_type_name(std::string_view text);

// The bytes `reg add` stores for DATA of a type, or nullopt with a message in `error`.
// has_data: whether --data was given at all (no data means zero for the number types).
std::optional<std::vector<BYTE>> encode_data(DWORD type, std::string_view text, bool has_data, std::string& error);

// "    name    REG_TYPE    data" as `reg query` prints it, with its line end.
std::string query_line(std::u16string_view name, DWORD type, const std::vector<BYTE>& data);

// `"name"=data` (or `@=data`) as `reg export` writes it, wrapped to 80 columns, with its line end.
std::string export_line(std::u16string_view name, DWORD type, const std::vector<BYTE>& data);

}  // namespace bf::cli::reg
