// An in-process HTTP server for tests, on cpp-httplib's Server.
//
//   km::test::TestServer server;                 // 127.0.0.1, ephemeral port, already accepting
//   server.route("/a.txt", 200, "hello");        // any method; exact path
//   server.serve_file_tree(dir);                  // GET /x/y -> dir/x/y (after exact routes)
//   http_get(server.host(), server.port(), "/a.txt", body, error);
//
// The server listens on its own thread from before the constructor returns until the destructor,
// which stops it and waits for every handler (streaming handlers notice the stop and end early).
// Routes may be added or replaced while the server runs: every request goes through one
// dispatcher that looks them up under a lock, so tests never touch httplib's handler lists.
// Unknown paths answer 404 with an empty body. Every request is counted and recorded.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <httplib.h>

namespace km::test {

struct RecordedRequest {
    std::string method;
    std::string path;
    std::string body;
    httplib::Headers headers;
};

class TestServer {
  public:
    using Handler = std::function<void(const httplib::Request&, httplib::Response&)>;

    // 127.0.0.1 on a port chosen by the system.
    TestServer();
    // A fixed address and port (e.g. the beta server's 127.0.0.2:8080). Throws
    // std::runtime_error when the address cannot be bound or something already listens there.
    TestServer(const std::string& host, int port);
    // `server` (an httplib::SSLServer, say) on host:port as above.
    TestServer(std::unique_ptr<httplib::Server> server, const std::string& host, int port);
    ~TestServer();
    TestServer(const TestServer&) = delete;
    TestServer& operator=(const TestServer&) = delete;

    const std::string& host() const { return host_; }
    int port() const { return port_; }

    // ---- Answers -------------------------------------------------------------------------
    // `path` answers `status` with `body` (any method). An empty content type sends no body
    // headers beyond Content-Length.
    void route(const std::string& path, int status, std::string body,
               std::string content_type = "application/octet-stream");
    // Full control for one method ("GET", "POST") and path; replaces route() for that pair.
    void handle(const std::string& method, const std::string& path, Handler handler);
    // GET /x answers the file root/x; paths with "..", "." or empty
    // components are refused with 404.
    void serve_file_tree(const std::filesystem::path& root);

    // ---- Scripted faults -----------------------------------------------------------------
    // Announces Content-Length `announced` but sends only `prefix`, then drops the connection;
    // with the ETag `etag` when one is given.
    void route_truncated(const std::string& path, std::string prefix, std::size_t announced,
                         std::string etag = "");
    // GET `path` answers `content` as a server with the ETag `etag` does: a Range whose If-Range
    // is that ETag gets a 206 of the rest, any other request the whole. The body bytes it sends
    // are added to streamed_bytes.
    void route_resumable(const std::string& path, std::string content, std::string etag);
    // Streams `total` bytes of stream_pattern(), chunked when `chunked` (no length announced)
    // or with Content-Length otherwise. `total` = endless keeps streaming until the client
    // goes away or the server stops.
    static constexpr std::uint64_t endless = ~std::uint64_t{0};
    void route_stream(const std::string& path, std::uint64_t total, bool chunked = true);
    // The bytes route_stream sends at [offset, offset + size).
    static std::string stream_pattern(std::uint64_t offset, std::size_t size);

    // ---- Record --------------------------------------------------------------------------
    std::atomic<int> request_count{0};
    std::vector<RecordedRequest> requests() const;
    // Total bytes route_stream handlers have written so far (for memory and abort checks).
    std::atomic<std::uint64_t> streamed_bytes{0};

  private:
    void dispatch(const httplib::Request& request, httplib::Response& response);
    bool serve_file(const std::string& path, httplib::Response& response);

    std::unique_ptr<httplib::Server> server_;
    std::thread thread_;
    std::string host_;
    int port_ = 0;
    std::atomic<bool> stopping_{false};
    std::atomic<bool> listen_returned_{false};

    mutable std::mutex mutex_;
    std::map<std::string, Handler> handlers_;  // key: method + ' ' + path; "* path" = any
    std::filesystem::path file_root_;
    std::vector<RecordedRequest> requests_;
};

}  // namespace km::test
