// brackenfold call: one call of the web service through the toolbar's own proxy, end to end. On
// success the result is printed as the codec's JSON; on failure one JSON object with the result
// code, the transport's cause, the HTTP status, the socket error and, when the server's fault
// parsed, the fault record.
#include <cstdio>
#include <memory>
#include <string>

#include "cli/commands.h"
#include "cli/operation_arguments.h"
#include "http/url.h"
#include <stringapiset.h>
#include "soap/brackenfold_proxy.h"
#include "soap/result_json.h"

namespace bf::cli {

namespace {

struct CallOptions : OperationArguments {
    std::string endpoint;
    unsigned timeoutMs = 0;
};

void printLine(const std::string& text) {
    std::fwrite(text.data(), 1, text.size(), stdout);
    std::fputc('\n', stdout);
}

std::string failureJson(HRESULT hr, const Brackenfold::CBrackenfold& proxy) {
    char head[160];
    std::snprintf(head, sizeof head, "{\"hresult\":\"0x%08X\",\"clientError\":%d,\"httpStatus\":%d,\"socketError\":%u",
                  static_cast<unsigned>(hr), static_cast<int>(proxy.GetClientError()), proxy.GetStatusCode(),
                  static_cast<unsigned>(proxy.GetSocketError()));
    std::string out(head);
    if (proxy.HasFault()) {
        const soap::FaultRecord& f = proxy.Fault();
        out.append(",\"fault\":{\"code\":");
        out.append(std::to_string(f.code));
        out.append(",\"faultCode\":");
        soap::appendJsonString(out, f.faultCodeText.data(), f.faultCodeText.size());
        out.append(",\"faultString\":");
        soap::appendJsonString(out, f.faultString.data(), f.faultString.size());
        out.append(",\"faultActor\":");
        soap::appendJsonString(out, f.faultActor.data(), f.faultActor.size());
        out.append(",\"detail\":");
        soap::appendJsonString(out, f.detail.data(), f.detail.size());
        out.push_back('}');
    }
    out.push_back('}');
    return out;
}

// The endpoint must be an http URL with a host: anything else is a mistake on the command line,
// not a failed call.
bool checkEndpoint(const std::u16string& endpoint) {
    std::u16string escaped;
    http::Url url;
    return soap::EscapeEndpointUrl(endpoint, escaped) && url.Parse(escaped) && url.scheme == http::URL_SCHEME_HTTP &&
           !url.hostName.empty();
}

void runCall(const CallOptions& o, const CLI::App& cmd) {
    if (o.operation == kAlias && cmd.count("--version")) {
        std::fprintf(stderr, "brackenfold call: --version applies to %s only\n", kNewPage);
        exit_status() = 2;
        return;
    }
    const std::u16string endpoint = o.endpoint.empty() ? Brackenfold::serviceEndpoint() : bf::to_utf16(o.endpoint);
    if (!checkEndpoint(endpoint)) {
        std::fprintf(stderr, "brackenfold call: --endpoint must be an http URL with a host: %s\n", o.endpoint.c_str());
        exit_status() = 2;
        return;
    }
    BStr account = o.Account();
    BStr domain = o.Domain();
    if ((!o.nullAccount && !account.get()) || (!o.nullDomain && !domain.get())) {
        std::fprintf(stderr, "brackenfold call: out of memory\n");
        exit_status() = 1;
        return;
    }

    Brackenfold::CBrackenfold proxy(nullptr, endpoint.c_str());
    proxy.SetTimeout(o.timeoutMs);
    HRESULT hr;
    std::string json;
    if (o.operation == kNewPage) {
        Brackenfold::Combo result{};
        hr = proxy.NewPage(account.get(), domain.get(), o.version, &result);
        if (SUCCEEDED(hr)) json = Brackenfold::toJson(result);
        Brackenfold::releaseResult(&result);
    } else {
        Brackenfold::Ret result{};
        hr = proxy.GetNewAliasEmailForSite(account.get(), domain.get(), &result);
        if (SUCCEEDED(hr)) json = Brackenfold::toJson(result);
        Brackenfold::releaseResult(&result);
    }
    if (FAILED(hr)) {
        printLine(failureJson(hr, proxy));
        exit_status() = 1;
        return;
    }
    printLine(json);
}

void add_call_command(CLI::App& app) {
    auto opts = std::make_shared<CallOptions>();
    CLI::App* call = app.add_subcommand("call", "Call the web service through the toolbar's proxy and print the result as JSON");
    add_operation_arguments(call, *opts);
    call->add_option("--endpoint", opts->endpoint, "service URL (default: the deployment's endpoint)");
    call->add_option("--timeout", opts->timeoutMs, "time-out of each step in milliseconds (default 10000)")
        ->check(CLI::NonNegativeNumber);
    call->callback([opts, call] { runCall(*opts, *call); });
}

const CommandRegistration kRegistration{40, add_call_command};

}  // namespace

}  // namespace bf::cli
