// brackenfold serve: the reference service (SOAP endpoint, web site, static demo sites) on one
// address until SIGINT or SIGTERM; and its small admin paths: --add-account, --set-rating,
// --set-ad, which change the store and exit. The store is an SQLite file or a PostgreSQL
// database (`--db postgresql://...`); on PostgreSQL any number of these processes serve alike.
#include <pthread.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iostream>
#include <iterator>
#include <memory>
#include <string>
#include <vector>
#include <algorithm>

#include "cli/commands.h"
#include "cli/mail_options.h"
#include "service/client_address.h"
#include "service/outbox.h"
#include "service/service_server.h"
#include "service/service_store.h"
#include "service/store_alias_directory.h"
#include "service/site_key.h"
#include "soap/deployment.h"

namespace bf::cli {

namespace {

struct ServeOptions {
    std::string listen;
    std::string db;
    std::string serviceHost;
    std::string domain;
    std::string sites;
    std::string aliasDomain;
    std::string addAccount;
    std::vector<std::string> setRating;
    std::string setAd;
    std::string adImage;
    std::string adUrl;
    std::string adType;
    MailServeOptions mail;
    std::vector<std::string> trustedProxies;
    unsigned threads = 0;
    bool reusePort = false;
};

int fail(const std::string& message) {
    std::fprintf(stderr, "brackenfold serve: %s\n", message.c_str());
    return 1;
}

std::string defaultDb() {
    const char* xdg = std::getenv("XDG_DATA_HOME");
    std::string base;
    if (xdg && *xdg) {
        base = xdg;
    } else {
        const char* home = std::getenv("HOME");
        base = std::string(home && *home ? home : ".") + "/.local/share";
    }
    return base + "/brackenfold/service.db";
}

// mkdir -p of the directory that holds `file`.
bool makeParents(const std::string& file) {
    std::size_t slash = file.rfind('/');
    if (slash == std::string::npos || slash == 0) return true;
    std::string dir = file.substr(0, slash);
    for (std::size_t i = 1; i <= dir.size(); ++i) {
        if (i < dir.size() && dir[i] != '/') continue;
        std::string part = dir.substr(0, i);
        if (mkdir(part.c_str(), 0700) != 0 && errno != EEXIST) return false;
    }
    return true;
}

// "ADDRESS:PORT", "[IPv6]:PORT"; "localhost" stands for the IPv4 loopback.
bool splitListen(const std::string& text, std::string* address, std::uint16_t* port) {
    std::size_t colon = text.rfind(':');
    if (colon == std::string::npos || colon == 0 || colon + 1 == text.size()) return false;
    std::string portText = text.substr(colon + 1);
    if (portText.size() > 5 || portText.find_first_not_of("0123456789") != std::string::npos) return false;
    unsigned long p = std::stoul(portText);
    if (p > 65535) return false;
    *address = text.substr(0, colon);
    if (*address == "localhost") *address = "127.0.0.1";
    if (address->front() == '[') {
        if (address->back() != ']') return false;
    } else if (address->find(':') != std::string::npos) {
        return false;  // an IPv6 address needs its brackets
    }
    *port = static_cast<std::uint16_t>(p);
    return true;
}

// A PostgreSQL location may carry a password: errors name the store without its query part.
std::string shownLocation(const std::string& location) {
    if (!service::ServiceStore::is_postgres(location)) return location;
    std::size_t at = location.find('@');
    std::size_t scheme = location.find("://") + 3;
    std::string shown = location.substr(0, location.find('?'));
    if (at != std::string::npos && at < shown.size()) shown = shown.substr(0, scheme) + "..." + shown.substr(at);
    return shown;
}

std::unique_ptr<service::ServiceStore> openStore(const ServeOptions& o, int connections = 2) {
    std::string location = o.db.empty() ? defaultDb() : o.db;
    if (!service::ServiceStore::is_postgres(location) && !makeParents(location)) {
        fail("cannot create the directory of " + location + ": " + std::strerror(errno));
        return nullptr;
    }
    service::StoreOptions options;
    options.connections = connections;
    std::string error;
    auto store = service::ServiceStore::open(location, options, &error);
    if (!store) fail("cannot open the store " + shownLocation(location) + ": " + error);
    return store;
}

// Every kept-alive connection is a descriptor: allow as many as the system lets this process have.
void raiseDescriptorLimit() {
    rlimit r{};
    if (getrlimit(RLIMIT_NOFILE, &r) == 0 && r.rlim_cur < r.rlim_max) {
        r.rlim_cur = r.rlim_max;
        setrlimit(RLIMIT_NOFILE, &r);
    }
}

int addAccount(const ServeOptions& o) {
    std::string password;
    if (!std::getline(std::cin, password) && password.empty()) return fail("no password on standard input");
    if (!password.empty() && password.back() == '\r') password.pop_back();
    auto store = openStore(o);
    if (!store) return 1;
    service::Account account;
    switch (store->createAccount(o.addAccount, password, &account)) {
        case service::StoreResult::Ok:
            std::printf("%s\n", account.id.c_str());
            return 0;
        case service::StoreResult::Exists:
            return fail("the user name " + o.addAccount + " is taken");
        case service::StoreResult::Invalid:
            return fail("a user name needs 1 to 64 characters and a password 1 to 1024 bytes");
        default:
            return fail("the account cannot be stored");
    }
}

std::optional<std::string> siteArgument(const std::string& text) {
    std::string url = text.find("//") == std::string::npos ? "http://" + text : text;
    return service::site_key_of(url);
}

int setRating(const ServeOptions& o) {
    std::optional<std::string> site = siteArgument(o.setRating[0]);
    if (!site) return fail("not a site: " + o.setRating[0]);
    const std::string& n = o.setRating[1];
    if (n.empty() || n.size() > 2 || n.find_first_not_of("0123456789") != std::string::npos || std::stoi(n) > 10)
        return fail("a rating is a number from 0 to 10");
    auto store = openStore(o);
    if (!store) return 1;
    if (store->setRating(*site, std::stoi(n)) != service::StoreResult::Ok) return fail("the rating cannot be stored");
    std::printf("%s %s\n", site->c_str(), n.c_str());
    return 0;
}

int setAd(const ServeOptions& o) {
    std::optional<std::string> site = siteArgument(o.setAd);
    if (!site) return fail("not a site: " + o.setAd);
    service::AdRecord ad;
    if (!o.adImage.empty()) {
        std::ifstream in(o.adImage, std::ios::binary);
        if (!in) return fail("cannot read " + o.adImage);
        ad.adBinary.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
        if (ad.adBinary.size() > 512 * 1024) return fail("an advertisement image may hold at most 512 KiB");
        // A PNG says its size in its header; other images leave Width and Height 0.
        const auto* b = reinterpret_cast<const unsigned char*>(ad.adBinary.data());
        if (ad.adBinary.size() >= 24 && std::memcmp(b, "\x89PNG\r\n\x1a\n", 8) == 0) {
            auto be32 = [b](int at) { return (b[at] << 24) | (b[at + 1] << 16) | (b[at + 2] << 8) | b[at + 3]; };
            if (be32(16) <= 32767 && be32(20) <= 32767) ad.width = be32(16), ad.height = be32(20);
        }
        ad.adType = o.adType.empty() ? std::string("image/png") : o.adType;
    } else if (!o.adType.empty()) {
        ad.adType = o.adType;
    }
    if (!o.adUrl.empty()) ad.adURL = o.adUrl;
    auto store = openStore(o);
    if (!store) return 1;
    int id = 0;
    if (store->setAdvertisement(*site, ad, &id) != service::StoreResult::Ok)
        return fail("the advertisement cannot be stored");
    std::printf("%s %d\n", site->c_str(), id);
    return 0;
}

int serve(const ServeOptions& o) {
    // The codec builds its namespace from the deployment constants on first use: the options
    // must be in place before that.
    if (!o.serviceHost.empty()) setenv("BRACKENFOLD_SERVICE_HOST", o.serviceHost.c_str(), 1);
    if (!o.domain.empty()) setenv("BRACKENFOLD_SERVICE_DOMAIN", o.domain.c_str(), 1);
    service::ServiceConfig config;
    std::string listen = o.listen.empty() ? soap::service_host() : o.listen;
    std::string address;
    if (!splitListen(listen, &address, &config.port)) return fail("not ADDRESS:PORT: " + listen);
    config.listenAddress = address;
    config.domain = soap::service_domain();
    config.aliasDomain = o.aliasDomain.empty() ? "alias." + service::host_without_port(config.domain) : o.aliasDomain;
    config.sitesDir = o.sites;
    if (!o.sites.empty()) {
        struct stat st {};
        if (stat(o.sites.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) return fail("not a directory: " + o.sites);
    }
    config.threads = o.threads;
    config.reusePort = o.reusePort;
    for (const std::string& proxy : o.trustedProxies) {
        std::optional<std::string> ip = service::canonical_ip(proxy);
        if (!ip) return fail("--trusted-proxy needs an IP address: " + proxy);
        config.trustedProxies.push_back(*ip);
    }
    raiseDescriptorLimit();
    rlimit files{};
    if (getrlimit(RLIMIT_NOFILE, &files) == 0 && files.rlim_cur != RLIM_INFINITY)
        config.maxConnections = static_cast<unsigned>(std::min<rlim_t>(files.rlim_cur > 64 ? files.rlim_cur - 64 : 16, 100000));
    // One connection to the store for each thread that answers requests, and one to spare.
    unsigned threads = config.threads ? config.threads : service::default_threads();
    config.threads = threads;
    // and a few for the mail server's lookups and the forward counts.
    auto store = openStore(o, static_cast<int>(threads) + 6);
    if (!store) return 1;

    // Threads started from here on inherit the mask, so only sigwait below sees the signals.
    sigset_t signals;
    sigemptyset(&signals);
    sigaddset(&signals, SIGINT);
    sigaddset(&signals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &signals, nullptr);
    signal(SIGPIPE, SIG_IGN);

    std::string error;
    // Mail delivery: the mail server's alias lookups (--socketmap), answered from the store, and
    // the server the confirmation mails go to (--smtp). Nothing connects to that one before the
    // first mail, so a service without a mail server starts and serves all the same.
    service::StoreAliasDirectory directory(*store);
    auto mail = MailServices::start(o.mail, config.aliasDomain, directory, &error);
    if (!mail) return fail(error);
    service::SmtpOptions smtpOptions;
    smtpOptions.heloName = service::host_without_port(config.domain);
    // Stopping waits for the mail being sent: not for long.
    smtpOptions.timeoutSeconds = 15;
    service::SmtpOutbox outbox(mail->smtp(), smtpOptions, [](const std::string& line) {
        std::fprintf(stderr, "brackenfold serve: %s\n", line.c_str());
    });
    auto server = service::ServiceServer::start(*store, config, &error, &outbox);
    if (!server) return fail("cannot listen on " + listen + ": " + error);
    std::printf("listening on %s\n", server->address().c_str());
    std::fflush(stdout);
    if (!mail->socketmapAddress().empty()) std::printf("socketmap on %s\n", mail->socketmapAddress().c_str());
    std::fflush(stdout);
    int sig = 0;
    while (sigwait(&signals, &sig) != 0) {
    }
    server->stop(30);
    mail.reset();  // no more lookups: the directory below writes its last counts
    return 0;
}

void add_serve_command(CLI::App& app) {
    auto opts = std::make_shared<ServeOptions>();
    CLI::App* cmd = app.add_subcommand("serve", "Run the reference web service and web site");
    cmd->add_option("--listen", opts->listen, "ADDRESS:PORT to listen on (default: the service host; port 0: any)");
    cmd->add_option("--db", opts->db,
                    "the store: an SQLite FILE (default: ${XDG_DATA_HOME:-$HOME/.local/share}/brackenfold/service.db)"
                    " or a PostgreSQL location postgresql://...");
    cmd->add_option("--service-host", opts->serviceHost, "host:port in the namespace and action texts");
    cmd->add_option("--domain", opts->domain, "service domain; the web site answers for www.DOMAIN");
    cmd->add_option("--sites", opts->sites, "serve other hosts' files from DIR/HOST/PATH");
    cmd->add_option("--alias-domain", opts->aliasDomain, "domain of new alias addresses (default: alias.DOMAIN)");
    cmd->add_option("--threads", opts->threads, "threads answering requests (default: two per core, at least 4)")
        ->check(CLI::Range(1u, 1024u));
    cmd->add_flag("--reuse-port", opts->reusePort, "share the port with other processes started with --reuse-port");
    cmd->add_option("--trusted-proxy", opts->trustedProxies,
                    "believe X-Forwarded-For (its last hop) only from this proxy ADDR (repeatable)")
        ->type_name("ADDR");
    auto* add = cmd->add_option("--add-account", opts->addAccount,
                                "create account NAME (password on standard input), print its id and exit");
    auto* rating = cmd->add_option("--set-rating", opts->setRating, "give SITE the rating N (0 to 10) and exit")
                       ->expected(2)
                       ->type_name("SITE N");
    auto* ad = cmd->add_option("--set-ad", opts->setAd, "give SITE a new advertisement and exit");
    cmd->add_option("--ad-image", opts->adImage, "image file of --set-ad")->needs(ad);
    cmd->add_option("--ad-url", opts->adUrl, "link of --set-ad")->needs(ad);
    cmd->add_option("--ad-type", opts->adType, "AdType text of --set-ad (default image/png with an image)")->needs(ad);
    add_mail_serve_options(cmd, &opts->mail);
    add->excludes(rating)->excludes(ad);
    rating->excludes(ad);
    cmd->callback([opts, add, rating, ad] {
        if (add->count())
            exit_status() = addAccount(*opts);
        else if (rating->count())
            exit_status() = setRating(*opts);
        else if (ad->count())
            exit_status() = setAd(*opts);
        else
            exit_status() = serve(*opts);
    });
}

const CommandRegistration kRegistration{60, add_serve_command};
}  // namespace

}  // namespace bf::cli
