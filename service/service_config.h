// What one running service is told: where it listens, which names it answers for, where its
// store and demo sites live.
#pragma once

#include <cstddef>
#include <cstdint>
#include <algorithm>
#include <string>
#include <thread>
#include <vector>

namespace bf::service {

inline constexpr const char* kEndpointPath = "/brackenfoldws/brackenfold.asmx";
inline constexpr std::size_t kMaxRequestBody = 1024 * 1024;

// Two threads per core: while one waits on the store (a round trip to PostgreSQL) the other works.
inline unsigned default_threads() { return std::max(4u, 2 * std::max(1u, std::thread::hardware_concurrency())); }

struct ServiceConfig {
    std::string listenAddress = "127.0.0.1";  // IPv4 or IPv6 literal
    std::uint16_t port = 8731;                // 0 picks a free port
    std::string domain;                       // the web site answers for "www." + domain
    std::string aliasDomain;                  // domain of new alias addresses
    std::string sitesDir;                     // static demo sites; empty: none
    std::size_t maxRequestBody = kMaxRequestBody;
    // Threads that poll the connections and answer the requests (0: two per core, at least 4).
    unsigned threads = 0;
    // Connections held open at most (idle ones cost no thread); more wait in the listen queue.
    unsigned maxConnections = 10000;
    // Lets several processes listen on one port, the kernel sharing the connections out.
    bool reusePort = false;
    // Proxies (IP addresses) whose X-Forwarded-For names the client; anyone else's is ignored.
    std::vector<std::string> trustedProxies;
};

}  // namespace bf::service
