// The beta server is fixed at the build's beta address, port 8080: these tests bind it and must
// not run beside each other (ctest resource lock).
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <memory>
#include <stdexcept>

#include "km/build_config.h"
#include "launcher/beta/beta.h"
#include "launcher/commands.h"
#include "launcher/common/app_state.h"
#include "launcher/common/log.h"
#include "platform/fake/fake_platform.h"
#include "tests/support/launcher/app_state_scope.h"
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
        try {
            server_ = std::make_unique<test::TestServer>(beta_server().host, beta_server().port);
        } catch (const std::runtime_error& error) {
            // Wine binds only addresses listed on a network interface, and the loopback
            // interface usually lists 127.0.0.1 alone; Windows and Linux bind all of 127/8.
            if (!build::windows_path_rules)
                throw;
            GTEST_SKIP() << error.what();
        }
    }
    std::string login(const std::string& user, const std::string& password, bool remember) {
        fake::reset();
        BetaLoginRequest request{user, password, remember};
        beta_login(request);
        const auto events = fake::events();
        return events.size() == 1 ? events[0] : std::to_string(events.size()) + " events";
    }
    void answer(int status, const std::string& body) {
        server_->route("/api/launcher_login", status, body, "application/json");
    }
    std::string stored() const { return dir_.read("cache/beta_creds.json"); }

    test::TempDir dir_;
    test::ScopedExeDir scope_{dir_.str()};
    std::unique_ptr<test::TestServer> server_;
};

TEST_F(BetaLogin, AnswersByStatusAndBody) {
    log_open(dir_.str(), "");
    const struct {
        int status;
        std::string body;
        std::string event;
    } cases[] = {
        {200, "{\"ok\":true}", kAccepted},
        {200, "{\"user\":1,\"ok\":true,\"x\":[]}", kAccepted},
        {204, "", refused("Invalid credentials")},
        {200, "{\"ok\":false}", refused("Invalid credentials")},
        {401, "{\"ok\":true}", refused("Invalid credentials")},
        {500, "", refused("Beta server error")},
        {503, "", refused("Invalid credentials")},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::to_string(c.status) + " " + c.body);
        answer(c.status, c.body);
        // Remembered only after success: no refusal may save, no unremembered success either.
        EXPECT_EQ(login("tester", "secret", c.event != kAccepted), c.event);
    }
    // The log says how each sign-in ended, never who signed in or with what.
    ASSERT_TRUE(log_flush(std::chrono::seconds(10)));
    const std::string log = dir_.read("cache/launcher.log");
    for (const char* line : {"beta sign-in accepted status=200",
                             "beta sign-in refused status=204 "
                             "reason=\"Invalid credentials\"",
                             "beta sign-in refused status=500 reason=\"Beta server error\""})
        EXPECT_NE(log.find(line), std::string::npos) << line << "\n" << log;
    for (const std::string& text : {log, diagnostics_text()})
        for (const char* secret : {"tester", "secret"})
            EXPECT_EQ(text.find(secret), std::string::npos) << secret << " in\n" << text;
    EXPECT_FALSE(std::filesystem::exists(dir_.path() / "cache" / "beta_creds.json"));
    // Only quotes, backslashes and line controls are escaped; a remembered success is kept.
    answer(200, "{\"ok\":true}");
    EXPECT_EQ(login("te\"st\\er", "p\x01\n\r\t\x1f/\xC3\xA9", true), kAccepted);
    const auto request = server_->requests().back();
    EXPECT_EQ(request.path, "/api/launcher_login");
    EXPECT_EQ(request.body,
              "{\"username\":\"te\\\"st\\\\er\",\"password\":\"p\x01\\n\\r\\t\x1f/\xC3\xA9\"}");
    const std::string kept = "{\"u\":\"dGUic3RcZXI=\",\"p\":\"cAEKDQkfL8Op\"}";
    EXPECT_EQ(stored(), kept);
    // The page's command runs the login on its own thread and answers once; without remember
    // the older file stays as it was.
    fake::reset();
    start_beta_login(std::make_unique<BetaLoginRequest>(BetaLoginRequest{"a", "b", false}));
    ASSERT_TRUE(fake::wait_for([](const fake::State& s) { return !s.events.empty(); }));
    EXPECT_EQ(fake::events(), std::vector<std::string>{kAccepted});
    EXPECT_EQ(stored(), kept);
    server_.reset();
    EXPECT_EQ(login("tester", "secret", true), refused("Cannot reach beta server (offline?)"));
    EXPECT_EQ(stored(), kept);
    log_open("", "");
}

}  // namespace
}  // namespace km
