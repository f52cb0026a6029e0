// The reference service's handling of request text: form and query decoding, HTML escaping,
// site keys from what a request names, host names, static file paths, and whole requests to
// the web site over a throw-away store.
//
// Input: byte 0 picks the method and the session (signed out, signed in, none, or the raw
// cookie text), byte 1 whether the session's form token is put in the body and whether the
// cookie text, taken as X-Forwarded-For, comes from a trusted proxy; the rest is split
// at NULs into path, Host, query string, content type, cookie text and body.
//
// Checks: decoding undoes encoding; escaped text has no markup and unescapes to itself; a site
// key is well formed and names the same site when handed back; only a trusted proxy's last
// X-Forwarded-For hop names the client, canonical; static files never come from outside the
// host's tree; web pages carry only their own markup, the security headers (a throttled sign-in
// its Retry-After too) and headers without line breaks; the service description (Host and query from the input) is
// well-formed XML whose address is exactly the Host's, or a 400; the SOAP endpoint (the body as
// the request) answers 200 or a fault of the four codes, well-formed either way.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <climits>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include <expat.h>

#include "service/client_address.h"
#include "service/service_config.h"
#include "service/site_key.h"
#include "service/soap_endpoint.h"
#include "service/static_files.h"
#include "service/web_site.h"
#include "service/wsdl.h"

namespace {

using namespace bf::service;

std::unique_ptr<ServiceStore> g_store;
std::string g_dir, g_sites;
struct Known {
    std::string accountId;
    std::string token;
    std::string csrf;
} g_out, g_in;

[[noreturn]] void Fail(const char* what, std::string_view detail = {}) {
    std::fprintf(stderr, "%s: [%.*s]\n", what, static_cast<int>(detail.size()), detail.data());
    std::abort();
}

std::string Encode(const std::string& s) {
    static const char* hex = "0123456789ABCDEF";
    std::string out;
    for (unsigned char c : s) {
        if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' || c == '.') {
            out.push_back(static_cast<char>(c));
        } else if (c == ' ') {
            out.push_back('+');
        } else {
            out.push_back('%');
            out.push_back(hex[c >> 4]);
            out.push_back(hex[c & 15]);
        }
    }
    return out;
}

std::string Unescape(const std::string& s) {
    static const std::pair<const char*, char> kEntities[] = {
        {"&amp;", '&'}, {"&lt;", '<'}, {"&gt;", '>'}, {"&quot;", '"'}, {"&#39;", '\''}};
    std::string out;
    for (std::size_t i = 0; i < s.size();) {
        bool done = false;
        for (const auto& [e, c] : kEntities) {
            std::string_view ev(e);
            if (s.compare(i, ev.size(), ev) == 0) {
                out.push_back(c);
                i += ev.size();
                done = true;
                break;
            }
        }
        if (!done) {
            if (s[i] == '&') Fail("a bare & in escaped text", s);
            out.push_back(s[i++]);
        }
    }
    return out;
}

void CheckForm(std::string_view body) {
    const auto form = parse_form(body);
    std::string encoded;
    for (const auto& [k, v] : form) {
        if (!encoded.empty()) encoded.push_back('&');
        encoded += Encode(k) + "=" + Encode(v);
    }
    if (parse_form(encoded) != form) Fail("an encoded form reads back differently", encoded);
}

void CheckEscape(std::string_view text) {
    const std::string e = html_escape(text);
    if (e.find_first_of("<>\"'") != std::string::npos) Fail("markup left in escaped text", e);
    if (Unescape(e) != text) Fail("escaped text does not unescape to itself", e);
}

bool KeyChars(std::string_view body) {
    for (unsigned char c : body)
        if (!((c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' || c == '.' || c == ':' || c >= 0x80))
            return false;
    return true;
}

// The service hands keys back to the toolbar and to its own pages (the rating form, its
// redirect), which name the site by that key again: it must come back the same.
bool g_checkStableKeys = true;

void CheckSiteKey(std::string_view url) {
    (void)site_key_rule(url);
    const auto key = site_key_of(url);
    (void)site_key_named(url);
    if (!key) return;
    if (key->compare(0, 7, "http://") != 0) Fail("a site key without http://", *key);
    std::string_view body = std::string_view(*key).substr(7);
    if (body.empty() || body.size() > 253 || !KeyChars(body)) Fail("a malformed site key", *key);
    if (g_checkStableKeys) {
        const auto again = site_key_named(*key);
        if (!again || *again != *key) Fail("a site key names another site when handed back", *key + " -> " + again.value_or("(none)"));
    }
}

void CheckHost(std::string_view host) {
    const std::string h = host_without_port(host);
    if (h.size() > host.size()) Fail("host_without_port grew", h);
    for (char c : h)
        if (c >= 'A' && c <= 'Z') Fail("host_without_port kept upper case", h);
}

// The cookie text doubles as an X-Forwarded-For value. From an untrusted peer it is ignored; from
// a trusted one the client is the last hop when that is an address, canonical (it reads back as
// itself), and the peer otherwise.
std::string CheckClient(const std::string& forwardedFor, bool trustedPeer) {
    const std::string peer = "127.0.0.1";
    const std::vector<std::string> trusted = {trustedPeer ? peer : std::string("::1")};
    const std::string client = client_address(peer, forwardedFor, trusted);
    if (!trustedPeer && client != peer) Fail("an untrusted peer's X-Forwarded-For was believed", forwardedFor);
    if (client != peer) {
        std::optional<std::string> again = canonical_ip(client);
        if (!again || *again != client) Fail("the client address is not canonical", client);
        // Nothing before the last comma counts: those hops are the client's own words.
        std::string last = forwardedFor.substr(forwardedFor.rfind(',') + 1);  // npos + 1 is 0
        const std::size_t from = last.find_first_not_of(" \t");
        last = from == std::string::npos ? std::string() : last.substr(from, last.find_last_not_of(" \t") + 1 - from);
        if (canonical_ip(last) != client) Fail("the client is not the last hop", forwardedFor);
    }
    return client;
}

std::string FdPath(int fd) {
    char link[64], target[PATH_MAX + 1];
    std::snprintf(link, sizeof link, "/proc/self/fd/%d", fd);
    ssize_t n = readlink(link, target, PATH_MAX);
    return n < 0 ? std::string() : std::string(target, static_cast<std::size_t>(n));
}

void CheckStatic(const HttpRequest& req) {
    HttpResponse r = serve_static(g_sites, req);
    if (r.status != 200 && r.status != 403 && r.status != 404 && r.status != 405) Fail("unexpected static status");
    if (r.fd < 0) {
        if (r.status == 200) Fail("200 without a file");
        return;
    }
    const std::string path = FdPath(r.fd);
    close(r.fd);
    if (r.status != 200) Fail("a file with an error status");
    const std::string host = host_without_port(req.host);
    const std::string root = g_sites + "/" + host + "/";
    if (path.compare(0, root.size(), root) != 0) Fail("a static file from outside the host's tree", path);
}

bool KnownTag(std::string_view body, std::size_t lt) {
    static const char* const kTags[] = {"!DOCTYPE", "html", "head", "meta", "title", "body", "h1", "h2", "p", "a",
                                        "input", "form", "label", "table", "tr", "th", "td", "span", "select",
                                        "option"};
    std::size_t i = lt + 1;
    if (i < body.size() && body[i] == '/') ++i;
    std::size_t j = i;
    while (j < body.size() && body[j] != ' ' && body[j] != '>') ++j;
    std::string_view name = body.substr(i, j - i);
    for (const char* t : kTags)
        if (name == t) return true;
    return false;
}

void CheckPage(const HttpResponse& r) {
    if (r.fd >= 0) Fail("the web site answered with a file");
    static const int kStatus[] = {200, 303, 400, 401, 403, 404, 405, 409, 429, 500};
    bool known = false;
    for (int s : kStatus) known = known || r.status == s;
    if (!known) Fail("unexpected web site status", std::to_string(r.status));
    // A throttled sign-in says when to come back: 1 to 900 seconds.
    if (r.status == 429) {
        long long retry = 0;
        for (const auto& [n, v] : r.headers)
            if (n == "Retry-After") retry = std::atoll(v.c_str());
        if (retry < 1 || retry > 900) Fail("a throttled sign-in without its Retry-After");
    }
    for (const auto& [name, value] : r.headers)
        if (name.find_first_of("\r\n\0", 0, 3) != std::string::npos ||
            value.find_first_of("\r\n\0", 0, 3) != std::string::npos)
            Fail("a line break in a header", name + ": " + value);
    static const std::pair<const char*, const char*> kSecurity[] = {
        {"Content-Security-Policy", nullptr}, {"X-Frame-Options", "DENY"}, {"Referrer-Policy", "same-origin"},
        {"X-Content-Type-Options", "nosniff"}};
    for (const auto& [name, value] : kSecurity) {
        bool found = false;
        for (const auto& [n, v] : r.headers) found = found || (n == name && (!value || v == value));
        if (!found) Fail("a web site answer without its security header", name);
    }
    if (r.contentType.rfind("text/html", 0) == 0)
        for (std::size_t lt = r.body.find('<'); lt != std::string::npos; lt = r.body.find('<', lt + 1))
            if (!KnownTag(r.body, lt)) Fail("markup that is not the page's own", r.body.substr(lt, 40));
}

bool WellFormed(const std::string& xml) {
    XML_Parser p = XML_ParserCreateNS("UTF-8", ' ');
    bool ok = XML_Parse(p, xml.data(), static_cast<int>(xml.size()), 1) == XML_STATUS_OK;
    XML_ParserFree(p);
    return ok;
}

void CheckDescription(const HttpRequest& req) {
    (void)is_wsdl_request(req);
    HttpResponse r = wsdl_response(req);
    std::optional<std::string> location = endpoint_location(req.host);
    if (r.status == 400) {
        if (location) Fail("a usable Host refused", req.host);
        return;
    }
    if (r.status != 200 || !location) Fail("a description for a Host that is no address", req.host);
    if (!WellFormed(r.body)) Fail("a description that is not well-formed", req.host);
    const std::string address = "<soap:address location=\"" + *location + "\"/>";
    if (r.body.find(address) == std::string::npos) Fail("the address is not the Host's", req.host);
    if (!req.host.empty() && *location != "http://" + req.host + kEndpointPath) Fail("the Host was changed", req.host);
}

void CheckSoap(const std::string& body) {
    SoapReply r = handle_soap_request(*g_store, "alias.fuzz.example", body);
    if (r.status != 200 && r.status != 500) Fail("a SOAP answer of another status");
    if (!WellFormed(r.body)) Fail("a SOAP answer that is not well-formed", r.body);
    if (r.status == 500) {
        static const char* const kCodes[] = {"soap:VersionMismatch<", "soap:MustUnderstand<", "soap:Client<",
                                             "soap:Server<"};
        bool known = false;
        for (const char* c : kCodes) known = known || r.body.find(std::string("<faultcode>") + c) != std::string::npos;
        if (!known) Fail("a fault of another code", r.body);
    }
}

// Keeps a signed-out and a signed-in session for the fuzzer to use (sign-in and sign-out end them).
void Refresh(Known& k) {
    Session s;
    if (!k.token.empty() && g_store->findSession(k.token, &s) == StoreResult::Ok) return;
    if (g_store->createSession(k.accountId, &k.token, &s) != StoreResult::Ok) Fail("cannot make a session");
    k.csrf = s.csrf;
}

void Write(const std::string& path, const std::string& text) {
    int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (fd < 0 || write(fd, text.data(), text.size()) != static_cast<ssize_t>(text.size())) std::abort();
    close(fd);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    char dir[] = "/tmp/bf-fuzz-service-XXXXXX";
    if (!mkdtemp(dir)) std::abort();
    g_dir = dir;
    g_sites = g_dir + "/sites";
    std::atexit([] {
        g_store.reset();
        std::error_code ec;
        std::filesystem::remove_all(g_dir, ec);
    });
    // A site with a page, a directory index, a link inside and links out of its tree.
    mkdir(g_sites.c_str(), 0755);
    mkdir((g_sites + "/demo.example").c_str(), 0755);
    mkdir((g_sites + "/demo.example/docs").c_str(), 0755);
    mkdir((g_sites + "/other.example").c_str(), 0755);
    Write(g_sites + "/demo.example/index.html", "<p>demo</p>\n");
    Write(g_sites + "/demo.example/docs/index.html", "<p>docs</p>\n");
    Write(g_sites + "/demo.example/style.css", "p{}\n");
    Write(g_sites + "/other.example/secret.txt", "other\n");
    Write(g_dir + "/outside.txt", "outside\n");
    symlinkat("style.css", AT_FDCWD, (g_sites + "/demo.example/inside.css").c_str());
    symlinkat((g_dir + "/outside.txt").c_str(), AT_FDCWD, (g_sites + "/demo.example/out.txt").c_str());
    symlinkat("../other.example", AT_FDCWD, (g_sites + "/demo.example/other").c_str());
    symlinkat("..", AT_FDCWD, (g_sites + "/demo.example/up").c_str());

    std::string error;
    g_store = ServiceStore::open(g_dir + "/service.db", &error);
    if (!g_store) Fail("cannot open the store", error);
    g_store->setPasswordLimits(PasswordLimits::minimum());
    Account a;
    if (g_store->createAccount("fuzz user", "secret", &a) != StoreResult::Ok) Fail("cannot make an account");
    g_in.accountId = a.id;
    Refresh(g_in);
    Refresh(g_out);
    if (const char* v = std::getenv("BF_FUZZ_STABLE_SITE_KEYS")) g_checkStableKeys = v[0] != '0';
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 2 || size > 8192) return 0;
    const unsigned mode = data[0], withCsrf = data[1] & 1;
    std::vector<std::string> f;
    std::string cur;
    for (std::size_t i = 2; i < size; ++i) {
        if (data[i] == 0 && f.size() < 5) {
            f.push_back(cur);
            cur.clear();
        } else {
            cur.push_back(static_cast<char>(data[i]));
        }
    }
    f.push_back(cur);
    f.resize(6);
    const std::string &path = f[0], &host = f[1], &query = f[2], &type = f[3], &cookie = f[4], &body = f[5];

    CheckForm(query);
    CheckForm(body);
    CheckEscape(body);
    CheckSiteKey(path);
    CheckSiteKey(host);
    if (query.find('/') == std::string::npos) CheckSiteKey("http://" + query + "/");
    CheckHost(host);
    (void)content_type_for(path);

    static const char* const kMethods[] = {"GET", "POST", "HEAD", "PUT"};
    HttpRequest req;
    req.method = kMethods[mode & 3];
    req.path = path;
    req.host = host;
    req.query = parse_form(query);
    req.contentType = type;
    req.body = body;
    req.client = CheckClient(cookie, data[1] & 2);
    CheckStatic(req);
    CheckDescription(req);
    CheckSoap(body);

    Refresh(g_in);
    Refresh(g_out);
    const Known* k = nullptr;
    switch ((mode >> 2) & 3) {
        case 0: k = &g_out; break;
        case 1: k = &g_in; break;
        case 2: break;
        case 3: req.cookies[kSessionCookie] = cookie; break;
    }
    if (k) req.cookies[kSessionCookie] = k->token;
    if (k && withCsrf) req.body = "csrf=" + k->csrf + "&" + body;
    WebSite site(*g_store);
    CheckPage(site.handle(req));
    return 0;
}
