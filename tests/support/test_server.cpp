#include "tests/support/test_server.h"

#include <algorithm>
#include <memory>
#include <stdexcept>

#include "tests/support/temp_dir.h"

namespace km::test {

namespace fs = std::filesystem;

namespace {

constexpr std::size_t stream_chunk = std::size_t{64} << 10;
constexpr std::size_t pattern_period = 251;  // prime: never lines up with buffer sizes

// stream_chunk bytes of the pattern plus one period, so any chunk is one slice of it.
const std::string& pattern_table() {
    static const std::string table = TestServer::stream_pattern(0, stream_chunk + pattern_period);
    return table;
}

}  // namespace

TestServer::TestServer() : TestServer("127.0.0.1", 0) {}

TestServer::TestServer(const std::string& host, int port)
    : TestServer(std::make_unique<httplib::Server>(), host, port) {}

TestServer::TestServer(std::unique_ptr<httplib::Server> server, const std::string& host, int port)
    : server_(std::move(server)), host_(host) {
    if (!server_->is_valid())
        throw std::runtime_error("TestServer: the server could not be set up");
    server_->set_keep_alive_timeout(1);
    const auto dispatcher = std::bind_front(&TestServer::dispatch, this);
    server_->Get(".*", dispatcher);
    server_->Post(".*", dispatcher);

    if (port == 0) {
        port_ = server_->bind_to_any_port(host);
        if (port_ <= 0)
            throw std::runtime_error("TestServer: cannot bind " + host);
    } else {
        // The library lets a second listener share a port (SO_REUSEPORT on Linux), which would
        // split requests between two test doubles; refuse a port something already answers on.
        httplib::Client probe(host, port);
        probe.set_connection_timeout(2, 0);
        probe.set_read_timeout(2, 0);
        if (probe.Get("/").error() != httplib::Error::Connection ||
            !server_->bind_to_port(host, port))
            throw std::runtime_error("TestServer: cannot bind " + host + ":" +
                                     std::to_string(port));
        port_ = port;
    }
    // The socket already listens, so connections queue up from here on; waiting for the
    // accept loop only makes the first request's timing independent of thread start-up.
    thread_ = std::thread([this] {
        try {
            server_->listen_after_bind();
        } catch (...) {
        }
        listen_returned_ = true;
    });
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (!server_->is_running() && !listen_returned_ &&
           std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
}

TestServer::~TestServer() {
    stopping_ = true;
    // stop() does nothing before the accept loop runs, so wait for it (or for its failure).
    while (!listen_returned_ && !server_->is_running())
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    server_->stop();
    thread_.join();
}

void TestServer::route(const std::string& path, int status, std::string body,
                       std::string content_type) {
    handle("*", path,
           [status, body = std::move(body), content_type = std::move(content_type)](
               const httplib::Request&, httplib::Response& res) {
               res.status = status;
               if (!body.empty() || !content_type.empty())
                   res.set_content(body, content_type);
           });
}

void TestServer::handle(const std::string& method, const std::string& path, Handler handler) {
    std::lock_guard<std::mutex> lock(mutex_);
    handlers_[method + ' ' + path] = std::move(handler);
}

void TestServer::serve_file_tree(const fs::path& root) {
    std::lock_guard<std::mutex> lock(mutex_);
    file_root_ = root;
}

void TestServer::route_truncated(const std::string& path, std::string prefix, std::size_t announced,
                                 std::string etag) {
    handle("*", path,
           [prefix = std::move(prefix), announced, etag = std::move(etag)](const httplib::Request&,
                                                                           httplib::Response& res) {
               res.status = 200;
               if (!etag.empty())
                   res.set_header("ETag", etag);
               res.set_content_provider(
                   announced, "application/octet-stream",
                   [prefix](std::size_t offset, std::size_t, httplib::DataSink& sink) {
                       if (offset == 0 && !prefix.empty())
                           sink.write(prefix.data(), prefix.size());
                       return false;  // drops the connection short of the announced length
                   });
           });
}

void TestServer::route_resumable(const std::string& path, std::string content, std::string etag) {
    const auto shared = std::make_shared<const std::string>(std::move(content));
    handle("GET", path,
           [this, shared, etag = std::move(etag)](const httplib::Request& req,
                                                  httplib::Response& res) {
               res.set_header("ETag", etag);
               // The library asks for the Range of a 206 and says so in Content-Range.
               const bool rest = req.ranges.size() == 1 && req.get_header_value("If-Range") == etag;
               res.status = rest ? 206 : 200;
               if (!rest)  // the whole file, whatever the library would make of the Range
                   const_cast<httplib::Request&>(req).ranges.clear();
               // In pieces, so that a slow reader never holds one write past the time-out.
               res.set_content_provider(
                   shared->size(), "application/octet-stream",
                   [this, shared](std::size_t offset, std::size_t length, httplib::DataSink& sink) {
                       const std::size_t n = std::min(length, stream_chunk);
                       if (stopping_ || !sink.write(shared->data() + offset, n))
                           return false;
                       streamed_bytes += n;
                       return true;
                   });
           });
}

void TestServer::route_stream(const std::string& path, std::uint64_t total, bool chunked) {
    handle("*", path, [this, total, chunked](const httplib::Request&, httplib::Response& res) {
        res.status = 200;
        // A length-announcing provider is never asked past `total`; a chunked one ends there.
        const auto write_at = [this, total](std::uint64_t offset, httplib::DataSink& sink) {
            if (offset >= total) {
                sink.done();
                return true;
            }
            if (stopping_)
                return false;
            const std::uint64_t left = total - offset;
            const std::size_t n =
                static_cast<std::size_t>(std::min<std::uint64_t>(left, stream_chunk));
            const char* data = pattern_table().data() + offset % pattern_period;
            if (!sink.write(data, n))
                return false;
            streamed_bytes += n;
            return true;
        };
        if (chunked)
            res.set_chunked_content_provider("application/octet-stream", write_at);
        else
            res.set_content_provider(
                static_cast<std::size_t>(total), "application/octet-stream",
                [write_at](std::size_t offset, std::size_t, httplib::DataSink& sink) {
                    return write_at(offset, sink);
                });
    });
}

std::string TestServer::stream_pattern(std::uint64_t offset, std::size_t size) {
    std::string out(size, '\0');
    for (std::size_t i = 0; i < size; ++i)
        out[i] = static_cast<char>((offset + i) % pattern_period);
    return out;
}

std::vector<RecordedRequest> TestServer::requests() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return requests_;
}

void TestServer::dispatch(const httplib::Request& req, httplib::Response& res) {
    Handler handler;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        ++request_count;
        requests_.push_back({req.method, req.path, req.body, req.headers});
        auto it = handlers_.find(req.method + ' ' + req.path);
        if (it == handlers_.end())
            it = handlers_.find("* " + req.path);
        if (it != handlers_.end())
            handler = it->second;
    }
    if (handler)
        handler(req, res);
    else if (req.method != "GET" || !serve_file(req.path, res))
        res.status = 404;
}

bool TestServer::serve_file(const std::string& path, httplib::Response& res) {
    fs::path root;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        root = file_root_;
    }
    if (root.empty() || path.size() < 2 || path[0] != '/' || path.back() == '/' ||
        path.find("//") != std::string::npos || path.find('\\') != std::string::npos)
        return false;
    const fs::path relative = fs::u8path(path.substr(1));
    for (const fs::path& part : relative)
        if (part == "." || part == "..")
            return false;
    const fs::path file = root / relative;
    std::error_code ec;
    if (!fs::is_regular_file(file, ec))
        return false;
    res.status = 200;
    res.set_content(read_file(file), "application/octet-stream");
    return true;
}

}  // namespace km::test
