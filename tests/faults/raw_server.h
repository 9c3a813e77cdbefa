// A bare TCP server on 127.0.0.1 that answers each request with the bytes the test gives for its
// path, HTTP or not: answers no HTTP server library would send. One connection at a time, as the
// check makes its requests.
#pragma once

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <string>
#include <thread>

namespace km::faults {

class RawServer {
  public:
    // Writes the answer to `path` through `send`, at the pace it likes; `send` returns false once
    // the client is gone or the server is stopping (an empty `send` only asks the latter). The
    // connection closes when it returns.
    using Send = std::function<bool(const std::string&)>;
    using Answer = std::function<void(const std::string& path, const Send& send)>;

    explicit RawServer(const Answer& answer) {
        sockaddr_in addr{.sin_family = AF_INET, .sin_addr = {htonl(INADDR_LOOPBACK)}};
        socklen_t len = sizeof addr;
        EXPECT_EQ(bind(fd_, reinterpret_cast<sockaddr*>(&addr), len), 0);
        listen(fd_, 16);
        getsockname(fd_, reinterpret_cast<sockaddr*>(&addr), &len);
        port_ = ntohs(addr.sin_port);
        thread_ = std::thread([this, answer] {
            running_ = true;
            for (pollfd p{fd_, POLLIN, 0}; !stopping_;) {
                if (poll(&p, 1, 20) > 0)
                    serve(accept(fd_, nullptr, nullptr), answer);
            }
        });
        // Until the thread runs its own code, its start-up may hold the allocator's locks; a
        // check forked in that moment would inherit them held and wait for them forever.
        while (!running_)
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    ~RawServer() {
        stopping_ = true;
        thread_.join();
        close(fd_);
    }
    RawServer(const RawServer&) = delete;
    RawServer& operator=(const RawServer&) = delete;

    // Sends `head`, then `piece` every `every` (an empty piece: silence) until the client is
    // gone, the server stops or `limit` has passed.
    static Answer trickle(const std::string& head, const std::string& piece,
                          std::chrono::milliseconds every,
                          std::chrono::milliseconds limit = std::chrono::seconds(20)) {
        return [=](const std::string&, const Send& send) {
            const auto end = std::chrono::steady_clock::now() + limit;
            if (!send(head))
                return;
            while (std::chrono::steady_clock::now() < end && send(piece))
                std::this_thread::sleep_for(every);
        };
    }

    std::string host() const { return "127.0.0.1"; }
    int port() const { return port_; }

  private:
    void serve(int fd, const Answer& answer) {
        std::string request;
        char buffer[4096];
        for (pollfd p{fd, POLLIN, 0}; request.find("\r\n\r\n") == std::string::npos;) {
            const ssize_t n = poll(&p, 1, 5000) > 0 ? recv(fd, buffer, sizeof buffer, 0) : 0;
            if (n <= 0)
                break;
            request.append(buffer, static_cast<std::size_t>(n));
        }
        const std::size_t path = request.find(' ') + 1;  // "GET /path HTTP/1.1"
        answer(request.substr(path, request.find(' ', path) - path), [&](const std::string& bytes) {
            for (std::size_t sent = 0; sent < bytes.size();) {
                const ssize_t n =
                    stopping_ ? -1
                              : send(fd, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
                if (n <= 0)
                    return false;
                sent += static_cast<std::size_t>(n);
            }
            return !stopping_;
        });
        close(fd);
    }

    int fd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    int port_ = 0;
    std::atomic<bool> running_{false};
    std::atomic<bool> stopping_{false};
    std::thread thread_;
};

}  // namespace km::faults
