// The service's web site, for the host "www." + the service domain: sign-in and account
// creation, the account's aliases, sign-out and the rating pages. Sessions are random cookies
// stored hashed; every form carries the session's token against posts from other sites; every
// page of a signed-in session carries the two hidden account elements the toolbar reads.
#pragma once

#include <string>

#include "service/http_exchange.h"
#include "service/outbox.h"
#include "service/service_store.h"

namespace bf::service {

inline constexpr const char* kSessionCookie = "BFSESSION";
inline constexpr const char* kAccountElementId = "MARROWDENE2007QUILT";
inline constexpr const char* kUserNameElementId = "MARROWDENE2007QUILT_UN";

// What the account page needs for the real address and its confirmation mail.
struct AccountMailSettings {
    Outbox* outbox = nullptr;  // null: no mail goes out (the page says so)
    std::string siteHost;      // "www." + domain: the host of the confirmation link
    std::string aliasDomain;   // a real address there would send mail round in a loop
    std::string sender;        // From of the confirmation mail
    int confirmHours = 48;     // how long a confirmation link works
};

class WebSite {
public:
    explicit WebSite(ServiceStore& store, AccountMailSettings mail = {}) : store_(store), mail_(std::move(mail)) {}
    HttpResponse handle(const HttpRequest& request);

private:
    ServiceStore& store_;
    AccountMailSettings mail_;
};

std::string html_escape(std::string_view text);
// application/x-www-form-urlencoded (also the query string): '+' is a space, %XX a byte.
std::map<std::string, std::string> parse_form(std::string_view body);

}  // namespace bf::service
