#include "tests/faults/raw_server.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <stdexcept>

namespace km::faults {

RawServer::RawServer(Answer answer) : answer_(std::move(answer)) {
    listen_fd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof addr;
    if (listen_fd_ < 0 || bind(listen_fd_, reinterpret_cast<sockaddr*>(&addr), len) != 0 ||
        listen(listen_fd_, 64) != 0 ||
        getsockname(listen_fd_, reinterpret_cast<sockaddr*>(&addr), &len) != 0)
        throw std::runtime_error("RawServer: cannot listen on 127.0.0.1");
    port_ = ntohs(addr.sin_port);
    acceptor_ = std::thread([this] {
        while (!stopping_) {
            pollfd p{listen_fd_, POLLIN, 0};
            if (poll(&p, 1, 20) <= 0)
                continue;
            const int fd = accept4(listen_fd_, nullptr, nullptr, SOCK_CLOEXEC);
            if (fd < 0)
                continue;
            std::lock_guard<std::mutex> lock(mutex_);
            connections_.emplace_back([this, fd] { serve(fd); });
        }
    });
}

RawServer::~RawServer() {
    stopping_ = true;
    acceptor_.join();
    std::vector<std::thread> connections;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        connections.swap(connections_);
    }
    for (std::thread& t : connections)
        t.join();
    close(listen_fd_);
}

std::vector<std::string> RawServer::paths() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return paths_;
}

void RawServer::serve(int fd) {
    std::string request;
    char buffer[4096];
    while (request.find("\r\n\r\n") == std::string::npos && request.size() < 65536) {
        pollfd p{fd, POLLIN, 0};
        if (stopping_ || poll(&p, 1, 5000) <= 0)
            break;
        const ssize_t n = recv(fd, buffer, sizeof buffer, 0);
        if (n <= 0)
            break;
        request.append(buffer, static_cast<std::size_t>(n));
    }
    // "GET /path HTTP/1.1"
    std::string path;
    const std::size_t first = request.find(' ');
    if (first != std::string::npos)
        path = request.substr(first + 1, request.find(' ', first + 1) - first - 1);
    {
        std::lock_guard<std::mutex> lock(mutex_);
        paths_.push_back(path);
    }
    answer_(path, [fd, this](const std::string& bytes) {
        std::size_t sent = 0;
        while (sent < bytes.size()) {
            if (stopping_)
                return false;
            const ssize_t n = ::send(fd, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
            if (n <= 0)
                return false;
            sent += static_cast<std::size_t>(n);
        }
        return true;
    });
    shutdown(fd, SHUT_RDWR);
    close(fd);
}

std::string http_answer(int status, const std::string& body) {
    return "HTTP/1.1 " + std::to_string(status) +
           " X\r\nContent-Length: " + std::to_string(body.size()) +
           "\r\nConnection: close\r\n\r\n" + body;
}

}  // namespace km::faults
