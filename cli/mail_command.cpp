// brackenfold mail setup: writes the mail server's settings for the alias domain into its
// configuration folder and says what it changed. Also the mail side of `brackenfold serve`.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>
#include <tuple>

#include "cli/commands.h"
#include "cli/mail_options.h"
#include "service/postfix_setup.h"

namespace bf::cli {


void add_mail_serve_options(CLI::App* serve, MailServeOptions* options) {
    // Bad syntax is refused while the command line is read, before anything listens.
    serve
        ->add_option("--socketmap", options->socketmap,
                     "answer the mail server's alias lookups (socketmap) on ADDRESS:PORT or a socket path")
        ->check([](const std::string& text) {
            service::SocketmapAddress address;
            std::string error;
            return service::parse_socketmap_address(text, &address, &error) ? std::string() : error;
        });
    serve->add_option("--smtp", options->smtp, "HOST:PORT of the mail server for the service's own mail")
        ->capture_default_str()
        ->check([](const std::string& text) {
            service::SmtpServerAddress address;
            std::string error;
            return service::parse_smtp_address(text, &address, &error) ? std::string() : error;
        });
}

std::unique_ptr<MailServices> MailServices::start(const MailServeOptions& options, const std::string& aliasDomain,
                                                  service::AliasDirectory& directory, std::string* error) {
    std::unique_ptr<MailServices> mail(new MailServices);
    if (!service::parse_smtp_address(options.smtp, &mail->smtp_, error)) return *error = "--smtp: " + *error, nullptr;
    if (options.socketmap.empty()) return mail;
    service::SocketmapAddress address;
    if (!service::parse_socketmap_address(options.socketmap, &address, error))
        return *error = "--socketmap: " + *error, nullptr;
    mail->socketmap_ = service::SocketmapServer::start(directory, aliasDomain, address, error);
    if (!mail->socketmap_) return *error = "--socketmap: " + *error, nullptr;
    return mail;
}

namespace {

struct SetupOptions {
    std::string aliasDomain;
    std::string postfixDir;
    std::string socketmap = "127.0.0.1:8732";
    std::string srsForward = "127.0.0.1:10001";
    std::string srsReverse = "127.0.0.1:10002";
};

int fail(const std::string& message) {
    std::fprintf(stderr, "error: %s\n", message.c_str());
    return 1;
}

bool readFile(const std::string& path, std::string* out, bool* exists) {
    struct stat st {};
    *exists = stat(path.c_str(), &st) == 0;
    if (!*exists) return errno == ENOENT;
    std::ifstream in(path, std::ios::binary);
    if (!in) return false;
    std::stringstream s;
    s << in.rdbuf();
    *out = s.str();
    return !in.bad();
}

// Written beside the old file and renamed over it: the mail server never reads half a file.
bool writeFile(const std::string& path, const std::string& text, std::string* error) {
    struct stat st {};
    mode_t mode = stat(path.c_str(), &st) == 0 ? (st.st_mode & 07777) : 0644;
    std::string temp = path + ".brackenfold-new";
    int fd = open(temp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, mode);
    if (fd < 0) return *error = "cannot write " + temp + ": " + std::strerror(errno), false;
    std::size_t done = 0;
    while (done < text.size()) {
        ssize_t n = write(fd, text.data() + done, text.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        done += static_cast<std::size_t>(n);
    }
    bool ok = done == text.size() && fsync(fd) == 0;
    ok = close(fd) == 0 && ok;
    if (ok) fchmodat(AT_FDCWD, temp.c_str(), mode, 0);
    if (!ok || rename(temp.c_str(), path.c_str()) != 0) {
        *error = "cannot write " + path + ": " + std::strerror(errno);
        unlink(temp.c_str());
        return false;
    }
    return true;
}

int setup(const SetupOptions& o) {
    service::PostfixSetup s;
    s.aliasDomain = o.aliasDomain;
    std::string error;
    if (!service::valid_mail_domain(o.aliasDomain)) return fail("not a domain name: " + o.aliasDomain);
    if (!service::parse_socketmap_address(o.socketmap, &s.socketmap, &error)) return fail("--socketmap: " + error);
    if (!service::parse_socketmap_address(o.srsForward, &s.srsForward, &error) || !s.srsForward.unixPath.empty())
        return fail("--srs-forward: not ADDRESS:PORT: " + o.srsForward);
    if (!service::parse_socketmap_address(o.srsReverse, &s.srsReverse, &error) || !s.srsReverse.unixPath.empty())
        return fail("--srs-reverse: not ADDRESS:PORT: " + o.srsReverse);
    struct stat st {};
    if (stat(o.postfixDir.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) return fail("not a directory: " + o.postfixDir);

    std::string mainPath = o.postfixDir + "/main.cf", masterPath = o.postfixDir + "/master.cf";
    std::string mainCf, masterCf;
    bool mainExists = false, masterExists = false;
    if (!readFile(mainPath, &mainCf, &mainExists)) return fail("cannot read " + mainPath + ": " + std::strerror(errno));
    if (!readFile(masterPath, &masterCf, &masterExists) || !masterExists)
        return fail("cannot read " + masterPath + ": " + std::strerror(errno) + " (is " + o.postfixDir +
                    " the mail server's configuration folder?)");
    std::string newMain = mainCf, newMaster = masterCf;
    std::vector<service::PostfixChange> changes;
    if (!service::apply_postfix_setup(s, &newMain, &newMaster, &changes, &error)) return fail(error);

    for (const auto& c : changes) {
        std::string was = !c.changed() ? " (unchanged)" : c.before.empty() ? " (was not set)" : " (was: " + c.before + ")";
        if (c.file == "master.cf")
            std::printf("master.cf: %s service: %s%s\n", c.name.c_str(), c.after.c_str(), was.c_str());
        else
            std::printf("main.cf: %s = %s%s\n", c.name.c_str(), c.after.c_str(), was.c_str());
    }
    for (auto [path, before, after, existed] : {std::make_tuple(mainPath, mainCf, newMain, mainExists),
                                                std::make_tuple(masterPath, masterCf, newMaster, masterExists)}) {
        if (existed && before == after) {
            std::printf("%s: nothing to change\n", path.c_str());
            continue;
        }
        if (!writeFile(path, after, &error)) return fail(error);
        std::printf("wrote %s\n", path.c_str());
    }
    std::printf("next: run postsrsd for %s (on Debian SRS_DOMAIN=%s in /etc/default/postsrsd), start "
                "`brackenfold serve --socketmap %s`, then reload the mail server (postfix reload)\n",
                s.aliasDomain.c_str(), s.aliasDomain.c_str(), o.socketmap.c_str());
    return 0;
}

void add_mail_command(CLI::App& app) {
    CLI::App* mail = app.add_subcommand("mail", "Mail delivery for the alias domain");
    mail->require_subcommand(1);
    auto opts = std::make_shared<SetupOptions>();
    CLI::App* cmd = mail->add_subcommand("setup", "Write the mail server's settings for the alias domain");
    cmd->add_option("--alias-domain", opts->aliasDomain, "the domain of the alias addresses")->required();
    cmd->add_option("--postfix-dir", opts->postfixDir, "the mail server's configuration folder (main.cf, master.cf)")
        ->required();
    cmd->add_option("--socketmap", opts->socketmap, "where `brackenfold serve --socketmap` answers")->capture_default_str();
    cmd->add_option("--srs-forward", opts->srsForward, "postsrsd's forward table")->capture_default_str();
    cmd->add_option("--srs-reverse", opts->srsReverse, "postsrsd's reverse table")->capture_default_str();
    cmd->callback([opts] { exit_status() = setup(*opts); });
}

const CommandRegistration kRegistration{65, add_mail_command};

}  // namespace

}  // namespace bf::cli
