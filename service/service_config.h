// What one running service is told: where it listens, which names it answers for, where its
// store and demo sites live.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace bf::service {

inline constexpr const char* kEndpointPath = "/brackenfoldws/brackenfold.asmx";
inline constexpr std::size_t kMaxRequestBody = 1024 * 1024;

struct ServiceConfig {
    std::string listenAddress = "127.0.0.1";  // IPv4 or IPv6 literal
    std::uint16_t port = 8731;                // 0 picks a free port
    std::string domain;                       // the web site answers for "www." + domain
    std::string aliasDomain;                  // domain of new alias addresses
    std::string sitesDir;                     // static demo sites; empty: none
    std::size_t maxRequestBody = kMaxRequestBody;
};

}  // namespace bf::service
