// The DevTools pipe without a browser: the framer over every split of a byte stream and past its
// cap, the client against a scripted peer on a pair of pipes (ids, sessions, routing of attached
// sessions, answers as events, deadlines, the browser's exit), and Chromium's command line.
#include <fcntl.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <thread>

#include "host/chromium_document.h"
#include "host/devtools_client.h"
#include "host/devtools_framer.h"
#include "host/devtools_launcher.h"

namespace bf::host {
namespace {

using ::testing::ElementsAre;
using namespace std::chrono_literals;

TEST(DevToolsFramer, EverySplitOfTheStreamGivesTheSameMessages) {
    static const char kBytes[] = "{\"id\":1}\0\0{\"a\":\"\xC3\xA9\"}\0{}\0tail";
    const std::string stream(kBytes, sizeof kBytes - 1);
    const std::vector<std::string> whole = {"{\"id\":1}", "{\"a\":\"\xC3\xA9\"}", "{}"};
    for (size_t i = 0; i <= stream.size(); ++i)
        for (size_t j = i; j <= stream.size(); ++j) {
            DevToolsFramer f;
            std::vector<std::string> got;
            std::string error;
            ASSERT_TRUE(f.feed(std::string_view(stream).substr(0, i), &got, &error));
            ASSERT_TRUE(f.feed(std::string_view(stream).substr(i, j - i), &got, &error));
            ASSERT_TRUE(f.feed(std::string_view(stream).substr(j), &got, &error));
            ASSERT_EQ(got, whole) << i << "," << j;
            ASSERT_EQ(f.pending(), 4u);  // "tail" waits for its NUL
        }
    DevToolsFramer bytewise;
    std::vector<std::string> got;
    for (char c : stream) ASSERT_TRUE(bytewise.feed(std::string_view(&c, 1), &got, nullptr));
    EXPECT_EQ(got, whole);
    EXPECT_EQ(DevToolsFramer::frame("{}"), std::string("{}\0", 3));
}

TEST(DevToolsFramer, AMessagePastTheCapFailsForGood) {
    struct Case {
        std::vector<std::string> pieces;
        bool ok;
        size_t messages;
    } cases[] = {
        {{"12345678", std::string("\0", 1)}, true, 1},         // exactly the cap
        {{"1234", "56789"}, false, 0},                          // one past it, across pieces
        {{std::string("123\0", 4), "123456789"}, false, 1},     // a good message, then a long one
        {{"123456789", std::string("\0{}\0", 4)}, false, 0},    // nothing after the failure
    };
    for (const auto& c : cases) {
        DevToolsFramer f(8);
        std::vector<std::string> got;
        std::string error;
        bool ok = true;
        for (const auto& p : c.pieces) ok = f.feed(p, &got, &error) && ok;
        EXPECT_EQ(ok, c.ok) << c.pieces[0];
        EXPECT_EQ(got.size(), c.messages) << c.pieces[0];
        if (!c.ok) {
            EXPECT_EQ(error, "a message from the browser is longer than 0 MiB");
            EXPECT_TRUE(f.failed());
        }
    }
    DevToolsFramer big;
    std::vector<std::string> got;
    std::string error;
    EXPECT_FALSE(big.feed(std::string(kDevToolsMessageCap + 1, 'x'), &got, &error));
    EXPECT_EQ(error, "a message from the browser is longer than 64 MiB");
}

// The browser's side of the pipes, driven by the test: reads the client's commands, writes what
// the test gives it.
class Peer {
public:
    Peer() {
        int a[2], b[2];
        EXPECT_EQ(pipe2(a, O_CLOEXEC), 0);
        EXPECT_EQ(pipe2(b, O_CLOEXEC), 0);
        client_reads = a[0];
        peer_writes = a[1];
        peer_reads = b[0];
        client_writes = b[1];
    }
    ~Peer() {
        for (int fd : {client_reads, peer_writes, peer_reads, client_writes})
            if (fd >= 0) close(fd);
    }
    void say(const std::string& json) {
        std::string bytes = DevToolsFramer::frame(json);
        ASSERT_EQ(write(peer_writes, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
    }
    Json next() {
        std::vector<std::string> got;
        char c;
        while (got.empty() && read(peer_reads, &c, 1) == 1) framer_.feed(std::string_view(&c, 1), &got, nullptr);
        return got.empty() ? Json() : Json::parse(got[0]);
    }
    void hang_up() {
        close(peer_writes);
        peer_writes = -1;
    }
    int client_reads, client_writes, peer_reads, peer_writes;

private:
    DevToolsFramer framer_;
};

TEST(DevToolsClient, AnswersFindTheirCallersByIdAndCarrySessionsAndErrors) {
    Peer peer;
    DevToolsClient client(peer.client_reads, peer.client_writes, [] { return "exit status 0"; });
    std::thread browser([&] {
        Json a = peer.next();
        Json b = peer.next();
        // Answered out of order, with noise between: garbage, an unknown id, an unrouted event.
        peer.say("not json");
        peer.say("{\"id\":999,\"result\":{}}");
        peer.say("{\"method\":\"Page.loadEventFired\",\"sessionId\":\"NOBODY\",\"params\":{}}");
        peer.say(Json({{"id", b["id"]}, {"error", {{"code", -32000}, {"message", "No frame with given id"}}}}).dump());
        peer.say(Json({{"id", a["id"]}, {"sessionId", a["sessionId"]}, {"result", {{"frameId", "F1"}}}}).dump());
    });
    Json r;
    std::string error;
    std::thread second([&] {
        std::this_thread::sleep_for(50ms);
        Json ignored;
        std::string e2;
        EXPECT_FALSE(client.call("", "Page.reload", Json::object(), &ignored, &e2));
        EXPECT_EQ(e2, "No frame with given id");
    });
    EXPECT_TRUE(client.call("S1", "Page.navigate", {{"url", "http://a.test/"}}, &r, &error)) << error;
    EXPECT_EQ(r, Json({{"frameId", "F1"}}));
    second.join();
    browser.join();
    EXPECT_FALSE(client.failed());
}

TEST(DevToolsClient, EventsQueuePerSinkAndAttachedSessionsFollowTheirParent) {
    Peer peer;
    DevToolsClient client(peer.client_reads, peer.client_writes, [] { return "exit status 0"; });
    std::atomic<int> wakes{0};
    std::vector<std::string> hooked;
    int a = client.add_sink([&] { ++wakes; });
    int b = client.add_sink([] {});
    client.route("PAGE", a);
    client.route("OTHER", b);
    client.set_attach_hook(a, [&](const std::string& s, const Json& p) {
        hooked.push_back(s + " " + p["targetInfo"]["type"].get<std::string>());
    });
    peer.say(R"({"method":"Page.frameAttached","sessionId":"PAGE","params":{"frameId":"F2"}})");
    peer.say(R"({"method":"Target.attachedToTarget","sessionId":"PAGE","params":{"sessionId":"CHILD","targetInfo":{"type":"iframe"}}})");
    peer.say(R"({"method":"Page.frameNavigated","sessionId":"CHILD","params":{}})");
    peer.say(R"({"method":"Page.frameNavigated","sessionId":"OTHER","params":{}})");
    Json r;
    std::string error;
    std::thread answer([&] {
        Json c = peer.next();
        peer.say(Json({{"id", c["id"]}, {"result", Json::object()}}).dump());
    });
    ASSERT_TRUE(client.call("", "Browser.getVersion", Json::object(), &r, &error));  // all read by now
    answer.join();
    std::vector<std::string> seen;
    DevToolsEvent ev;
    while (client.next_event(a, &ev)) seen.push_back(ev.session + " " + ev.method);
    EXPECT_THAT(seen, ElementsAre("PAGE Page.frameAttached", "PAGE Target.attachedToTarget",
                                  "CHILD Page.frameNavigated"));
    EXPECT_THAT(hooked, ElementsAre("CHILD iframe"));
    EXPECT_EQ(wakes.load(), 3);
    ASSERT_TRUE(client.next_event(b, &ev));
    EXPECT_FALSE(client.next_event(b, &ev));
}

TEST(DevToolsClient, AnswersAsEventsAndWakeUpsAtTheirTime) {
    Peer peer;
    DevToolsClient client(peer.client_reads, peer.client_writes, [] { return "exit status 0"; });
    std::atomic<int> wakes{0};
    int sink = client.add_sink([&] { ++wakes; });
    client.send_with_reply("S", "Page.navigate", {{"url", "x"}}, 5s, sink, "reply");
    client.send_with_reply("S", "Page.navigate", {{"url", "y"}}, 5s, sink, "reply");
    Json first = peer.next(), second = peer.next();
    EXPECT_EQ(first["params"]["url"], "x");
    EXPECT_EQ(first["sessionId"], "S");
    peer.say(Json({{"id", second["id"]}, {"error", {{"message", "Cannot navigate to invalid URL"}}}}).dump());
    peer.say(Json({{"id", first["id"]}, {"result", {{"loaderId", "L"}}}}).dump());
    auto start = std::chrono::steady_clock::now();
    client.wake_at(sink, start + 200ms);
    DevToolsEvent ev;
    std::vector<Json> replies;
    while (replies.size() < 2 && std::chrono::steady_clock::now() - start < 5s) {
        if (client.next_event(sink, &ev)) replies.push_back(ev.params);
        else std::this_thread::sleep_for(5ms);
    }
    ASSERT_EQ(replies.size(), 2u);
    EXPECT_EQ(replies[0], Json({{"error", "Cannot navigate to invalid URL"}}));
    EXPECT_EQ(replies[1], Json({{"result", {{"loaderId", "L"}}}}));
    while (wakes.load() < 3 && std::chrono::steady_clock::now() - start < 5s) std::this_thread::sleep_for(5ms);
    EXPECT_EQ(wakes.load(), 3);  // two answers and the timer
}

TEST(DevToolsClient, ABrowserThatGoesOrFallsSilentFailsEveryCallerWithTheReason) {
    {
        Peer peer;
        DevToolsClient client(peer.client_reads, peer.client_writes, [] { return "killed by signal 9 (Killed)"; });
        std::atomic<int> wakes{0};
        client.add_sink([&] { ++wakes; });
        std::thread browser([&] {
            peer.next();
            peer.hang_up();
        });
        Json r;
        std::string error;
        EXPECT_FALSE(client.call("", "Browser.getVersion", Json::object(), &r, &error));
        browser.join();
        EXPECT_EQ(error, "the browser exited (killed by signal 9 (Killed))");
        EXPECT_EQ(client.failure(), error);
        // The sinks are woken right after the callers are released.
        for (int i = 0; i < 500 && wakes.load() == 0; ++i) std::this_thread::sleep_for(10ms);
        EXPECT_EQ(wakes.load(), 1);
        EXPECT_FALSE(client.call("", "Browser.getVersion", Json::object(), &r, &error));  // at once
        EXPECT_EQ(error, "the browser exited (killed by signal 9 (Killed))");
    }
    {
        Peer peer;
        DevToolsClient client(peer.client_reads, peer.client_writes, [] { return "exit status 0"; });
        // An unanswered command of someone else's fails the waiting caller as well.
        client.send("", "Page.stopLoading", Json::object(), 300ms);
        Json r;
        std::string error;
        auto start = std::chrono::steady_clock::now();
        EXPECT_FALSE(client.call("", "Browser.getVersion", Json::object(), &r, &error, 10s));
        EXPECT_LT(std::chrono::steady_clock::now() - start, 5s);
        EXPECT_EQ(error, "the browser did not answer in 0.3 s");
    }
    {
        Peer peer;
        DevToolsClient client(peer.client_reads, peer.client_writes, [] { return "exit status 0"; });
        std::string huge(kDevToolsMessageCap + 10, ' ');
        std::thread browser([&] {
            for (size_t at = 0; at < huge.size();) {
                ssize_t n = write(peer.peer_writes, huge.data() + at, std::min<size_t>(huge.size() - at, 1 << 20));
                if (n <= 0) break;
                at += static_cast<size_t>(n);
            }
        });
        Json r;
        std::string error;
        EXPECT_FALSE(client.call("", "Browser.getVersion", Json::object(), &r, &error, 20s));
        EXPECT_EQ(error, "a message from the browser is longer than 64 MiB");
        client.stop();
        peer.hang_up();
        close(peer.client_reads);
        peer.client_reads = -1;
        browser.join();
    }
}

TEST(LiveDocument, ReadsGoToItsOwnWorldAndFailWithoutAWordOnceTheDocumentHasGone) {
    Peer peer;
    auto client = std::make_shared<DevToolsClient>(peer.client_reads, peer.client_writes, [] { return "exit status 0"; });
    auto doc = std::make_shared<LiveDocument>(client, "S");
    ComPtr<IHTMLDocument2> model = make_live_document(doc);
    bf::BStr title;
    EXPECT_EQ(model->get_title(title.put()), E_FAIL);  // its world is not known yet: nothing is sent
    doc->set_context("123.456", 7);
    std::thread browser([&] {
        Json q = peer.next();
        EXPECT_EQ(q["sessionId"], "S");
        EXPECT_EQ(q["method"], "Runtime.evaluate");
        EXPECT_EQ(q["params"]["uniqueContextId"], "123.456");
        EXPECT_EQ(q["params"]["expression"], "__bf.title()");
        peer.say(Json({{"id", q["id"]}, {"result", {{"result", {{"type", "string"}, {"value", "Ferns"}}}}}}).dump());
        q = peer.next();
        EXPECT_EQ(q["params"]["expression"], "__bf.url()");
        peer.say(Json({{"id", q["id"]}, {"result", {{"result", {{"type", "object"}}}, {"exceptionDetails", {{"text", "Uncaught"}}}}}}).dump());
    });
    ASSERT_EQ(model->get_title(title.put()), S_OK);
    EXPECT_EQ(std::u16string(title.view()), u"Ferns");
    bf::BStr url;
    EXPECT_EQ(model->get_URL(url.put()), E_FAIL);  // the script threw
    browser.join();
    doc->forget();
    doc->set_context("999.1", 8);  // a gone document takes no new world
    EXPECT_EQ(model->get_title(title.put()), E_FAIL);
    ComPtr<IHTMLElementCollection> all;
    ASSERT_EQ(model->get_all(all.put()), S_OK);
    LONG n = -1;
    EXPECT_EQ(all->get_length(&n), E_FAIL);
    EXPECT_FALSE(client->failed());  // nothing went out unanswered
    EXPECT_EQ(js_string("a\"b</script>\n"), "\"a\\\"b</script>\\n\"");
}

TEST(ChromiumCommandLine, SandboxOnlyOffForRootHeadlessUnlessShownAndResolveAsRules) {
    struct Case {
        bool root, headed, display;
        std::vector<std::string> resolve;
        bool no_sandbox, headless;
        std::string rules;
    } cases[] = {
        {true, false, false, {}, true, true, ""},
        {false, false, true, {}, false, true, ""},
        {false, true, true, {"www.shop.test:8080:127.0.0.1"}, false, false,
         "--host-resolver-rules=MAP www.shop.test:8080 127.0.0.1:8080"},
        {true, true, false, {"a.test:1:127.0.0.2,127.0.0.3", "+b.test:2:[::1]", "-c.test:3"}, true, true,
         "--host-resolver-rules=MAP a.test:1 127.0.0.2:1, MAP b.test:2 [::1]:2"},
    };
    for (const auto& c : cases) {
        LaunchOptions o;
        o.headed = c.headed;
        o.resolve = c.resolve;
        std::vector<std::string> args;
        std::string error;
        ASSERT_TRUE(chromium_arguments(o, "/tmp/p", c.root, c.display, &args, &error)) << error;
        auto has = [&](const std::string& a) { return std::find(args.begin(), args.end(), a) != args.end(); };
        EXPECT_EQ(has("--no-sandbox"), c.no_sandbox);
        EXPECT_EQ(has("--headless"), c.headless);
        for (const char* a : {"--remote-debugging-pipe", "--user-data-dir=/tmp/p", "--disable-gpu", "--disable-quic",
                              "--no-first-run", "--disable-background-networking", "--disable-component-update",
                              "--disable-sync"})
            EXPECT_TRUE(has(a)) << a;
        bool rules = false;
        for (const auto& a : args) rules = rules || a.rfind("--host-resolver-rules=", 0) == 0;
        EXPECT_EQ(rules, !c.rules.empty());
        if (!c.rules.empty()) {
            EXPECT_TRUE(has(c.rules)) << c.rules;
        }
        EXPECT_EQ(args.back(), "about:blank");
    }
    for (const char* bad : {"nonsense", "host:port:1.2.3.4", ":1:1.2.3.4", "h:1:", "h:1:a b"}) {
        LaunchOptions o;
        o.resolve = {bad};
        std::vector<std::string> args;
        std::string error;
        EXPECT_FALSE(chromium_arguments(o, "/tmp/p", false, false, &args, &error)) << bad;
        EXPECT_EQ(error, std::string("bad --resolve entry '") + bad + "' (expected HOST:PORT:ADDRESS)");
    }
    LaunchOptions named;
    named.binary = "/opt/chrome";
    EXPECT_EQ(chromium_binary(named), "/opt/chrome");
}

}  // namespace
}  // namespace bf::host
