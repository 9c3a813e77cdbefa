// HTTPS servers presenting each certificate tests/support/make_test_certs.sh makes, with its test
// CA trusted the way the platform trusts a CA, and nothing of the machine's own store touched:
//   Linux: in-process servers over the HTTP library's OpenSSL; the CA through SSL_CERT_FILE.
//   Wine:  nginx fronts that tests/wine/run_https.sh starts, each passing what it decrypts to one
//          recording plain server on a fixed port; the CA in the root store of the Wine prefix
//          run_https.sh made for this run alone.
#pragma once

#include <memory>
#include <string>

#include "tests/support/test_server.h"
#include "updater/http_connection.h"

namespace km::test {

// "trusted" (127.0.0.1, issued by the test CA), "unknown_issuer", "wrong_name", "expired",
// "self_signed"; or "" for a server that speaks no TLS at all.
struct TlsServer {
    std::unique_ptr<TestServer> recorder;  // where requests arrive: routes and the record
    updater::ServerAddress address;        // what the launcher asks, over HTTPS
};

// Trusts the test CA for this process (under Wine also: no automatic proxy detection); false,
// with the reason, when this run cannot.
bool trust_test_ca(std::string& why);
// Windows: the player's Internet settings, a fixed proxy ("127.0.0.1:3128") or direct ("").
bool set_players_proxy(const std::string& server);
TlsServer tls_server(const std::string& certificate);
// A plain server for TestServer. A TLS client's hello never ends the way a request head does: the
// server gives up on it after a second rather than its default five.
inline std::unique_ptr<httplib::Server> plain_server() {
    auto server = std::make_unique<httplib::Server>();
    server->set_read_timeout(1, 0);
    return server;
}
// Whether the TLS stack tells a refused certificate apart from a failed handshake: everywhere
// but under Wine, whose WinHTTP ends both with ERROR_WINHTTP_SECURE_CHANNEL_ERROR and tells no
// status callback which it was (Windows: ERROR_WINHTTP_SECURE_FAILURE and the callback's flags).
bool certificate_refusals_told();

}  // namespace km::test
