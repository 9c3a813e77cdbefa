// A server that falls silent in the middle of a download for longer than the 30-second read
// time-out: the check gives up with its error instead of waiting on. About 35 seconds, so this
// runs as its own labelled step ("long"); shorter pauses are tolerated by the same client
// (tests/updater/transfers_test.cpp).
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>

#include "launcher/events.h"
#include "tests/faults/child_process.h"
#include "tests/support/release_fixture.h"
#include "tests/support/test_server.h"

namespace km {
namespace {

using namespace std::chrono_literals;

TEST(SlowServer, ServerThatGoesSilentMidDownloadFailsAfterTheReadTimeout) {
    test::TempDir release, install;
    test::install_file(install.path(), "big.dat", "old");
    const std::string content(200'000, 'z');
    test::publish_release(release.path(), 1, 0, 0, {{"big.dat", content}});
    test::TestServer server;
    server.serve_file_tree(release.path());
    server.route_stall("/launcher_files/big.dat", content.substr(0, 100'000), 45s);
    const auto start = std::chrono::steady_clock::now();
    const auto result = faults::run_check_child(install.str(), server.host(), server.port());
    const auto took = std::chrono::steady_clock::now() - start;
    EXPECT_EQ(result.exit_code, 1);
    const std::string failed =
        event_text::progress("Download failed. Check your connection.", "error", 1.0);
    EXPECT_NE(std::find(result.events.begin(), result.events.end(), failed), result.events.end());
    EXPECT_GE(took, 29s);
    EXPECT_LE(took, 40s);
    EXPECT_EQ(install.read("big.dat"), "old");
}

}  // namespace
}  // namespace km
