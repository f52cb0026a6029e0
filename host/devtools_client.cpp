#include "host/devtools_client.h"

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

namespace bf::host {
namespace {

std::string seconds_text(std::chrono::milliseconds ms) {
    char buf[32];
    std::snprintf(buf, sizeof buf, "%g", static_cast<double>(ms.count()) / 1000.0);
    return buf;
}

// BRACKENFOLD_DEVTOOLS_LOG names a file that receives every message both ways (for diagnosis).
void trace(const char* dir, std::string_view text) {
    static const char* path = std::getenv("BRACKENFOLD_DEVTOOLS_LOG");
    if (!path || !*path) return;
    static std::mutex m;
    std::lock_guard<std::mutex> lock(m);
    static const auto start = std::chrono::steady_clock::now();
    double ms = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
    if (FILE* f = std::fopen(path, "a")) {
        std::fprintf(f, "%10.3f %s %.*s\n", ms, dir, static_cast<int>(std::min<size_t>(text.size(), 600)), text.data());
        std::fclose(f);
    }
}

}  // namespace

std::string json_string(const Json& object, const char* key) {
    if (!object.is_object()) return {};
    auto it = object.find(key);
    return it != object.end() && it->is_string() ? it->get<std::string>() : std::string();
}

DevToolsClient::DevToolsClient(int read_fd, int write_fd, std::function<std::string()> describe_exit)
    : read_fd_(read_fd), write_fd_(write_fd), describe_exit_(std::move(describe_exit)) {
    // Writes never block for good: a browser that stops reading is caught by the deadline.
    fcntl(write_fd_, F_SETFL, fcntl(write_fd_, F_GETFL) | O_NONBLOCK);
    if (pipe2(stop_pipe_, O_CLOEXEC | O_NONBLOCK) != 0) {
        stop_pipe_[0] = stop_pipe_[1] = -1;
        failure_ = "cannot make a pipe (" + std::string(std::strerror(errno)) + ")";
        return;
    }
    thread_ = std::thread(&DevToolsClient::reader, this);
}

DevToolsClient::~DevToolsClient() {
    stop();
    for (int fd : stop_pipe_)
        if (fd >= 0) close(fd);
}

void DevToolsClient::stop() {
    if (thread_.joinable()) {
        stopping_ = true;
        poke();
        thread_.join();
    }
    std::vector<std::function<void()>> wakes;
    {
        // No write is under way once this returns, so the browser's pipe may be closed after.
        std::lock_guard<std::mutex> writing(write_mutex_);
        std::lock_guard<std::mutex> lock(mutex_);
        fail_locked("the connection to the browser is closed", &wakes);
    }
    for (auto& w : wakes) w();
}

bool DevToolsClient::failed() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return !failure_.empty();
}

std::string DevToolsClient::failure() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return failure_;
}

void DevToolsClient::fail(const std::string& why) {
    std::vector<std::function<void()>> wakes;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        fail_locked(why, &wakes);
    }
    for (auto& w : wakes) w();
}

void DevToolsClient::fail_locked(const std::string& why, std::vector<std::function<void()>>* wakes) {
    if (!failure_.empty()) return;
    failure_ = why;
    for (auto& [id, p] : pending_) {
        p.done = true;
        p.ok = false;
        p.error = why;
    }
    answered_.notify_all();
    for (auto& [n, sink] : sinks_)
        if (sink.wake) wakes->push_back(sink.wake);
}

bool DevToolsClient::write_all(const std::string& bytes, std::string* error) {
    std::lock_guard<std::mutex> lock(write_mutex_);
    if (failed()) {
        *error = failure();
        return false;
    }
    size_t done = 0;
    auto deadline = Clock::now() + kDefaultDeadline;
    while (done < bytes.size()) {
        ssize_t n = write(write_fd_, bytes.data() + done, bytes.size() - done);
        if (n > 0) {
            done += static_cast<size_t>(n);
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && errno == EAGAIN) {
            auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
            if (left <= 0) {
                *error = "the browser did not answer in " + seconds_text(kDefaultDeadline) + " s";
                return false;
            }
            pollfd p{write_fd_, POLLOUT, 0};
            poll(&p, 1, static_cast<int>(left));
            continue;
        }
        // The pipe is broken because the browser has gone: say how, as the reader would.
        *error = "the browser exited (" + (describe_exit_ ? describe_exit_() : std::string("its pipe is closed")) + ")";
        return false;
    }
    return true;
}

uint64_t DevToolsClient::write_command(const std::string& session, const std::string& method, const Json& params,
                                       bool waited, std::chrono::milliseconds deadline, int reply_sink,
                                       const std::string& reply_method) {
    uint64_t id;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        id = next_id_++;
        Pending& p = pending_[id];
        p.waited = waited;
        p.reply_sink = reply_sink;
        p.reply_method = reply_method;
        p.session = session;
        p.deadline = Clock::now() + deadline;
        p.allowed = deadline;
        if (!failure_.empty()) {
            p.done = true;
            p.error = failure_;
            return id;
        }
    }
    Json message = {{"id", id}, {"method", method}, {"params", params.is_null() ? Json::object() : params}};
    if (!session.empty()) message["sessionId"] = session;
    std::string error;
    std::string text = message.dump(-1, ' ', false, Json::error_handler_t::replace);
    trace(">", text);
    if (!write_all(DevToolsFramer::frame(text), &error))
        fail(error);
    poke();  // the reader may be waiting in poll for long: it looks at the new deadline
    return id;
}

bool DevToolsClient::call(const std::string& session, const std::string& method, const Json& params, Json* result,
                          std::string* error, std::chrono::milliseconds deadline) {
    uint64_t id = write_command(session, method, params, true, deadline);
    std::unique_lock<std::mutex> lock(mutex_);
    auto it = pending_.find(id);
    // The reader enforces the deadline; the margin only guards against a reader that is gone.
    Clock::time_point give_up = it->second.deadline + std::chrono::seconds(1);
    while (!it->second.done) {
        if (answered_.wait_until(lock, give_up) == std::cv_status::timeout && !it->second.done) {
            lock.unlock();
            fail("the browser did not answer in " + seconds_text(deadline) + " s");
            lock.lock();
        }
    }
    bool ok = it->second.ok;
    if (ok && result) *result = std::move(it->second.result);
    if (!ok && error) *error = it->second.error;
    pending_.erase(it);
    return ok;
}

void DevToolsClient::send(const std::string& session, const std::string& method, const Json& params,
                          std::chrono::milliseconds deadline) {
    uint64_t id = write_command(session, method, params, false, deadline);
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = pending_.find(id);
    if (it != pending_.end() && it->second.done) pending_.erase(it);
}

void DevToolsClient::send_with_reply(const std::string& session, const std::string& method, const Json& params,
                                     std::chrono::milliseconds deadline, int sink, const std::string& reply_method) {
    uint64_t id = write_command(session, method, params, false, deadline, sink, reply_method);
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = pending_.find(id);
    if (it != pending_.end() && it->second.done) pending_.erase(it);
}

int DevToolsClient::add_sink(std::function<void()> wake) {
    std::lock_guard<std::mutex> lock(mutex_);
    int n = next_sink_++;
    sinks_[n].wake = std::move(wake);
    return n;
}

void DevToolsClient::remove_sink(int sink) {
    std::lock_guard<std::mutex> lock(mutex_);
    sinks_.erase(sink);
    for (auto it = routes_.begin(); it != routes_.end();) {
        if (it->second == sink) it = routes_.erase(it);
        else ++it;
    }
}

void DevToolsClient::route(const std::string& session, int sink) {
    std::lock_guard<std::mutex> lock(mutex_);
    routes_[session] = sink;
}

void DevToolsClient::unroute(const std::string& session) {
    std::lock_guard<std::mutex> lock(mutex_);
    routes_.erase(session);
}

void DevToolsClient::set_attach_hook(int sink, std::function<void(const std::string&, const Json&)> hook) {
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = sinks_.find(sink);
    if (it != sinks_.end()) it->second.attach = std::move(hook);
}

bool DevToolsClient::next_event(int sink, DevToolsEvent* out) {
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = sinks_.find(sink);
    if (it == sinks_.end() || it->second.events.empty()) return false;
    *out = std::move(it->second.events.front());
    it->second.events.pop_front();
    return true;
}

void DevToolsClient::wake_at(int sink, Clock::time_point when) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        auto it = sinks_.find(sink);
        if (it == sinks_.end()) return;
        it->second.timer = std::min(it->second.timer, when);
    }
    poke();
}

void DevToolsClient::poke() {
    // A full pipe means the reader is due to wake anyway.
    char c = 1;
    if (stop_pipe_[1] >= 0) [[maybe_unused]] auto ignored = write(stop_pipe_[1], &c, 1);
}

DevToolsClient::Clock::time_point DevToolsClient::next_wake_locked() const {
    Clock::time_point next = Clock::time_point::max();
    for (const auto& [id, p] : pending_)
        if (!p.done) next = std::min(next, p.deadline);
    for (const auto& [n, s] : sinks_) next = std::min(next, s.timer);
    return next;
}

void DevToolsClient::reader() {
    std::vector<char> buf(256 * 1024);
    for (;;) {
        int timeout = -1;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            Clock::time_point next = next_wake_locked();
            if (next != Clock::time_point::max()) {
                auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(next - Clock::now()).count() + 1;
                timeout = static_cast<int>(std::clamp<long long>(ms, 0, 60000));
            }
        }
        pollfd fds[2] = {{read_fd_, POLLIN, 0}, {stop_pipe_[0], POLLIN, 0}};
        int n = poll(fds, 2, timeout);
        if (n < 0 && errno != EINTR) {
            fail("cannot read from the browser (" + std::string(std::strerror(errno)) + ")");
            return;
        }
        if (n > 0 && (fds[1].revents & POLLIN)) {
            char drain[256];
            while (read(stop_pipe_[0], drain, sizeof drain) > 0) {
            }
        }
        if (stopping_) return;
        // Deadlines and timers.
        std::vector<std::function<void()>> wakes;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            auto now = Clock::now();
            for (const auto& [id, p] : pending_)
                if (!p.done && p.deadline <= now) {
                    fail_locked("the browser did not answer in " + seconds_text(p.allowed) + " s", &wakes);
                    break;
                }
            for (auto it = pending_.begin(); it != pending_.end();) {
                if (it->second.done && !it->second.waited) it = pending_.erase(it);
                else ++it;
            }
            for (auto& [k, s] : sinks_)
                if (s.timer <= now) {
                    s.timer = Clock::time_point::max();
                    if (s.wake) wakes.push_back(s.wake);
                }
        }
        for (auto& w : wakes) w();
        if (n <= 0 || !(fds[0].revents & (POLLIN | POLLHUP | POLLERR))) continue;

        ssize_t got = read(read_fd_, buf.data(), buf.size());
        if (got < 0 && (errno == EINTR || errno == EAGAIN)) continue;
        if (got <= 0) {
            std::string how = describe_exit_ ? describe_exit_() : std::string("its pipe is closed");
            fail("the browser exited (" + how + ")");
            return;
        }
        std::vector<std::string> messages;
        std::string error;
        bool ok = framer_.feed(std::string_view(buf.data(), static_cast<size_t>(got)), &messages, &error);
        for (const auto& m : messages) handle(m);
        if (!ok) {
            fail(error);
            return;
        }
    }
}

void DevToolsClient::handle(const std::string& text) {
    trace("<", text);
    Json message = Json::parse(text, nullptr, false);
    if (message.is_discarded() || !message.is_object()) return;  // not ours to understand: skipped
    std::vector<std::function<void()>> wakes;
    std::function<void(const std::string&, const Json&)> hook;
    std::string hook_session;
    Json hook_params;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (message.contains("id")) {
            if (!message["id"].is_number_unsigned()) return;
            auto it = pending_.find(message["id"].get<uint64_t>());
            if (it == pending_.end() || it->second.done) return;
            Pending& p = it->second;
            p.done = true;
            if (message.contains("error")) {
                const Json& e = message["error"];
                p.error = e.is_object() && e.contains("message") && e["message"].is_string()
                              ? e["message"].get<std::string>()
                              : std::string("the browser refused the command");
            } else {
                p.ok = true;
                if (message.contains("result")) p.result = std::move(message["result"]);
            }
            if (p.waited) {
                answered_.notify_all();
                return;
            }
            if (p.reply_sink) {
                auto sink = sinks_.find(p.reply_sink);
                if (sink != sinks_.end()) {
                    Json reply = p.ok ? Json{{"result", std::move(p.result)}} : Json{{"error", p.error}};
                    sink->second.events.push_back({p.session, p.reply_method, std::move(reply)});
                    if (sink->second.wake) wakes.push_back(sink->second.wake);
                }
            }
            pending_.erase(it);
        } else {
            if (!message.contains("method") || !message["method"].is_string()) return;
            std::string session = json_string(message, "sessionId");
            auto route = routes_.find(session);
            if (route == routes_.end()) return;  // a session nobody listens to
            auto sink = sinks_.find(route->second);
            if (sink == sinks_.end()) return;
            DevToolsEvent event{session, message["method"].get<std::string>(), Json()};
            if (message.contains("params")) event.params = std::move(message["params"]);
            if (event.method == "Target.attachedToTarget" && event.params.is_object() &&
                event.params.contains("sessionId") && event.params["sessionId"].is_string()) {
                routes_[event.params["sessionId"].get<std::string>()] = route->second;
                hook = sink->second.attach;
                hook_session = event.params["sessionId"].get<std::string>();
                hook_params = event.params;
            }
            sink->second.events.push_back(std::move(event));
            if (sink->second.wake) wakes.push_back(sink->second.wake);
        }
    }
    if (hook) hook(hook_session, hook_params);
    for (auto& w : wakes) w();
}

}  // namespace bf::host
