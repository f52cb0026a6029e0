// `brackenfold native-host` over a pipe with a fake extension: the browser's events of a tab as
// the band sees them (fake band), a closed tab ending its band, the input's end, outside input
// answered with errors; and the registered component against the reference service on loopback:
// sign-in picked up, a tab's lookup, a click in the status box filling through `write`, a
// refused write leaving the user's text.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <thread>

#include "tests/extension/fake_extension.h"
#include "tests/host/host_support.h"
#include "tests/host/suite_service.h"

#if BF_HOST_TESTS_WITH_SERVICE
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include "service/service_server.h"
#include "service/service_store.h"
#endif

namespace bf::host::test {
namespace {

using ::testing::ElementsAreArray;
using ::testing::HasSubstr;

const std::string kBN2 = " 9 400c 400c 400c 400c 400c 400b ";
const std::string kNC = " 9 400c ";

std::vector<std::string> host_env(const Sandbox& box, std::vector<std::string> more = {}) {
    more.push_back("BRACKENFOLD_HIVE=" + box.hive().string());
    more.push_back("BF_FAKE_BAND_LOG=" + box.band_log().string());
    return more;
}

// The band log's lines that start with `prefix`, once `count` of them are there (or after 10 s).
std::vector<std::string> wait_lines(const Sandbox& box, const std::string& prefix, size_t count) {
    std::vector<std::string> got;
    for (int i = 0; i < 500; ++i) {
        got.clear();
        for (const auto& l : box.band_log_lines())
            if (l.rfind(prefix, 0) == 0) got.push_back(l);
        if (got.size() >= count) break;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return got;
}

json nav(const char* event, int frame, int parent, const std::string& url) {
    return {{"type", "nav"}, {"event", event}, {"tab", 7}, {"frame", frame}, {"parent", parent}, {"url", url}};
}

struct EventCase {
    const char* name;
    std::vector<json> messages;
    std::vector<std::string> events;  // the band's event lines
};

const std::string A = "http://a.test/", F = "http://f.test/frame", B = "http://a.test/b";

class NativeHostEvents : public ::testing::TestWithParam<EventCase> {};

TEST_P(NativeHostEvents, TheTabsNavigationsBecomeTheBrowsersEvents) {
    const EventCase& c = GetParam();
    Sandbox box;
    FakeExtension ext(host_env(box));
    ext.send({{"type", "hello"}, {"version", "0.1.0"}});
    ext.send({{"type", "tab.open"}, {"tab", 7}, {"url", ""}, {"loaded", false}});
    for (const auto& m : c.messages) ext.send(m);
    auto events = wait_lines(box, "event ", c.events.size());
    EXPECT_THAT(events, ElementsAreArray(c.events));
    EXPECT_EQ(ext.finish(), 0);
}

INSTANTIATE_TEST_SUITE_P(
    Table, NativeHostEvents,
    ::testing::Values(
        EventCase{"page",
                  {nav("before", 0, -1, A), nav("commit", 0, -1, A), nav("complete", 0, -1, A)},
                  {"event 250 top" + kBN2 + A, "event 252 top" + kNC + A, "event 259 top" + kNC + A}},
        EventCase{"frames_complete_before_the_top",
                  {nav("before", 0, -1, A), nav("commit", 0, -1, A), nav("commit", 0, -1, "about:blank"),
                   nav("before", 3, 0, F), nav("commit", 3, 0, F), nav("complete", 3, 0, F),
                   nav("before", 4, 0, "about:blank"), nav("complete", 0, -1, A)},
                  {"event 250 top" + kBN2 + A, "event 252 top" + kNC + A, "event 250 frame" + kBN2 + F,
                   "event 252 frame" + kNC + F, "event 259 frame" + kNC + F, "event 259 top" + kNC + A}},
        EventCase{"a_frame_still_loading_holds_the_top_back_until_it_fails",
                  {nav("before", 0, -1, A), nav("commit", 0, -1, A), nav("before", 3, 0, F),
                   nav("complete", 0, -1, A), nav("error", 3, 0, F)},
                  {"event 250 top" + kBN2 + A, "event 252 top" + kNC + A, "event 250 frame" + kBN2 + F,
                   "event 259 top" + kNC + A}},
        EventCase{"a_view_pushed_on_the_history_is_a_page",
                  {nav("before", 0, -1, A), nav("commit", 0, -1, A), nav("complete", 0, -1, A),
                   nav("samedocument", 0, -1, B)},
                  {"event 250 top" + kBN2 + A, "event 252 top" + kNC + A, "event 259 top" + kNC + A,
                   "event 252 top" + kNC + B, "event 259 top" + kNC + B}},
        EventCase{"inputs_added_after_the_load_complete_the_top_again",
                  {nav("before", 0, -1, A), nav("commit", 0, -1, A), nav("complete", 0, -1, A),
                   {{"type", "inputs"}, {"tab", 7}}},
                  {"event 250 top" + kBN2 + A, "event 252 top" + kNC + A, "event 259 top" + kNC + A,
                   "event 259 top" + kNC + A}},
        EventCase{"a_redirect_chain_is_one_navigation",
                  {nav("before", 0, -1, A), nav("commit", 0, -1, B), nav("complete", 0, -1, B)},
                  {"event 250 top" + kBN2 + A, "event 252 top" + kNC + B, "event 259 top" + kNC + B}},
        EventCase{"a_commit_without_its_start_is_announced_first",
                  {nav("commit", 0, -1, A), nav("complete", 0, -1, A)},
                  {"event 250 top" + kBN2 + A, "event 252 top" + kNC + A, "event 259 top" + kNC + A}},
        EventCase{"a_failed_navigation_fires_no_completion",
                  {nav("before", 0, -1, A), nav("error", 0, -1, A), nav("before", 0, -1, B),
                   nav("commit", 0, -1, B), nav("complete", 0, -1, B)},
                  {"event 250 top" + kBN2 + A, "event 250 top" + kBN2 + B, "event 252 top" + kNC + B,
                   "event 259 top" + kNC + B}}),
    [](const ::testing::TestParamInfo<EventCase>& info) { return std::string(info.param.name); });

// A closed tab closes its window as the original browser does; the input's end closes the rest.
TEST(NativeHost, ATabsCloseEndsItsBandAndTheInputsEndEndsTheOthers) {
    Sandbox box;
    FakeExtension ext(host_env(box));
    ext.load(1, A, FakePage{});
    ext.load(2, B, FakePage{});
    ASSERT_EQ(wait_lines(box, "event 259", 2).size(), 2u);
    ext.send({{"type", "tab.close"}, {"tab", 1}});
    auto closing = wait_lines(box, "SetSite(null)", 1);
    ASSERT_EQ(closing.size(), 1u);
    std::vector<std::string> tail;
    for (const auto& l : box.band_log_lines())
        if (l.rfind("event 253", 0) == 0 || l.rfind("ShowDW 0", 0) == 0 || l == "CloseDW" || l == "SetSite(null)")
            tail.push_back(l.rfind("event", 0) == 0 ? l.substr(0, 9) : l);
    EXPECT_THAT(tail, ElementsAreArray({"event 253", "ShowDW 0", "CloseDW", "SetSite(null)"}));
    EXPECT_EQ(ext.finish(), 0);
    EXPECT_EQ(wait_lines(box, "SetSite(null)", 2).size(), 2u);
}

// The fake band fills its text into every empty text field at DocumentComplete: through `write`,
// expecting what it read.
TEST(NativeHost, ThePageIsReadAndWrittenThroughTheContentScript) {
    Sandbox box;
    FakeExtension ext(host_env(box, {"BF_FAKE_BAND_FILL=filled"}));
    FakePage page;
    page.inputs = {{"email", "email", "", ""}, {"password", "pw", "", ""}, {"text", "", "who", "Ann"}};
    ext.load(3, A, page);
    auto inputs = wait_lines(box, "input ", 3);
    EXPECT_THAT(inputs, ElementsAreArray({"input text|email||", "input password|pw||", "input text||who|Ann"}));
    ASSERT_EQ(wait_lines(box, "event 259", 1).size(), 1u);
    auto writes = ext.writes();
    for (int i = 0; i < 100 && writes.empty(); ++i, writes = ext.writes())
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    ASSERT_EQ(writes.size(), 1u);
    EXPECT_EQ(writes[0]["handle"], 1);
    EXPECT_EQ(writes[0]["expect"], "");
    EXPECT_EQ(writes[0]["value"], "filled");
    EXPECT_EQ(writes[0]["document"], "doc-1");
    EXPECT_EQ(ext.page(3).inputs[0].value, "filled");
}

struct BadInput {
    const char* name;
    std::string bytes;  // framed by the test unless `raw`
    bool raw;
    std::string error;  // the error message's text (a prefix)
};

std::string framed(const std::string& text) {
    auto n = static_cast<std::uint32_t>(text.size());
    return std::string(reinterpret_cast<const char*>(&n), 4) + text;
}

// Outside input gets an error message and changes nothing; the host goes on.
TEST(NativeHost, MalformedAndUnknownMessagesAreAnsweredWithErrors) {
    const BadInput cases[] = {
        {"not JSON", "{nope", false, "the message is not JSON"},
        {"no object", "[1,2]", false, "the message is not a JSON object"},
        {"unknown type", R"({"type":"launch"})", false, "unknown message type 'launch'"},
        {"bad tab", R"({"type":"tab.open","tab":"x"})", false, "'tab' must be an integer"},
        {"bad event", R"({"type":"nav","event":"warp","tab":1,"frame":0,"parent":-1,"url":"http://a.test/"})", false,
         "unknown navigation event 'warp'"},
        {"click off the band", R"({"type":"click","tab":99,"x":1,"y":1})", false, ""},
    };
    Sandbox box;
    FakeExtension ext(host_env(box));
    for (const auto& c : cases) {
        ext.send_raw(framed(c.bytes));
        if (c.error.empty()) continue;
        json e = ext.wait_for_type("error", std::chrono::milliseconds(10000));
        ASSERT_TRUE(e.is_object()) << c.name;
        EXPECT_THAT(e.value("message", ""), HasSubstr(c.error)) << c.name;
    }
    ext.load(1, A, FakePage{});
    EXPECT_EQ(wait_lines(box, "event 259", 1).size(), 1u);
    EXPECT_EQ(ext.finish(), 0);
}

// A page that never answers holds its own band up to the deadline, and nobody else.
TEST(NativeHost, APageThatNeverAnswersCostsItsRequestsDeadlineOnly) {
    Sandbox box;
    FakeExtension ext(host_env(box));
    FakePage silent;
    silent.silent = true;
    ext.load(1, A, silent);
    FakePage other;
    other.inputs = {{"text", "", "q", "x"}};
    ext.load(2, B, other);
    EXPECT_EQ(wait_lines(box, "input text||q|x", 1).size(), 1u);  // the other tab is read at once
    // The silent tab's band gives up on its read and takes its next page.
    ext.send({{"type", "nav"}, {"event", "samedocument"}, {"tab", 1}, {"frame", 0}, {"parent", -1}, {"url", A + "#2"}});
    EXPECT_EQ(wait_lines(box, "event 259 top" + kNC + A + "#2", 1).size(), 1u);
    EXPECT_EQ(ext.finish(), 0);
}

// Without a registered toolbar the user is told what to run.
TEST(NativeHost, ATabWithoutARegisteredToolbarTellsTheUserToRegister) {
    Sandbox box(false);
    FakeExtension ext(host_env(box));
    ext.load(1, A, FakePage{});
    json n = ext.wait_for_type("notice", std::chrono::milliseconds(10000));
    EXPECT_THAT(n.value("message", ""), HasSubstr("brackenfold register"));
    EXPECT_EQ(ext.finish(), 0);
}

// A length past the cap: the stream cannot be followed, so the host says why and ends.
TEST(NativeHost, AMessageOverTheCapEndsTheHostWithAnError) {
    Sandbox box;
    FakeExtension ext(host_env(box));
    std::uint32_t huge = 64u * 1024 * 1024;
    ext.send_raw(std::string(reinterpret_cast<const char*>(&huge), 4));
    json e = ext.wait_for_type("error", std::chrono::milliseconds(10000));
    EXPECT_THAT(e.value("message", ""), HasSubstr("over the limit"));
    EXPECT_EQ(ext.finish(), 1);
}

#if BF_HOST_TESTS_WITH_SERVICE

// The component itself, registered in the test's hive, against the reference service. One
// service for the suite: the deployment constants are read once per process, and the service's
// own side of them (its action lines) lives in this process.
class NativeHostComponent : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        suite_dir = new Sandbox(false);
        std::string error;
        store = service::ServiceStore::open((suite_dir->dir() / "service.db").string(), &error).release();
        ASSERT_TRUE(store) << error;
        server = start_suite_service(*store, "", &port, &error);
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
        user = "moss" + std::to_string(++accounts);
        ASSERT_EQ(store->createAccount(user, "pw-for-tests", &account), service::StoreResult::Ok);
        env = {"BRACKENFOLD_SERVICE_HOST=127.0.0.1:" + port, "BRACKENFOLD_SERVICE_DOMAIN=brackenfold.localhost:" + port};
        auto reg = box.run("register", {}, env);
        ASSERT_EQ(reg.exit_code, 0) << reg.out << reg.err;
        ext = std::make_unique<FakeExtension>(host_env(box, env));
    }
    void TearDown() override {
        if (ext) {
            EXPECT_EQ(ext->finish(), 0);
        }
        ext.reset();
    }

    // The face of `tab` whose status is `status`.
    json face(std::int64_t tab, const std::string& status) {
        json f = ext->wait_for([&](const json& m) {
            return m.value("type", "") == "face" && m.value("tab", -1) == tab && m.value("status", "") == status;
        });
        if (!f.is_object()) ADD_FAILURE() << "no face of tab " << tab << " with \"" << status << "\"; had: " << ext->seen();
        return f;
    }

    void sign_in() {
        FakePage account_page;
        account_page.inputs = {{"hidden", "MARROWDENE2007QUILT", "", account.id},
                               {"hidden", "MARROWDENE2007QUILT_UN", "", user}};
        ext->load(1, "http://www.brackenfold.localhost:" + port + "/account.aspx", account_page);
        // The account is stored as the page is read; the status then settles on the site's own.
        ASSERT_TRUE(face(1, "Welcome to Bracken Fold").is_object());
        for (int i = 0; i < 250 && box.run("reg export HKCU", {}, env).out.find(account.id) == std::string::npos; ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        ASSERT_THAT(box.run("reg export HKCU", {}, env).out, HasSubstr("\"ciUN\"=\"" + user + "\""));
    }

    static inline Sandbox* suite_dir = nullptr;
    static inline service::ServiceStore* store = nullptr;
    static inline service::ServiceServer* server = nullptr;
    static inline std::string port;
    Sandbox box{false};
    service::Account account;
    std::string user;
    std::vector<std::string> env;
    std::unique_ptr<FakeExtension> ext;
};

TEST_F(NativeHostComponent, SignInThenAShopTabIsLookedUpAndAClickFillsItsEmailFields) {
    sign_in();
    FakePage shop;
    shop.inputs = {{"email", "email", "", ""}, {"text", "", "newsletter_email", ""}, {"password", "email2", "", ""}};
    ext->load(2, "http://www.shop.test/signup", shop);
    json f = face(2, "Click for Alias Email...");
    ASSERT_TRUE(f.is_object());
    EXPECT_EQ(f["alias"], false);
    EXPECT_EQ(f.value("png", "").rfind("data:image/png;base64,iVBORw0KGgo", 0), 0u);
    ext->send({{"type", "popup.open"}, {"tab", 2}});
    ext->send({{"type", "click"}, {"tab", 2}, {"x", 300}, {"y", 10}});
    json filled = ext->wait_for([](const json& m) { return m.value("type", "") == "face" && m.value("alias", false); });
    ASSERT_TRUE(filled.is_object());
    std::string alias = filled["status"];
    EXPECT_THAT(alias, HasSubstr("@alias.test"));
    FakePage after = ext->page(2);
    EXPECT_EQ(after.inputs[0].value, alias);
    EXPECT_EQ(after.inputs[1].value, alias);
    EXPECT_EQ(after.inputs[2].value, "");  // a password is never filled
}

TEST_F(NativeHostComponent, AWriteRefusedAsChangedLeavesWhatTheUserTyped) {
    sign_in();
    FakePage shop;
    shop.inputs = {{"text", "email", "", ""}, {"text", "email_again", "", ""}};
    shop.inputs[0].typed_before_write = "me@home.test";
    ext->load(2, "http://www.shop.test/", shop);
    ASSERT_TRUE(face(2, "Click for Alias Email...").is_object());
    ext->send({{"type", "click"}, {"tab", 2}, {"x", 300}, {"y", 10}});
    json filled = ext->wait_for([](const json& m) { return m.value("type", "") == "face" && m.value("alias", false); });
    ASSERT_TRUE(filled.is_object());
    FakePage after = ext->page(2);
    EXPECT_EQ(after.inputs[0].value, "me@home.test");
    EXPECT_EQ(after.inputs[1].value, filled["status"]);
    ASSERT_GE(ext->writes().size(), 2u);
    EXPECT_EQ(ext->writes()[0]["expect"], "");
}

// Each tab has its own band and lookup; the second site's status does not leak into the first.
TEST_F(NativeHostComponent, ASecondTabOfAnotherSiteGetsItsOwnLookup) {
    sign_in();
    ext->load(2, "http://www.shop.test/", FakePage{});
    ASSERT_TRUE(face(2, "Click for Alias Email...").is_object());
    ext->load(3, "http://nodot/", FakePage{});
    EXPECT_TRUE(face(3, "Service Unavailable/Invalid Site").is_object());
}

// The login button, logged out, opens the login page in the tab (the extension navigates it).
TEST_F(NativeHostComponent, TheLoginButtonOpensTheLoginPageInTheTab) {
    ext->load(2, "http://www.shop.test/", FakePage{});
    ASSERT_TRUE(face(2, "Please Login").is_object());
    ext->send({{"type", "click"}, {"tab", 2}, {"x", 480}, {"y", 10}});
    json n = ext->wait_for_type("navigate");
    EXPECT_EQ(n.value("tab", -1), 2);
    EXPECT_EQ(n.value("url", ""), "http://www.brackenfold.localhost:" + port + "/login.aspx");
}

// The rating, clicked, opens the site's rating page in the tab.
TEST_F(NativeHostComponent, TheRatingOpensItsPageInTheTab) {
    ASSERT_EQ(store->setRating("http://rated.test", 7), service::StoreResult::Ok);
    sign_in();
    ext->load(2, "http://www.rated.test/", FakePage{});
    ASSERT_TRUE(face(2, "Click for Alias Email...").is_object());
    ext->send({{"type", "click"}, {"tab", 2}, {"x", 100}, {"y", 15}});
    json n = ext->wait_for_type("navigate");
    EXPECT_EQ(n.value("tab", -1), 2);
    EXPECT_EQ(n.value("url", ""), "http://www.brackenfold.localhost:" + port + "/rating.aspx?r=7&d=rated.test");
}

// The service down: the band's own words, in the face and the badge.
TEST_F(NativeHostComponent, AServiceThatIsDownShowsTheBandsOwnStatus) {
    sign_in();
    ASSERT_EQ(ext->finish(), 0);
    env[0] = "BRACKENFOLD_SERVICE_HOST=127.0.0.1:" + std::to_string(free_port());
    ext = std::make_unique<FakeExtension>(host_env(box, env));
    ext->load(2, "http://www.shop.test/", FakePage{});
    json f = face(2, "Service Unavailable/Invalid Site");
    ASSERT_TRUE(f.is_object());
    EXPECT_EQ(f["alias"], false);
}

#endif  // BF_HOST_TESTS_WITH_SERVICE

}  // namespace
}  // namespace bf::host::test
