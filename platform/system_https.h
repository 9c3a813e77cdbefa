// HTTPS through the operating system's own HTTP stack, where the launcher uses one: on Windows
// WinHTTP, so that Windows' TLS, its root certificates and the player's proxy settings (fixed,
// automatic detection, a PAC script) apply and no TLS library ships beside Launcher.exe.
// Elsewhere there is none, and the updater speaks TLS through its own HTTP library.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <utility>
#include <vector>

namespace km::platform {

// Why an exchange got no answer, in the terms the updater turns into the texts players read.
enum class SystemHttpsError {
    none,                // an answer came, whatever its status
    connection,          // refused, unreachable, name not resolved, the proxy refused
    connection_timeout,  // no connection (and handshake) within the connection time-out
    read,                // the answer broke off, stalled past the read time-out or was not HTTP
    write,               // the request could not be sent
    canceled,            // a handler refused, or stop()
    tls,                 // the TLS handshake failed (no common protocol, a client certificate)
    untrusted,           // the certificate: unknown issuer, self-signed, expired, another name
    unknown,
};

using SystemHttpHeaders = std::vector<std::pair<std::string, std::string>>;

struct SystemHttpsRequest {
    std::string method = "GET";
    std::string path;
    SystemHttpHeaders headers;  // Content-Type included, when there is one
    std::string body;
};

struct SystemHttpsHandlers {
    // Once, when the head has arrived; false aborts before the body.
    std::function<bool(int status, const SystemHttpHeaders& headers)> head;
    // Each piece of the body, in order; false aborts.
    std::function<bool(const char* data, std::size_t size)> body;
    // Body bytes so far and the announced length; only for answers that announce one. False
    // aborts.
    std::function<bool(std::uint64_t received, std::uint64_t announced)> progress;
};

// One exchange with host:port over TLS. Connection time-out 10 s, read time-out 30 s, no
// redirects followed, no keep-alive, nothing decompressed. A certificate that does not verify
// ends the exchange before any byte of the request is sent.
class SystemHttpsConnection {
  public:
    // Whether this system has such a stack; when false, no connection may be made.
    static bool available();

    SystemHttpsConnection(const std::string& host, int port);
    ~SystemHttpsConnection();
    SystemHttpsConnection(const SystemHttpsConnection&) = delete;
    SystemHttpsConnection& operator=(const SystemHttpsConnection&) = delete;

    SystemHttpsError send(const SystemHttpsRequest& request, const SystemHttpsHandlers& handlers);

    // From any other thread: ends the exchange in flight, or the next one before it starts.
    void stop();

  private:
    struct State;
    std::unique_ptr<State> state_;
};

}  // namespace km::platform
