// HttpConnection over cpp-httplib.
#include "updater/http_connection.h"

#include <httplib.h>

#include <cctype>

namespace km::updater {

namespace {

constexpr time_t connection_timeout_s = 10;
constexpr time_t read_timeout_s = 30;

// Our codes are the library's, so its standard texts stay what players read.
static_assert(static_cast<int>(TransferError::connection_timeout) ==
              static_cast<int>(httplib::Error::ConnectionTimeout));
static_assert(static_cast<int>(TransferError::ssl_server_hostname_verification) ==
              static_cast<int>(httplib::Error::SSLServerHostnameVerification));

bool same_name(const std::string& a, const std::string& b) {
    if (a.size() != b.size())
        return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
        if (std::tolower(static_cast<unsigned char>(a[i])) !=
            std::tolower(static_cast<unsigned char>(b[i])))
            return false;
    }
    return true;
}

}  // namespace

std::string HttpResponseHead::header(const std::string& name) const {
    for (const auto& [key, value] : headers) {
        if (same_name(key, name))
            return value;
    }
    return {};
}

struct HttpConnection::State {
    explicit State(const ServerAddress& server) : client(server.host, server.port) {
        client.set_connection_timeout(connection_timeout_s, 0);
        client.set_read_timeout(read_timeout_s, 0);
    }
    httplib::Client client;
};

HttpConnection::HttpConnection(const ServerAddress& server)
    : state_(std::make_unique<State>(server)) {}

HttpConnection::~HttpConnection() = default;

TransferError HttpConnection::send(const HttpRequest& request, const HttpHandlers& handlers) {
    httplib::Request req;
    req.method = request.method;
    req.path = request.path;
    for (const auto& [name, value] : request.headers)
        req.headers.emplace(name, value);
    if (!request.content_type.empty())
        req.headers.emplace("Content-Type", request.content_type);
    req.body = request.body;
    bool told = false;
    const auto tell_head = [&handlers, &told](const httplib::Response& response) {
        told = true;
        if (!handlers.head)
            return true;
        HttpResponseHead head;
        head.status = response.status;
        head.headers.assign(response.headers.begin(), response.headers.end());
        return handlers.head(head);
    };
    req.response_handler = tell_head;
    req.content_receiver = [&handlers](const char* data, std::size_t size, std::uint64_t,
                                       std::uint64_t) {
        return !handlers.body || handlers.body(data, size);
    };
    req.progress = [&handlers](std::uint64_t received, std::uint64_t announced) {
        return !handlers.progress || handlers.progress(received, announced);
    };
    const httplib::Result result = state_->client.send(req);
    if (!result)
        return static_cast<TransferError>(result.error());
    // The library hands over the head only before a body; an answer without one (204, 304)
    // is told here.
    if (!told && !tell_head(*result))
        return TransferError::canceled;
    return TransferError::success;
}

void HttpConnection::stop() {
    state_->client.stop();
}

}  // namespace km::updater
