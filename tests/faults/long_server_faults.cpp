// A server that answers very slowly. Falling silent for longer than the 30-second read time-out
// ends the check with its error; a slow but steady answer is waited for. Each case takes up to
// about 40 seconds, so these run as their own labelled step ("long").
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <thread>

#include "launcher/events.h"
#include "tests/faults/child_process.h"
#include "tests/faults/raw_server.h"
#include "tests/support/release_fixture.h"
#include "tests/support/temp_dir.h"
#include "tests/support/test_server.h"
#include "tests/support/test_signer.h"

namespace km {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using test::ReleaseFile;

bool has(const std::vector<std::string>& events, const std::string& event) {
    return std::find(events.begin(), events.end(), event) != events.end();
}

// Sleeps in small steps so that a stopping server is not held up.
void pause(const faults::RawServer& server, std::chrono::milliseconds duration) {
    const auto end = std::chrono::steady_clock::now() + duration;
    while (std::chrono::steady_clock::now() < end && !server.stopping())
        std::this_thread::sleep_for(10ms);
}

class SlowServer : public ::testing::Test {
  protected:
    void SetUp() override {
        test::install_file(install_.path(), "big.dat", "old");
        manifest_ = test::publish_release(release_.path(), 1, 0, 0, {{"big.dat", content_}});
    }
    std::chrono::seconds elapsed_since(std::chrono::steady_clock::time_point start) const {
        return std::chrono::duration_cast<std::chrono::seconds>(std::chrono::steady_clock::now() -
                                                                start);
    }

    test::TempDir release_, install_;
    std::string content_ = std::string(200'000, 'z');
    std::string manifest_;
};

TEST_F(SlowServer, ServerThatGoesSilentMidDownloadFailsAfterTheReadTimeout) {
    test::TestServer server;
    server.serve_file_tree(release_.path());
    server.route_stall("/launcher_files/big.dat", content_.substr(0, 100'000), 45s);
    const auto start = std::chrono::steady_clock::now();
    const auto result = faults::run_check_child(install_.str(), server.host(), server.port());
    const auto took = elapsed_since(start);
    EXPECT_EQ(result.exit_code, 1);
    EXPECT_TRUE(has(result.events,
                    event_text::progress("Download failed. Check your connection.", "error", 1.0)));
    EXPECT_GE(took.count(), 29);
    EXPECT_LE(took.count(), 40);
    EXPECT_EQ(install_.read("big.dat"), "old");
}

TEST_F(SlowServer, ManifestThatNeverArrivesEndsOffline) {
    faults::RawServer server([&](const std::string&, const auto&) { pause(server, 45s); });
    const auto start = std::chrono::steady_clock::now();
    const auto result = faults::run_check_child(install_.str(), server.host(), server.port());
    const auto took = elapsed_since(start);
    EXPECT_EQ(result.exit_code, 1);
    EXPECT_TRUE(has(result.events,
                    event_text::progress("Offline: Failed to read connection", "error", 1.0)));
    EXPECT_TRUE(has(result.events, event_text::server_status(false)));
    EXPECT_GE(took.count(), 29);
    EXPECT_LE(took.count(), 40);
}

// Pauses of several seconds between pieces are not silence long enough to give up.
TEST_F(SlowServer, SlowButSteadyDownloadIsWaitedFor) {
    const std::string signature = test::dev_signature(manifest_);
    faults::RawServer server([&](const std::string& path, const auto& send) {
        if (path == "/update.manifest.json") {
            send(faults::http_answer(200, manifest_));
        } else if (path == "/update.manifest.json.sig") {
            send(faults::http_answer(200, signature));
        } else {
            std::string head =
                "HTTP/1.1 200 OK\r\nContent-Length: " + std::to_string(content_.size()) +
                "\r\nConnection: close\r\n\r\n";
            if (!send(head))
                return;
            const std::size_t piece = content_.size() / 4;
            for (std::size_t at = 0; at < content_.size(); at += piece) {
                pause(server, 4s);
                if (!send(content_.substr(at, piece)))
                    return;
            }
        }
    });
    const auto result = faults::run_check_child(install_.str(), server.host(), server.port());
    EXPECT_EQ(result.exit_code, 0);
    EXPECT_EQ(install_.read("big.dat"), content_);
    EXPECT_FALSE(fs::exists(install_.path() / "updates"));
}

}  // namespace
}  // namespace km
