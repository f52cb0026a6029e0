#include "host/native_host.h"

#include <unistd.h>

#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <deque>
#include <filesystem>
#include <fstream>
#include <map>
#include <mutex>
#include <sstream>

#include "host/browser_window.h"
#include "host/extension_engine.h"
#include "host/native_channel.h"
#include <stringapiset.h>

namespace bf::host {
namespace {

using nlohmann::json;
using Clock = std::chrono::steady_clock;

void log(const std::string& line) { std::fprintf(stderr, "brackenfold native-host: %s\n", line.c_str()); }

std::string base64(const std::string& in) {
    static const char* t = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string out;
    out.reserve((in.size() + 2) / 3 * 4);
    size_t i = 0;
    for (; i + 2 < in.size(); i += 3) {
        unsigned v = (static_cast<unsigned char>(in[i]) << 16) | (static_cast<unsigned char>(in[i + 1]) << 8) |
                     static_cast<unsigned char>(in[i + 2]);
        for (int s = 18; s >= 0; s -= 6) out += t[(v >> s) & 63];
    }
    if (i < in.size()) {
        unsigned v = static_cast<unsigned char>(in[i]) << 16;
        if (i + 1 < in.size()) v |= static_cast<unsigned char>(in[i + 1]) << 8;
        out += t[(v >> 18) & 63];
        out += t[(v >> 12) & 63];
        out += i + 1 < in.size() ? t[(v >> 6) & 63] : '=';
        out += '=';
    }
    return out;
}

// The status box shows the site's alias once there is one; every other status is words.
bool is_address(const std::u16string& status) {
    return status.find(u'@') != std::u16string::npos && status.find(u' ') == std::u16string::npos;
}

// Makes the engine of the tab whose window is being opened (the host's thread sets the tab
// before it opens the window and waits for it).
class TabEngines final : public EngineFactory {
public:
    TabEngines(std::shared_ptr<NativeChannel> channel, ExtensionEngineOptions options)
        : channel_(std::move(channel)), options_(options) {}
    void next(std::int64_t tab, std::shared_ptr<TabInbox> inbox) {
        tab_ = tab;
        inbox_ = std::move(inbox);
    }
    std::unique_ptr<BrowserEngine> make_engine() override {
        return make_extension_engine(channel_, tab_, inbox_, options_);
    }

private:
    std::shared_ptr<NativeChannel> channel_;
    ExtensionEngineOptions options_;
    std::int64_t tab_ = -1;
    std::shared_ptr<TabInbox> inbox_;
};

class Host {
public:
    Host(std::shared_ptr<NativeChannel> channel, const NativeHostOptions& options)
        : channel_(std::move(channel)), options_(options), engines_(channel_, {options.page_deadline}) {
        const char* tmp = std::getenv("TMPDIR");
        std::string pattern = std::string(tmp && *tmp ? tmp : "/tmp") + "/brackenfold-face-XXXXXX";
        std::vector<char> buf(pattern.begin(), pattern.end());
        buf.push_back('\0');
        if (mkdtemp(buf.data())) face_dir_ = buf.data();
    }
    ~Host() {
        close_all();
        std::error_code ec;
        if (!face_dir_.empty()) std::filesystem::remove_all(face_dir_, ec);
    }

    void handle(const BrowserMessage& m) {
        switch (m.type) {
        case BrowserMessageType::hello: return;
        case BrowserMessageType::tab_open:
        case BrowserMessageType::nav:
        case BrowserMessageType::inputs:
            if (Tab* t = tab(m.tab)) t->inbox->post(m);
            return;
        case BrowserMessageType::tab_close: return close_tab(m.tab);
        case BrowserMessageType::popup_open: {
            // A popup of a tab without a page yet waits for the tab's window; it opens none.
            auto it = tabs_.find(m.tab);
            if (it == tabs_.end()) {
                if (waiting_popups_.size() < options_.max_tabs) ++waiting_popups_[m.tab];
                return;
            }
            ++it->second.popups;
            send_face(m.tab, it->second, true);
            return;
        }
        case BrowserMessageType::popup_close: {
            auto it = tabs_.find(m.tab);
            if (it != tabs_.end() && it->second.popups > 0) --it->second.popups;
            auto w = waiting_popups_.find(m.tab);
            if (w != waiting_popups_.end() && --w->second <= 0) waiting_popups_.erase(w);
            return;
        }
        case BrowserMessageType::click: {
            auto it = tabs_.find(m.tab);
            if (it == tabs_.end()) return;
            std::string error;
            if (!it->second.window->click_at(m.x, m.y, &error))
                channel_->send({{"type", "error"}, {"message", "the click on tab " + std::to_string(m.tab) + ": " + error}});
            send_face(m.tab, it->second, false);
            return;
        }
        case BrowserMessageType::reply: return;
        }
    }

    // Wakes every engine for its timers and sends the faces that changed.
    void tick() {
        for (auto& [id, t] : tabs_) {
            t.inbox->wake();
            send_face(id, t, false);
        }
    }

    void close_all() {
        for (auto& [id, t] : tabs_) t.window->close();
        tabs_.clear();
        release_unused_servers();
    }

private:
    struct Tab {
        std::unique_ptr<BrowserWindow> window;
        std::shared_ptr<TabInbox> inbox;
        int popups = 0;
        bool sent = false;
        std::u16string status;
        std::string png;
    };

    // The tab's window, opened on its first message.
    Tab* tab(std::int64_t id) {
        auto it = tabs_.find(id);
        if (it != tabs_.end()) return &it->second;
        if (tabs_.size() >= options_.max_tabs) {
            channel_->send({{"type", "error"},
                            {"message", "tab " + std::to_string(id) + " gets no toolbar: " +
                                            std::to_string(options_.max_tabs) + " tabs have one already"}});
            return nullptr;
        }
        auto inbox = std::make_shared<TabInbox>();
        engines_.next(id, inbox);
        std::string error;
        // The band as wide as its controls: a popup is at most 800 pixels wide.
        WindowOptions size;
        size.toolbar_width = 680;
        auto window = BrowserWindow::open(size, engines_, &error);
        if (!window) {
            log("tab " + std::to_string(id) + ": " + error);
            channel_->send({{"type", "error"}, {"message", "tab " + std::to_string(id) + ": " + error}});
            return nullptr;
        }
        for (const auto& p : window->toolbar_problems()) log(p);
        if (!window->has_toolbar() && !warned_) {
            // The user can act on this one: the popup shows it.
            warned_ = true;
            std::string why = "The Brackenfold toolbar is not registered for this user: run \"brackenfold register\".";
            log(why);
            channel_->send({{"type", "notice"}, {"message", why}});
        }
        log("tab " + std::to_string(id) + ": toolbar sited");
        Tab& t = tabs_[id];
        t.window = std::move(window);
        t.inbox = std::move(inbox);
        if (auto w = waiting_popups_.find(id); w != waiting_popups_.end()) {
            t.popups = w->second;
            waiting_popups_.erase(w);
        }
        return &t;
    }

    // OnQuit, then the band is hidden, closed and unsited; the window's thread ends.
    void close_tab(std::int64_t id) {
        waiting_popups_.erase(id);
        auto it = tabs_.find(id);
        if (it == tabs_.end()) return;
        it->second.window->close();
        tabs_.erase(it);
        release_unused_servers();
        log("tab " + std::to_string(id) + ": toolbar closed");
    }

    // The band's picture and status for the extension: always while a popup shows the tab (when
    // they changed, or `force`), else only when the status changed (the badge follows it).
    void send_face(std::int64_t id, Tab& t, bool force) {
        auto report = t.window->toolbar();
        if (!report) return;
        bool status_changed = !t.sent || report->status != t.status;
        if (!force && !status_changed && t.popups == 0) return;
        std::string png;
        if (!face_png(*t.window, &png)) return;
        if (!force && !status_changed && png == t.png) return;
        t.sent = true;
        t.status = report->status;
        t.png = png;
        if (!channel_->send({{"type", "face"},
                             {"tab", id},
                             {"png", "data:image/png;base64," + base64(png)},
                             {"status", bf::to_utf8(report->status)},
                             {"alias", is_address(report->status)}}))
            log("the face of tab " + std::to_string(id) + " cannot be sent");
    }

    bool face_png(BrowserWindow& window, std::string* png) {
        if (face_dir_.empty()) return false;
        std::string path = face_dir_ + "/face.png", error;
        if (!window.snapshot(path, &error)) {
            log("the band cannot be drawn: " + error);
            return false;
        }
        std::ifstream f(path, std::ios::binary);
        std::ostringstream s;
        s << f.rdbuf();
        *png = s.str();
        return !png->empty();
    }

    std::shared_ptr<NativeChannel> channel_;
    NativeHostOptions options_;
    TabEngines engines_;
    std::map<std::int64_t, Tab> tabs_;
    std::map<std::int64_t, int> waiting_popups_;
    std::string face_dir_;
    bool warned_ = false;
};

}  // namespace

int run_native_host(int in_fd, int out_fd, const NativeHostOptions& options) {
    auto channel = std::make_shared<NativeChannel>(in_fd, out_fd);
    std::mutex mutex;
    std::condition_variable arrived;
    std::deque<BrowserMessage> queue;
    bool ended = false;
    std::string broke;
    channel->start(
        [&](BrowserMessage m) {
            std::lock_guard<std::mutex> lock(mutex);
            queue.push_back(std::move(m));
            arrived.notify_one();
        },
        [&](const std::string& why) {
            std::lock_guard<std::mutex> lock(mutex);
            ended = true;
            broke = why;
            arrived.notify_one();
        });
    int status = 0;
    {
        Host host(channel, options);
        auto next_tick = Clock::now();
        for (;;) {
            std::deque<BrowserMessage> batch;
            bool done;
            {
                std::unique_lock<std::mutex> lock(mutex);
                arrived.wait_until(lock, next_tick, [&] { return !queue.empty() || ended; });
                batch.swap(queue);
                done = ended && batch.empty();
                if (done && !broke.empty()) {
                    log(broke);
                    status = 1;
                }
            }
            if (done) break;
            for (const auto& m : batch) host.handle(m);
            if (Clock::now() >= next_tick) {
                host.tick();
                next_tick = Clock::now() + options.face_every;
            }
        }
        host.close_all();
    }
    channel->stop();
    return status;
}

}  // namespace bf::host
