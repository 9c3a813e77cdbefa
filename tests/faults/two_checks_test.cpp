// Two writers on one installation folder: km-check runs on the same folder, the second started
// while the first downloads and killed half-way. The folder's lock refuses the second, so the
// first installs exactly the release; and a killed check leaves no lock behind.
#include <signal.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <thread>

#include "tests/support/process.h"
#include "tests/support/served_install.h"

namespace km {
namespace {

using namespace std::chrono_literals;

class TwoChecks : public ::testing::Test, protected test::ServedInstall {
  protected:
    pid_t start_check(const std::string& name, std::vector<std::string> args = {}) {
        args.insert(args.begin(), {KM_CHECK_PROGRAM, "--dir", install_.str(), "--host",
                                   server_.host(), "--port", std::to_string(server_.port())});
        return test::spawn(
            args, {.out_file = "/dev/null", .err_file = (out_.path() / (name + ".err")).string()});
    }
    test::TempDir out_;
};

TEST_F(TwoChecks, ASecondCheckOnTheFolderIsRefusedAndTheFirstInstallsTheRelease) {
    const std::string big = test::noise(std::size_t{8} << 20, 4);
    const std::vector<test::ReleaseFile> files{{"data/f1.pak", test::noise(1 << 20, 1)},
                                               {"data/f4.pak", big}};
    test::publish_release(release_.path(), 1, 0, 0, files);
    // The large file trickles out over about 2.5 s.
    server_.handle("GET", "/launcher_files/data/f4.pak", [&big](const auto&, auto& response) {
        response.set_content_provider(
            big.size(), "application/octet-stream",
            [&big](std::size_t offset, std::size_t, httplib::DataSink& sink) {
                std::this_thread::sleep_for(40ms);
                return sink.write(big.data() + offset,
                                  std::min<std::size_t>(big.size() - offset, 128 << 10));
            });
    });

    const pid_t first = start_check("first");
    ASSERT_TRUE(test::eventually([&] { return requests_for("/launcher_files/data/f4.pak") > 0; },
                                 30s, 5ms));
    // Half-way through the first check's download, which the second one would start afresh
    // (truncating the staged file under the first) and be killed half-way through.
    std::this_thread::sleep_for(1200ms);
    const pid_t second = start_check("second");
    const std::optional<int> refused = test::wait_exit(second, 700ms);
    if (!refused) {
        ::kill(second, SIGKILL);
        test::wait_exit(second, 10s);
    }
    EXPECT_EQ(refused, std::optional<int>(3));
    EXPECT_EQ(out_.read("second.err"),
              "km-check: " + install_.str() + " is in use by a running launcher or check\n");
    EXPECT_EQ(test::wait_exit(first, 60s), std::optional<int>(0));
    for (const test::ReleaseFile& file : files)
        EXPECT_TRUE(local(file.path) == file.content) << file.path;  // no 8 MiB diff

    // The system gives the lock up with the process: a check killed while it holds the lock
    // (a repair, fetching the large file again) never blocks the next.
    const pid_t killed = start_check("killed", {"--repair"});
    ASSERT_TRUE(test::eventually([&] { return requests_for("/launcher_files/data/f4.pak") > 1; },
                                 30s, 5ms));
    ::kill(killed, SIGKILL);
    test::wait_exit(killed, 10s);
    EXPECT_EQ(test::wait_exit(start_check("next"), 60s), std::optional<int>(0));
}

}  // namespace
}  // namespace km
