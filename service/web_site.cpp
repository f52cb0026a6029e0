#include "service/web_site.h"

#include <cstdlib>
#include <ctime>
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
           "<p><label>Real address, for a new account (optional) <input type=\"text\" name=\"realaddress\"></label></p>\n"
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

std::string trimmed(const std::string& text) {
    std::size_t b = text.find_first_not_of(" \t\r\n"), e = text.find_last_not_of(" \t\r\n");
    return b == std::string::npos ? std::string() : text.substr(b, e - b + 1);
}

std::string lowerAscii(std::string text) {
    for (char& c : text)
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    return text;
}

std::string when(std::int64_t unixTime) {
    if (unixTime <= 0) return "never";
    std::time_t t = static_cast<std::time_t>(unixTime);
    std::tm tm{};
    char out[32];
    if (!gmtime_r(&t, &tm) || !std::strftime(out, sizeof out, "%Y-%m-%d %H:%M UTC", &tm)) return "?";
    return out;
}

// What the account page says after a change (?done=...): fixed texts only, nothing of the query
// is shown.
const char* doneText(const std::string& done) {
    static constexpr std::pair<const char*, const char*> kTexts[] = {
        {"sent", "A confirmation link is on its way to your address. Until you open it, nothing is forwarded."},
        {"notsent", "The confirmation mail could not be sent now. Please ask for the link again later."},
        {"unchanged", "That is your address already."},
        {"confirmed", "Your address is confirmed: mail to your aliases goes there now."},
        {"disabled", "The alias is disabled: mail to it is refused."},
        {"enabled", "The alias is enabled again."},
    };
    for (const auto& [key, text] : kTexts)
        if (done == key) return text;
    return nullptr;
}

bool isConfirmationToken(const std::string& t) {
    return t.size() == 64 && t.find_first_not_of("0123456789abcdef") == std::string::npos;
}

bool isForm(const HttpRequest& r) {
    std::string_view t = r.contentType;
    return t.substr(0, std::string_view(kFormType).size()) == kFormType;
}

class Site {
public:
    Site(ServiceStore& store, const AccountMailSettings& mail, const HttpRequest& request)
        : store_(store), mail_(mail), req_(request) {}

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
        if (p == "/account.aspx") return get ? accountPage() : changeAccount();
        if (p == "/confirm.aspx") return get ? confirmPage() : confirm();
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
            std::string realAddress = trimmed(get(form, "realaddress"));
            if (!realAddress.empty() && !acceptableAddress(realAddress))
                return loginPage(400, "That is not an address mail can be forwarded to.", name);
            r = store_.createAccount(name, password, &account);
            // The account stands even if its address cannot be stored now: it can be set later.
            if (r == StoreResult::Ok && !realAddress.empty()) newAddress(account.id, name, realAddress);
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
        MailAccount mail;
        if (store_.aliasesOf(visitor_.session.accountId, &aliases) != StoreResult::Ok ||
            store_.mailAccount(visitor_.session.accountId, &mail) != StoreResult::Ok)
            return plain_error(500);
        std::string content = "<p>Account id " + html_escape(visitor_.session.accountId) + "</p>\n";
        if (const char* done = doneText(get(req_.query, "done")))
            content += "<p class=\"notice\">" + html_escape(done) + "</p>\n";
        content += addressSection(mail);
        content += "<h3>Aliases</h3>\n";
        if (aliases.empty()) {
            content += "<p>You have no aliases yet.</p>\n";
        } else {
            content += "<table>\n<tr><th>Site</th><th>Alias</th><th>Created</th><th>Mails forwarded</th>"
                       "<th>Last forwarded</th><th>Receives mail</th></tr>\n";
            for (const AliasEntry& a : aliases) {
                const char* action = a.disabled ? "enable" : "disable";
                content += "<tr><td>" + html_escape(a.site) + "</td><td>" + html_escape(a.address) + "</td><td>" +
                           when(a.created) + "</td><td class=\"forwarded\">" + std::to_string(a.forwarded) +
                           "</td><td>" + when(a.lastForwarded) + "</td><td>" + (a.disabled ? "no" : "yes") +
                           " <form method=\"post\" action=\"/account.aspx\">" + csrfField(visitor_) +
                           "<input type=\"hidden\" name=\"action\" value=\"" + action +
                           "\"><input type=\"hidden\" name=\"address\" value=\"" + html_escape(a.address) +
                           "\"><input type=\"submit\" value=\"" + (a.disabled ? "Enable" : "Disable") +
                           "\"></form></td></tr>\n";
            }
            content += "</table>\n";
        }
        return page(200, visitor_, "Your aliases", content);
    }

    // The real address: what it is, whether it is confirmed, and the forms to change it.
    std::string addressSection(const MailAccount& mail) {
        std::string out = "<h3>Real address</h3>\n";
        if (mail.realAddress.empty()) {
            out += "<p>You have not given your real address yet: mail to your aliases is refused.</p>\n";
        } else if (mail.confirmed) {
            out += "<p>Mail to your aliases goes to <span id=\"real-address\">" + html_escape(mail.realAddress) +
                   "</span>.</p>\n";
        } else {
            out += "<p>Your address <span id=\"real-address\">" + html_escape(mail.realAddress) +
                   "</span> waits for confirmation: open the link mailed to it. Until then nothing is forwarded.</p>\n"
                   "<form method=\"post\" action=\"/account.aspx\">" +
                   csrfField(visitor_) +
                   "<input type=\"hidden\" name=\"action\" value=\"resend\">"
                   "<input type=\"submit\" value=\"Send the link again\"></form>\n";
        }
        out += "<form method=\"post\" action=\"/account.aspx\">" + csrfField(visitor_) +
               "<input type=\"hidden\" name=\"action\" value=\"address\"><p><label>" +
               (mail.realAddress.empty() ? "Your real address" : "A new real address") +
               " <input type=\"text\" name=\"address\"></label> <input type=\"submit\" value=\"Save\"></p></form>\n";
        return out;
    }

    // A mail address outside the alias domain (an alias as the real address would loop).
    bool acceptableAddress(const std::string& address) {
        if (!valid_real_address(address)) return false;
        std::string domain = lowerAscii(address.substr(address.rfind('@') + 1));
        return mail_.aliasDomain.empty() || domain != lowerAscii(mail_.aliasDomain);
    }

    // Queues the confirmation mail; false when it cannot go out now.
    bool mailConfirmation(const std::string& userName, const std::string& address, const std::string& token) {
        if (!mail_.outbox) return false;
        TextMail m;
        m.from = mail_.sender;
        m.to = address;
        m.subject = "Confirm your address for Bracken Fold";
        m.date = static_cast<std::int64_t>(std::time(nullptr));
        m.body = "Mail to the aliases of the Bracken Fold account \"" + userName +
                 "\" is to be forwarded to this address.\n\nTo confirm, sign in to that account and open this link within " +
                 std::to_string(mail_.confirmHours) + " hours:\n\nhttp://" + mail_.siteHost + "/confirm.aspx?t=" + token +
                 "\n\nIf you did not ask for this, ignore this mail: nothing is forwarded to you until the link is "
                 "used.\n";
        std::string error;
        return mail_.outbox->post(m, &error);
    }

    StoreResult newAddress(const std::string& accountId, const std::string& userName, const std::string& address,
                           bool* mailed = nullptr) {
        std::string token;
        StoreResult r = store_.setRealAddress(accountId, address, confirmExpiry(), &token);
        if (r == StoreResult::Ok) {
            bool sent = mailConfirmation(userName, address, token);
            if (mailed) *mailed = sent;
        }
        return r;
    }

    std::int64_t confirmExpiry() const {
        return static_cast<std::int64_t>(std::time(nullptr)) + static_cast<std::int64_t>(mail_.confirmHours) * 3600;
    }

    HttpResponse changeAccount() {
        std::map<std::string, std::string> form;
        if (!trustedPost(&form) || !visitor_.signedIn()) return refused();
        const std::string& account = visitor_.session.accountId;
        const std::string action = get(form, "action");
        if (action == "address") {
            std::string address = trimmed(get(form, "address"));
            if (!acceptableAddress(address))
                return page(400, visitor_, "Your aliases",
                            "<p>That is not an address mail can be forwarded to.</p>\n"
                            "<p><a href=\"/account.aspx\">Back to your aliases</a></p>\n");
            MailAccount mail;
            if (store_.mailAccount(account, &mail) != StoreResult::Ok) return plain_error(500);
            if (mail.confirmed && mail.realAddress == address) return redirect("/account.aspx?done=unchanged");
            bool mailed = false;
            if (newAddress(account, visitor_.session.userName, address, &mailed) != StoreResult::Ok)
                return plain_error(500);
            return redirect(mailed ? "/account.aspx?done=sent" : "/account.aspx?done=notsent");
        }
        if (action == "resend") {
            std::string token, address;
            StoreResult r = store_.renewConfirmation(account, confirmExpiry(), &token, &address);
            if (r == StoreResult::NotFound) return redirect("/account.aspx");
            if (r != StoreResult::Ok) return plain_error(500);
            return redirect(mailConfirmation(visitor_.session.userName, address, token) ? "/account.aspx?done=sent"
                                                                                        : "/account.aspx?done=notsent");
        }
        if (action == "disable" || action == "enable") {
            StoreResult r = store_.setAliasDisabled(account, get(form, "address"), action == "disable");
            if (r == StoreResult::NotFound)
                return page(404, visitor_, "Your aliases", "<p>You have no such alias.</p>\n");
            if (r != StoreResult::Ok) return plain_error(500);
            return redirect(action == "disable" ? "/account.aspx?done=disabled" : "/account.aspx?done=enabled");
        }
        return page(400, visitor_, "Your aliases", "<p>There is no such change.</p>\n");
    }

    // The link of the confirmation mail shows a button: the address is confirmed by a post of the
    // signed-in account it was set for, not by whatever fetches the link first.
    HttpResponse confirmPage() {
        const std::string token = get(req_.query, "t");
        if (!visitor_.signedIn())
            return page(200, visitor_, "Confirm your address",
                        "<p>Sign in to the account this address is for, then open the link again.</p>\n"
                        "<p><a href=\"/login.aspx\">Sign in</a></p>\n");
        if (!isConfirmationToken(token)) return invalidLink();
        MailAccount mail;
        if (store_.mailAccount(visitor_.session.accountId, &mail) != StoreResult::Ok) return plain_error(500);
        if (mail.realAddress.empty() || mail.confirmed) return invalidLink();
        return page(200, visitor_, "Confirm your address",
                    "<form method=\"post\" action=\"/confirm.aspx\">" + csrfField(visitor_) +
                        "<input type=\"hidden\" name=\"t\" value=\"" + token +
                        "\"><p>Forward mail to your aliases to " + html_escape(mail.realAddress) +
                        "?</p><p><input type=\"submit\" value=\"Confirm\"></p></form>\n");
    }

    HttpResponse confirm() {
        std::map<std::string, std::string> form;
        if (!trustedPost(&form) || !visitor_.signedIn()) return refused();
        StoreResult r = store_.confirmRealAddress(visitor_.session.accountId, get(form, "t"),
                                                  static_cast<std::int64_t>(std::time(nullptr)), nullptr);
        if (r == StoreResult::NotFound) return invalidLink();
        if (r != StoreResult::Ok) return plain_error(500);
        return redirect("/account.aspx?done=confirmed");
    }

    HttpResponse invalidLink() {
        return page(400, visitor_, "Confirm your address",
                    "<p>This link does not work (any more): it was used already, has expired, was replaced by a "
                    "newer one, or is for another account.</p>\n<p><a href=\"/account.aspx\">Your aliases</a></p>\n");
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
    const AccountMailSettings& mail_;
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
        r = Site(store_, mail_, request).run();
    } catch (const std::bad_alloc&) {
        r = plain_error(500);
    }
    // Every answer of the site, pages, redirects and errors alike, so that no sign-in or account
    // page can be framed by another site, run a script it did not serve or be sniffed as another type.
    for (const auto& [name, value] : kSecurityHeaders) r.headers.emplace_back(name, value);
    return r;
}

}  // namespace bf::service
