// A stand-in for the browser extension in the native host's tests: it starts `brackenfold
// native-host` on a pair of pipes, speaks the framed protocol to it, answers its page requests
// from pages it holds per tab, and keeps every other message the host sends.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <condition_variable>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <nlohmann/json.hpp>

namespace bf::host::test {

using json = nlohmann::json;

struct FakeInput {
    FakeInput(std::string t, std::string i, std::string n, std::string v)
        : type(std::move(t)), id(std::move(i)), name(std::move(n)), value(std::move(v)) {}
    std::string type, id, name, value;
    // The user types this into the field after the host read it, just before its write arrives.
    std::string typed_before_write;
};

struct FakePage {
    std::string token = "doc-1";
    std::string url;
    std::vector<FakeInput> inputs;
    bool silent = false;  // its content script never answers
};

class FakeExtension {
public:
    // `env`: KEY=VALUE entries for the host's environment.
    explicit FakeExtension(const std::vector<std::string>& env);
    ~FakeExtension();  // ends the host if it is still running

    pid_t pid() const { return pid_; }
    void send(const json& message);
    void send_raw(const std::string& bytes);  // unframed: the test frames (or breaks) it itself
    // Closes the host's input and waits for its exit status (-1 when it did not exit in time).
    int finish(std::chrono::seconds within = std::chrono::seconds(20));

    void set_page(std::int64_t tab, FakePage page);
    FakePage page(std::int64_t tab);
    // A tab that loads `url` with `page` (top frame only): tab.open, before, commit, complete.
    void load(std::int64_t tab, const std::string& url, FakePage page);

    // The first message not taken yet for which `match` answers true, waiting up to `within`;
    // null when none came.
    json wait_for(const std::function<bool(const json&)>& match,
                  std::chrono::milliseconds within = std::chrono::milliseconds(20000));
    json wait_for_type(const std::string& type, std::chrono::milliseconds within = std::chrono::milliseconds(20000));
    // Every write request the host made, in order.
    std::vector<json> writes();
    // Every message kept so far, without the pictures (for failure messages).
    std::string seen();

private:
    void reader();
    json answer(const json& request);

    pid_t pid_ = -1;
    int to_host_ = -1, from_host_ = -1;
    std::mutex mutex_;
    std::condition_variable arrived_;
    std::vector<json> messages_;
    std::vector<bool> taken_;
    std::vector<json> writes_;
    std::map<std::int64_t, FakePage> pages_;
    bool ended_ = false;
    std::thread thread_;
};

}  // namespace bf::host::test
