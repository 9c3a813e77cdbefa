// The nginx server block of docs/deploy.md, serving a km-publish release to the launcher's own
// update check: the operator's guide is only right if this passes.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <regex>
#include <string>
#include <thread>

#include "launcher/app_state.h"
#include "platform/fake/fake_platform.h"
#include "tests/support/test_server.h"
#include "tests/tools/tool_runner.h"
#include "updater/transfers.h"
#include "updater/update_check.h"

namespace km::test {
namespace {

namespace fs = std::filesystem;

bool has_event(const std::string& text) {
    for (const std::string& event : fake::events()) {
        if (event.find(text) != std::string::npos) {
            return true;
        }
    }
    return false;
}

using DeployGuide = ToolTest;

TEST_F(DeployGuide, NginxBlockServesAPublishedReleaseToTheLauncher) {
    if (::access("/usr/sbin/nginx", X_OK) != 0) {
        GTEST_SKIP() << "nginx is not installed";
    }
    add("Game_x64_win.exe", "game");
    add("data/a b/\xC3\xA9t\xC3\xA9.txt", std::string(200000, 'a'));
    add("settings.ini", "the operator's own settings");
    ASSERT_EQ(publish({}, "5.0.1").exit_code, 0);
    write_file(content() / "realm_status.json", "{\"realms\":[]}");

    int port = 0;
    {
        TestServer probe;  // the system hands out a free port
        port = probe.port();
    }
    // The first nginx block of the guide, moved to our address, port and folder.
    const std::string guide = read_file(fs::path(KM_SOURCE_DIR) / "docs/deploy.md");
    const std::size_t start = guide.find("```nginx\n") + 9;
    std::string block = guide.substr(start, guide.find("```", start) - start);
    block = std::regex_replace(block, std::regex("listen [^;]+;"),
                               "listen 127.0.0.1:" + std::to_string(port) + ";");
    block =
        std::regex_replace(block, std::regex("root [^;]+;"), "root " + content().string() + ";");
    ASSERT_NE(block.find("listen 127.0.0.1:"), std::string::npos) << block;
    const std::string p = dir_.str() + "/nginx";
    fs::create_directories(p);
    std::string conf = "daemon off;\nmaster_process off;\npid " + p + "/pid;\nerror_log " + p +
                       "/error.log;\nevents {}\nhttp {\ninclude /etc/nginx/mime.types;\n";
    for (const char* temp : {"client_body", "proxy", "fastcgi", "uwsgi", "scgi"}) {
        conf += std::string(temp) + "_temp_path " + p + ";\n";
    }
    write_file(p + "/nginx.conf", conf + block + "}\n");
    const pid_t pid = ::fork();
    if (pid == 0) {
        ::execl("/usr/sbin/nginx", "nginx", "-p", p.c_str(), "-c", (p + "/nginx.conf").c_str(),
                "-e", (p + "/error.log").c_str(), static_cast<char*>(nullptr));
        ::_exit(127);
    }
    struct Stop {
        pid_t pid;
        ~Stop() {
            ::kill(pid, SIGTERM);
            ::waitpid(pid, nullptr, 0);
        }
    } stop{pid};
    std::string body, error;
    bool up = false;
    for (int i = 0; i < 100 && !up; ++i) {
        up = updater::http_get("127.0.0.1", port, "/realm_status.json", body, error);
        std::this_thread::sleep_for(std::chrono::milliseconds(up ? 0 : 50));
    }
    ASSERT_TRUE(up) << error << "\n" << read_file(p + "/error.log");
    // km-publish's scratch space is never served.
    write_file(content() / ".km-publish-staging/0", "half a file");
    EXPECT_FALSE(updater::http_get("127.0.0.1", port, "/.km-publish-staging/0", body, error));
    EXPECT_EQ(error, "HTTP 404");

    TempDir install;
    install.write("settings.ini", "the player's settings");
    fake::reset();
    ScopedExeDir scope(install.str());
    launcher_config.host = "127.0.0.1";
    launcher_config.port = port;
    EXPECT_TRUE(updater::run_update_check_impl(false));
    EXPECT_TRUE(has_event("Updated to v5.0.1"));
    EXPECT_EQ(install.read("Game_x64_win.exe"), "game");
    EXPECT_EQ(install.read("data/a b/\xC3\xA9t\xC3\xA9.txt"), std::string(200000, 'a'));
    EXPECT_EQ(install.read("settings.ini"), "the player's settings");
    fake::reset();
    EXPECT_TRUE(updater::run_update_check_impl(false));
    EXPECT_TRUE(has_event("All files up to date (v5.0.1)"));
}

}  // namespace
}  // namespace km::test
