// The native host's one connection to the extension: framed JSON on a pair of file descriptors
// (the browser's pipes on standard input and output). One reader thread takes messages in,
// checks each (host/native_protocol.h), answers what it cannot take with an error message and
// hands the rest on; the host's page requests wait for their replies by id, each with a
// deadline. Any thread may send. Once the input has ended or cannot be followed, the channel is
// closed for good: every waiting request is released and the host hears of it once.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <thread>

#include <nlohmann/json.hpp>

#include "host/native_messaging.h"
#include "host/native_protocol.h"

namespace bf::host {

class NativeChannel {
public:
    using Clock = std::chrono::steady_clock;
    // A message from the extension (never a reply), on the reader thread.
    using Deliver = std::function<void(BrowserMessage)>;
    // The input ended (`why` empty) or broke (`why` says how), on the reader thread, once.
    using Closed = std::function<void(const std::string& why)>;

    NativeChannel(int read_fd, int write_fd);
    ~NativeChannel();  // stop()
    NativeChannel(const NativeChannel&) = delete;
    NativeChannel& operator=(const NativeChannel&) = delete;

    void start(Deliver deliver, Closed closed);
    // Ends the reader thread (the input is not closed) and releases every waiting request.
    void stop();

    // Sends `message` (an object) with a fresh `id` and waits for its reply: true with the reply
    // when it says ok; false with `error` the reply's own error ("changed", "gone", ...), or
    // "no answer in N ms", or why the channel closed.
    bool request(nlohmann::json message, std::chrono::milliseconds deadline, nlohmann::json* reply,
                 std::string* error);
    // False when the message is over the browser's limit or the output is gone.
    bool send(const nlohmann::json& message);

    bool closed() const;

private:
    struct Pending {
        bool done = false;
        bool ok = false;
        nlohmann::json reply;
        std::string error;
    };

    void reader();
    void handle(const std::string& text);
    void close_locked(const std::string& why);
    // BRACKENFOLD_NATIVE_LOG=FILE: every message both ways, for diagnosis.
    void trace(const char* direction, std::string_view text);

    int read_fd_, write_fd_;
    int stop_pipe_[2] = {-1, -1};
    Deliver deliver_;
    Closed on_closed_;
    NativeMessageReader framer_;

    mutable std::mutex mutex_;
    std::condition_variable answered_;
    std::mutex write_mutex_;
    bool write_broken_ = false;
    std::int64_t next_id_ = 1;
    std::map<std::int64_t, Pending*> pending_;
    bool closed_ = false;
    std::string close_reason_;
    std::FILE* trace_ = nullptr;
    std::mutex trace_mutex_;
    std::thread thread_;
};

}  // namespace bf::host
