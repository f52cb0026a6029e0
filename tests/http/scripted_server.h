// A scripted loopback HTTP server for the tests: each accepted connection plays the next script
// (read a request, send given bytes in given pieces with given pauses, close or keep the
// connection), and records every request it read, byte for byte. It listens on a free port and
// stops by itself when destroyed; every wait is bounded.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace bf::http::test {

struct Step {
    enum class Kind { Read, Send, Pause, Close, HoldUntilClosed, Stream };
    Kind kind;
    std::string bytes;      // Send, Stream
    std::size_t piece = 0;  // Send: piece size (0: all at once)
    int pauseMs = 0;        // Send: pause between pieces; Pause: how long
    std::size_t total = 0;  // Stream: bytes in all, repeating `bytes`
};

using Script = std::vector<Step>;

// Reads one request: the head, then as many body bytes as its Content-Length says.
Step Read();
Step Send(std::string bytes, std::size_t piece = 0, int pauseMs = 0);
Step Pause(int ms);
Step Close();
// Waits until the client closes the connection (or the server stops).
Step HoldUntilClosed();
// Sends `total` bytes made of `pattern` over and over, as fast as the client takes them.
Step Stream(std::string pattern, std::size_t total);

class ScriptedServer {
public:
    // `address` is a loopback address such as "127.0.0.1" or "127.0.0.2"; `port` 0 picks a free
    // one (a given port serves a client that was refused there before).
    explicit ScriptedServer(std::vector<Script> scripts, const char* address = "127.0.0.1", unsigned short port = 0);
    ~ScriptedServer();
    ScriptedServer(const ScriptedServer&) = delete;
    ScriptedServer& operator=(const ScriptedServer&) = delete;

    unsigned short Port() const { return m_port; }
    std::string Address() const { return m_address; }
    // "http://address:port" + path.
    std::u16string Url(const std::string& path) const;
    // Every request read so far, in order.
    std::vector<std::string> Requests();
    int Connections() const { return m_connections.load(); }
    // Waits (bounded) until `n` connections have finished their scripts.
    bool WaitForScripts(int n, int timeoutMs = 5000);

private:
    void Run();
    void Play(int fd, const Script& script);
    bool SleepUnlessStopped(int ms);
    bool ReadRequest(int fd, std::string& carry);
    bool SendAll(int fd, const char* data, std::size_t length);
    bool WaitReadable(int fd, int timeoutMs);

    std::vector<Script> m_scripts;
    std::string m_address;
    int m_listener = -1;
    int m_wakePipe[2] = {-1, -1};
    unsigned short m_port = 0;
    std::thread m_thread;
    std::mutex m_lock;
    std::condition_variable m_changed;
    bool m_stop = false;
    int m_finished = 0;
    std::vector<std::string> m_requests;
    std::atomic<int> m_connections{0};
};

// A closed loopback port: bound once, then released.
unsigned short ClosedPort();

}  // namespace bf::http::test
