#include "host/chromium_engine.h"

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <map>
#include <optional>

#include "host/chromium_document.h"
#include "host/chromium_scripts.h"
#include "host/devtools_client.h"
#include "host/devtools_launcher.h"
#include "host/frame_events.h"
#include "host/html_page.h"
#include "host/url.h"
#include <stringapiset.h>
#include <winuser.h>

namespace bf::host {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

constexpr auto kStartDeadline = 20s;    // the first answer of a fresh browser
constexpr auto kShotDeadline = 15s;     // a screenshot of a large page
constexpr auto kSubmitQuiet = 2s;       // a submitted form's navigation starts within this
constexpr auto kPingEvery = 2s;         // while waiting on a page: is the browser still there?
constexpr const char* kNavigateReply = "brackenfold.navigateAnswered";

std::string seconds_text(double s) {
    char buf[32];
    std::snprintf(buf, sizeof buf, "%g", s);
    return buf;
}

bool base64_decode(const std::string& in, std::string* out) {
    auto value = [](char c) -> int {
        if (c >= 'A' && c <= 'Z') return c - 'A';
        if (c >= 'a' && c <= 'z') return c - 'a' + 26;
        if (c >= '0' && c <= '9') return c - '0' + 52;
        if (c == '+') return 62;
        if (c == '/') return 63;
        return -1;
    };
    out->clear();
    out->reserve(in.size() / 4 * 3);
    unsigned bits = 0;
    int count = 0;
    for (char c : in) {
        if (c == '=') break;
        int v = value(c);
        if (v < 0) return false;
        bits = (bits << 6) | static_cast<unsigned>(v);
        if (++count == 4) {
            out->push_back(static_cast<char>((bits >> 16) & 0xFF));
            out->push_back(static_cast<char>((bits >> 8) & 0xFF));
            out->push_back(static_cast<char>(bits & 0xFF));
            bits = 0;
            count = 0;
        }
    }
    if (count == 2) out->push_back(static_cast<char>((bits >> 4) & 0xFF));
    if (count == 3) {
        out->push_back(static_cast<char>((bits >> 10) & 0xFF));
        out->push_back(static_cast<char>((bits >> 2) & 0xFF));
    }
    return count != 1;
}

bool is_network_url(const std::string& url) { return url.rfind("http://", 0) == 0 || url.rfind("https://", 0) == 0; }

// The browser process and the pipe to it, shared by the session's engines.
struct Browser {
    ChromiumOptions options;
    std::unique_ptr<ChromiumProcess> process;
    std::shared_ptr<DevToolsClient> client;

    void shutdown() {
        if (!process) return;
        // A browser that is gone or hung gets no more time: the kill follows at once.
        if (client && !client->failed()) {
            Json ignored;
            std::string why;
            client->call("", "Browser.close", Json::object(), &ignored, &why);
            process->wait_exit(5, nullptr);
        }
        if (client) client->stop();
        process->kill();
        process.reset();
    }
};

// Every session, the page's and each out-of-process frame's, is set up alike: page and runtime
// events, the engine's isolated world in every document, document requests held for
// BeforeNavigate2, and the session's own frames in other processes attached as they appear.
std::vector<std::pair<const char*, Json>> session_setup() {
    return {
        {"Page.enable", Json::object()},
        {"Runtime.enable", Json::object()},
        {"Page.addScriptToEvaluateOnNewDocument",
         {{"source", kWorldScript}, {"worldName", kWorldName}, {"runImmediately", true}}},
        {"Runtime.addBinding", {{"name", kInputsBinding}, {"executionContextName", kWorldName}}},
        {"Fetch.enable", {{"patterns", Json::array({{{"urlPattern", "*"}, {"resourceType", "Document"},
                                                      {"requestStage", "Request"}}})}}},
        {"Target.setAutoAttach", {{"autoAttach", true}, {"waitForDebuggerOnStart", true}, {"flatten", true}}},
    };
}

// On the reader thread, before the new target runs: frames are set up, anything else (workers)
// is let go.
void setup_attached(DevToolsClient& client, const std::string& session, const Json& params) {
    std::string type = params.contains("targetInfo") ? json_string(params["targetInfo"], "type") : std::string();
    if (type == "iframe") {
        for (const auto& [method, p] : session_setup()) client.send(session, method, p);
        client.send(session, "Runtime.runIfWaitingForDebugger", Json::object());
        return;
    }
    client.send(session, "Runtime.runIfWaitingForDebugger", Json::object());
    client.send("", "Target.detachFromTarget", {{"sessionId", session}});
}

// Wakes the window thread with one posted message, however many events are waiting.
struct Waker {
    std::atomic<bool> posted{false};
    std::atomic<HWND> window{nullptr};
    void wake() {
        if (posted.exchange(true)) return;
        HWND w = window.load();
        if (!w || !PostMessageW(w, WM_HOST_ENGINE, 0, 0)) posted = false;
    }
};

class ChromiumEngine final : public BrowserEngine {
public:
    explicit ChromiumEngine(std::shared_ptr<Browser> browser)
        : browser_(std::move(browser)), client_(browser_->client), waker_(std::make_shared<Waker>()) {}
    ~ChromiumEngine() override { close(); }

    bool start(EngineHost& host, std::string* error) override {
        host_ = &host;
        waker_->window = host.frame_window();
        sink_ = client_->add_sink([w = waker_] { w->wake(); });
        client_->set_attach_hook(sink_, [c = client_.get()](const std::string& session, const Json& params) {
            setup_attached(*c, session, params);
        });
        auto fail = [&](const std::string& what, const std::string& why) {
            *error = client_->failed() ? client_->failure() : "cannot open a page in Chromium (" + what + ": " + why + ")";
            return false;
        };
        Json r;
        std::string why;
        const ChromiumOptions& o = browser_->options;
        if (!client_->call("", "Target.createTarget",
                           {{"url", "about:blank"}}, &r,
                           &why))
            return fail("Target.createTarget", why);
        target_ = json_string(r, "targetId");
        if (!client_->call("", "Target.attachToTarget", {{"targetId", target_}, {"flatten", true}}, &r, &why))
            return fail("Target.attachToTarget", why);
        session_ = json_string(r, "sessionId");
        client_->route(session_, sink_);
        auto setup = session_setup();
        setup.push_back({"Emulation.setFocusEmulationEnabled", {{"enabled", true}}});
        setup.push_back({"Emulation.setDeviceMetricsOverride",
                         {{"width", o.viewport_width}, {"height", o.viewport_height}, {"deviceScaleFactor", 1},
                          {"mobile", false}}});
        for (const auto& [method, p] : setup)
            if (!client_->call(session_, method, p, &r, &why)) return fail(method, why);
        if (!client_->call(session_, "Page.getFrameTree", Json::object(), &r, &why)) return fail("Page.getFrameTree", why);
        top_ = r.contains("frameTree") && r["frameTree"].contains("frame")
                   ? json_string(r["frameTree"]["frame"], "id")
                   : std::string();
        if (top_.empty()) return fail("Page.getFrameTree", "no frame");
        FrameEvents::Hooks hooks;
        hooks.removed = [this](const std::string& id) { forget_frame(id); };
        hooks.top_completing = [this] {
            // Inputs there now are the sinks' to see; only those that appear later are news.
            if (auto doc = top_doc()) doc->post("__bf.arm()");
            late_due_.reset();
        };
        events_ = std::make_unique<FrameEvents>(host, top_, std::move(hooks));
        events_->attach(top_, "");
        side_[top_].session = session_;
        return true;
    }

    void navigate(const NavigationRequest& request) override {
        if (closed_ || client_->failed()) return;
        // No request of its own goes out for about: and file: addresses: the sinks are asked here.
        if (!is_network_url(request.url) && !events_->begin(top_, "", request)) return;
        events_->starting(top_);
        Json params = {{"url", request.url}, {"transitionType", "typed"}};
        if (!request.referer.empty()) params["referrer"] = request.referer;
        auto allowed = std::chrono::duration_cast<std::chrono::milliseconds>(
            std::chrono::duration<double>(browser_->options.load_timeout_seconds + 10));
        client_->send_with_reply(session_, "Page.navigate", params, allowed, sink_, kNavigateReply);
    }

    bool settle(std::string* error) override {
        if (client_->failed()) {
            *error = client_->failure();
            return false;
        }
        double seconds = browser_->options.load_timeout_seconds;
        settle_deadline_ = Clock::now() + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds));
        next_ping_ = Clock::now() + kPingEvery;
        settling_ = true;
        rearm();
        bool done = host_->pump_until([this] { return idle(); }, settle_deadline_);
        settling_ = false;
        if (client_->failed()) {
            *error = client_->failure();
            return false;
        }
        if (!done && !host_->closed() && !idle()) {
            *error = "the page did not finish loading in " + seconds_text(seconds) + " s";
            client_->send(session_, "Page.stopLoading", Json::object());
            return false;
        }
        return true;
    }

    bool idle() override {
        if (closed_ || client_->failed()) return true;
        // After a submission: until its navigation has begun, or nothing has come of it.
        if (!navigation_seen_ && Clock::now() < quiet_until_) return false;
        return !events_ || !events_->pending();
    }

    void on_wake() override {
        waker_->posted = false;
        if (processing_ || closed_) return;
        processing_ = true;
        DevToolsEvent ev;
        while (!closed_ && client_->next_event(sink_, &ev)) handle(ev);
        auto now = Clock::now();
        if (settling_ && now >= next_ping_ && !client_->failed()) {
            // A browser that has stopped answering is caught by this command's deadline.
            client_->send("", "Browser.getVersion", Json::object());
            next_ping_ = now + kPingEvery;
        }
        if (late_due_ && now >= *late_due_) {
            late_due_.reset();
            late_form_check();
        }
        processing_ = false;
        rearm();
    }

    FieldsReport fields() override {
        FieldsReport report;
        report.url = host_->browser().location();
        if (!events_ || !events_->known(top_)) return report;
        report.inputs = inputs_of(top_doc());
        for (const auto& child : events_->children(top_)) add_frames(child, report.frames);
        return report;
    }

    bool has_field(const std::string& field, std::string* error) override {
        Json v;
        auto doc = top_doc();
        if (!doc || !doc->evaluate("__bf.find(" + js_string(field) + ")", &v)) {
            if (client_->failed()) *error = client_->failure();
            return false;  // between documents: not there yet
        }
        return v.is_number_integer() && v.get<long>() >= 0;
    }

    bool set_field(const std::string& field, const std::string& text, std::string* error) override {
        auto doc = top_doc();
        Json v;
        // A document that cannot be read (none yet, or between two) has no fields to type into.
        if (doc && !doc->evaluate("__bf.find(" + js_string(field) + ")", &v) && client_->failed())
            return failed_with(error);
        long index = v.is_number_integer() ? v.get<long>() : -1;
        if (index < 0) {
            *error = "no INPUT with id or name '" + field + "' in the page";
            return false;
        }
        std::string i = std::to_string(index);
        if (!doc->evaluate("__bf.focus(" + i + ")", &v, error)) return failed_with(error);
        // The user's keys: the whole text was selected, so the first key replaces it.
        std::u16string w = bf::to_utf16(text);
        if (w.empty()) {
            if (!key("Backspace", "Backspace", 8, "", error)) return failed_with(error);
        }
        for (size_t at = 0; at < w.size();) {
            size_t n = (w[at] >= 0xD800 && w[at] < 0xDC00 && at + 1 < w.size()) ? 2 : 1;
            std::string ch = bf::to_utf8(w.substr(at, n));
            at += n;
            if (!key(ch, "", 0, ch, error)) return failed_with(error);
        }
        // Leaving the field, as a user does, is when the page hears `change`.
        if (!doc->evaluate("__bf.blur(" + i + ")", &v, error)) return failed_with(error);
        return true;
    }

    bool submit(const std::string& field, std::string* error) override {
        auto doc = top_doc();
        Json v = field.empty() ? 3 : 1;  // what a document that cannot be read has: no fields, no forms
        if (doc && !doc->evaluate("__bf.submit(" + js_string(field) + ")", &v) && client_->failed())
            return failed_with(error);
        switch (v.is_number_integer() ? v.get<int>() : -1) {
        case 0:
            quiet_until_ = Clock::now() + kSubmitQuiet;
            navigation_seen_ = false;
            return true;
        case 1: *error = "no INPUT with id or name '" + field + "' in the page"; return false;
        case 2: *error = "the field '" + field + "' belongs to no form"; return false;
        case 3: *error = "the page has no form"; return false;
        case 4: *error = "the form refused to be submitted: its own checks failed (a required or malformed field)"; return false;
        default: *error = "the form cannot be submitted"; return false;
        }
    }

    bool page_image(std::string* png, std::string* error) override {
        Json r;
        std::string why;
        if (!client_->call(session_, "Page.captureScreenshot", {{"format", "png"}}, &r, &why, kShotDeadline)) {
            *error = client_->failed() ? client_->failure() : "Chromium took no screenshot (" + why + ")";
            return false;
        }
        if (!base64_decode(json_string(r, "data"), png) || png->empty()) {
            *error = "Chromium's screenshot cannot be read";
            return false;
        }
        return true;
    }

    void close() override {
        if (closed_) return;
        closed_ = true;
        waker_->window = nullptr;
        for (auto& [id, f] : side_)
            if (f.doc) f.doc->forget();
        side_.clear();
        if (events_) events_->clear();
        if (sink_) client_->remove_sink(sink_);
        if (!target_.empty() && !client_->failed()) client_->send("", "Target.closeTarget", {{"targetId", target_}});
    }

    std::string failure() override { return client_->failed() ? client_->failure() : std::string(); }

private:
    struct World {
        std::string unique_id;
        long id = 0;
        std::string session;
    };
    // What the engine keeps of a frame beside the shared rules: its session, its document, and a
    // world reported before that document committed.
    struct Side {
        std::string session;
        std::shared_ptr<LiveDocument> doc;
        std::optional<World> next_world;
    };

    bool failed_with(std::string* error) {
        if (client_->failed()) *error = client_->failure();
        return false;
    }

    bool key(const std::string& key_name, const std::string& code, int vk, const std::string& text,
             std::string* error) {
        Json down = {{"type", "keyDown"}, {"key", key_name}};
        if (!code.empty()) down["code"] = code;
        if (vk) down["windowsVirtualKeyCode"] = vk;
        if (!text.empty()) {
            down["text"] = text;
            down["unmodifiedText"] = text;
        }
        Json up = {{"type", "keyUp"}, {"key", key_name}};
        if (!code.empty()) up["code"] = code;
        if (vk) up["windowsVirtualKeyCode"] = vk;
        Json r;
        return client_->call(session_, "Input.dispatchKeyEvent", down, &r, error) &&
               client_->call(session_, "Input.dispatchKeyEvent", up, &r, error);
    }

    std::shared_ptr<LiveDocument> top_doc() {
        auto it = side_.find(top_);
        return it == side_.end() ? nullptr : it->second.doc;
    }

    // A frame the engine hears of: in the tree, with the session that reported it first.
    Side& frame(const std::string& id, const std::string& parent, const std::string& session) {
        events_->attach(id, parent);
        auto [it, created] = side_.try_emplace(id);
        if (created) it->second.session = session;
        return it->second;
    }

    void forget_frame(const std::string& id) {
        auto it = side_.find(id);
        if (it == side_.end()) return;
        if (it->second.doc) it->second.doc->forget();
        side_.erase(it);
    }

    static std::vector<InputReport> inputs_of(const std::shared_ptr<LiveDocument>& doc) {
        std::vector<InputReport> out;
        Json v;
        if (!doc || !doc->evaluate("__bf.inputs()", &v) || !v.is_array()) return out;
        for (const auto& e : v) {
            if (!e.is_array() || e.size() != 5 || !e[0].is_boolean()) continue;
            HtmlInput in;
            in.has_type = e[0].get<bool>();
            in.type_attribute = bf::to_utf16(e[1].is_string() ? e[1].get<std::string>() : "");
            auto text = [&](size_t i) { return bf::to_utf16(e[i].is_string() ? e[i].get<std::string>() : ""); };
            out.push_back({reported_input_type(in), text(2), text(3), text(4)});
        }
        return out;
    }

    void add_frames(const std::string& id, std::vector<FrameReport>& out) {
        if (!events_->known(id)) return;
        std::string url = events_->url(id);
        auto side = side_.find(id);
        out.push_back({url.empty() ? std::string("about:blank") : url,
                       inputs_of(side == side_.end() ? nullptr : side->second.doc)});
        for (const auto& k : events_->children(id)) add_frames(k, out);
    }

    // Late forms: INPUT elements that appeared after the top document was complete. A
    // DocumentComplete fired meanwhile may already have shown them: the page's notice can have
    // been sent before that DocumentComplete re-armed the watch and arrive after it (a view pushed
    // onto the history that renders its form at once), so the page is asked again whether
    // anything is new since.
    void late_form_check() {
        FrameEvents::Clock::time_point retry{};
        bool fired = events_->inputs_appeared(Clock::now(), &retry, [this] {
            Json v;
            auto doc = top_doc();
            return doc && doc->evaluate("__bf.fresh()", &v) && v.is_boolean() && v.get<bool>();
        });
        if (!fired && retry != FrameEvents::Clock::time_point{}) late_due_ = retry;
    }

    void rearm() {
        if (closed_ || client_->failed()) return;
        auto next = Clock::time_point::max();
        auto now = Clock::now();
        if (settling_) next = std::min({next, settle_deadline_, next_ping_});
        if (quiet_until_ > now) next = std::min(next, quiet_until_);
        if (late_due_) next = std::min(next, *late_due_);
        if (next != Clock::time_point::max()) client_->wake_at(sink_, next);
    }

    void handle(const DevToolsEvent& ev) {
        const Json& p = ev.params;
        const std::string& m = ev.method;
        if (m == "Page.frameStartedNavigating" || m == "Fetch.requestPaused" || m == "Page.frameNavigated" ||
            m == "Page.navigatedWithinDocument")
            navigation_seen_ = true;
        if (m == "Fetch.requestPaused") return request_paused(ev);
        if (m == "Page.frameAttached") {
            frame(json_string(p, "frameId"), json_string(p, "parentFrameId"), ev.session);
            return;
        }
        if (m == "Page.frameDetached") {
            if (json_string(p, "reason") != "swap") events_->remove(json_string(p, "frameId"));
            return;
        }
        if (m == "Page.frameStartedNavigating") {
            std::string type = json_string(p, "navigationType");
            if (type == "sameDocument" || type == "historySameDocument") return;
            events_->starting(json_string(p, "frameId"));
            return;
        }
        if (m == "Page.frameNavigated") return committed(ev);
        if (m == "Page.frameStoppedLoading") return stopped(json_string(p, "frameId"));
        if (m == "Page.navigatedWithinDocument") return within_document(p);
        if (m == "Runtime.executionContextCreated") return context_created(ev);
        if (m == "Runtime.executionContextDestroyed") return context_destroyed(ev);
        if (m == "Runtime.bindingCalled") {
            auto doc = top_doc();
            if (ev.session == session_ && json_string(p, "name") == kInputsBinding && doc &&
                p.contains("executionContextId") && p["executionContextId"].is_number_integer() &&
                p["executionContextId"].get<long>() == doc->context_id())
                late_form_check();
            return;
        }
        if (m == "Page.javascriptDialogOpening") {
            client_->send(ev.session, "Page.handleJavaScriptDialog", {{"accept", true}});
            return;
        }
        if (m == "Target.attachedToTarget") {
            std::string child = json_string(p, "sessionId");
            std::string target = p.contains("targetInfo") ? json_string(p["targetInfo"], "targetId") : std::string();
            auto it = side_.find(target);  // an out-of-process frame's target id is its frame id
            if (it != side_.end()) it->second.session = child;
            return;
        }
        if (m == "Target.detachedFromTarget") {
            client_->unroute(json_string(p, "sessionId"));
            return;
        }
        if (m == "Inspector.targetCrashed") {
            // The page's process is gone: nothing it was loading will finish.
            for (auto& [id, f] : side_)
                if (f.session == ev.session) events_->abandon(id);
            return;
        }
        if (m == kNavigateReply) {
            bool same_document = p.contains("result") && json_string(p["result"], "loaderId").empty() &&
                                 json_string(p["result"], "errorText").empty();
            if (p.contains("error") || same_document) events_->dropped(top_, p.contains("error"));
            return;
        }
    }

    void request_paused(const DevToolsEvent& ev) {
        const Json& p = ev.params;
        std::string request_id = json_string(p, "requestId");
        std::string frame_id = json_string(p, "frameId");
        const Json& req = p.contains("request") ? p["request"] : Json::object();
        std::string url = json_string(req, "url");
        frame(frame_id, std::string(), ev.session);
        // A redirect belongs to the navigation already announced.
        if (!json_string(p, "redirectedRequestId").empty()) {
            client_->send(ev.session, "Fetch.continueRequest", {{"requestId", request_id}});
            return;
        }
        NavigationRequest r;
        r.url = url;
        r.method = json_string(req, "method");
        r.body = json_string(req, "postData");
        if (req.contains("headers") && req["headers"].is_object())
            for (const auto& [k, v] : req["headers"].items()) {
                std::string key = k;
                for (auto& c : key) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
                if (key == "content-type" && v.is_string()) r.content_type = v.get<std::string>();
                if (key == "referer" && v.is_string()) r.referer = v.get<std::string>();
            }
        if (!events_->begin(frame_id, std::string(), r)) {
            client_->send(ev.session, "Fetch.failRequest", {{"requestId", request_id}, {"errorReason", "Aborted"}});
            return;
        }
        client_->send(ev.session, "Fetch.continueRequest", {{"requestId", request_id}});
    }

    void committed(const DevToolsEvent& ev) {
        const Json& fr = ev.params.contains("frame") ? ev.params["frame"] : Json::object();
        std::string id = json_string(fr, "id");
        if (id.empty()) return;
        std::string url = json_string(fr, "unreachableUrl");  // an error page stands for its address
        if (url.empty()) url = json_string(fr, "url") + json_string(fr, "urlFragment");
        std::string parent = json_string(fr, "parentId");
        Side& f = frame(id, parent, ev.session);
        f.session = ev.session;
        // A frame's first, empty document is no navigation of anybody's.
        if (!events_->announced(id) && url == "about:blank" && !f.doc) {
            f.doc = std::make_shared<LiveDocument>(client_, ev.session);
            events_->dropped(id, false);
            return;
        }
        auto doc = std::make_shared<LiveDocument>(client_, ev.session);
        if (f.next_world && f.next_world->session == ev.session)
            doc->set_context(f.next_world->unique_id, f.next_world->id);
        f.next_world.reset();
        if (f.doc) f.doc->forget();
        f.doc = doc;
        bool restored = json_string(ev.params, "type") == "BackForwardCacheRestore";  // no load will follow
        events_->commit(id, parent, url, make_live_document(doc), restored);
    }

    void stopped(const std::string& id) { events_->stopped(id); }

    void within_document(const Json& p) {
        // Ours, for the top frame: a view of a single-page site is a page for the toolbar.
        events_->within_document(json_string(p, "frameId"), json_string(p, "url"));
    }

    // A document has one world of ours. A world reported for a frame whose document has one
    // already belongs to the document about to commit (the browser does not keep the two events
    // in order across processes): it waits for that commit.
    void context_created(const DevToolsEvent& ev) {
        const Json& c = ev.params.contains("context") ? ev.params["context"] : Json::object();
        if (json_string(c, "name") != kWorldName || !c.contains("auxData")) return;
        std::string id = json_string(c["auxData"], "frameId");
        if (!events_->known(id) || !c.contains("id") || !c["id"].is_number_integer()) return;
        Side& f = side_[id];
        World world{json_string(c, "uniqueId"), c["id"].get<long>(), ev.session};
        if (!f.doc) f.doc = std::make_shared<LiveDocument>(client_, ev.session);
        if (f.doc->has_context() || f.doc->session() != ev.session) {
            f.next_world = world;
            return;
        }
        f.doc->set_context(world.unique_id, world.id);
    }

    void context_destroyed(const DevToolsEvent& ev) {
        std::string unique = json_string(ev.params, "executionContextUniqueId");
        if (unique.empty()) return;
        for (auto& [id, f] : side_)
            if (f.next_world && f.next_world->unique_id == unique) f.next_world.reset();
    }

    std::shared_ptr<Browser> browser_;
    std::shared_ptr<DevToolsClient> client_;
    std::shared_ptr<Waker> waker_;
    EngineHost* host_ = nullptr;
    int sink_ = 0;
    std::string target_, session_, top_;
    std::unique_ptr<FrameEvents> events_;
    std::map<std::string, Side> side_;
    bool closed_ = false;
    bool navigation_seen_ = true;
    bool processing_ = false;
    bool settling_ = false;
    Clock::time_point settle_deadline_{}, next_ping_{}, quiet_until_{};
    std::optional<Clock::time_point> late_due_;
};

class ChromiumFactory final : public EngineFactory {
public:
    explicit ChromiumFactory(std::shared_ptr<Browser> browser) : browser_(std::move(browser)) {}
    ~ChromiumFactory() override { browser_->shutdown(); }

    std::unique_ptr<BrowserEngine> make_engine() override {
        if (browser_->client->failed()) return nullptr;
        return std::make_unique<ChromiumEngine>(browser_);
    }
    std::string failure() override { return browser_->client->failed() ? browser_->client->failure() : std::string(); }

private:
    std::shared_ptr<Browser> browser_;
};

}  // namespace

std::unique_ptr<EngineFactory> make_chromium_engine_factory(const ChromiumOptions& options, std::string* error) {
    auto browser = std::make_shared<Browser>();
    browser->options = options;
    LaunchOptions lo;
    lo.binary = options.binary;
    lo.headed = options.headed;
    lo.resolve = options.resolve;
    lo.window_width = options.viewport_width;
    lo.window_height = options.viewport_height;
    browser->process = ChromiumProcess::launch(lo, error);
    if (!browser->process) return nullptr;
    ChromiumProcess* process = browser->process.get();
    browser->client = std::make_shared<DevToolsClient>(process->read_fd(), process->write_fd(), [process] {
        std::string how;
        if (process->wait_exit(2, &how)) return how;
        return std::string("it closed its pipe");
    });
    Json version;
    std::string why;
    if (!browser->client->call("", "Browser.getVersion", Json::object(), &version, &why, kStartDeadline)) {
        std::string tail = process->log_tail();
        *error = "cannot start Chromium ('" + chromium_binary(lo) + "'): " + why + (tail.empty() ? "" : ": " + tail);
        browser->client->stop();
        process->kill();
        return nullptr;
    }
    return std::make_unique<ChromiumFactory>(std::move(browser));
}

}  // namespace bf::host
