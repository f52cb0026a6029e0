#include "host/native_channel.h"

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace bf::host {

using nlohmann::json;

NativeChannel::NativeChannel(int read_fd, int write_fd) : read_fd_(read_fd), write_fd_(write_fd) {
    if (pipe2(stop_pipe_, O_CLOEXEC) != 0) stop_pipe_[0] = stop_pipe_[1] = -1;
    if (const char* path = std::getenv("BRACKENFOLD_NATIVE_LOG"); path && *path) trace_ = std::fopen(path, "a");
}

void NativeChannel::trace(const char* direction, std::string_view text) {
    if (!trace_) return;
    std::lock_guard<std::mutex> lock(trace_mutex_);
    std::fprintf(trace_, "%s %.*s\n", direction, static_cast<int>(std::min<size_t>(text.size(), 2000)), text.data());
    std::fflush(trace_);
}

NativeChannel::~NativeChannel() {
    stop();
    for (int fd : stop_pipe_)
        if (fd >= 0) ::close(fd);
    if (trace_) std::fclose(trace_);
}

void NativeChannel::start(Deliver deliver, Closed closed) {
    deliver_ = std::move(deliver);
    on_closed_ = std::move(closed);
    thread_ = std::thread(&NativeChannel::reader, this);
}

void NativeChannel::stop() {
    if (stop_pipe_[1] >= 0) {
        char c = 1;
        [[maybe_unused]] ssize_t n = ::write(stop_pipe_[1], &c, 1);
    }
    if (thread_.joinable()) thread_.join();
    std::lock_guard<std::mutex> lock(mutex_);
    close_locked("the host is stopping");
}

bool NativeChannel::closed() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return closed_;
}

void NativeChannel::close_locked(const std::string& why) {
    if (closed_) return;
    closed_ = true;
    close_reason_ = why.empty() ? "the browser closed the connection" : why;
    for (auto& [id, p] : pending_) {
        p->done = true;
        p->error = close_reason_;
    }
    answered_.notify_all();
}

bool NativeChannel::send(const json& message) {
    std::string framed, text = message.dump(-1, ' ', false, json::error_handler_t::replace);
    trace(">", text);
    if (!frame_native_message(text, &framed)) return false;
    std::lock_guard<std::mutex> lock(write_mutex_);
    if (write_broken_) return false;
    const char* p = framed.data();
    size_t left = framed.size();
    while (left > 0) {
        ssize_t n = ::write(write_fd_, p, left);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            write_broken_ = true;  // the browser has gone; the input's end follows
            return false;
        }
        p += n;
        left -= static_cast<size_t>(n);
    }
    return true;
}

bool NativeChannel::request(json message, std::chrono::milliseconds deadline, json* reply, std::string* error) {
    Pending pending;
    std::int64_t id;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (closed_) {
            *error = close_reason_;
            return false;
        }
        id = next_id_++;
        pending_[id] = &pending;
    }
    message["id"] = id;
    bool sent = send(message);
    std::unique_lock<std::mutex> lock(mutex_);
    if (!sent && !pending.done) {
        pending.done = true;
        pending.error = "the request cannot be sent to the browser";
    }
    bool answered = answered_.wait_for(lock, deadline, [&] { return pending.done; });
    pending_.erase(id);
    if (!answered) {
        *error = "no answer in " + std::to_string(deadline.count()) + " ms";
        return false;
    }
    if (!pending.ok) {
        *error = pending.error;
        return false;
    }
    if (reply) *reply = std::move(pending.reply);
    return true;
}

void NativeChannel::handle(const std::string& text) {
    BrowserMessage m;
    std::string why;
    trace("<", text);
    if (!parse_browser_message(text, &m, &why)) {
        send({{"type", "error"}, {"message", why}});
        return;
    }
    if (m.type != BrowserMessageType::reply) {
        if (deliver_) deliver_(std::move(m));
        return;
    }
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = pending_.find(m.id);
    if (it == pending_.end()) return;  // its caller has given up waiting
    Pending* p = it->second;
    p->done = true;
    p->ok = m.answer.value("ok", false);
    if (!p->ok) {
        auto e = m.answer.find("error");
        p->error = e != m.answer.end() && e->is_string() ? e->get<std::string>().substr(0, 200) : "refused";
    }
    p->reply = std::move(m.answer);
    answered_.notify_all();
}

void NativeChannel::reader() {
    std::vector<char> buf(64 * 1024);
    std::string why;
    for (;;) {
        pollfd fds[2] = {{read_fd_, POLLIN, 0}, {stop_pipe_[0], POLLIN, 0}};
        int r = ::poll(fds, stop_pipe_[0] >= 0 ? 2 : 1, -1);
        if (r < 0 && errno == EINTR) continue;
        if (r < 0) {
            why = std::string("cannot wait for the browser: ") + std::strerror(errno);
            break;
        }
        if (stop_pipe_[0] >= 0 && (fds[1].revents & POLLIN)) {
            std::lock_guard<std::mutex> lock(mutex_);
            close_locked("the host is stopping");
            return;  // stopping: the host knows already
        }
        if (!(fds[0].revents & (POLLIN | POLLHUP | POLLERR))) continue;
        ssize_t n = ::read(read_fd_, buf.data(), buf.size());
        if (n < 0 && (errno == EINTR || errno == EAGAIN)) continue;
        if (n < 0) {
            why = std::string("cannot read from the browser: ") + std::strerror(errno);
            break;
        }
        if (n == 0) {
            if (framer_.mid_message()) why = "the browser's input ended inside a message";
            break;
        }
        std::vector<std::string> messages;
        bool ok = framer_.feed(std::string_view(buf.data(), static_cast<size_t>(n)), messages);
        for (const auto& text : messages) handle(text);
        if (!ok) {
            why = framer_.error();
            send({{"type", "error"}, {"message", why}});
            break;
        }
    }
    {
        std::lock_guard<std::mutex> lock(mutex_);
        close_locked(why);
    }
    if (on_closed_) on_closed_(why);
}

}  // namespace bf::host
