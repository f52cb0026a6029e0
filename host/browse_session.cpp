#include "host/browse_session.h"

#include <chrono>
#include <cstdio>
#include <nlohmann/json.hpp>
#include <thread>

#include "host/chromium_engine.h"
#include "host/embedded_engine.h"
#include "host/page_loader.h"
#include <stringapiset.h>
#include <processthreadsapi.h>

namespace bf::host {
namespace {

using json = nlohmann::ordered_json;

std::string trim(const std::string& s) {
    size_t a = s.find_first_not_of(" \t\r\n");
    if (a == std::string::npos) return {};
    size_t b = s.find_last_not_of(" \t\r\n");
    return s.substr(a, b - a + 1);
}

// First word and the rest of the line (trimmed).
std::pair<std::string, std::string> split_word(const std::string& s) {
    std::string t = trim(s);
    size_t sp = t.find_first_of(" \t");
    if (sp == std::string::npos) return {t, {}};
    return {t.substr(0, sp), trim(t.substr(sp))};
}

json rect_json(const RECT& r) { return json::array({r.left, r.top, r.right, r.bottom}); }

std::string dump(const json& j) { return j.dump(-1, ' ', false, json::error_handler_t::replace); }

json inputs_json(const std::vector<InputReport>& inputs) {
    json list = json::array();
    for (const auto& in : inputs) {
        json o;
        o["type"] = bf::to_utf8(in.type);
        o["id"] = bf::to_utf8(in.id);
        o["name"] = bf::to_utf8(in.name);
        o["value"] = bf::to_utf8(in.value);
        list.push_back(std::move(o));
    }
    return list;
}

bool parse_control(const std::string& word, BandControl* out) {
    static const std::pair<const char*, BandControl> kNames[] = {{"status", BandControl::status},
                                                                 {"login", BandControl::login},
                                                                 {"name", BandControl::name},
                                                                 {"rating", BandControl::rating},
                                                                 {"ad", BandControl::ad}};
    for (const auto& [n, c] : kNames)
        if (word == n) {
            *out = c;
            return true;
        }
    return false;
}

}  // namespace

std::string strip_comment(const std::string& line) {
    for (size_t i = 0; i < line.size(); ++i)
        if (line[i] == '#' && (i == 0 || line[i - 1] == ' ' || line[i - 1] == '\t')) return line.substr(0, i);
    return line;
}

BrowseSession::BrowseSession(SessionOptions options) : options_(std::move(options)) {}

BrowseSession::~BrowseSession() { shutdown(); }

bool BrowseSession::start(const std::string& url, std::string* error, std::vector<std::string>* warnings) {
    if (options_.engine == "embedded") {
        if (!set_resolve_entries(options_.resolve, error)) return false;
        engines_ = make_embedded_engine_factory();
    } else if (options_.engine == "chromium") {
        ChromiumOptions co;
        co.binary = options_.chromium;
        co.headed = options_.headed;
        co.resolve = options_.resolve;
        co.viewport_width = options_.toolbar_width;
        co.load_timeout_seconds = options_.load_timeout_seconds;
        engines_ = make_chromium_engine_factory(co, error);
        if (!engines_) return false;
    } else {
        *error = "unknown engine '" + options_.engine + "' (embedded or chromium)";
        return false;
    }
    return open_window(url, error, warnings);
}

bool BrowseSession::open_window(const std::string& url, std::string* error, std::vector<std::string>* warnings) {
    WindowOptions wo;
    wo.toolbar_width = options_.toolbar_width;
    auto window = BrowserWindow::open(wo, *engines_, error);
    if (!window) {
        if (!engines_->failure().empty()) {
            lost_ = engines_->failure();
            *error = lost_;
        }
        return false;
    }
    if (warnings)
        for (const auto& p : window->toolbar_problems()) warnings->push_back(p);
    int number = next_number_++;
    BrowserWindow* w = window.get();
    windows_.emplace(number, std::move(window));
    current_ = number;
    if (!url.empty() && !w->open_url(url, error)) {
        check_lost(w, error);
        return false;
    }
    return true;
}

void BrowseSession::check_lost(BrowserWindow* w, std::string* error) {
    if (lost_.empty() && w) lost_ = w->engine_failure();
    if (!lost_.empty()) *error = lost_;
}

bool BrowseSession::wait_for_field(BrowserWindow* w, const std::string& field, double seconds, std::string* error) {
    using clock = std::chrono::steady_clock;
    auto deadline = clock::now() + std::chrono::duration_cast<clock::duration>(std::chrono::duration<double>(seconds));
    for (;;) {
        std::string why;
        if (w->has_field(field, &why)) return true;
        if (!why.empty()) {
            *error = why;
            return false;
        }
        if (clock::now() >= deadline) break;
        w->pump();
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    char buf[64];
    std::snprintf(buf, sizeof buf, "%g", seconds);
    *error = "no INPUT with id or name '" + field + "' appeared in " + buf + " s";
    return false;
}

BrowserWindow* BrowseSession::current(std::string* error) {
    auto it = windows_.find(current_);
    if (it == windows_.end()) {
        *error = "no window is open";
        return nullptr;
    }
    return it->second.get();
}

bool BrowseSession::wait_idle(double seconds) {
    using clock = std::chrono::steady_clock;
    auto deadline = clock::now() + std::chrono::duration_cast<clock::duration>(std::chrono::duration<double>(seconds));
    for (;;) {
        bool threads_done = bf::platform_threads_running() == 0;
        bool queues_empty = true;
        for (auto& [n, w] : windows_) queues_empty = w->pump() && queues_empty;
        if (threads_done && queues_empty && bf::platform_threads_running() == 0) return true;
        if (clock::now() >= deadline) return false;
        // The windows' threads keep handling messages meanwhile (workers may send to them).
        bf::wait_platform_threads_idle(20);
    }
}

bool BrowseSession::show_json(std::string* out, std::string* error) {
    BrowserWindow* w = current(error);
    if (!w) return false;
    json j;
    j["window"] = current_;
    j["url"] = w->location();
    auto tb = w->toolbar();
    if (!tb) {
        // No toolbar in this window (none registered, or it failed): the band's fields are null.
        for (const char* k : {"status", "login", "name", "focus", "selection", "nameRect", "rating", "ad"})
            j[k] = nullptr;
    } else {
        j["status"] = bf::to_utf8(tb->status);
        j["login"] = bf::to_utf8(tb->login);
        j["name"] = bf::to_utf8(tb->name);
        j["focus"] = tb->status_focused ? json("status") : json(nullptr);
        j["selection"] = json::array({tb->selection_start, tb->selection_end});
        j["nameRect"] = rect_json(tb->name_rect);
        j["rating"] = {{"visible", tb->rating.visible}, {"rect", rect_json(tb->rating.rect)}};
        j["ad"] = {{"visible", tb->ad.visible}, {"rect", rect_json(tb->ad.rect)}};
    }
    *out = dump(j);
    return true;
}

bool BrowseSession::fields_json(std::string* out, std::string* error) {
    BrowserWindow* w = current(error);
    if (!w) return false;
    FieldsReport r = w->fields();
    json j;
    j["url"] = r.url;
    j["inputs"] = inputs_json(r.inputs);
    json frames = json::array();
    for (const auto& f : r.frames) {
        json o;
        o["url"] = f.url;
        o["inputs"] = inputs_json(f.inputs);
        frames.push_back(std::move(o));
    }
    j["frames"] = std::move(frames);
    *out = dump(j);
    return true;
}

Outcome BrowseSession::execute(const std::string& raw, std::string* output, std::string* error,
                               std::vector<std::string>* warnings) {
    std::string line = trim(strip_comment(raw));
    if (line.empty()) return Outcome::ok;
    auto [command, rest] = split_word(line);
    auto fail = [&](std::string why) {
        *error = std::move(why);
        return Outcome::failed;
    };
    auto need_none = [&]() { return rest.empty(); };

    if (command == "quit") {
        if (!need_none()) return fail("quit takes no argument");
        shutdown();
        return Outcome::quit;
    }
    if (!lost_.empty()) return fail(lost_);
    if (command == "newwindow") {
        std::string why;
        if (!open_window(rest, &why, warnings)) return fail(why.empty() ? "cannot open a window" : why);
        return Outcome::ok;
    }
    if (command == "window") {
        char* end = nullptr;
        long n = rest.empty() ? 0 : std::strtol(rest.c_str(), &end, 10);
        if (rest.empty() || *end != '\0') return fail("window needs a window number");
        if (!windows_.count(static_cast<int>(n))) return fail("no window " + rest);
        current_ = static_cast<int>(n);
        return Outcome::ok;
    }
    if (command == "wait") {
        if (!need_none()) return fail("wait takes no argument");
        bool idle = wait_idle(options_.wait_timeout_seconds);
        if (auto it = windows_.find(current_); it != windows_.end()) {
            std::string why;
            check_lost(it->second.get(), &why);
            if (!why.empty()) return fail(why);
        }
        if (!idle) {
            char buf[64];
            std::snprintf(buf, sizeof buf, "%g", options_.wait_timeout_seconds);
            return fail(std::string("the component is still busy after ") + buf + " s");
        }
        return Outcome::ok;
    }
    if (command == "show" || command == "fields") {
        if (!need_none()) return fail(command + " takes no argument");
        std::string out, why;
        bool ok = command == "show" ? show_json(&out, &why) : fields_json(&out, &why);
        if (!ok) return fail(why);
        *output += out + "\n";
        return Outcome::ok;
    }

    std::string why;
    BrowserWindow* w = current(&why);
    bool known = command == "open" || command == "click" || command == "type" || command == "clear" ||
                 command == "submit" || command == "snapshot" || command == "closewindow" || command == "waitfor";
    if (!known) return fail("unknown command '" + command + "'");
    if (!w) return fail(why);

    bool ok = false;
    if (command == "open") {
        if (rest.empty()) return fail("open needs a URL");
        ok = w->open_url(rest, &why);
    } else if (command == "click") {
        BandControl c;
        if (!parse_control(rest, &c)) return fail("click needs one of status, login, name, rating, ad");
        ok = w->click(c, &why);
    } else if (command == "type") {
        auto [field, text] = split_word(rest);
        if (field.empty()) return fail("type needs a field and a text");
        ok = w->set_field(field, text, &why);
    } else if (command == "clear") {
        if (rest.empty() || rest.find_first_of(" \t") != std::string::npos) return fail("clear needs one field");
        ok = w->set_field(rest, "", &why);
    } else if (command == "submit") {
        if (rest.find_first_of(" \t") != std::string::npos) return fail("submit takes at most one field");
        ok = w->submit(rest, &why);
    } else if (command == "waitfor") {
        auto [field, seconds_text] = split_word(rest);
        if (field.empty()) return fail("waitfor needs a field and at most a number of seconds");
        double seconds = options_.wait_timeout_seconds;
        if (!seconds_text.empty()) {
            char* end = nullptr;
            seconds = std::strtod(seconds_text.c_str(), &end);
            if (*end != '\0' || !(seconds >= 0) || seconds > 86400)
                return fail("waitfor needs a field and at most a number of seconds");
        }
        ok = wait_for_field(w, field, seconds, &why);
    } else if (command == "snapshot") {
        if (rest.empty()) return fail("snapshot needs a file name");
        ok = w->snapshot(rest, &why);
    } else if (command == "closewindow") {
        if (!need_none()) return fail("closewindow takes no argument");
        wait_idle(options_.wait_timeout_seconds);
        w->close();
        windows_.erase(current_);
        current_ = windows_.empty() ? 0 : windows_.begin()->first;
        return Outcome::ok;
    }
    if (!ok) {
        check_lost(w, &why);
        return fail(why.empty() ? command + " failed" : why);
    }
    return Outcome::ok;
}

void BrowseSession::shutdown() {
    if (shut_) return;
    shut_ = true;
    // A session whose browser is gone ends quickly: nothing it waits for can come any more.
    if (lost_.empty() && engines_ && !engines_->failure().empty()) lost_ = engines_->failure();
    double wait = lost_.empty() ? options_.wait_timeout_seconds : std::min(options_.wait_timeout_seconds, 2.0);
    if (!windows_.empty()) wait_idle(wait);
    for (auto& [n, w] : windows_) w->close();
    windows_.clear();
    current_ = 0;
    // Servers may be unloaded only once nothing of theirs runs any more.
    if (bf::wait_platform_threads_idle(static_cast<DWORD>(wait * 1000))) release_unused_servers();
    engines_.reset();  // the browser behind the windows goes last
}

}  // namespace bf::host
