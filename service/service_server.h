// ServiceServer: the HTTP side of the reference service on libmicrohttpd: a fixed number of threads,
// each with a listening socket of its own on the one port (SO_REUSEPORT) and polling its share of
// the connections with epoll, so that thousands of idle kept-alive connections cost memory but no
// threads, and a new connection wakes one thread. It routes POST /brackenfoldws/brackenfold.asmx to the SOAP endpoint, the host
// "www." + domain to the web site and every other host to the static demo sites, and on stop
// finishes the requests under way before it closes.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "service/service_config.h"
#include "service/service_store.h"
#include "service/web_site.h"

struct MHD_Daemon;
struct MHD_Connection;

namespace bf::service {

class ServiceServer {
public:
    // Binds and starts serving. Null with `error` set when the address cannot be used. The web
    // site's confirmation mails go to `outbox` (null: none are sent).
    static std::unique_ptr<ServiceServer> start(ServiceStore& store, const ServiceConfig& config, std::string* error,
                                                Outbox* outbox = nullptr);
    ~ServiceServer();
    ServiceServer(const ServiceServer&) = delete;
    ServiceServer& operator=(const ServiceServer&) = delete;

    std::uint16_t port() const { return port_; }
    unsigned threads() const { return threads_; }
    // "127.0.0.1:8731", "[::1]:8731".
    std::string address() const;
    // Stops accepting, waits (at most `graceSeconds`) for the requests under way, then closes.
    void stop(int graceSeconds = 30);

    // For the libmicrohttpd callbacks.
    struct Request;
    int handle(MHD_Connection* connection, const char* url, const char* method, const char* uploadData,
               std::size_t* uploadSize, void** state);
    void completed(void** state);

private:
    ServiceServer(ServiceStore& store, const ServiceConfig& config, Outbox* outbox);
    int respond(MHD_Connection* connection, const char* url, const char* method, Request& request);

    ServiceStore& store_;
    ServiceConfig config_;
    WebSite site_;
    std::string siteHost_;  // "www." + domain without its port, lower case
    std::vector<MHD_Daemon*> daemons_;  // one per thread, each with its own listening socket
    std::uint16_t port_ = 0;
    bool ipv6_ = false;
    unsigned threads_ = 0;
    std::mutex mutex_;
    std::condition_variable idle_;
    int inFlight_ = 0;
};

}  // namespace bf::service
