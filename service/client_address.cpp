#include "service/client_address.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <algorithm>
#include <cstring>

namespace bf::service {
namespace {

std::string v4Text(const in_addr& a) {
    char text[INET_ADDRSTRLEN] = {};
    inet_ntop(AF_INET, &a, text, sizeof text);
    return text;
}

std::string v6Text(const in6_addr& a) {
    if (IN6_IS_ADDR_V4MAPPED(&a)) {
        in_addr v4{};
        std::memcpy(&v4, a.s6_addr + 12, sizeof v4);
        return v4Text(v4);
    }
    char text[INET6_ADDRSTRLEN] = {};
    inet_ntop(AF_INET6, &a, text, sizeof text);
    return text;
}

std::string_view trim(std::string_view s) {
    while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
    while (!s.empty() && (s.back() == ' ' || s.back() == '\t')) s.remove_suffix(1);
    return s;
}

}  // namespace

std::optional<std::string> canonical_ip(std::string_view text) {
    if (text.size() >= 2 && text.front() == '[' && text.back() == ']') text = text.substr(1, text.size() - 2);
    if (text.empty() || text.size() >= INET6_ADDRSTRLEN) return std::nullopt;
    const std::string s(text);
    in_addr v4{};
    if (inet_pton(AF_INET, s.c_str(), &v4) == 1) return v4Text(v4);
    in6_addr v6{};
    if (inet_pton(AF_INET6, s.c_str(), &v6) == 1) return v6Text(v6);
    return std::nullopt;
}

std::string peer_address(const sockaddr* address) {
    if (!address) return {};
    if (address->sa_family == AF_INET) return v4Text(reinterpret_cast<const sockaddr_in*>(address)->sin_addr);
    if (address->sa_family == AF_INET6) return v6Text(reinterpret_cast<const sockaddr_in6*>(address)->sin6_addr);
    return {};
}

std::string client_address(const std::string& peer, std::string_view forwardedFor,
                           const std::vector<std::string>& trusted) {
    if (forwardedFor.empty() || std::find(trusted.begin(), trusted.end(), peer) == trusted.end()) return peer;
    std::size_t comma = forwardedFor.rfind(',');
    std::string_view last = trim(comma == std::string_view::npos ? forwardedFor : forwardedFor.substr(comma + 1));
    std::optional<std::string> hop = canonical_ip(last);
    return hop ? *hop : peer;
}

}  // namespace bf::service
