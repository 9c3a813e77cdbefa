// A drop at 90% of a 1 GiB file, then the rest from nginx, which answers Range and If-Range as
// real servers do; its access log counts the bytes it sent.
#include <signal.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>

#include "tests/support/process.h"
#include "tests/support/served_install.h"

namespace km {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

constexpr std::uint64_t size = std::uint64_t{1} << 30, cut = size / 10 * 9;

class NginxResume : public ::testing::Test, protected test::ServedInstall {
  protected:
    void TearDown() override {
        if (nginx_ > 0) {
            ::kill(nginx_, SIGTERM);
            test::wait_exit(nginx_, 10s);
        }
    }
    // nginx serving the release on a free loopback port, logging each answer's body bytes.
    int start_nginx() {
        const fs::path conf = work_.path() / "nginx.conf";
        fs::create_directories(work_.path() / "logs");
        for (int attempt = 0; attempt < 20; ++attempt) {
            const int port = test::TestServer().port();  // free a moment ago
            std::ofstream(conf) << (::getuid() == 0 ? "user root;\n" : "") << "pid "
                                << (work_.path() / "nginx.pid").string() << ";\nerror_log "
                                << (work_.path() / "error.log").string()
                                << ";\nevents {}\nhttp {\n  log_format sent '$request_method "
                                   "$request_uri $status $body_bytes_sent';\n  access_log "
                                << (work_.path() / "access.log").string()
                                << " sent;\n  server {\n    listen 127.0.0.1:" << port
                                << ";\n    root " << release_.str() << ";\n  }\n}\n";
            nginx_ = test::spawn(
                {"/usr/sbin/nginx", "-p", work_.str(), "-c", conf.string(), "-g", "daemon off;"});
            if (test::eventually([port] { return httplib::Client("127.0.0.1", port).Get("/"); },
                                 5s))
                return port;
            ::kill(nginx_, SIGTERM);
            test::wait_exit(nginx_, 10s);
        }
        nginx_ = -1;
        return 0;
    }
    test::TempDir work_;
    pid_t nginx_ = -1;
};

TEST_F(NginxResume, DropAtNinetyPercentOfOneGibibyteCostsTheNextCheckAtMostTwelvePercent) {
    if (!fs::exists("/usr/sbin/nginx"))
        GTEST_SKIP() << "nginx is not installed";
    std::vector<test::ReleaseFile> files(1);  // one copy of the gibibyte in memory, not two
    files[0].path = "data/big.bin";
    files[0].content.assign(size, '\0');
    for (std::uint64_t i = 0; i < size; i += 4096)
        files[0].content[i] = static_cast<char>(i >> 12);
    test::publish_release(release_.path(), 1, 0, 0, files);
    files.clear();
    const int port = start_nginx();
    ASSERT_NE(port, 0) << test::read_file(work_.path() / "error.log");
    // The first server hands out nginx's own validators and drops the connection at 90%.
    const fs::path file = release_.path() / "launcher_files/data/big.bin";
    server_.handle("GET", "/launcher_files/data/big.bin", [&](const auto&, httplib::Response& res) {
        const auto head = httplib::Client("127.0.0.1", port).Head("/launcher_files/data/big.bin");
        res.set_header("ETag", head->get_header_value("ETag"));
        res.set_header("Last-Modified", head->get_header_value("Last-Modified"));
        auto in = std::make_shared<std::ifstream>(file, std::ios::binary);
        res.set_content_provider(size, "application/octet-stream",
                                 [in](std::size_t offset, std::size_t, httplib::DataSink& sink) {
                                     std::vector<char> block(1 << 20);
                                     in->read(block.data(),
                                              static_cast<std::streamsize>(block.size()));
                                     return offset < cut && sink.write(block.data(), block.size());
                                 });
    });
    EXPECT_FALSE(check());

    target_.port = port;
    EXPECT_TRUE(check());
    std::ifstream log(work_.path() / "access.log");
    std::uint64_t sent = 0;
    for (std::string method, uri, status, bytes; log >> method >> uri >> status >> bytes;) {
        if (method == "GET" && uri == "/launcher_files/data/big.bin") {
            EXPECT_EQ(status, "206");
            sent += std::stoull(bytes);
        }
    }
    std::printf("nginx sent %.2f%% of the file\n", 100.0 * static_cast<double>(sent) / size);
    EXPECT_GT(sent, 0u);
    EXPECT_LE(sent, size / 100 * 12);
}

}  // namespace
}  // namespace km
