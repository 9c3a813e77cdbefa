// The beta server is fixed at the build's beta address, port 8080: these tests bind it and must
// not run beside each other (ctest resource lock).
#include <gtest/gtest.h>

#include <filesystem>
#include <memory>
#include <stdexcept>

#include "km/build_config.h"
#include "launcher/app_state.h"
#include "launcher/beta/beta.h"
#include "platform/fake/fake_platform.h"
#include "tests/support/temp_dir.h"
#include "tests/support/test_server.h"

namespace km {
namespace {

const std::string kAccepted = "{\"event\":\"betaLoginResult\",\"ok\":true}";
std::string refused(const std::string& reason) {
    return "{\"event\":\"betaLoginResult\",\"ok\":false,\"reason\":\"" + reason + "\"}";
}

class BetaLogin : public ::testing::Test {
  protected:
    void SetUp() override {
        fake::reset();
        try {
            server_ = std::make_unique<test::TestServer>(build::beta_host, beta_port);
        } catch (const std::runtime_error& error) {
            // Wine binds only addresses listed on a network interface, and the loopback
            // interface usually lists 127.0.0.1 alone; Windows and Linux bind all of 127/8.
            if (!build::windows_path_rules)
                throw;
            bind_error_ = error.what();
        }
    }
    // For the cases that need the beta server to answer.
    bool serving() const { return server_ != nullptr; }

    std::string login(const std::string& user, const std::string& password, bool remember) {
        fake::reset();
        BetaLoginRequest request{user, password, remember};
        beta_login(request);
        const auto events = fake::events();
        return events.size() == 1 ? events[0] : "(" + std::to_string(events.size()) + " events)";
    }
    std::string stored() const { return dir_.read("cache/beta_creds.json"); }

    test::TempDir dir_;
    test::ScopedExeDir scope_{dir_.str()};
    std::unique_ptr<test::TestServer> server_;
    std::string bind_error_;
};

#define REQUIRE_BETA_SERVER() \
    if (!serving())           \
    GTEST_SKIP() << bind_error_

TEST_F(BetaLogin, AnswersByStatusAndBody) {
    REQUIRE_BETA_SERVER();
    const struct {
        int status;
        std::string body;
        std::string event;
    } cases[] = {
        {200, "{\"ok\":true}", kAccepted},
        {200, "{\"user\":1,\"ok\":true,\"x\":[]}", kAccepted},
        {204, "", refused("Invalid credentials")},
        {200, "{\"ok\": true}", refused("Invalid credentials")},
        {200, "{\"ok\":false}", refused("Invalid credentials")},
        {401, "{\"ok\":true}", refused("Invalid credentials")},
        {500, "", refused("Beta server error")},
        {503, "", refused("Invalid credentials")},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::to_string(c.status) + " " + c.body);
        server_->route("/api/launcher_login", c.status, c.body, "application/json");
        EXPECT_EQ(login("tester", "secret", false), c.event);
    }
    EXPECT_FALSE(std::filesystem::exists(dir_.path() / "cache"));
}

TEST_F(BetaLogin, RefusedConnectionMeansOffline) {
    server_.reset();
    EXPECT_EQ(login("tester", "secret", true), refused("Cannot reach beta server (offline?)"));
    EXPECT_EQ(stored(), "");
}

TEST_F(BetaLogin, SendsTheEscapedFieldsAsJson) {
    REQUIRE_BETA_SERVER();
    server_->route("/api/launcher_login", 200, "{\"ok\":true}", "application/json");
    login("te\"st\\er", std::string("p\x01\n"), false);
    const auto requests = server_->requests();
    ASSERT_EQ(requests.size(), 1u);
    EXPECT_EQ(requests[0].method, "POST");
    EXPECT_EQ(requests[0].path, "/api/launcher_login");
    EXPECT_EQ(requests[0].body,
              std::string("{\"username\":\"te\\\"st\\\\er\",\"password\":\"p\x01\\n\"}"));
    const auto type = requests[0].headers.find("Content-Type");
    ASSERT_NE(type, requests[0].headers.end());
    EXPECT_EQ(type->second, "application/json");
}

TEST_F(BetaLogin, RememberStoresOnlyAfterSuccess) {
    REQUIRE_BETA_SERVER();
    server_->route("/api/launcher_login", 401, "", "application/json");
    login("tester", "wrong", true);
    EXPECT_EQ(stored(), "");

    server_->route("/api/launcher_login", 200, "{\"ok\":true}", "application/json");
    EXPECT_EQ(login("tester", "pa\"ss", true), kAccepted);
    EXPECT_EQ(stored(), "{\"u\":\"dGVzdGVy\",\"p\":\"cGEic3M=\"}");

    // Without remember a success leaves the older file as it was.
    EXPECT_EQ(login("other", "x", false), kAccepted);
    EXPECT_EQ(stored(), "{\"u\":\"dGVzdGVy\",\"p\":\"cGEic3M=\"}");

    fake::reset();
    send_saved_beta_creds();
    EXPECT_EQ(fake::events(),
              std::vector<std::string>{"{\"event\":\"betaSavedCreds\",\"username\":\"tester\","
                                       "\"password\":\"pa\\\"ss\"}"});
}

TEST_F(BetaLogin, DetachedLoginAnswersOnce) {
    REQUIRE_BETA_SERVER();
    server_->route("/api/launcher_login", 200, "{\"ok\":true}", "application/json");
    start_beta_login(std::make_unique<BetaLoginRequest>(BetaLoginRequest{"a", "b", false}));
    ASSERT_TRUE(fake::wait_for([](const fake::State& s) { return !s.events.empty(); }));
    EXPECT_EQ(fake::events(), std::vector<std::string>{kAccepted});
}

}  // namespace
}  // namespace km
