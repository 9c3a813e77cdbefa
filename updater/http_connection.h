// One HTTP exchange over a connection of its own: the one place that speaks to the network.
// The transfers (transfers.h) build their contract on top of it: caps, the low-speed watch,
// where the body goes; the connection only sends a request and hands over what comes back.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <utility>
#include <vector>

namespace km::updater {

// Why an exchange got no answer. The values are those of the HTTP library's own codes, so that
// http_error_text gives players the library's standard texts.
enum class TransferError {
    success = 0,
    unknown,
    connection,
    bind_ip_address,
    read,
    write,
    exceed_redirect_count,
    canceled,
    ssl_connection,
    ssl_loading_certs,
    ssl_server_verification,
    ssl_server_hostname_verification,
    unsupported_multipart_boundary_chars,
    compression,
    connection_timeout,
};

// HTTPS verifies the server's certificate against the system's trust store and never falls
// back to plain HTTP: a certificate that does not verify ends the exchange before anything is
// sent.
enum class Scheme { http, https };

struct ServerAddress {
    std::string host;
    int port = 80;
    Scheme scheme = Scheme::http;
};

// The server's certificate did not verify (unknown issuer, self-signed, expired, another name):
// the player sees that instead of a connection failure, since trying again will not help.
bool certificate_untrusted(TransferError error);

using HttpHeaders = std::vector<std::pair<std::string, std::string>>;

struct HttpRequest {
    std::string method = "GET";
    std::string path;
    HttpHeaders headers;  // beyond the library's own defaults
    std::string body;     // sent when not empty or when the method is POST
    std::string content_type;
};

// The status line and headers of an answer, before its body.
struct HttpResponseHead {
    int status = 0;
    HttpHeaders headers;
    // The first value of a header (names compared without regard to case); empty when absent.
    std::string header(const std::string& name) const;
};

struct HttpHandlers {
    // Once, when the head has arrived; false aborts the exchange before the body.
    std::function<bool(const HttpResponseHead&)> head;
    // Each piece of the body, in order; false aborts.
    std::function<bool(const char* data, std::size_t size)> body;
    // Bytes of the body so far and the length the server announced (0 when it announced none);
    // false aborts.
    std::function<bool(std::uint64_t received, std::uint64_t announced)> progress;
};

class HttpConnection {
  public:
    // Connection time-out 10 s, read time-out 30 s, no keep-alive, no redirects followed.
    explicit HttpConnection(const ServerAddress& server);
    ~HttpConnection();
    HttpConnection(const HttpConnection&) = delete;
    HttpConnection& operator=(const HttpConnection&) = delete;

    // Sends `request` and streams the answer through `handlers`. success when an answer came,
    // whatever its status (an exchange a handler aborted reports canceled); otherwise why none
    // came.
    TransferError send(const HttpRequest& request, const HttpHandlers& handlers);

    // From any other thread: ends the exchange in flight as soon as it can. A stop that comes
    // while the connection is still being made may find nothing to end: call it again.
    void stop();

  private:
    struct State;
    std::unique_ptr<State> state_;
};

}  // namespace km::updater
