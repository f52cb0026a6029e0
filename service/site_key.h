// Site keys on the service side: the toolbar's rule (the last two host labels, three when those
// two are shorter than 7 characters, lower-cased, after "http://") applied to what a request
// names, and the check that a key is usable as a site at all.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace bf::service {

// The toolbar's rule, byte for byte (on UTF-8, which changes nothing: only ASCII is looked at).
std::string site_key_rule(std::string_view url);

// The site key of a page URL (one without a "/" after its host gets one before the rule is
// applied). Nothing when the result names no usable host (empty, or characters no host name has).
std::optional<std::string> site_key_of(std::string_view url);

// The site a request names: a site key as the toolbar forms it ("http://" + host, nothing after
// the host) is taken as it stands, lower-cased — the rule is not stable on its own output
// ("http://bbc.co.uk" would become "http://co.uk") — and anything else is a URL, given the rule.
std::optional<std::string> site_key_named(std::string_view text);

// The host part of "host[:port]", lower-cased.
std::string host_without_port(std::string_view host);

}  // namespace bf::service
