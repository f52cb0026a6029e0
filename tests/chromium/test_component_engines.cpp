// The registered component on both engines from one table: sign-in picked up from the service's
// site, the alias filling only empty e-mail fields of the top document (never a frame's, never a
// password), the status box logged out, rating and advertisement links, a second window. And on
// Chromium, the account picked up through the real pages of `brackenfold serve`.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#if BF_HOST_TESTS_WITH_SERVICE

#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <nlohmann/json.hpp>
#include <thread>

#include "service/service_server.h"
#include "service/service_store.h"
#include "tests/chromium/chromium_support.h"
#include "tests/host/host_support.h"
#include "tests/host/suite_service.h"

namespace bf::host::test {
namespace {

using json = nlohmann::json;
using ::testing::HasSubstr;

constexpr const char* kPassword = "pw-for-tests";

json line_json(const BrowseResult& r, size_t i) {
    auto lines = r.out_lines();
    if (i >= lines.size()) return json();
    return json::parse(lines[i], nullptr, false);
}

// One service for the suite (the component reads its deployment constants once per process, the
// suite's children get them from the environment); each test has its own hive and account.
class ComponentOnEngine : public ::testing::TestWithParam<const char*> {
protected:
    static void SetUpTestSuite() {
        suite_dir = new Sandbox(false);
        std::filesystem::create_directories(suite_dir->dir() / "sites");
        std::string error;
        store = service::ServiceStore::open((suite_dir->dir() / "service.db").string(), &error).release();
        ASSERT_TRUE(store) << error;
        server = start_suite_service(*store, (suite_dir->dir() / "sites").string(), &port, &error);
        ASSERT_TRUE(server) << error;
    }
    static void TearDownTestSuite() {
        if (server) server->stop(5);
        delete server;
        delete store;
        delete suite_dir;
        server = nullptr;
        store = nullptr;
        suite_dir = nullptr;
    }

    void SetUp() override {
        ASSERT_TRUE(server && store);
        static int accounts = 0;
        user = std::string("moss") + GetParam() + std::to_string(++accounts);
        service::Account account;
        ASSERT_EQ(store->createAccount(user, kPassword, &account), service::StoreResult::Ok);
        env = {"BRACKENFOLD_SERVICE_HOST=127.0.0.1:" + port, "BRACKENFOLD_SERVICE_DOMAIN=brackenfold.localhost:" + port};
        auto reg = box.run("register", {}, env);
        ASSERT_EQ(reg.exit_code, 0) << reg.out << reg.err;
        for (const char* h : {"www.brackenfold.localhost", "www.shop.test", "www.rated.test", "www.other.test",
                              "www.news.test"})
            resolve += std::string(" --resolve ") + h + ":" + port + ":127.0.0.1";
    }

    void page(const std::string& host, const std::string& path, const std::string& html) {
        auto file = suite_dir->dir() / "sites" / host / path;
        std::filesystem::create_directories(file.parent_path());
        std::ofstream(file, std::ios::binary) << html;
    }
    std::string site(const std::string& host, const std::string& path = "/") const {
        return "http://" + host + ":" + port + path;
    }
    std::string sign_in() const {
        return "open " + site("www.brackenfold.localhost", "/login.aspx") + "\nwait\ntype username " + user +
               "\ntype password " + kPassword + "\nsubmit\nwait\n";
    }
    BrowseResult browse(const std::string& script) {
        return box.browse(script, engine_flag(GetParam()) + resolve, env);
    }

    static inline Sandbox* suite_dir = nullptr;
    static inline service::ServiceStore* store = nullptr;
    static inline service::ServiceServer* server = nullptr;
    static inline std::string port;
    Sandbox box{false};
    std::string user, resolve;
    std::vector<std::string> env;
};

TEST_P(ComponentOnEngine, SigningInOnTheServiceSitePicksTheAccountUpAndLogoutDropsIt) {
    auto r = browse("open " + site("www.brackenfold.localhost", "/login.aspx") + "\nwait\nshow\n" + sign_in() +
                    "show\nopen " + site("www.shop.test") + "\nwait\nshow\nclick login\nshow\n");
    ASSERT_EQ(r.exit_code, 0) << r.err;
    EXPECT_EQ(line_json(r, 0)["status"], "Welcome to Bracken Fold");
    EXPECT_EQ(line_json(r, 1)["status"], "You are logged in");
    EXPECT_EQ(line_json(r, 1)["name"], user);
    EXPECT_EQ(line_json(r, 2)["status"], "Click for Alias Email...");
    EXPECT_EQ(line_json(r, 3)["status"], "Please Login");
    EXPECT_EQ(line_json(r, 3)["url"], site("www.shop.test"));
}

TEST_P(ComponentOnEngine, TheAliasFillsOnlyEmptyEmailTextFieldsOfTheTopDocument) {
    page("www.shop.test", "index.html",
         "<form><input type=email id=email><input id=login name=email><input type=password name=email>"
         "<input id=mail><input name=contact_email value=' '><input type=hidden id=hidden_email></form>"
         "<iframe src='http://www.other.test:" + port + "/frame.html'></iframe>");
    page("www.other.test", "frame.html", "<input type=text id=newsletter_email>");
    auto r = browse(sign_in() + "open " + site("www.shop.test") + "\nwait\nclick status\nwait\nshow\nfields\n");
    ASSERT_EQ(r.exit_code, 0) << r.err;
    std::string alias = line_json(r, 0)["status"];
    ASSERT_THAT(alias, HasSubstr("@alias.test"));
    EXPECT_EQ(line_json(r, 0)["focus"], "status");
    json f = line_json(r, 1);
    std::vector<std::string> values;
    for (const auto& in : f["inputs"]) values.push_back(in["value"]);
    EXPECT_EQ(values, (std::vector<std::string>{alias, alias, "", "", " ", ""}));
    EXPECT_EQ(f["frames"][0]["url"], "http://www.other.test:" + port + "/frame.html");
    EXPECT_EQ(f["frames"][0]["inputs"][0]["value"], "");
}

TEST_P(ComponentOnEngine, ClickingTheStatusBoxLoggedOutDoesNothing) {
    page("www.news.test", "index.html", "<input id=email>");
    auto r = browse("open " + site("www.news.test") + "\nwait\nclick status\nwait\nshow\nfields\n");
    ASSERT_EQ(r.exit_code, 0) << r.err;
    EXPECT_EQ(line_json(r, 0)["status"], "Please Login");
    EXPECT_EQ(line_json(r, 1)["inputs"][0]["value"], "");
}

TEST_P(ComponentOnEngine, TheRatingClickOpensTheRatingPageAndANewWindowLooksItsSiteUp) {
    ASSERT_EQ(store->setRating("http://rated.test:" + port, 7), service::StoreResult::Ok);
    page("www.shop.test", "index.html", "<input id=email>");
    auto r = browse(sign_in() + "open " + site("www.rated.test") + "\nwait\nclick rating\nshow\nnewwindow\nopen " +
                    site("www.shop.test") + "\nwait\nshow\n");
    ASSERT_EQ(r.exit_code, 0) << r.err;
    EXPECT_EQ(line_json(r, 0)["url"], site("www.brackenfold.localhost", "/rating.aspx?r=7&d=rated.test:" + port));
    EXPECT_EQ(line_json(r, 1)["window"], 2);
    EXPECT_EQ(line_json(r, 1)["status"], "Click for Alias Email...");
}

INSTANTIATE_TEST_SUITE_P(BothEngines, ComponentOnEngine, ::testing::ValuesIn(kEngines),
                         [](const ::testing::TestParamInfo<const char*>& info) { return std::string(info.param); });

// `brackenfold serve` as it runs for users, its pages seen through Chromium.
TEST(ServeThroughChromium, TheServiceSitePicksTheAccountUpThroughItsRealPages) {
    Sandbox box(false);
    std::string db = (box.dir() / "serve.db").string();
    auto added = box.run("serve --db '" + db + "' --add-account fern", "fronds\n");
    ASSERT_EQ(added.exit_code, 0) << added.err;
    std::string port = std::to_string(free_port());
    std::string domain = "brackenfold.localhost:" + port;
    pid_t serve = fork();
    ASSERT_GE(serve, 0);
    if (serve == 0) {
        execl(brackenfold_binary().c_str(), "brackenfold", "serve", "--listen", ("127.0.0.1:" + port).c_str(), "--db",
              db.c_str(), "--domain", domain.c_str(), "--service-host", ("127.0.0.1:" + port).c_str(),
              static_cast<char*>(nullptr));
        _exit(127);
    }
    struct Stop {
        pid_t pid;
        ~Stop() {
            kill(pid, SIGTERM);
            int status = 0;
            waitpid(pid, &status, 0);
        }
    } stop{serve};
    std::vector<std::string> env = {"BRACKENFOLD_SERVICE_HOST=127.0.0.1:" + port, "BRACKENFOLD_SERVICE_DOMAIN=" + domain};
    ASSERT_EQ(box.run("register", {}, env).exit_code, 0);
    std::string login = "http://www." + domain + "/login.aspx";
    // The service needs a moment to listen: the first page is asked for until it answers.
    BrowseResult r;
    for (int attempt = 0; attempt < 20; ++attempt) {
        r = box.browse("open " + login + "\nwait\nshow\ntype username fern\ntype password fronds\nsubmit\nwait\nshow\n",
                       "--engine chromium --resolve www." + domain + ":127.0.0.1", env);
        if (r.exit_code != 0 || line_json(r, 0)["status"] == "Welcome to Bracken Fold") break;
        std::this_thread::sleep_for(std::chrono::milliseconds(250));
    }
    ASSERT_EQ(r.exit_code, 0) << r.err;
    EXPECT_EQ(line_json(r, 0)["status"], "Welcome to Bracken Fold");
    json after = line_json(r, 1);
    EXPECT_EQ(after["status"], "You are logged in");
    EXPECT_EQ(after["name"], "fern");
    EXPECT_EQ(after["url"], "http://www." + domain + "/account.aspx");
}

TEST(DemoInChromium, RunsTheTourToItsEndWithTheBandAboveEachPage) {
    Sandbox box(false);
    auto out = box.dir() / "shots";
    std::string repo = std::filesystem::path(BF_TEST_DATA_DIR).parent_path().parent_path().string();
    auto r = box.run("demo --engine chromium --out '" + out.string() + "' --repo '" + repo + "'");
    ASSERT_EQ(r.exit_code, 0) << r.out << r.err;
    EXPECT_THAT(r.out, HasSubstr("Brackenfold demo (chromium engine)"));
    EXPECT_THAT(r.out, HasSubstr("status box: \"You are logged in\""));
    EXPECT_THAT(r.out, HasSubstr("in a frame: text field newsletter-email: empty"));
    EXPECT_THAT(r.out, HasSubstr("The demo ran to its end."));
    size_t pngs = 0;
    for (const auto& e : std::filesystem::directory_iterator(out)) {
        if (e.path().extension() != ".png") continue;
        ++pngs;
        std::string bytes = read_file(e.path());
        ASSERT_GT(bytes.size(), 24u);
        auto be32 = [&](size_t at) {
            return (static_cast<unsigned char>(bytes[at]) << 24) | (static_cast<unsigned char>(bytes[at + 1]) << 16) |
                   (static_cast<unsigned char>(bytes[at + 2]) << 8) | static_cast<unsigned char>(bytes[at + 3]);
        };
        EXPECT_EQ(be32(16), 800) << e.path();
        EXPECT_EQ(be32(20), 30 + 600) << e.path();  // the band above the page
    }
    EXPECT_EQ(pngs, 8u);
}

}  // namespace
}  // namespace bf::host::test

#endif  // BF_HOST_TESTS_WITH_SERVICE
