// Slowloris against the launcher's transfers: a server that keeps each read alive with a byte
// now and then, in the headers or in the body, must not hold a transfer for longer than the
// low-speed window (shortened here to two seconds), nor a small document for longer than its
// deadline (three seconds here) however fast it trickles; a slow but honest download still gets
// through.
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <string>

#include "tests/faults/raw_server.h"
#include "tests/support/temp_dir.h"
#include "updater/transfers.h"

namespace km {
namespace {

using namespace std::chrono_literals;
const std::string kLongBody = "HTTP/1.1 200 OK\r\nContent-Length: 10000000\r\n\r\n";

struct Slow {
    const char* name;
    std::string head, piece;
    std::chrono::milliseconds every;
    bool download_passes;
};

class SlowServer : public ::testing::TestWithParam<Slow> {
  protected:
    void SetUp() override {
        updater::set_low_speed_limit({1024, 2s});
        updater::set_document_deadline(3s);
    }
    void TearDown() override {
        updater::set_low_speed_limit({});
        updater::set_document_deadline(60s);
    }
};

TEST_P(SlowServer, TrickleEndsAsADroppedConnection) {
    const Slow& slow = GetParam();
    faults::RawServer server(faults::RawServer::trickle(slow.head, slow.piece, slow.every));
    test::TempDir dir;
    const std::string dest = (dir.path() / "updates" / "big.dat").string();
    const auto start = std::chrono::steady_clock::now();
    std::string body, error, answer;
    int status = -1;
    EXPECT_FALSE(updater::http_get(server.host(), server.port(), "/x", body, error));
    EXPECT_EQ(error, "Failed to read connection");
    EXPECT_FALSE(
        updater::http_post_json(server.host(), server.port(), "/login", "{}", answer, status));
    EXPECT_EQ(status, 0);
    EXPECT_EQ(updater::http_download_file(server.host().c_str(), server.port(), "/big.dat", dest,
                                          nullptr, 1u << 30),
              slow.download_passes);
    EXPECT_EQ(std::filesystem::exists(dest), slow.download_passes);
    // Three transfers, each bounded by the window or the deadline plus a tick, or arriving
    // whole: far below the 20 s trickle.
    EXPECT_LT(std::chrono::steady_clock::now() - start, 15s);
}

INSTANTIATE_TEST_SUITE_P(
    Attacks, SlowServer,
    ::testing::Values(
        Slow{"BodyByteEvery100ms", kLongBody, "x", 100ms, false},
        Slow{"HeaderByteEvery100ms", "HTTP/1.1 200 OK\r\n", "X", 100ms, false},
        Slow{"HeaderLineEvery500ms", "HTTP/1.1 200 OK\r\n", "X-Keep: alive\r\n", 500ms, false},
        // 20 KiB/s, an 80 KiB body over four seconds: twice the window, well above the limit.
        Slow{"HonestButSlow", "HTTP/1.1 200 OK\r\nContent-Length: 81920\r\n\r\n",
             std::string(2048, 'y'), 100ms, true},
        // 1.5 KiB/s, just above the limit, for five seconds: a file still arrives, a document
        // ends at its deadline.
        Slow{"JustAboveTheLimitPastTheDeadline", "HTTP/1.1 200 OK\r\nContent-Length: 7500\r\n\r\n",
             std::string(150, 'y'), 100ms, true}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace km
