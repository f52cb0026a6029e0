#include "service/web_site.h"

#include <cstdlib>
#include <utility>

#include "service/password_hash.h"
#include "service/site_key.h"

namespace bf::service {
namespace {

constexpr const char* kFormType = "application/x-www-form-urlencoded";

// No inline script or style, no plug-ins, forms only to this site, never inside a frame.
constexpr std::pair<const char*, const char*> kSecurityHeaders[] = {
    {"Content-Security-Policy",
     "default-src 'self'; script-src 'self'; style-src 'self'; object-src 'none'; base-uri 'none'; "
     "form-action 'self'; frame-ancestors 'none'"},
    {"X-Frame-Options", "DENY"},
    {"Referrer-Policy", "same-origin"},
    {"X-Content-Type-Options", "nosniff"},
};

struct Visitor {
    bool known = false;  // a stored session
    std::string token;
    Session session;
    bool signedIn() const { return known && !session.accountId.empty(); }
};

std::string cookieFor(const std::string& token) {
    return std::string(kSessionCookie) + "=" + token + "; Path=/; HttpOnly; SameSite=Lax";
}

HttpResponse redirect(const std::string& location) {
    HttpResponse r;
    r.status = 303;
    r.headers.emplace_back("Location", location);
    r.body = "See " + location + "\n";
    return r;
}

std::string hiddenAccount(const Visitor& v) {
    if (!v.signedIn()) return {};
    return std::string("<input type=\"hidden\" id=\"") + kAccountElementId + "\" name=\"" + kAccountElementId +
           "\" value=\"" + html_escape(v.session.accountId) + "\">\n<input type=\"hidden\" id=\"" + kUserNameElementId +
           "\" name=\"" + kUserNameElementId + "\" value=\"" + html_escape(v.session.userName) + "\">\n";
}

HttpResponse page(int status, const Visitor& v, const std::string& title, const std::string& content) {
    HttpResponse r;
    r.status = status;
    r.contentType = "text/html; charset=utf-8";
    r.body = "<!DOCTYPE html>\n<html><head><meta charset=\"utf-8\"><title>Bracken Fold - " + html_escape(title) +
             "</title></head>\n<body>\n<h1>Bracken Fold</h1>\n" + hiddenAccount(v);
    if (v.signedIn())
        r.body += "<p>Signed in as " + html_escape(v.session.userName) +
                  ". <a href=\"/account.aspx\">Your aliases</a> | <a href=\"/logout.aspx\">Sign out</a></p>\n";
    else
        r.body += "<p><a href=\"/login.aspx\">Sign in</a></p>\n";
    r.body += "<h2>" + html_escape(title) + "</h2>\n" + content + "</body></html>\n";
    r.headers.emplace_back("Cache-Control", "no-store");
    return r;
}

std::string csrfField(const Visitor& v) {
    return "<input type=\"hidden\" name=\"csrf\" value=\"" + html_escape(v.session.csrf) + "\">";
}

std::string loginForm(const Visitor& v, const std::string& name) {
    return "<form method=\"post\" action=\"/login.aspx\">" + csrfField(v) +
           "\n<p><label>User name <input type=\"text\" name=\"username\" value=\"" + html_escape(name) +
           "\"></label></p>\n<p><label>Password <input type=\"password\" name=\"password\"></label></p>\n"
           "<p><label><input type=\"checkbox\" name=\"create\" value=\"1\"> Create this account</label></p>\n"
           "<p><input type=\"submit\" value=\"Sign in\"></p></form>\n";
}

std::string get(const std::map<std::string, std::string>& m, const char* key) {
    auto it = m.find(key);
    return it == m.end() ? std::string() : it->second;
}

int hexValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

std::string decode(std::string_view s) {
    std::string out;
    for (std::size_t i = 0; i < s.size(); ++i) {
        if (s[i] == '+') {
            out.push_back(' ');
        } else if (s[i] == '%' && i + 2 < s.size() && hexValue(s[i + 1]) >= 0 && hexValue(s[i + 2]) >= 0) {
            out.push_back(static_cast<char>(hexValue(s[i + 1]) * 16 + hexValue(s[i + 2])));
            i += 2;
        } else {
            out.push_back(s[i]);
        }
    }
    return out;
}

bool isForm(const HttpRequest& r) {
    std::string_view t = r.contentType;
    return t.substr(0, std::string_view(kFormType).size()) == kFormType;
}

class Site {
public:
    Site(ServiceStore& store, const HttpRequest& request) : store_(store), req_(request) {}

    HttpResponse run() {
        if (!loadVisitor()) return plain_error(500);
        const std::string& p = req_.path;
        bool get = req_.method == "GET" || req_.method == "HEAD";
        bool post = req_.method == "POST";
        if (!get && !post) return notAllowed();
        if (p == "/" || p == "/default.aspx") {
            if (!get) return notAllowed();
            return redirect(visitor_.signedIn() ? "/account.aspx" : "/login.aspx");
        }
        if (p == "/login.aspx") return get ? loginPage(200, "", "") : login();
        if (p == "/account.aspx") return get ? accountPage() : notAllowed();
        if (p == "/logout.aspx") return get ? logoutPage() : logout();
        if (p == "/rating.aspx") return get ? ratingPage() : rate();
        return page(404, visitor_, "Not found", "<p>There is no such page.</p>\n");
    }

private:
    bool loadVisitor() {
        auto it = req_.cookies.find(kSessionCookie);
        if (it == req_.cookies.end()) return true;
        StoreResult r = store_.findSession(it->second, &visitor_.session);
        if (r == StoreResult::Failed) return false;
        if (r == StoreResult::Ok) {
            visitor_.known = true;
            visitor_.token = it->second;
        }
        return true;
    }

    // Forms need a session to hold their token, even before anyone signs in.
    bool ensureSession() {
        if (visitor_.known) return true;
        if (store_.createSession({}, &visitor_.token, &visitor_.session) != StoreResult::Ok) return false;
        visitor_.known = true;
        newCookie_ = true;
        return true;
    }

    HttpResponse withCookie(HttpResponse r) {
        if (newCookie_) r.headers.emplace_back("Set-Cookie", cookieFor(visitor_.token));
        return r;
    }

    // A post counts only with the session's own token in its form.
    bool trustedPost(std::map<std::string, std::string>* form) {
        if (!visitor_.known || !isForm(req_)) return false;
        *form = parse_form(req_.body);
        return constant_time_equal(get(*form, "csrf"), visitor_.session.csrf) && !visitor_.session.csrf.empty();
    }

    HttpResponse refused() {
        return page(403, visitor_, "Refused",
                    "<p>This form has expired or was not sent from this site. Please try again.</p>\n");
    }
    HttpResponse notAllowed() {
        HttpResponse r = plain_error(405);
        r.headers.emplace_back("Allow", "GET, HEAD, POST");
        return r;
    }

    HttpResponse loginPage(int status, const std::string& message, const std::string& name) {
        if (visitor_.signedIn())
            return page(200, visitor_, "Sign in",
                        "<p>You are signed in. <a href=\"/account.aspx\">Your aliases</a></p>\n");
        if (!ensureSession()) return plain_error(500);
        std::string content;
        if (!message.empty()) content += "<p class=\"error\">" + html_escape(message) + "</p>\n";
        content += loginForm(visitor_, name);
        return withCookie(page(status, visitor_, "Sign in", content));
    }

    HttpResponse login() {
        std::map<std::string, std::string> form;
        if (!trustedPost(&form)) return refused();
        std::string name = get(form, "username"), password = get(form, "password");
        Account account;
        StoreResult r;
        if (get(form, "create") == "1") {
            r = store_.createAccount(name, password, &account);
            if (r == StoreResult::Exists) return loginPage(409, "That user name is taken.", name);
            if (r == StoreResult::Invalid)
                return loginPage(400, "Choose a user name of 1 to 64 characters and a password.", name);
        } else {
            long long retryAfter = 0;
            r = store_.signIn(name, password, req_.client, &account, &retryAfter);
            if (r == StoreResult::NotFound) return loginPage(401, "Wrong user name or password.", name);
            if (r == StoreResult::Throttled) {
                const long long minutes = (retryAfter + 59) / 60;
                HttpResponse resp = loginPage(429,
                                              "Too many failed sign-ins. Please try again in " +
                                                  std::to_string(minutes) + (minutes == 1 ? " minute." : " minutes."),
                                              name);
                resp.headers.emplace_back("Retry-After", std::to_string(retryAfter));
                return resp;
            }
        }
        if (r != StoreResult::Ok) return plain_error(500);
        // A new session at sign-in, so that a token planted before it is worth nothing after.
        std::string token;
        if (store_.createSession(account.id, &token, nullptr) != StoreResult::Ok) return plain_error(500);
        store_.deleteSession(visitor_.token);
        HttpResponse resp = redirect("/account.aspx");
        resp.headers.emplace_back("Set-Cookie", cookieFor(token));
        return resp;
    }

    HttpResponse accountPage() {
        if (!visitor_.signedIn()) return redirect("/login.aspx");
        std::vector<AliasEntry> aliases;
        if (store_.aliasesOf(visitor_.session.accountId, &aliases) != StoreResult::Ok) return plain_error(500);
        std::string content = "<p>Account id " + html_escape(visitor_.session.accountId) + "</p>\n";
        if (aliases.empty()) {
            content += "<p>You have no aliases yet.</p>\n";
        } else {
            content += "<table>\n<tr><th>Site</th><th>Alias</th></tr>\n";
            for (const AliasEntry& a : aliases)
                content += "<tr><td>" + html_escape(a.site) + "</td><td>" + html_escape(a.address) + "</td></tr>\n";
            content += "</table>\n";
        }
        return page(200, visitor_, "Your aliases", content);
    }

    HttpResponse logoutPage() {
        if (!visitor_.signedIn()) return page(200, visitor_, "Sign out", "<p>You are signed out.</p>\n");
        return page(200, visitor_, "Sign out",
                    "<form method=\"post\" action=\"/logout.aspx\">" + csrfField(visitor_) +
                        "<input type=\"submit\" value=\"Sign out\"></form>\n");
    }

    HttpResponse logout() {
        std::map<std::string, std::string> form;
        if (!trustedPost(&form)) return refused();
        if (store_.deleteSession(visitor_.token) != StoreResult::Ok) return plain_error(500);
        HttpResponse r = redirect("/login.aspx");
        r.headers.emplace_back("Set-Cookie", std::string(kSessionCookie) +
                                                 "=; Path=/; HttpOnly; SameSite=Lax; Max-Age=0");
        return r;
    }

    // d is a site key without its "http://"; the rule makes any host name one.
    std::optional<std::string> siteParam(const std::string& d) {
        if (d.empty() || d.find('/') != std::string::npos) return std::nullopt;
        return site_key_named("http://" + d);
    }

    HttpResponse ratingPage() {
        std::optional<std::string> site = siteParam(get(req_.query, "d"));
        if (!site) return page(400, visitor_, "Rating", "<p>No such site.</p>\n");
        int rating = 0;
        if (store_.rating(*site, &rating) != StoreResult::Ok) return plain_error(500);
        std::string shown = std::string(*site).substr(7);
        std::string content = "<p>Site <span id=\"site\">" + html_escape(shown) + "</span> is rated <span id=\"rating\">" +
                              std::to_string(rating) + "</span> of 10.</p>\n";
        std::string r = get(req_.query, "r");
        if (!r.empty()) content += "<p>Your toolbar showed " + html_escape(r) + ".</p>\n";
        if (visitor_.signedIn()) {
            content += "<form method=\"post\" action=\"/rating.aspx\">" + csrfField(visitor_) +
                       "<input type=\"hidden\" name=\"d\" value=\"" + html_escape(shown) +
                       "\"><label>Your rating <select name=\"rating\">";
            for (int i = 0; i <= 10; ++i) content += "<option>" + std::to_string(i) + "</option>";
            content += "</select></label> <input type=\"submit\" value=\"Rate\"></form>\n";
        } else {
            content += "<p><a href=\"/login.aspx\">Sign in</a> to rate this site.</p>\n";
        }
        return page(200, visitor_, "Rating", content);
    }

    HttpResponse rate() {
        std::map<std::string, std::string> form;
        if (!trustedPost(&form) || !visitor_.signedIn()) return refused();
        std::optional<std::string> site = siteParam(get(form, "d"));
        std::string value = get(form, "rating");
        char* end = nullptr;
        long n = value.empty() ? -1 : std::strtol(value.c_str(), &end, 10);
        if (!site || value.size() > 2 || (end && *end) || n < 0 || n > 10)
            return page(400, visitor_, "Rating", "<p>Choose a rating from 0 to 10 for a site.</p>\n");
        if (store_.vote(visitor_.session.accountId, *site, static_cast<int>(n)) != StoreResult::Ok)
            return plain_error(500);
        int rating = 0;
        if (store_.rating(*site, &rating) != StoreResult::Ok) return plain_error(500);
        return redirect("/rating.aspx?r=" + std::to_string(rating) + "&d=" + site->substr(7));
    }

    ServiceStore& store_;
    const HttpRequest& req_;
    Visitor visitor_;
    bool newCookie_ = false;
};

}  // namespace

std::string html_escape(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    for (char c : text) {
        switch (c) {
            case '&': out += "&amp;"; break;
            case '<': out += "&lt;"; break;
            case '>': out += "&gt;"; break;
            case '"': out += "&quot;"; break;
            case '\'': out += "&#39;"; break;
            default: out.push_back(c);
        }
    }
    return out;
}

std::map<std::string, std::string> parse_form(std::string_view body) {
    std::map<std::string, std::string> out;
    while (!body.empty()) {
        std::size_t amp = body.find('&');
        std::string_view pair = body.substr(0, amp);
        body = amp == std::string_view::npos ? std::string_view() : body.substr(amp + 1);
        if (pair.empty()) continue;
        std::size_t eq = pair.find('=');
        std::string key = decode(pair.substr(0, eq));
        std::string value = eq == std::string_view::npos ? std::string() : decode(pair.substr(eq + 1));
        // The first of repeated keys wins, so that an appended duplicate cannot replace a field.
        out.emplace(std::move(key), std::move(value));
    }
    return out;
}

HttpResponse WebSite::handle(const HttpRequest& request) {
    HttpResponse r;
    try {
        r = Site(store_, request).run();
    } catch (const std::bad_alloc&) {
        r = plain_error(500);
    }
    // Every answer of the site, pages, redirects and errors alike, so that no sign-in or account
    // page can be framed by another site, run a script it did not serve or be sniffed as another type.
    for (const auto& [name, value] : kSecurityHeaders) r.headers.emplace_back(name, value);
    return r;
}

}  // namespace bf::service
