// A server that falls silent in the middle of a download for longer than the 30-second read
// time-out: the transfer gives up with its error instead of waiting on (the low-speed window,
// a minute by default, has not tripped by then). About 30 seconds, so this runs as its own
// labelled step ("long"); shorter pauses are tolerated by the same client
// (tests/updater/transfers_test.cpp).
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>

#include "tests/faults/raw_server.h"
#include "tests/support/temp_dir.h"
#include "updater/transfers.h"

namespace km {
namespace {

using namespace std::chrono_literals;

TEST(SlowServer, ServerThatGoesSilentMidDownloadFailsAfterTheReadTimeout) {
    const std::string head = "HTTP/1.1 200 OK\r\nContent-Length: 200000\r\n\r\n";
    faults::RawServer server(
        faults::RawServer::trickle(head + std::string(100'000, 'z'), "", 10ms, 45s));
    test::TempDir dir;
    const std::string dest = (dir.path() / "updates/big.dat").string();
    const auto start = std::chrono::steady_clock::now();
    EXPECT_FALSE(updater::http_download_file(server.host().c_str(), server.port(), "/big.dat", dest,
                                             nullptr));
    const auto took = std::chrono::steady_clock::now() - start;
    EXPECT_GE(took, 29s);
    EXPECT_LE(took, 40s);
    EXPECT_FALSE(std::filesystem::exists(dest));
}

}  // namespace
}  // namespace km
