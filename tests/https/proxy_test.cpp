// The player's proxy as Windows' Internet settings hold it: HTTPS goes to it, as a CONNECT tunnel
// on Windows, so the proxy learns the address but never the password.
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include "launcher/beta/beta.h"
#include "platform/fake/fake_platform.h"
#include "tests/support/temp_dir.h"
#include "tests/support/tls_servers.h"

namespace km {
namespace {

TEST(PlayersProxy, HttpsGoesToTheProxyOfTheInternetSettings) {
    std::string why;
    ASSERT_TRUE(test::trust_test_ca(why)) << why;
    const char* proxy_port = std::getenv("KM_TLS_PROXY_PORT");
    const char* proxy_log = std::getenv("KM_TLS_PROXY_LOG");
    ASSERT_TRUE(proxy_port && proxy_log);
    const test::TlsServer tls = test::tls_server("trusted");
    tls.recorder->route("/api/launcher_login", 200, "{\"ok\":true}", "application/json");

    ASSERT_TRUE(test::set_players_proxy("127.0.0.2:" + std::string(proxy_port)));
    fake::reset();
    BetaLoginRequest request{"tester", "hunter2", false};
    beta_login_at(tls.address, "/api/launcher_login", request);
    test::set_players_proxy("");

    // The connection went to the player's proxy, which saw only the CONNECT line: the password
    // crossed it inside the tunnel's TLS. (The proxy listens on another address than the server:
    // Wine's WinHTTP takes a proxy on the server's own address for the server itself.)
    const std::string seen = test::read_file(proxy_log);
    EXPECT_EQ(seen, "CONNECT 127.0.0.1:" + std::to_string(tls.address.port) + " HTTP/1.1\n");
    ASSERT_EQ(fake::events().size(), 1u);
    EXPECT_NE(fake::events()[0].find("\"ok\":true"), std::string::npos) << fake::events()[0];
    EXPECT_EQ(tls.recorder->requests().size(), 1u);
}

}  // namespace
}  // namespace km
