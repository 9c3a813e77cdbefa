// A bare TCP server on 127.0.0.1 (ephemeral port) that answers each request with whatever bytes
// the test gives for its path, HTTP or not: for answers no real HTTP server library would send.
// One connection at a time, as the update check makes its requests.
#pragma once

#include <atomic>
#include <functional>
#include <string>
#include <thread>

namespace km::faults {

class RawServer {
  public:
    using Answer = std::function<std::string(const std::string& path)>;
    explicit RawServer(Answer answer);
    ~RawServer();
    RawServer(const RawServer&) = delete;
    RawServer& operator=(const RawServer&) = delete;
    int port() const { return port_; }

  private:
    void serve(int fd) const;

    Answer answer_;
    int port_ = 0;
    int listen_fd_ = -1;
    std::atomic<bool> stopping_{false};
    std::thread thread_;
};

// A whole HTTP/1.1 answer with Content-Length and Connection: close.
inline std::string http_answer(int status, const std::string& body) {
    return "HTTP/1.1 " + std::to_string(status) +
           " X\r\nContent-Length: " + std::to_string(body.size()) +
           "\r\nConnection: close\r\n\r\n" + body;
}

}  // namespace km::faults
