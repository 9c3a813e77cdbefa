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
    thread_ = std::thread([this] {
        while (!stopping_) {
            pollfd p{listen_fd_, POLLIN, 0};
            if (poll(&p, 1, 20) > 0)
                serve(accept4(listen_fd_, nullptr, nullptr, SOCK_CLOEXEC));
        }
    });
}

RawServer::~RawServer() {
    stopping_ = true;
    thread_.join();
    close(listen_fd_);
}

void RawServer::serve(int fd) const {
    if (fd < 0)
        return;
    std::string request;
    char buffer[4096];
    pollfd p{fd, POLLIN, 0};
    while (request.find("\r\n\r\n") == std::string::npos && poll(&p, 1, 5000) > 0) {
        const ssize_t n = recv(fd, buffer, sizeof buffer, 0);
        if (n <= 0)
            break;
        request.append(buffer, static_cast<std::size_t>(n));
    }
    // "GET /path HTTP/1.1"
    const std::size_t first = request.find(' ') + 1;
    const std::string bytes = answer_(request.substr(first, request.find(' ', first) - first));
    for (std::size_t sent = 0; sent < bytes.size() && !stopping_;) {
        const ssize_t n = ::send(fd, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
        if (n <= 0)
            break;
        sent += static_cast<std::size_t>(n);
    }
    shutdown(fd, SHUT_RDWR);
    close(fd);
}

}  // namespace km::faults
