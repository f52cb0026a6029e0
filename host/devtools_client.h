// A DevTools protocol client over a pair of pipe ends (the browser's fds 3 and 4): commands with
// ids and session ids, their answers matched back to the caller, events queued per sink (one sink
// per browser window, fed by the sessions routed to it), wake-ups at given times, and a deadline
// on every command. One reader thread does the receiving; any thread may send. Once the browser
// has gone -- its pipe closed, a message it sent could not be read, or a command went unanswered
// past its deadline -- the client has failed for good: every caller is released with the reason,
// and every sink is woken to see it.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <nlohmann/json.hpp>
#include <string>
#include <thread>

#include "host/devtools_framer.h"

namespace bf::host {

using Json = nlohmann::json;

// object[key] when it is a string, else empty: the browser's messages are read without throwing.
std::string json_string(const Json& object, const char* key);

struct DevToolsEvent {
    std::string session;  // empty for the browser's own
    std::string method;
    Json params;
};

class DevToolsClient {
public:
    using Clock = std::chrono::steady_clock;
    static constexpr std::chrono::milliseconds kDefaultDeadline{5000};

    // `describe_exit` is asked, on the reader thread, what became of the browser once its pipe
    // has closed ("exit status 1", "killed by signal 9", ...).
    DevToolsClient(int read_fd, int write_fd, std::function<std::string()> describe_exit);
    ~DevToolsClient();  // stop()
    DevToolsClient(const DevToolsClient&) = delete;
    DevToolsClient& operator=(const DevToolsClient&) = delete;

    // Ends the reader thread; later commands fail. Does not touch the browser.
    void stop();

    // Sends and waits for the answer. False with `error` set to the browser's error message for
    // the command, or to failure() when the browser is gone.
    bool call(const std::string& session, const std::string& method, const Json& params, Json* result,
              std::string* error, std::chrono::milliseconds deadline = kDefaultDeadline);
    // Sends without waiting; the answer is dropped, but its deadline holds all the same.
    void send(const std::string& session, const std::string& method, const Json& params,
              std::chrono::milliseconds deadline = kDefaultDeadline);
    // Sends without waiting; the answer comes back as an event `reply_method` of the command's
    // session in `sink`, its params {"result": ...} or {"error": "..."}.
    void send_with_reply(const std::string& session, const std::string& method, const Json& params,
                         std::chrono::milliseconds deadline, int sink, const std::string& reply_method);

    // A sink: a queue of events with a wake-up, called on the reader thread whenever an event is
    // queued, a wake-up time is reached, or the client fails.
    int add_sink(std::function<void()> wake);
    void remove_sink(int sink);
    // Events of `session` go to `sink` from now on. When a routed session reports
    // Target.attachedToTarget, the new session is routed to the same sink before any of its own
    // events are read, and the sink's attach hook runs on the reader thread (so that the new
    // target can be set up before it starts).
    void route(const std::string& session, int sink);
    void unroute(const std::string& session);
    void set_attach_hook(int sink, std::function<void(const std::string& session, const Json& params)> hook);
    bool next_event(int sink, DevToolsEvent* out);
    void wake_at(int sink, Clock::time_point when);

    bool failed() const;
    std::string failure() const;
    // Fails the client now, as if the browser had gone (the first reason stays).
    void fail(const std::string& why);

private:
    struct Pending {
        bool waited = false;
        bool done = false;
        bool ok = false;
        Json result;
        std::string error;
        Clock::time_point deadline;
        std::chrono::milliseconds allowed{};
        int reply_sink = 0;
        std::string reply_method, session;
    };
    struct Sink {
        std::function<void()> wake;
        std::function<void(const std::string&, const Json&)> attach;
        std::deque<DevToolsEvent> events;
        Clock::time_point timer = Clock::time_point::max();
    };

    uint64_t write_command(const std::string& session, const std::string& method, const Json& params, bool waited,
                           std::chrono::milliseconds deadline, int reply_sink = 0,
                           const std::string& reply_method = {});
    bool write_all(const std::string& bytes, std::string* error);
    void reader();
    void poke();
    void handle(const std::string& text);
    void fail_locked(const std::string& why, std::vector<std::function<void()>>* wakes);
    Clock::time_point next_wake_locked() const;

    int read_fd_, write_fd_;
    int stop_pipe_[2] = {-1, -1};
    std::atomic<bool> stopping_{false};
    std::function<std::string()> describe_exit_;
    DevToolsFramer framer_;

    mutable std::mutex mutex_;
    std::condition_variable answered_;
    std::mutex write_mutex_;
    uint64_t next_id_ = 1;
    std::map<uint64_t, Pending> pending_;
    std::map<int, Sink> sinks_;
    std::map<std::string, int> routes_;
    int next_sink_ = 1;
    std::string failure_;
    std::thread thread_;
};

}  // namespace bf::host
