// The arguments of the service's two operations, as `call` and `soap encode` take them:
// OPERATION, --account / --null-account, --domain / --null-domain and --version.
#pragma once

#include <string>

#include <CLI/CLI.hpp>

#include <oleauto.h>
#include <stringapiset.h>

namespace bf::cli {

inline constexpr const char* kNewPage = "NewPage";
inline constexpr const char* kAlias = "GetNewAliasEmailForSite";

struct OperationArguments {
    std::string operation;
    std::string account;
    std::string domain;
    bool nullAccount = false;
    bool nullDomain = false;
    double version = 1.0;

    // The two strings as the proxy takes them: null for nil.
    BStr Account() const { return nullAccount ? BStr() : BStr(bf::to_utf16(account)); }
    BStr Domain() const { return nullDomain ? BStr() : BStr(bf::to_utf16(domain)); }
};

inline void add_operation_arguments(CLI::App* cmd, OperationArguments& a) {
    cmd->add_option("OPERATION", a.operation, "NewPage or GetNewAliasEmailForSite")
        ->required()
        ->check(CLI::IsMember({kNewPage, kAlias}));
    auto* account = cmd->add_option("--account", a.account, "AccountID (UTF-8)");
    auto* nullAccount = cmd->add_flag("--null-account", a.nullAccount, "send AccountID as nil");
    account->excludes(nullAccount);
    auto* domain = cmd->add_option("--domain", a.domain, "DomainName (UTF-8)");
    auto* nullDomain = cmd->add_flag("--null-domain", a.nullDomain, "send DomainName as nil");
    domain->excludes(nullDomain);
    cmd->add_option("--version", a.version, "Version (NewPage only; default 1)");
}

}  // namespace bf::cli
