// The extension in real Chromium (the Chromium engine's launcher, headless, a throw-away
// profile with the extension loaded unpacked and the native host installed into it by
// `brackenfold extension install --profile`), the registered component behind it, against the
// reference service and a shop on loopback. Driven as a user would: pages in tabs, the popup
// page of a tab, clicks on its picture. Chromium that cannot be started fails the suite.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#if BF_HOST_TESTS_WITH_SERVICE

#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <fstream>
#include <thread>

#include "host/devtools_client.h"
#include "host/devtools_launcher.h"
#include "host/native_messaging.h"
#include "service/service_server.h"
#include "service/service_store.h"
#include "tests/host/host_support.h"
#include "tests/host/suite_service.h"

namespace bf::host::test {
namespace {

using ::testing::HasSubstr;
using namespace std::chrono_literals;

const std::string kShop = R"(<form id=f method=post action=/submit>
<input id=email name=email type=email><input name=newsletter_email><input name=who></form>)";

// One browser, one service, one shop for the suite: the tests follow one user's session.
class InChromium : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        box = new Sandbox(false);
        std::string error;
        store = service::ServiceStore::open((box->dir() / "service.db").string(), &error).release();
        ASSERT_TRUE(store) << error;
        server = start_suite_service(*store, "", &port, &error);
        ASSERT_TRUE(server) << error;
        service::Account account;
        ASSERT_EQ(store->createAccount("fern", "fronds-for-tests", &account), service::StoreResult::Ok);
        // The browser starts the native host with its own environment: this one's.
        setenv("BRACKENFOLD_HIVE", box->hive().string().c_str(), 1);
        auto reg = box->run("register");
        ASSERT_EQ(reg.exit_code, 0) << reg.err;
        shop = new PageServer();
        shop->set_html("/signup", kShop);
        shop->set_html("/other", kShop);
        shop->set_html("/submit", "<p>thanks</p>");

        LaunchOptions o;
        o.extension_dir = std::string(BF_SOURCE_DIR) + "/extension";
        std::string sp = std::to_string(shop->port());
        o.resolve = {"www.shop.test:" + sp + ":127.0.0.1", "www.other.test:" + sp + ":127.0.0.1",
                     "www.brackenfold.localhost:" + port + ":127.0.0.1"};
        o.prepare_profile = [](const std::string& dir, std::string* why) {
            profile = dir;
            auto r = box->run("extension install --profile '" + dir + "'");
            if (r.exit_code != 0) *why = "brackenfold extension install failed: " + r.err;
            return r.exit_code == 0;
        };
        process = ChromiumProcess::launch(o, &error).release();
        ASSERT_TRUE(process) << error;
        client = new DevToolsClient(process->read_fd(), process->write_fd(), [] { return std::string("it exited"); });
        Json v;
        ASSERT_TRUE(client->call("", "Browser.getVersion", Json::object(), &v, &error, 20s))
            << "cannot start Chromium: " << error << " " << process->log_tail();
    }
    static void TearDownTestSuite() {
        if (client) client->stop();
        delete client;
        delete process;  // kills the browser and, with it, the native host's pipes
        delete shop;
        if (server) server->stop(5);
        delete server;
        delete store;
        delete box;
        client = nullptr;
        process = nullptr;
        shop = nullptr;
        server = nullptr;
        store = nullptr;
        box = nullptr;
    }

    // A tab at `url`: its DevTools session.
    static std::string open_tab(const std::string& url) {
        Json r;
        std::string error;
        EXPECT_TRUE(client->call("", "Target.createTarget", {{"url", url}}, &r, &error)) << error;
        std::string target = json_string(r, "targetId");
        EXPECT_TRUE(client->call("", "Target.attachToTarget", {{"targetId", target}, {"flatten", true}}, &r, &error))
            << error;
        sessions[json_string(r, "sessionId")] = target;
        return json_string(r, "sessionId");
    }
    static void close_tab(const std::string& session) {
        Json r;
        std::string error;
        client->call("", "Target.closeTarget", {{"targetId", sessions[session]}}, &r, &error);
    }

    // The value of `expression` in the page of `session` (promises awaited); null when it threw.
    static Json eval(const std::string& session, const std::string& expression) {
        Json r;
        std::string error;
        if (!client->call(session, "Runtime.evaluate",
                          {{"expression", expression}, {"returnByValue", true}, {"awaitPromise", true}}, &r, &error) ||
            r.contains("exceptionDetails"))
            return Json();
        return r["result"].contains("value") ? r["result"]["value"] : Json();
    }

    // Waits up to `within` for `expression` to give `want`; the last value seen.
    static Json wait_eval(const std::string& session, const std::string& expression, const Json& want,
                          std::chrono::milliseconds within = 20s) {
        auto until = std::chrono::steady_clock::now() + within;
        Json v;
        while (std::chrono::steady_clock::now() < until) {
            v = eval(session, expression);
            if (v == want) break;
            std::this_thread::sleep_for(100ms);
        }
        return v;
    }

    // The extension's id for the tab showing `url` (asked in an extension page).
    static int tab_id(const std::string& url) {
        if (helper.empty()) helper = open_tab(std::string("chrome-extension://") + kExtensionId + "/popup.html?tab=0");
        Json v = wait_eval(helper,
                           "chrome.tabs.query({}).then(ts => (ts.find(t => t.url === " + Json(url).dump() +
                               ") || {id: -1}).id)",
                           Json(), 200ms);
        for (int i = 0; i < 100 && (!v.is_number_integer() || v.get<int>() < 0); ++i) {
            std::this_thread::sleep_for(100ms);
            v = eval(helper, "chrome.tabs.query({}).then(ts => (ts.find(t => t.url === " + Json(url).dump() +
                                 ") || {id: -1}).id)");
        }
        return v.is_number_integer() ? v.get<int>() : -1;
    }

    static std::string popup(int tab) {
        return open_tab(std::string("chrome-extension://") + kExtensionId + "/popup.html?tab=" + std::to_string(tab));
    }
    static Json status_of(const std::string& popup_session, const std::string& want, std::chrono::milliseconds within = 20s) {
        return wait_eval(popup_session, "document.getElementById('band').title", want, within);
    }
    // A click on the popup's picture at `x`,`y` of the band, as the mouse gives it.
    static void click_band(const std::string& popup_session, int x, int y) {
        Json r = eval(popup_session, "(() => { const b = document.getElementById('band').getBoundingClientRect();"
                                     " return [b.left, b.top]; })()");
        ASSERT_TRUE(r.is_array()) << "the popup shows no band";
        double px = r[0].get<double>() + x, py = r[1].get<double>() + y;
        std::string error;
        Json ignored;
        for (const char* type : {"mouseMoved", "mousePressed", "mouseReleased"})
            ASSERT_TRUE(client->call(popup_session, "Input.dispatchMouseEvent",
                                     {{"type", type}, {"x", px}, {"y", py}, {"button", "left"}, {"clickCount", 1}},
                                     &ignored, &error))
                << error;
    }
    // The tab's page (not its first empty document) has loaded.
    static Json loaded(const std::string& session) {
        return wait_eval(session, "location.protocol.startsWith('http') && document.readyState === 'complete'", true);
    }
    static std::string value_of(const std::string& field) {
        return "document.querySelector('[name=" + field + "]').value";
    }
    static std::string host_log() {
        std::ifstream in(profile + "/brackenfold-stderr.log");
        std::string all((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        return all;
    }

    static void sign_in() {
        std::string s = open_tab("http://www.brackenfold.localhost:" + port + "/login.aspx");
        ASSERT_EQ(loaded(s), true);
        eval(s, "document.querySelector('[name=username]').value = 'fern';"
                "document.querySelector('[name=password]').value = 'fronds-for-tests';"
                "document.querySelector('form').submit(); true");
        for (int i = 0; i < 200 && box->run("reg export HKCU").out.find("\"ciUN\"=\"fern\"") == std::string::npos; ++i)
            std::this_thread::sleep_for(100ms);
        signed_in = box->run("reg export HKCU").out.find("\"ciUN\"=\"fern\"") != std::string::npos;
        close_tab(s);
    }

    static inline Sandbox* box = nullptr;
    static inline service::ServiceStore* store = nullptr;
    static inline service::ServiceServer* server = nullptr;
    static inline PageServer* shop = nullptr;
    static inline ChromiumProcess* process = nullptr;
    static inline DevToolsClient* client = nullptr;
    static inline std::string port, profile, helper;
    static inline std::map<std::string, std::string> sessions;
    static inline bool signed_in = false;
};

TEST_F(InChromium, SignInOnTheServiceSitePicksTheAccountUp) {
    sign_in();
    EXPECT_TRUE(signed_in) << host_log();
}

TEST_F(InChromium, AShopShowsTheLookupAndAClickInTheStatusBoxFillsItsEmailFields) {
    if (!signed_in) sign_in();
    ASSERT_TRUE(signed_in);
    std::string url = "http://www.shop.test:" + std::to_string(shop->port()) + "/signup";
    std::string page = open_tab(url);
    ASSERT_EQ(loaded(page), true);
    // What the user typed before the fill stays.
    eval(page, "document.querySelector('[name=who]').value = 'typed by me'; true");
    int tab = tab_id(url);
    ASSERT_GE(tab, 0);
    std::string face = popup(tab);
    ASSERT_EQ(status_of(face, "Click for Alias Email..."), "Click for Alias Email...") << host_log();
    click_band(face, 300, 10);
    Json alias = wait_eval(page, value_of("email") + ".includes('@alias.test')", true);
    ASSERT_EQ(alias, true) << host_log();
    std::string address = eval(page, value_of("email")).get<std::string>();
    // Each field is its own write through the content script: the second may land a moment later.
    EXPECT_EQ(wait_eval(page, value_of("newsletter_email"), address), address);
    EXPECT_EQ(eval(page, value_of("who")), "typed by me");
    EXPECT_EQ(status_of(face, address), address);
    // The badge says the site has an alias.
    EXPECT_EQ(wait_eval(helper, "chrome.action.getBadgeText({tabId: " + std::to_string(tab) + "})", "@"), "@");
    // At the server after the submit.
    shop->clear_requests();
    eval(page, "document.getElementById('f').submit(); true");
    std::string body;
    for (int i = 0; i < 100 && body.empty(); ++i) {
        for (const auto& r : shop->requests())
            if (r.method == "POST") body = r.body;
        std::this_thread::sleep_for(100ms);
    }
    std::string escaped = address.substr(0, address.find('@')) + "%40alias.test";
    EXPECT_THAT(body, HasSubstr("email=" + escaped));
    EXPECT_THAT(body, HasSubstr("newsletter_email=" + escaped));
    EXPECT_THAT(body, HasSubstr("who=typed+by+me"));

    // A second tab of another site has its own band and lookup.
    std::string other_url = "http://www.other.test:" + std::to_string(shop->port()) + "/other";
    std::string other = open_tab(other_url);
    int other_tab = tab_id(other_url);
    ASSERT_GE(other_tab, 0);
    std::string other_face = popup(other_tab);
    EXPECT_EQ(status_of(other_face, "Click for Alias Email..."), "Click for Alias Email...");
    EXPECT_EQ(status_of(face, address, 2s), address);

    // Closing a tab ends its band.
    close_tab(other);
    for (int i = 0; i < 100 && host_log().find("tab " + std::to_string(other_tab) + ": toolbar closed") == std::string::npos; ++i)
        std::this_thread::sleep_for(100ms);
    EXPECT_THAT(host_log(), HasSubstr("tab " + std::to_string(other_tab) + ": toolbar closed"));
    close_tab(other_face);
    close_tab(face);
    close_tab(page);
}

// The native host's processes, found by the hive in their environment.
std::vector<pid_t> native_hosts(const std::string& hive) {
    std::vector<pid_t> out;
    std::error_code ec;
    for (const auto& e : std::filesystem::directory_iterator("/proc", ec)) {
        std::string name = e.path().filename().string();
        if (name.find_first_not_of("0123456789") != std::string::npos) continue;
        std::ifstream cmd(e.path() / "cmdline"), env(e.path() / "environ");
        std::string c((std::istreambuf_iterator<char>(cmd)), {}), v((std::istreambuf_iterator<char>(env)), {});
        if (c.find("native-host") != std::string::npos && c.find("brackenfold") != std::string::npos &&
            v.find("BRACKENFOLD_HIVE=" + hive) != std::string::npos)
            out.push_back(static_cast<pid_t>(std::stol(name)));
    }
    return out;
}

TEST_F(InChromium, TheNativeHostKilledComesBackWithTheNextPageAndThePopupSaysSo) {
    if (!signed_in) sign_in();
    ASSERT_TRUE(signed_in);
    std::string url = "http://www.shop.test:" + std::to_string(shop->port()) + "/signup";
    std::string page = open_tab(url);
    int tab = tab_id(url);
    ASSERT_GE(tab, 0);
    std::string face = popup(tab);
    // The site's status once its lookup is done (its alias when the test before made one).
    const std::string settled =
        "(t => t === 'Click for Alias Email...' || t.includes('@') ? t : '')(document.getElementById('band').title)";
    Json before;
    for (int i = 0; i < 200 && (!before.is_string() || before.get<std::string>().empty()); ++i) {
        std::this_thread::sleep_for(100ms);
        before = eval(face, settled);
    }
    ASSERT_TRUE(before == "Click for Alias Email..." || before.dump().find("@alias.test") != std::string::npos)
        << before.dump();
    auto hosts = native_hosts(box->hive().string());
    ASSERT_FALSE(hosts.empty()) << "no native host is running";
    for (pid_t p : hosts) kill(p, SIGKILL);
    Json said = wait_eval(face, "document.getElementById('message').textContent.includes('stopped')", true);
    EXPECT_EQ(said, true);
    // The next page starts it again; the popup says so and the tab has its band again.
    eval(page, "location.href = '/other'; true");
    EXPECT_EQ(wait_eval(face, "document.getElementById('message').textContent.includes('started again')", true), true);
    close_tab(face);
    std::string again = popup(tab);
    EXPECT_EQ(status_of(again, before), before) << host_log();
    EXPECT_FALSE(native_hosts(box->hive().string()).empty());
    close_tab(again);
    close_tab(page);
}

// Without the install command's manifest the browser finds no host: the popup says so and names
// the command.
TEST(InChromiumWithoutHost, ThePopupNamesTheInstallCommand) {
    LaunchOptions o;
    o.extension_dir = std::string(BF_SOURCE_DIR) + "/extension";
    std::string error;
    auto browser = ChromiumProcess::launch(o, &error);
    ASSERT_TRUE(browser) << error;
    DevToolsClient c(browser->read_fd(), browser->write_fd(), [] { return std::string("it exited"); });
    Json r;
    ASSERT_TRUE(c.call("", "Browser.getVersion", Json::object(), &r, &error, 20s)) << error << browser->log_tail();
    ASSERT_TRUE(c.call("", "Target.createTarget",
                       {{"url", std::string("chrome-extension://") + kExtensionId + "/popup.html?tab=1"}}, &r, &error))
        << error;
    ASSERT_TRUE(c.call("", "Target.attachToTarget", {{"targetId", json_string(r, "targetId")}, {"flatten", true}}, &r,
                       &error));
    std::string session = json_string(r, "sessionId");
    std::string said;
    for (int i = 0; i < 200 && said.find("not installed") == std::string::npos; ++i) {
        Json v;
        if (c.call(session, "Runtime.evaluate",
                   {{"expression", "document.getElementById('message').textContent"}, {"returnByValue", true}}, &v,
                   &error) &&
            v["result"]["value"].is_string())
            said = v["result"]["value"].get<std::string>();
        std::this_thread::sleep_for(100ms);
    }
    EXPECT_THAT(said, HasSubstr("not installed"));
    EXPECT_THAT(said, HasSubstr("brackenfold extension install"));
    c.stop();
}

}  // namespace
}  // namespace bf::host::test

#else
TEST(InChromium, NeedsTheServiceAndTheComponent) { FAIL() << "built without the reference service or the component"; }
#endif  // BF_HOST_TESTS_WITH_SERVICE
