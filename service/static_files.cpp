#include "service/static_files.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <climits>
#include <cstdlib>
#include <memory>

#include "service/site_key.h"

namespace bf::service {
namespace {

struct Ext {
    const char* ext;
    const char* type;
};
constexpr Ext kTypes[] = {
    {".html", "text/html; charset=utf-8"}, {".htm", "text/html; charset=utf-8"},
    {".css", "text/css; charset=utf-8"},   {".js", "text/javascript; charset=utf-8"},
    {".json", "application/json"},         {".txt", "text/plain; charset=utf-8"},
    {".xml", "text/xml; charset=utf-8"},   {".png", "image/png"},
    {".gif", "image/gif"},                 {".jpg", "image/jpeg"},
    {".jpeg", "image/jpeg"},               {".svg", "image/svg+xml"},
    {".ico", "image/x-icon"},              {".webp", "image/webp"},
};

std::string real(const std::string& path) {
    std::unique_ptr<char, decltype(&std::free)> r(realpath(path.c_str(), nullptr), &std::free);
    return r ? std::string(r.get()) : std::string();
}

bool safeHost(const std::string& host) {
    if (host.empty() || host.front() == '.' || host.find("..") != std::string::npos) return false;
    for (char c : host)
        if (!((c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '.' || c == '-' || c == '_')) return false;
    return true;
}

// The path's segments joined by "/", or nothing when a segment could leave the tree.
bool relativePath(const std::string& path, std::string* out) {
    if (path.empty() || path.front() != '/') return false;
    out->clear();
    std::size_t i = 1;
    while (i <= path.size()) {
        std::size_t j = path.find('/', i);
        if (j == std::string::npos) j = path.size();
        std::string seg = path.substr(i, j - i);
        if (seg == "." || seg == ".." || seg.find('\\') != std::string::npos || seg.find('\0') != std::string::npos)
            return false;
        if (!seg.empty()) {
            if (!out->empty()) out->push_back('/');
            out->append(seg);
        }
        i = j + 1;
    }
    return true;
}

}  // namespace

const char* content_type_for(const std::string& path) {
    std::size_t slash = path.rfind('/');
    std::size_t dot = path.rfind('.');
    if (dot == std::string::npos || (slash != std::string::npos && dot < slash)) return "application/octet-stream";
    std::string ext = path.substr(dot);
    for (char& c : ext)
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    for (const Ext& e : kTypes)
        if (ext == e.ext) return e.type;
    return "application/octet-stream";
}

HttpResponse serve_static(const std::string& sitesDir, const HttpRequest& request) {
    if (sitesDir.empty()) return plain_error(404);
    if (request.method != "GET" && request.method != "HEAD") {
        HttpResponse r = plain_error(405);
        r.headers.emplace_back("Allow", "GET, HEAD");
        return r;
    }
    std::string host = host_without_port(request.host);
    std::string rel;
    if (!safeHost(host) || !relativePath(request.path, &rel)) return plain_error(403);
    std::string root = real(sitesDir + "/" + host);
    if (root.empty()) return plain_error(404);
    std::string target = rel.empty() ? root : root + "/" + rel;
    struct stat st {};
    if (stat(target.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) target += "/index.html";
    std::string resolved = real(target);
    if (resolved.empty()) return plain_error(404);
    // A symbolic link may point anywhere; what it resolves to must still lie inside the site.
    if (resolved.compare(0, root.size() + 1, root + "/") != 0) return plain_error(403);
    int fd = open(resolved.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return plain_error(404);
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        close(fd);
        return plain_error(404);
    }
    HttpResponse r;
    r.contentType = content_type_for(resolved);
    r.fd = fd;
    r.fdSize = static_cast<std::uint64_t>(st.st_size);
    return r;
}

}  // namespace bf::service
