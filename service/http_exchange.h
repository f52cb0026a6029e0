// One HTTP request as the service's handlers see it, and their answer: plain values, so that
// the web site and the static files are independent of the HTTP server library.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <utility>
#include <vector>

namespace bf::service {

struct HttpRequest {
    std::string method;
    std::string path;  // percent-decoded, without the query
    std::string host;  // the Host header as sent
    std::string contentType;
    std::string origin;  // the Origin header, if any
    // The client's address: the peer's, or the last hop of X-Forwarded-For when the peer is a
    // trusted proxy (ServiceConfig::trustedProxies); empty when unknown.
    std::string client;
    std::map<std::string, std::string> query;
    std::map<std::string, std::string> cookies;
    std::string body;
};

struct HttpResponse {
    int status = 200;
    std::string contentType = "text/plain; charset=utf-8";
    std::string body;
    std::vector<std::pair<std::string, std::string>> headers;
    int fd = -1;  // a file to send instead of body (the server closes it)
    std::uint64_t fdSize = 0;
};

// A plain-text error answer ("404 Not Found\n").
HttpResponse plain_error(int status);
const char* status_text(int status);

}  // namespace bf::service
