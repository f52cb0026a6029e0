// Deployment constants: where the service lives. Build-time defaults, replaced by the environment
// variables BRACKENFOLD_SERVICE_HOST and BRACKENFOLD_SERVICE_DOMAIN, read once on first use.
#pragma once

#include <string>

namespace bf::soap {

// "host:port" of the SOAP endpoint.
const std::string& service_host();
// Domain of the service's web site (the site itself is "www." + domain).
const std::string& service_domain();
// Service namespace URI: "http://" + host + "/BrackenfoldWS".
const std::string& service_namespace();
const std::u16string& service_namespace_wide();

}  // namespace bf::soap
