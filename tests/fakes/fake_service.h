// A loopback stand-in for the web service: answers every SOAP request with what its handler says
// (status, body, a delay), each connection on its own thread so that slow and fast answers can
// overlap, and records what was asked. Listens on 127.0.0.1 at a free port; stops when destroyed.
#pragma once

#include <atomic>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace fakes {

struct ServiceCall {
    std::string action;  // the SOAPAction header's value, quotes included
    std::string body;
};

struct ServiceAnswer {
    int status = 200;
    std::string body;
    int delayMs = 0;
};

class FakeService {
public:
    using Handler = std::function<ServiceAnswer(const ServiceCall&)>;

    FakeService();
    ~FakeService();
    FakeService(const FakeService&) = delete;
    FakeService& operator=(const FakeService&) = delete;

    void SetHandler(Handler handler);
    std::vector<ServiceCall> Calls();
    size_t CallCount();
    void ClearCalls();
    unsigned short Port() const { return port_; }

private:
    void Accept();
    void Serve(int fd);
    bool Wait(int ms);

    int listener_ = -1;
    int wake_[2] = {-1, -1};
    unsigned short port_ = 0;
    std::thread acceptor_;
    std::mutex lock_;
    std::condition_variable stopped_;
    bool stop_ = false;
    Handler handler_;
    std::vector<ServiceCall> calls_;
    std::vector<std::thread> workers_;
};

// The service of this test process. Started on first use, which also points
// BRACKENFOLD_SERVICE_HOST at it: call this before anything reads the deployment constants.
FakeService& SharedService();

// Answer bodies.
std::string NewPageAnswer(int intRet, std::optional<std::string> alias, int adId = 0,
                          std::optional<std::string> adUrl = std::nullopt, const std::string& adBytes = {});
std::string AliasAnswer(int intRet, std::optional<std::string> strRet);
bool IsNewPage(const ServiceCall& call);
bool IsAliasRequest(const ServiceCall& call);
// The text of the first element `name` in a request body ("" when absent).
std::string ElementText(const std::string& body, const std::string& name);

}  // namespace fakes
