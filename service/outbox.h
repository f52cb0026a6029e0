// The service's own mail (confirmation links), sent off the request threads: a page queues its
// mail and answers at once; one thread of the outbox hands the mails to the mail server. A mail
// that cannot be sent is logged, never fatal: the user can ask for the link again.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <utility>

#include "service/smtp_client.h"

namespace bf::service {

class Outbox {
public:
    virtual ~Outbox() = default;
    // Takes `mail` for sending and returns at once. False (nothing queued, `error` set) when the
    // mail cannot be composed or too many wait already.
    virtual bool post(const TextMail& mail, std::string* error) = 0;
};

class SmtpOutbox : public Outbox {
public:
    using Log = std::function<void(const std::string& line)>;
    // Nothing connects before the first mail: a service without a mail server starts all the same.
    SmtpOutbox(SmtpServerAddress server, SmtpOptions options, Log log, std::size_t limit = 1000);
    // Finishes the mail being sent; what still waits is logged as not sent.
    ~SmtpOutbox() override;
    SmtpOutbox(const SmtpOutbox&) = delete;
    SmtpOutbox& operator=(const SmtpOutbox&) = delete;

    bool post(const TextMail& mail, std::string* error) override;
    // Until every mail posted so far has been sent or has failed.
    void drain();

private:
    struct Queued {
        std::string from, to, message;
    };
    void run();

    SmtpClient client_;
    Log log_;
    std::size_t limit_;
    std::mutex mutex_;
    std::condition_variable work_, idle_;
    std::deque<Queued> queue_;
    bool busy_ = false;
    bool stopping_ = false;
    std::thread worker_;
};

}  // namespace bf::service
