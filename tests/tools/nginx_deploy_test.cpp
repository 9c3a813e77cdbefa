// The nginx server block of docs/deploy.md, serving a km-publish release to the launcher's own
// update check: the operator's guide is only right if this passes.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <regex>
#include <string>
#include <thread>

#include "launcher/app_state.h"
#include "platform/fake/fake_platform.h"
#include "tests/support/temp_dir.h"
#include "tests/tools/tool_runner.h"
#include "updater/transfers.h"
#include "updater/update_check.h"

extern char** environ;

namespace km {
namespace {

namespace fs = std::filesystem;

constexpr char nginx_binary[] = "/usr/sbin/nginx";

int free_loopback_port() {
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t size = sizeof address;
    int port = 0;
    if (::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &size) == 0) {
        port = ntohs(address.sin_port);
    }
    ::close(fd);
    return port;
}

// The first nginx code block of the guide, moved to our address, port and folder.
std::string server_block(int port, const fs::path& root) {
    const std::string guide = test::read_file(fs::path(KM_SOURCE_DIR) / "docs/deploy.md");
    const std::size_t start = guide.find("```nginx\n");
    const std::size_t end = guide.find("```", start + 9);
    if (start == std::string::npos || end == std::string::npos) {
        return {};
    }
    std::string block = guide.substr(start + 9, end - start - 9);
    block = std::regex_replace(block, std::regex("listen [^;]+;"),
                               "listen 127.0.0.1:" + std::to_string(port) + ";");
    return std::regex_replace(block, std::regex("root [^;]+;"), "root " + root.string() + ";");
}

TEST(DeployGuide, NginxBlockServesAPublishedReleaseToTheLauncher) {
    if (::access(nginx_binary, X_OK) != 0) {
        GTEST_SKIP() << "nginx is not installed";
    }
    test::TempDir work;
    const fs::path key = work.path() / "dev.pem";
    ASSERT_EQ(
        test::run_tool("km-keygen", {"--from-seed", test::dev_seed_hex, key.string()}).exit_code,
        0);
    work.write("release/Game_x64_win.exe", "game");
    work.write("release/data/a b/\xC3\xA9t\xC3\xA9.txt", "summer");
    const fs::path content = work.path() / "content";
    const test::ToolRun published = test::run_tool(
        "km-publish", {"--key", key.string(), "--version", "5.0.1", "--from",
                       (work.path() / "release").string(), "--to", content.string()});
    ASSERT_EQ(published.exit_code, 0) << published.err;
    test::write_file(content / "realm_status.json", "{\"realms\":[]}");
    fs::create_directories(work.path() / "nginx/tmp");

    const int port = free_loopback_port();
    ASSERT_NE(port, 0);
    const std::string block = server_block(port, content);
    ASSERT_NE(block.find("listen 127.0.0.1:"), std::string::npos) << block;
    const fs::path prefix = work.path() / "nginx";
    const std::string p = prefix.string();
    test::write_file(prefix / "nginx.conf",
                     "daemon off;\npid " + p + "/nginx.pid;\nerror_log " + p +
                         "/error.log;\nevents {}\nhttp {\ninclude /etc/nginx/mime.types;\n"
                         "access_log off;\nclient_body_temp_path " +
                         p + "/tmp;\nproxy_temp_path " + p + "/tmp;\nfastcgi_temp_path " + p +
                         "/tmp;\nuwsgi_temp_path " + p + "/tmp;\nscgi_temp_path " + p + "/tmp;\n" +
                         block + "}\n");
    const std::string conf = (prefix / "nginx.conf").string();
    std::vector<std::string> storage = {nginx_binary, "-p", p, "-c", conf};
    std::vector<char*> argv;
    for (std::string& arg : storage) {
        argv.push_back(arg.data());
    }
    argv.push_back(nullptr);
    pid_t pid = 0;
    ASSERT_EQ(::posix_spawn(&pid, nginx_binary, nullptr, nullptr, argv.data(), environ), 0);
    struct Stop {
        pid_t pid;
        ~Stop() {
            ::kill(pid, SIGTERM);
            int status = 0;
            ::waitpid(pid, &status, 0);
        }
    } stop{pid};

    std::string body;
    std::string error;
    bool up = false;
    for (int i = 0; i < 100 && !up; ++i) {
        up = updater::http_get("127.0.0.1", port, "/realm_status.json", body, error);
        if (!up) {
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
    }
    ASSERT_TRUE(up) << error << "\n" << test::read_file(prefix / "error.log");
    EXPECT_EQ(body, "{\"realms\":[]}");
    // km-publish's scratch space is never served.
    fs::create_directories(content / ".km-publish-staging");
    test::write_file(content / ".km-publish-staging/0", "half a file");
    EXPECT_FALSE(updater::http_get("127.0.0.1", port, "/.km-publish-staging/0", body, error));
    EXPECT_EQ(error, "HTTP 404");

    test::TempDir install;
    fake::reset();
    test::ScopedExeDir scope(install.str());
    launcher_config.host = "127.0.0.1";
    launcher_config.port = port;
    EXPECT_TRUE(updater::run_update_check_impl(false));
    updater::update_in_progress.store(false);
    EXPECT_EQ(install.read("Game_x64_win.exe"), "game");
    EXPECT_EQ(install.read("data/a b/\xC3\xA9t\xC3\xA9.txt"), "summer");
}

}  // namespace
}  // namespace km
