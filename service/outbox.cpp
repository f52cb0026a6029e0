#include "service/outbox.h"

namespace bf::service {

SmtpOutbox::SmtpOutbox(SmtpServerAddress server, SmtpOptions options, Log log, std::size_t limit)
    : client_(std::move(server), std::move(options)), log_(std::move(log)), limit_(limit ? limit : 1),
      worker_([this] { run(); }) {}

SmtpOutbox::~SmtpOutbox() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        stopping_ = true;
    }
    work_.notify_one();
    worker_.join();
}

bool SmtpOutbox::post(const TextMail& mail, std::string* error) {
    Queued q{mail.from, mail.to, {}};
    if (!compose_text_mail(mail, &q.message, error)) return false;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (stopping_ || queue_.size() >= limit_) {
            *error = "too many mails wait to be sent";
            return false;
        }
        queue_.push_back(std::move(q));
    }
    work_.notify_one();
    return true;
}

void SmtpOutbox::drain() {
    std::unique_lock<std::mutex> lock(mutex_);
    idle_.wait(lock, [this] { return queue_.empty() && !busy_; });
}

void SmtpOutbox::run() {
    std::unique_lock<std::mutex> lock(mutex_);
    for (;;) {
        work_.wait(lock, [this] { return stopping_ || !queue_.empty(); });
        if (stopping_) {
            for (const Queued& q : queue_)
                if (log_) log_("mail to " + q.to + " not sent: the service stopped");
            queue_.clear();
            idle_.notify_all();
            return;
        }
        Queued q = std::move(queue_.front());
        queue_.pop_front();
        busy_ = true;
        lock.unlock();
        SmtpFailure failure;
        bool sent = client_.send(q.from, {q.to}, q.message, &failure);
        if (!sent && log_) log_("mail to " + q.to + " not sent: " + failure.error);
        lock.lock();
        busy_ = false;
        if (queue_.empty()) idle_.notify_all();
    }
}

}  // namespace bf::service
