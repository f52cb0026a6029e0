#include "soap/deployment.h"

#include <cstdlib>

#include <stringapiset.h>
#include <processthreadsapi.h>

#ifndef BRACKENFOLD_SERVICE_HOST
#define BRACKENFOLD_SERVICE_HOST "127.0.0.1:8731"
#endif
#ifndef BRACKENFOLD_SERVICE_DOMAIN
#define BRACKENFOLD_SERVICE_DOMAIN "brackenfold.localhost:8731"
#endif

namespace bf::soap {
namespace {
std::string from_env(const char* name, const char* fallback) {
    const char* v = std::getenv(name);
    return (v && *v) ? std::string(v) : std::string(fallback);
}
}  // namespace

const std::string& service_host() {
    static const bf::ProcessConstant<std::string> host(from_env("BRACKENFOLD_SERVICE_HOST", BRACKENFOLD_SERVICE_HOST));
    return host.get();
}

const std::string& service_domain() {
    static const bf::ProcessConstant<std::string> domain(from_env("BRACKENFOLD_SERVICE_DOMAIN", BRACKENFOLD_SERVICE_DOMAIN));
    return domain.get();
}

const std::string& service_namespace() {
    static const bf::ProcessConstant<std::string> ns("http://" + service_host() + "/BrackenfoldWS");
    return ns.get();
}

const std::u16string& service_namespace_wide() {
    static const bf::ProcessConstant<std::u16string> ns(bf::to_utf16(service_namespace()));
    return ns.get();
}

}  // namespace bf::soap
