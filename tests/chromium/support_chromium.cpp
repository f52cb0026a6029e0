#include <arpa/inet.h>
#include <dirent.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <fstream>
#include <random>
#include <sstream>

#include "tests/chromium/chromium_support.h"

namespace bf::host::test {

std::string engine_flag(const std::string& engine) { return "--engine " + engine; }

std::string new_marker() {
    std::random_device rd;
    return "BF_TEST_MARK=" + std::to_string(getpid()) + "-" + std::to_string(rd());
}

namespace {
std::string read_all(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}
}  // namespace

std::vector<pid_t> marked_processes(const std::string& marker) {
    std::vector<pid_t> out;
    DIR* d = opendir("/proc");
    if (!d) return out;
    while (dirent* e = readdir(d)) {
        char* end = nullptr;
        long pid = std::strtol(e->d_name, &end, 10);
        if (*end || pid <= 0 || pid == getpid()) continue;
        std::string env = read_all("/proc/" + std::string(e->d_name) + "/environ");
        if (env.find(marker) != std::string::npos) out.push_back(static_cast<pid_t>(pid));
    }
    closedir(d);
    return out;
}

std::vector<pid_t> marked_browsers(const std::string& marker) {
    std::vector<pid_t> out;
    for (pid_t pid : marked_processes(marker)) {
        std::string comm = read_all("/proc/" + std::to_string(pid) + "/comm");
        if (comm.rfind("chromium", 0) == 0 && getpgid(pid) == pid) out.push_back(pid);
    }
    return out;
}

std::vector<pid_t> processes_in_group(pid_t group) {
    std::vector<pid_t> out;
    DIR* d = opendir("/proc");
    if (!d) return out;
    while (dirent* e = readdir(d)) {
        char* end = nullptr;
        long pid = std::strtol(e->d_name, &end, 10);
        if (*end || pid <= 0) continue;
        // /proc/PID/stat: "pid (comm) state ppid pgrp ..."; comm may hold spaces, so from the ')'.
        std::string stat = read_all("/proc/" + std::string(e->d_name) + "/stat");
        size_t close_paren = stat.rfind(')');
        if (close_paren == std::string::npos) continue;
        std::istringstream rest(stat.substr(close_paren + 1));
        std::string state;
        long ppid = 0, pgrp = 0;
        rest >> state >> ppid >> pgrp;
        if (pgrp == group) out.push_back(static_cast<pid_t>(pid));
    }
    closedir(d);
    return out;
}

StalledServer::StalledServer() {
    listener_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    if (bind(listener_, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 || listen(listener_, 16) != 0) return;
    getsockname(listener_, reinterpret_cast<sockaddr*>(&a), &len);
    port_ = ntohs(a.sin_port);
    thread_ = std::thread([this] {
        while (!stop_) {
            pollfd p{listener_, POLLIN, 0};
            if (poll(&p, 1, 50) <= 0) continue;
            int c = accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
            if (c < 0) continue;
            char buf[4096];
            pollfd q{c, POLLIN, 0};
            if (poll(&q, 1, 2000) > 0) [[maybe_unused]] auto n = read(c, buf, sizeof buf);
            const char head[] = "HTTP/1.1 200 OK\r\nContent-Type: text/html\r\n\r\n<html><body><input id=forever>";
            [[maybe_unused]] auto w = write(c, head, sizeof head - 1);
            held_.push_back(c);
        }
    });
}

StalledServer::~StalledServer() {
    stop_ = true;
    if (thread_.joinable()) thread_.join();
    for (int c : held_) close(c);
    if (listener_ >= 0) close(listener_);
}

}  // namespace bf::host::test
