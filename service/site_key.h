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

// The site key of a page URL or of a site key. A site key as the toolbar sends it has no "/"
// after its host ("http://example.com"), so one is added before the rule is applied. Nothing
// when the result names no usable host (empty, or characters no host name has).
std::optional<std::string> site_key_of(std::string_view url);

// The host part of "host[:port]", lower-cased.
std::string host_without_port(std::string_view host);

}  // namespace bf::service
