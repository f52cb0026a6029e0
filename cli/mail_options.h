// The mail side of `brackenfold serve`: --socketmap (answer the mail server's alias lookups) and
// --smtp (where the service's own mail goes), kept apart from the rest of serve's options.
#pragma once

#include <memory>
#include <string>

#include <CLI/CLI.hpp>

#include "service/alias_directory.h"
#include "service/smtp_client.h"
#include "service/socketmap.h"

namespace bf::cli {

struct MailServeOptions {
    std::string socketmap;  // empty: no socketmap server
    std::string smtp = "localhost:25";
};

void add_mail_serve_options(CLI::App* serve, MailServeOptions* options);

class MailServices {
public:
    // Checks the options and starts the socketmap server when one is asked for, answering from
    // `directory`, which must outlive it. Null with `error` set on a bad option or an address
    // that cannot be used.
    static std::unique_ptr<MailServices> start(const MailServeOptions& options, const std::string& aliasDomain,
                                               service::AliasDirectory& directory, std::string* error);
    // "127.0.0.1:8732", a socket path, or empty.
    std::string socketmapAddress() const { return socketmap_ ? socketmap_->address() : std::string(); }
    const service::SmtpServerAddress& smtp() const { return smtp_; }

private:
    service::SmtpServerAddress smtp_;
    std::unique_ptr<service::SocketmapServer> socketmap_;
};

}  // namespace bf::cli
