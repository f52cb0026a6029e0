// The mail server's settings for the alias domain (`brackenfold mail setup`), written into its
// main.cf and master.cf texts; everything else in those files is kept as it was.
//
// main.cf: the alias domain is a virtual alias domain whose table is the socketmap, so that an
// alias with no live route is refused at RCPT TO (reject_unlisted_recipient: 550 during the
// dialogue, never a bounce later) and a store that cannot answer gives 451; postsrsd's two TCP
// tables rewrite the envelope sender of forwarded mail (and undo it for bounces coming back).
// master.cf: the cleanup service, which rewrites each accepted recipient once, asks the map
// that counts forwards.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "service/socketmap.h"

namespace bf::service {

struct PostfixSetup {
    std::string aliasDomain;
    SocketmapAddress socketmap{"127.0.0.1", 8732, ""};
    SocketmapAddress srsForward{"127.0.0.1", 10001, ""};  // postsrsd's defaults on Debian
    SocketmapAddress srsReverse{"127.0.0.1", 10002, ""};
};

struct PostfixChange {
    std::string file;    // "main.cf", "master.cf"
    std::string name;    // parameter, or "cleanup -o virtual_alias_maps"
    std::string before;  // empty: not set
    std::string after;
    bool changed() const { return before != after; }
};

// A domain name: labels of letters, digits and inner '-', at least two, not all-digit at the end.
bool valid_mail_domain(std::string_view domain);

// Rewrites `mainCf` (may be empty: a missing file) and `masterCf` in place and lists every
// setting it looked after. False with `error` set, and both texts untouched, when the domain is
// not valid, is already a local or mailbox domain, or master.cf has no cleanup service.
bool apply_postfix_setup(const PostfixSetup& setup, std::string* mainCf, std::string* masterCf,
                         std::vector<PostfixChange>* changes, std::string* error);

// A Postfix list value split on commas and spaces, braces ({...}) kept whole.
std::vector<std::string> postfix_list(std::string_view value);
// The value of `name` in main.cf text (the last setting wins, continuation lines joined); empty
// when it is not set.
std::string postfix_parameter(std::string_view mainCf, std::string_view name);

}  // namespace bf::service
