#include "service/service_server.h"

#include <arpa/inet.h>
#include <microhttpd.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <strings.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>

#include "service/client_address.h"
#include "service/site_key.h"
#include "service/soap_endpoint.h"
#include "service/static_files.h"
#include "service/wsdl.h"

namespace bf::service {

struct ServiceServer::Request {
    std::string body;
    bool tooLarge = false;
    bool responded = false;
};

namespace {

MHD_Result onRequest(void* cls, MHD_Connection* connection, const char* url, const char* method, const char*,
                     const char* uploadData, size_t* uploadSize, void** state) {
    return static_cast<ServiceServer*>(cls)->handle(connection, url, method, uploadData, uploadSize, state) ? MHD_YES
                                                                                                         : MHD_NO;
}

void onCompleted(void* cls, MHD_Connection*, void** state, MHD_RequestTerminationCode) {
    static_cast<ServiceServer*>(cls)->completed(state);
}

MHD_Result collect(void* cls, MHD_ValueKind, const char* key, const char* value) {
    if (key) static_cast<std::map<std::string, std::string>*>(cls)->emplace(key, value ? value : "");
    return MHD_YES;
}

// The value of the last X-Forwarded-For header: a proxy appends its hop to the last one.
MHD_Result lastForwardedFor(void* cls, MHD_ValueKind, const char* key, const char* value) {
    if (key && strcasecmp(key, "X-Forwarded-For") == 0) *static_cast<std::string*>(cls) = value ? value : "";
    return MHD_YES;
}

std::string header(MHD_Connection* c, const char* name) {
    const char* v = MHD_lookup_connection_value(c, MHD_HEADER_KIND, name);
    return v ? std::string(v) : std::string();
}

bool queue(MHD_Connection* connection, HttpResponse&& r) {
    MHD_Response* response =
        r.fd >= 0 ? MHD_create_response_from_fd(r.fdSize, r.fd)
                  : MHD_create_response_from_buffer(r.body.size(), r.body.data(), MHD_RESPMEM_MUST_COPY);
    if (!response) {
        if (r.fd >= 0) close(r.fd);
        return false;
    }
    MHD_add_response_header(response, MHD_HTTP_HEADER_CONTENT_TYPE, r.contentType.c_str());
    for (const auto& [name, value] : r.headers) MHD_add_response_header(response, name.c_str(), value.c_str());
    MHD_Result ok = MHD_queue_response(connection, static_cast<unsigned>(r.status), response);
    MHD_destroy_response(response);
    return ok == MHD_YES;
}

}  // namespace

HttpResponse plain_error(int status) {
    HttpResponse r;
    r.status = status;
    r.body = std::to_string(status) + " " + status_text(status) + "\n";
    return r;
}

const char* status_text(int status) {
    switch (status) {
        case 200: return "OK";
        case 303: return "See Other";
        case 400: return "Bad Request";
        case 401: return "Unauthorized";
        case 403: return "Forbidden";
        case 404: return "Not Found";
        case 405: return "Method Not Allowed";
        case 409: return "Conflict";
        case 413: return "Payload Too Large";
        case 429: return "Too Many Requests";
        case 500: return "Internal Server Error";
        default: return "Error";
    }
}

ServiceServer::ServiceServer(ServiceStore& store, const ServiceConfig& config, Outbox* outbox)
    : store_(store),
      config_(config),
      site_(store, AccountMailSettings{outbox, "www." + config.domain, config.aliasDomain,
                                       "noreply@" + host_without_port(config.domain)}),
      siteHost_(host_without_port("www." + config.domain)) {}

ServiceServer::~ServiceServer() { stop(0); }

std::unique_ptr<ServiceServer> ServiceServer::start(ServiceStore& store, const ServiceConfig& config,
                                                    std::string* error, Outbox* outbox) {
    std::unique_ptr<ServiceServer> server(new ServiceServer(store, config, outbox));
    for (std::string& proxy : server->config_.trustedProxies) {
        std::optional<std::string> ip = canonical_ip(proxy);
        if (!ip) {
            if (error) *error = "not an IP address: " + proxy;
            return nullptr;
        }
        proxy = *ip;
    }
    std::string address = config.listenAddress;
    if (address.size() >= 2 && address.front() == '[' && address.back() == ']')
        address = address.substr(1, address.size() - 2);
    sockaddr_storage ss{};
    socklen_t len = 0;
    auto* v4 = reinterpret_cast<sockaddr_in*>(&ss);
    auto* v6 = reinterpret_cast<sockaddr_in6*>(&ss);
    if (inet_pton(AF_INET, address.c_str(), &v4->sin_addr) == 1) {
        v4->sin_family = AF_INET;
        v4->sin_port = htons(config.port);
        len = sizeof *v4;
    } else if (inet_pton(AF_INET6, address.c_str(), &v6->sin6_addr) == 1) {
        v6->sin6_family = AF_INET6;
        v6->sin6_port = htons(config.port);
        len = sizeof *v6;
        server->ipv6_ = true;
    } else {
        if (error) *error = "not an IP address: " + config.listenAddress;
        return nullptr;
    }
    // Without --reuse-port the port must be free: a plain socket binds only then. (The service's
    // own sockets below share their port, which a plain socket cannot join.)
    if (!config.reusePort && config.port != 0) {
        int probe = socket(ss.ss_family, SOCK_STREAM | SOCK_CLOEXEC, 0);
        int one = 1;
        setsockopt(probe, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
        if (server->ipv6_) setsockopt(probe, IPPROTO_IPV6, IPV6_V6ONLY, &one, sizeof one);
        bool taken = probe < 0 || bind(probe, reinterpret_cast<sockaddr*>(&ss), len) != 0;
        int saved = errno;
        if (probe >= 0) close(probe);
        if (taken) {
            if (error) *error = std::strerror(saved);
            return nullptr;
        }
    }
    unsigned threads = config.threads;
    if (threads == 0) threads = default_threads();
    server->threads_ = threads;
    // One listening socket and one polling thread per thread, all on one port: the kernel hands
    // each new connection to one of them, so a connection wakes one thread, not all of them.
    for (unsigned i = 0; i < threads; ++i) {
        int fd = socket(ss.ss_family, SOCK_STREAM | SOCK_CLOEXEC, 0);
        int one = 1;
        if (fd >= 0) {
            setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
            if (server->ipv6_) setsockopt(fd, IPPROTO_IPV6, IPV6_V6ONLY, &one, sizeof one);
        }
        // A deep queue: a burst of new connections waits there instead of being refused.
        if (fd < 0 || setsockopt(fd, SOL_SOCKET, SO_REUSEPORT, &one, sizeof one) != 0 ||
            bind(fd, reinterpret_cast<sockaddr*>(&ss), len) != 0 || listen(fd, 4096) != 0) {
            if (error) *error = std::strerror(errno);
            if (fd >= 0) close(fd);
            return nullptr;  // the destructor stops the daemons started so far
        }
        if (i == 0) {
            sockaddr_storage bound{};
            socklen_t boundLen = sizeof bound;
            getsockname(fd, reinterpret_cast<sockaddr*>(&bound), &boundLen);
            server->port_ = ntohs(server->ipv6_ ? reinterpret_cast<sockaddr_in6*>(&bound)->sin6_port
                                                : reinterpret_cast<sockaddr_in*>(&bound)->sin_port);
            // The others join the port the first one got.
            if (server->ipv6_)
                v6->sin6_port = htons(server->port_);
            else
                v4->sin_port = htons(server->port_);
        }
        // A new connection wakes its thread only once its request has arrived.
        int deferSeconds = 5;
        setsockopt(fd, IPPROTO_TCP, TCP_DEFER_ACCEPT, &deferSeconds, sizeof deferSeconds);
        unsigned flags = MHD_USE_INTERNAL_POLLING_THREAD | MHD_USE_EPOLL | MHD_USE_ITC | MHD_USE_TURBO;
        if (server->ipv6_) flags |= MHD_USE_IPv6;
        MHD_Daemon* d = MHD_start_daemon(
            flags, 0, nullptr, nullptr, &onRequest, server.get(), MHD_OPTION_LISTEN_SOCKET, fd,
            MHD_OPTION_NOTIFY_COMPLETED, &onCompleted, server.get(), MHD_OPTION_CONNECTION_TIMEOUT, 60u,
            MHD_OPTION_CONNECTION_LIMIT, std::max(1u, config.maxConnections / threads), MHD_OPTION_END);
        if (!d) {
            if (error) *error = "the HTTP server cannot start";
            close(fd);
            return nullptr;
        }
        server->daemons_.push_back(d);
    }
    char text[INET6_ADDRSTRLEN] = {};
    inet_ntop(ss.ss_family, server->ipv6_ ? static_cast<void*>(&v6->sin6_addr) : static_cast<void*>(&v4->sin_addr),
              text, sizeof text);
    server->config_.listenAddress = text;
    return server;
}

std::string ServiceServer::address() const {
    std::string port = std::to_string(port_);
    return ipv6_ ? "[" + config_.listenAddress + "]:" + port : config_.listenAddress + ":" + port;
}

void ServiceServer::stop(int graceSeconds) {
    if (daemons_.empty()) return;
    for (MHD_Daemon* d : daemons_) {
        MHD_socket s = MHD_quiesce_daemon(d);
        if (s != MHD_INVALID_SOCKET) close(s);
    }
    {
        std::unique_lock lock(mutex_);
        idle_.wait_for(lock, std::chrono::seconds(graceSeconds), [this] { return inFlight_ == 0; });
    }
    for (MHD_Daemon* d : daemons_) MHD_stop_daemon(d);
    daemons_.clear();
}

int ServiceServer::handle(MHD_Connection* connection, const char* url, const char* method, const char* uploadData,
                          std::size_t* uploadSize, void** state) {
    auto* request = static_cast<Request*>(*state);
    if (!request) {
        request = new (std::nothrow) Request;
        if (!request) return 0;
        *state = request;
        {
            std::lock_guard lock(mutex_);
            ++inFlight_;
        }
        // A declared length over the limit is refused before any of the body is read.
        std::string length = header(connection, MHD_HTTP_HEADER_CONTENT_LENGTH);
        if (!length.empty()) {
            errno = 0;
            char* end = nullptr;
            unsigned long long n = std::strtoull(length.c_str(), &end, 10);
            if (errno == ERANGE || n > config_.maxRequestBody) {
                request->responded = true;
                HttpResponse r = plain_error(413);
                r.headers.emplace_back("Connection", "close");
                return queue(connection, std::move(r));
            }
        }
        return 1;
    }
    if (*uploadSize) {
        // Past the limit the rest of a body of unknown length is read and dropped.
        if (!request->tooLarge && !request->responded) {
            if (request->body.size() + *uploadSize > config_.maxRequestBody) {
                request->tooLarge = true;
                std::string().swap(request->body);
            } else {
                request->body.append(uploadData, *uploadSize);
            }
        }
        *uploadSize = 0;
        return 1;
    }
    if (request->responded) return 1;
    request->responded = true;
    if (request->tooLarge) return queue(connection, plain_error(413));
    return respond(connection, url, method, *request);
}

int ServiceServer::respond(MHD_Connection* connection, const char* url, const char* method, Request& request) {
    HttpResponse out;
    try {
        HttpRequest req;
        req.method = method ? method : "";
        req.path = url ? url : "";
        req.host = header(connection, MHD_HTTP_HEADER_HOST);
        req.contentType = header(connection, MHD_HTTP_HEADER_CONTENT_TYPE);
        req.origin = header(connection, "Origin");
        const MHD_ConnectionInfo* info = MHD_get_connection_info(connection, MHD_CONNECTION_INFO_CLIENT_ADDRESS);
        std::string forwardedFor;
        if (!config_.trustedProxies.empty())
            MHD_get_connection_values(connection, MHD_HEADER_KIND, &lastForwardedFor, &forwardedFor);
        req.client = client_address(peer_address(info ? info->client_addr : nullptr), forwardedFor,
                                    config_.trustedProxies);
        req.body = std::move(request.body);
        MHD_get_connection_values(connection, MHD_GET_ARGUMENT_KIND, &collect, &req.query);
        MHD_get_connection_values(connection, MHD_COOKIE_KIND, &collect, &req.cookies);
        if (is_wsdl_request(req)) {
            out = wsdl_response(req);
        } else if (req.path == kEndpointPath) {
            if (req.method != "POST") {
                out = plain_error(405);
                out.headers.emplace_back("Allow", "POST");
            } else {
                SoapReply reply = handle_soap_request(store_, config_.aliasDomain, req.body);
                out.status = reply.status;
                out.contentType = "text/xml; charset=utf-8";
                out.body = std::move(reply.body);
            }
        } else if (host_without_port(req.host) == siteHost_) {
            out = site_.handle(req);
        } else {
            out = serve_static(config_.sitesDir, req);
        }
    } catch (const std::bad_alloc&) {
        if (out.fd >= 0) close(out.fd);
        out = HttpResponse{};
        out.status = 500;
    }
    return queue(connection, std::move(out));
}

void ServiceServer::completed(void** state) {
    auto* request = static_cast<Request*>(*state);
    if (!request) return;
    delete request;
    *state = nullptr;
    std::lock_guard lock(mutex_);
    --inFlight_;
    idle_.notify_all();
}

}  // namespace bf::service
