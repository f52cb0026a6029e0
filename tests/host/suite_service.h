// The reference service for one test suite, in the test's own process, on a free loopback port,
// with the deployment variables set so that the component here and the programs the test starts
// reach it. The deployment constants are read once per process, so the port stays for the suite.
#pragma once

#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdlib>
#include <string>

#include "service/service_server.h"
#include "service/service_store.h"

namespace bf::host::test {

// A port nobody listens on now (bound and given back at once).
inline int free_port() {
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    int port = 0;
    if (fd >= 0 && bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0 &&
        getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len) == 0)
        port = ntohs(a.sin_port);
    if (fd >= 0) close(fd);
    return port;
}

// Serves `store` as brackenfold.localhost:PORT (static sites from `sitesDir` when given); a few
// ports are tried, since another program may take one between the look and the bind. Null with
// `error` set when none would do.
inline service::ServiceServer* start_suite_service(service::ServiceStore& store, const std::string& sitesDir,
                                                   std::string* port, std::string* error) {
    for (int attempt = 0; attempt < 5; ++attempt) {
        *port = std::to_string(free_port());
        service::ServiceConfig config;
        config.port = static_cast<std::uint16_t>(std::stoi(*port));
        config.domain = "brackenfold.localhost:" + *port;
        config.aliasDomain = "alias.test";
        config.sitesDir = sitesDir;
        setenv("BRACKENFOLD_SERVICE_HOST", ("127.0.0.1:" + *port).c_str(), 1);
        setenv("BRACKENFOLD_SERVICE_DOMAIN", config.domain.c_str(), 1);
        if (auto server = service::ServiceServer::start(store, config, error)) return server.release();
    }
    return nullptr;
}

}  // namespace bf::host::test
