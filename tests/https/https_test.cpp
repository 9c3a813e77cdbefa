// A certificate that does not verify gets no request: not the password, not a manifest request.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "launcher/beta/beta.h"
#include "launcher/common/app_state.h"
#include "launcher/common/update_bridge.h"
#include "launcher/feeds/feeds.h"
#include "platform/fake/fake_platform.h"
#include "tests/support/check_recorder.h"
#include "tests/support/launcher/app_state_scope.h"
#include "tests/support/release_fixture.h"
#include "tests/support/temp_dir.h"
#include "tests/support/tls_servers.h"
#include "updater/status_texts.h"
#include "updater/update_check.h"

namespace km {
namespace {

namespace fs = std::filesystem;

class Https : public ::testing::Test {
  protected:
    void SetUp() override {
        std::string why;
        ASSERT_TRUE(test::trust_test_ca(why)) << why;
    }
};

TEST_F(Https, OnlyAServerWhoseCertificateVerifiesIsAsked) {
    test::TempDir release;
    test::publish_release(release.path(), 1, 2, 3, {{"data/a.txt", "over TLS"}});
    test::publish_realm_status(release.path(), "{\"realms\":[]}");
    const std::string accepted = "{\"event\":\"betaLoginResult\",\"ok\":true}";
    const auto refused = [](const std::string& reason) {
        return "{\"event\":\"betaLoginResult\",\"ok\":false,\"reason\":\"" + reason + "\"}";
    };
    const std::string handshake_failed =
        test::progress_line("Offline: SSL connection failed", "error", 1.0);
    // What a refused certificate reads as (see certificate_refusals_told).
    const bool told = test::certificate_refusals_told();
    const std::string sign_in_refused =
        refused(told ? texts::beta_untrusted : texts::beta_unreachable);
    const std::string check_refused =
        told ? test::progress_line(texts::offline_untrusted, "error", 1.0) : handshake_failed;
    const struct {
        const char* certificate;  // empty: a plain HTTP server on the HTTPS address
        std::string sign_in, check_end;
    } cases[] = {
        {"trusted", accepted, test::progress_line("Updated to v1.2.3", "success", 1.0)},
        {"unknown_issuer", sign_in_refused, check_refused},
        {"wrong_name", sign_in_refused, check_refused},
        {"expired", sign_in_refused, check_refused},
        {"self_signed", sign_in_refused, check_refused},
        // Never a step down to plain HTTP: the handshake fails and nothing is sent in clear.
        {"", refused(texts::beta_unreachable), handshake_failed},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.certificate);
        const std::string name = c.certificate;
        const test::TlsServer tls = test::tls_server(name);
        test::TestServer& server = *tls.recorder;
        server.serve_file_tree(release.path());
        server.route("/api/launcher_login", 200, "{\"ok\":true}", "application/json");
        const updater::ServerAddress& address = tls.address;

        fake::reset();
        BetaLoginRequest request{"tester", "hunter2", false};
        beta_login_at(address, "/api/launcher_login", request);
        EXPECT_EQ(fake::events(), std::vector<std::string>{c.sign_in});

        // The check and the realm feed of an installation whose launcher.ini says https=1.
        test::TempDir install;
        test::ScopedExeDir scope{install.str()};
        launcher_config.host = address.host;
        launcher_config.port = address.port;
        launcher_config.https = true;
        test::CheckRecorder recorded;
        EXPECT_EQ(updater::run_update_check(update_target(), recorded, false), name == "trusted");
        const auto lines = recorded.lines();
        EXPECT_NE(std::find(lines.begin(), lines.end(), c.check_end), lines.end())
            << testing::PrintToString(lines);
        fake::reset();
        fetch_realm_status();
        EXPECT_EQ(fake::events().size(), name == "trusted" ? 1u : 0u);

        std::vector<std::string> asked;
        for (const auto& seen : server.requests())
            asked.push_back(seen.method + " " + seen.path + " " + seen.body);
        if (name == "trusted") {
            EXPECT_EQ(install.read("data/a.txt"), "over TLS");
            EXPECT_EQ(asked, (std::vector<std::string>{
                                 std::string("POST /api/launcher_login ") +
                                     "{\"username\":\"tester\",\"password\":\"hunter2\"}",
                                 "GET /update.manifest.json ", "GET /update.manifest.json.sig ",
                                 "GET /launcher_files/data/a.txt ", "GET /realm_status.json "}));
        } else {
            EXPECT_EQ(asked, std::vector<std::string>{});
            EXPECT_FALSE(fs::exists(install.path() / "data"));
        }
    }
}

// A file cut short goes on over HTTPS from its last byte: Range and If-Range reach the server and
// its 206 is appended (on Windows through WinHTTP's own headers).
TEST_F(Https, ACutDownloadGoesOnFromItsLastByte) {
    const std::size_t size = 300000, cut = 200000;
    const std::string content = test::noise(size, 7), remote = "/launcher_files/data/big.bin";
    test::TempDir release, install;
    test::publish_release(release.path(), 1, 0, 0, {{"data/big.bin", content}});
    const test::TlsServer tls = test::tls_server("trusted");
    tls.recorder->serve_file_tree(release.path());
    tls.recorder->route_truncated(remote, content.substr(0, cut), size, "\"v1\"");
    test::ScopedExeDir scope{install.str()};
    launcher_config.host = tls.address.host;
    launcher_config.port = tls.address.port;
    launcher_config.https = true;
    test::CheckRecorder recorded;
    EXPECT_FALSE(updater::run_update_check(update_target(), recorded, false));
    ASSERT_EQ(install.read("updates/data/big.bin").size(), cut);

    tls.recorder->route_resumable(remote, content, "\"v1\"");
    EXPECT_TRUE(updater::run_update_check(update_target(), recorded, false));
    EXPECT_EQ(install.read("data/big.bin"), content);
    const auto asked = tls.recorder->requests().back().headers;
    ASSERT_EQ(asked.count("Range") + asked.count("If-Range"), 2u);
    EXPECT_EQ(asked.find("Range")->second + asked.find("If-Range")->second,
              "bytes=" + std::to_string(cut) + "-\"v1\"");
    EXPECT_EQ(tls.recorder->streamed_bytes, size - cut);
}

}  // namespace
}  // namespace km
