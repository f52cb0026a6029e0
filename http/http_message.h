// The request head of an exchange, composed from its NavigateData and target, and the checks
// that keep CR, LF and NUL out of everything sent. Socket-free.
#pragma once

#include <string>
#include <string_view>

#include "http/navigate_data.h"
#include "http/url.h"

namespace bf::http {

inline constexpr char kUserAgentLine[] = "User-Agent: Brackenfold-Native/1.00\r\n";

// True when `value` holds no CR, LF or NUL: safe inside one header line.
bool IsSafeHeaderValue(std::u16string_view value);
// True when `lines` is a run of complete header lines, each "name:value" ending in CR LF, with
// no other CR, LF or NUL and no empty or continued line: nothing in it can end the head early
// or smuggle a line in.
bool AreSafeHeaderLines(std::u16string_view lines);

// Composes the head: request line, Content-Length (when bodyLength > 0), Content-Type (when
// given), the extra lines, Host (with ":port" unless the port is 80), User-Agent, blank line.
// False, with `head` empty, when any part would break the head's framing: a method that is not
// a token, a target or host with blanks or control characters, unsafe extra lines or content
// type. The request target leaves out any fragment. Throws std::bad_alloc.
bool ComposeRequestHead(std::u16string_view method, const Url& url, const NavigateData& data, std::string& head);

}  // namespace bf::http
