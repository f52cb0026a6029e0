#include "tests/extension/fake_extension.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>

#include "tests/host/host_support.h"

namespace bf::host::test {

FakeExtension::FakeExtension(const std::vector<std::string>& env) {
    int in[2], out[2];
    if (pipe2(in, O_CLOEXEC) != 0 || pipe2(out, O_CLOEXEC) != 0) return;
    std::string binary = brackenfold_binary();
    pid_ = fork();
    if (pid_ == 0) {
        dup2(in[0], 0);
        dup2(out[1], 1);
        for (const auto& e : env) putenv(const_cast<char*>(e.c_str()));
        execl(binary.c_str(), "brackenfold", "native-host", "chrome-extension://noabfhdllnkblejlehmpbdbpiaihpnih/",
              static_cast<char*>(nullptr));
        _exit(127);
    }
    ::close(in[0]);
    ::close(out[1]);
    to_host_ = in[1];
    from_host_ = out[0];
    signal(SIGPIPE, SIG_IGN);
    thread_ = std::thread(&FakeExtension::reader, this);
}

FakeExtension::~FakeExtension() {
    if (pid_ > 0 && finish(std::chrono::seconds(10)) == -1) {
        kill(pid_, SIGKILL);
        waitpid(pid_, nullptr, 0);
    }
    if (thread_.joinable()) thread_.join();
    if (from_host_ >= 0) ::close(from_host_);
}

void FakeExtension::send_raw(const std::string& bytes) {
    if (to_host_ < 0) return;
    size_t at = 0;
    while (at < bytes.size()) {
        ssize_t n = ::write(to_host_, bytes.data() + at, bytes.size() - at);
        if (n <= 0) return;
        at += static_cast<size_t>(n);
    }
}

void FakeExtension::send(const json& message) {
    std::string text = message.dump();
    auto length = static_cast<std::uint32_t>(text.size());
    std::string framed(reinterpret_cast<const char*>(&length), 4);
    std::lock_guard<std::mutex> lock(mutex_);  // the reader answers requests too
    send_raw(framed + text);
}

int FakeExtension::finish(std::chrono::seconds within) {
    if (pid_ <= 0) return -1;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (to_host_ >= 0) ::close(to_host_);
        to_host_ = -1;
    }
    auto until = std::chrono::steady_clock::now() + within;
    for (;;) {
        int status = 0;
        pid_t r = waitpid(pid_, &status, WNOHANG);
        if (r == pid_) {
            pid_ = -1;
            return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
        }
        if (std::chrono::steady_clock::now() >= until) return -1;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
}

void FakeExtension::set_page(std::int64_t tab, FakePage page) {
    std::lock_guard<std::mutex> lock(mutex_);
    pages_[tab] = std::move(page);
}

FakePage FakeExtension::page(std::int64_t tab) {
    std::lock_guard<std::mutex> lock(mutex_);
    return pages_[tab];
}

void FakeExtension::load(std::int64_t tab, const std::string& url, FakePage page) {
    page.url = url;
    set_page(tab, std::move(page));
    send({{"type", "tab.open"}, {"tab", tab}, {"url", ""}, {"loaded", false}});
    for (const char* event : {"before", "commit", "complete"})
        send({{"type", "nav"}, {"event", event}, {"tab", tab}, {"frame", 0}, {"parent", -1}, {"url", url}});
}

json FakeExtension::answer(const json& request) {
    // mutex_ held
    auto it = pages_.find(request.value("tab", std::int64_t{-1}));
    if (it == pages_.end()) return {{"ok", false}, {"error", "no page: no content script"}};
    FakePage& page = it->second;
    if (request.contains("document") && request["document"] != page.token) return {{"ok", false}, {"error", "gone"}};
    auto describe = [](size_t i, const FakeInput& in) {
        return json{{"handle", i + 1}, {"type", in.type}, {"id", in.id}, {"name", in.name}, {"value", in.value}};
    };
    std::string op = request.value("type", "");
    if (op == "read") {
        json inputs = json::array();
        for (size_t i = 0; i < page.inputs.size(); ++i) inputs.push_back(describe(i, page.inputs[i]));
        return {{"ok", true}, {"document", page.token}, {"url", page.url}, {"inputs", inputs}};
    }
    std::int64_t handle = request.value("handle", std::int64_t{0});
    if (handle < 1 || static_cast<size_t>(handle) > page.inputs.size()) return {{"ok", false}, {"error", "gone"}};
    FakeInput& in = page.inputs[static_cast<size_t>(handle - 1)];
    if (op == "get") return {{"ok", true}, {"input", describe(static_cast<size_t>(handle - 1), in)}};
    if (op == "write") {
        writes_.push_back(request);
        if (!in.typed_before_write.empty()) {
            in.value = in.typed_before_write;
            in.typed_before_write.clear();
        }
        if (in.value != request.value("expect", "")) return {{"ok", false}, {"error", "changed"}};
        in.value = request.value("value", "");
        return {{"ok", true}};
    }
    return {{"ok", false}, {"error", "unknown request"}};
}

void FakeExtension::reader() {
    std::string buffer;
    char chunk[65536];
    for (;;) {
        ssize_t n = ::read(from_host_, chunk, sizeof chunk);
        if (n <= 0) break;
        buffer.append(chunk, static_cast<size_t>(n));
        while (buffer.size() >= 4) {
            std::uint32_t length;
            std::memcpy(&length, buffer.data(), 4);
            if (buffer.size() < 4 + length) break;
            json m = json::parse(buffer.substr(4, length), nullptr, false);
            buffer.erase(0, 4 + length);
            std::string type = m.is_object() ? m.value("type", "") : "";
            std::lock_guard<std::mutex> lock(mutex_);
            if (type == "read" || type == "get" || type == "write") {
                if (pages_[m.value("tab", std::int64_t{-1})].silent) continue;
                json reply = answer(m);
                reply["type"] = "reply";
                reply["id"] = m.value("id", 0);
                std::string text = reply.dump();
                auto len = static_cast<std::uint32_t>(text.size());
                send_raw(std::string(reinterpret_cast<const char*>(&len), 4) + text);
                continue;
            }
            messages_.push_back(std::move(m));
            taken_.push_back(false);
            arrived_.notify_all();
        }
    }
    std::lock_guard<std::mutex> lock(mutex_);
    ended_ = true;
    arrived_.notify_all();
}

json FakeExtension::wait_for(const std::function<bool(const json&)>& match, std::chrono::milliseconds within) {
    std::unique_lock<std::mutex> lock(mutex_);
    auto until = std::chrono::steady_clock::now() + within;
    size_t seen = 0;
    for (;;) {
        for (size_t i = 0; i < messages_.size(); ++i)
            if (!taken_[i] && match(messages_[i])) {
                taken_[i] = true;
                return messages_[i];
            }
        seen = messages_.size();
        if (ended_) return json();
        if (!arrived_.wait_until(lock, until, [&] { return messages_.size() > seen || ended_; })) return json();
    }
}

json FakeExtension::wait_for_type(const std::string& type, std::chrono::milliseconds within) {
    return wait_for([&](const json& m) { return m.is_object() && m.value("type", "") == type; }, within);
}

std::vector<json> FakeExtension::writes() {
    std::lock_guard<std::mutex> lock(mutex_);
    return writes_;
}

}  // namespace bf::host::test

namespace bf::host::test {
std::string FakeExtension::seen() {
    std::lock_guard<std::mutex> lock(mutex_);
    std::string out;
    for (json m : messages_) {
        if (m.is_object() && m.contains("png")) m["png"] = "...";
        out += m.dump() + "\n";
    }
    return out;
}
}  // namespace bf::host::test
