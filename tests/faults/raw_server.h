// A bare TCP server on 127.0.0.1 (ephemeral port) that answers each request with whatever bytes
// the test scripts, HTTP or not: for answers no real HTTP server library would send.
#pragma once

#include <atomic>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace km::faults {

class RawServer {
  public:
    // Called with the request's path; writes the raw answer through `send` (which returns false
    // once the client is gone). The connection is closed when the function returns.
    using Answer = std::function<void(const std::string& path,
                                      const std::function<bool(const std::string&)>& send)>;

    explicit RawServer(Answer answer);
    ~RawServer();
    RawServer(const RawServer&) = delete;
    RawServer& operator=(const RawServer&) = delete;

    const std::string& host() const { return host_; }
    int port() const { return port_; }
    bool stopping() const { return stopping_; }
    std::vector<std::string> paths() const;

  private:
    void serve(int fd);

    Answer answer_;
    std::string host_ = "127.0.0.1";
    int port_ = 0;
    int listen_fd_ = -1;
    std::atomic<bool> stopping_{false};
    std::thread acceptor_;
    mutable std::mutex mutex_;
    std::vector<std::thread> connections_;
    std::vector<std::string> paths_;
};

// A whole HTTP/1.1 answer with Content-Length and Connection: close.
std::string http_answer(int status, const std::string& body);

}  // namespace km::faults
