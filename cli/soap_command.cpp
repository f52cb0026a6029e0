// brackenfold soap: debugging tools for the web-service codec, and the way it is exercised without
// a network. `encode` writes a request envelope, `decode` parses a response body in client mode,
// `fault` runs the fault parse; results are printed as one JSON object per line.
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iostream>
#include <iterator>
#include <memory>
#include <sstream>
#include <string>

#include "cli/commands.h"
#include "cli/operation_arguments.h"
#include <stringapiset.h>
#include "soap/brackenfold_handler.h"
#include "soap/buffer_stream.h"
#include "soap/result_json.h"
#include "soap/soap_fault.h"

namespace bf::cli {

namespace {

struct SoapOptions : OperationArguments {
    std::string file;
};

// The whole input, from FILE or standard input; false (with a message) when it cannot be read.
bool readInput(const std::string& file, std::string* bytes) {
    if (file.empty() || file == "-") {
        std::ostringstream ss;
        ss << std::cin.rdbuf();
        *bytes = ss.str();
        return !std::cin.bad();
    }
    std::ifstream in(file, std::ios::binary);
    if (!in) {
        std::fprintf(stderr, "brackenfold soap: cannot read %s: %s\n", file.c_str(), std::strerror(errno));
        return false;
    }
    bytes->assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    if (in.bad()) {
        std::fprintf(stderr, "brackenfold soap: cannot read %s\n", file.c_str());
        return false;
    }
    return true;
}

void printLine(const std::string& text) {
    std::fwrite(text.data(), 1, text.size(), stdout);
    std::fputc('\n', stdout);
}

void runEncode(const SoapOptions& o, const CLI::App& cmd) {
    if (o.operation == kAlias && cmd.count("--version")) {
        std::fprintf(stderr, "brackenfold soap encode: --version applies to %s only\n", kNewPage);
        exit_status() = 1;
        return;
    }
    BStr account = o.Account();
    BStr domain = o.Domain();
    Brackenfold::CBrackenfoldRootHandler handler;
    soap::CStringWriteStream out;
    HRESULT hr = o.operation == kNewPage
                     ? handler.WriteNewPageRequest(&out, account.get(), domain.get(), o.version)
                     : handler.WriteGetNewAliasEmailForSiteRequest(&out, account.get(), domain.get());
    if (FAILED(hr)) {
        std::fprintf(stderr, "brackenfold soap encode: the request cannot be written (0x%08X)\n",
                     static_cast<unsigned>(hr));
        exit_status() = 1;
        return;
    }
    // Exactly the bytes of the request body: no line break added.
    std::fwrite(out.text.data(), 1, out.text.size(), stdout);
}

void runDecode(const SoapOptions& o) {
    std::string bytes;
    if (!readInput(o.file, &bytes)) {
        exit_status() = 1;
        return;
    }
    Brackenfold::CBrackenfoldRootHandler handler;
    auto stream = bf::make_com<soap::CBufferStream>(std::move(bytes));
    HRESULT hr;
    std::string json;
    if (o.operation == kNewPage) {
        Brackenfold::Combo result{};
        hr = handler.ReadNewPageResponse(stream.get(), &result);
        if (SUCCEEDED(hr)) json = Brackenfold::toJson(result);
        Brackenfold::releaseResult(&result);
    } else {
        Brackenfold::Ret result{};
        hr = handler.ReadGetNewAliasEmailForSiteResponse(stream.get(), &result);
        if (SUCCEEDED(hr)) json = Brackenfold::toJson(result);
        Brackenfold::releaseResult(&result);
    }
    if (FAILED(hr)) {
        printLine(soap::hresultJson(hr));
        exit_status() = 1;
        return;
    }
    printLine(json);
}

void runFault(const SoapOptions& o) {
    std::string bytes;
    if (!readInput(o.file, &bytes)) {
        exit_status() = 1;
        return;
    }
    soap::FaultRecord record;
    auto stream = bf::make_com<soap::CBufferStream>(std::move(bytes));
    HRESULT hr = record.ParseFault(stream.get());
    printLine(soap::faultJson(hr, record));
    if (FAILED(hr)) exit_status() = 1;
}

}  // namespace

namespace {
void add_soap_command(CLI::App& app) {
    auto opts = std::make_shared<SoapOptions>();
    CLI::App* soap = app.add_subcommand("soap", "Encode requests and decode responses of the web service, offline");
    soap->require_subcommand(1);

    CLI::App* encode = soap->add_subcommand("encode", "Write the request envelope of an operation to standard output");
    add_operation_arguments(encode, *opts);
    encode->callback([opts, encode] { runEncode(*opts, *encode); });

    CLI::App* decode = soap->add_subcommand("decode", "Parse a response body and print the result as JSON");
    decode->add_option("OPERATION", opts->operation, "NewPage or GetNewAliasEmailForSite")
        ->required()
        ->check(CLI::IsMember({kNewPage, kAlias}));
    decode->add_option("FILE", opts->file, "response body (default: standard input)");
    decode->callback([opts] { runDecode(*opts); });

    CLI::App* fault = soap->add_subcommand("fault", "Parse a SOAP fault body and print the fault record as JSON");
    fault->add_option("FILE", opts->file, "fault body (default: standard input)");
    fault->callback([opts] { runFault(*opts); });
}


const CommandRegistration kRegistration{50, add_soap_command};
}  // namespace

}  // namespace bf::cli
