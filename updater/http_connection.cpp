// HttpConnection over cpp-httplib.
#include "updater/http_connection.h"

#include <httplib.h>

#include <cctype>

#include "platform/system_https.h"
#include "updater/system_https_exchange.h"

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

// The library's client for plain HTTP, and for HTTPS where the system has no stack of its own
// to speak it (the library's TLS then verifies against the system's CA store). Its address
// parser takes anything it cannot read for a plain host on port 80, so only an address that
// reads back as HTTPS is ever given to it as such. `unused` says the client is inert and must
// not be asked: HTTPS goes to the system's stack, or the address was refused.
httplib::Client library_client(const ServerAddress& server, bool& unused) {
    if (server.scheme == Scheme::http)
        return httplib::Client(server.host, server.port);
    unused = platform::SystemHttpsConnection::available() || server.host.empty() ||
             server.host.find_first_of(":/?#") != std::string::npos || server.port < 1 ||
             server.port > 65535;
    if (unused)
        return httplib::Client(std::string(), 0);
    return httplib::Client("https://" + server.host + ":" + std::to_string(server.port));
}

}  // namespace

bool certificate_untrusted(TransferError error) {
    return error == TransferError::ssl_server_verification ||
           error == TransferError::ssl_server_hostname_verification;
}

std::string HttpResponseHead::header(const std::string& name) const {
    for (const auto& [key, value] : headers) {
        if (same_name(key, name))
            return value;
    }
    return {};
}

struct HttpConnection::State {
    explicit State(const ServerAddress& server) : client(library_client(server, unused)) {
        if (server.scheme == Scheme::https && platform::SystemHttpsConnection::available())
            system = std::make_unique<platform::SystemHttpsConnection>(server.host, server.port);
        unused = unused || !client.is_valid();
        client.set_connection_timeout(connection_timeout_s, 0);
        client.set_read_timeout(read_timeout_s, 0);
    }
    bool unused = false;  // before the client, which sets it
    httplib::Client client;
    std::unique_ptr<platform::SystemHttpsConnection> system;  // HTTPS where the system speaks it
};

HttpConnection::HttpConnection(const ServerAddress& server)
    : state_(std::make_unique<State>(server)) {}

HttpConnection::~HttpConnection() = default;

TransferError HttpConnection::send(const HttpRequest& request, const HttpHandlers& handlers) {
    if (state_->system)
        return system_https_exchange(*state_->system, request, handlers);
    if (state_->unused)
        return TransferError::connection;
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
    if (state_->system)
        return state_->system->stop();
    if (!state_->unused)
        state_->client.stop();
}

}  // namespace km::updater
