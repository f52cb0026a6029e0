// Whose request it is, for sign-in throttling: the peer's address, unless the peer is a proxy the
// service was told to trust, whose X-Forwarded-For then names the client. Only the last hop is
// taken: the one that proxy appended itself; every hop before it is what the client sent.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

struct sockaddr;

namespace bf::service {

// An IPv4 or IPv6 literal (an IPv6 one may be bracketed) in its canonical text; IPv4-mapped IPv6
// addresses become IPv4. Nothing for anything else (names, ports, zones, spaces inside).
std::optional<std::string> canonical_ip(std::string_view text);

// The text of a socket's address, canonical as above; empty for other families.
std::string peer_address(const sockaddr* address);

// `peer` and `trusted` canonical; `forwardedFor` the last X-Forwarded-For header's value (empty:
// none). The peer's address unless it is trusted and the last hop is an address.
std::string client_address(const std::string& peer, std::string_view forwardedFor,
                           const std::vector<std::string>& trusted);

}  // namespace bf::service
