// The JSON form of call results and fault records: one object on one line, members in the
// structure's order, null strings as null, bytes as base64 without line breaks, text as UTF-8
// with a lone surrogate written as a \uXXXX escape. `brackenfold soap` and `brackenfold call`
// print exactly this.
#pragma once

#include <string>

#include "soap/service_schema.h"
#include "soap/soap_fault.h"

namespace bf::soap {

// Appends a JSON string literal (with quotes) for UTF-16 text; null text gives null.
void appendJsonString(std::string& out, const WCHAR* text, std::size_t length, bool isNull = false);
// {"hresult":"0x80004005"}
std::string hresultJson(HRESULT hr);
// {"hresult":"0x...","code":400,"faultCode":"...","faultString":"...","faultActor":"","detail":""}
std::string faultJson(HRESULT hr, const FaultRecord& fault);

}  // namespace bf::soap

namespace Brackenfold {
std::string toJson(const Combo& value);
std::string toJson(const Ret& value);
}  // namespace Brackenfold
