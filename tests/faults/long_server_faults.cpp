// A server that answers very slowly. Falling silent for longer than the 30-second read time-out
// ends the check with its error; a pause shorter than that is waited for. Each case takes up to
// about 40 seconds, so these run as their own labelled step ("long").
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

TEST(SlowServer, SilenceBeyondTheReadTimeoutFailsAndShorterPausesAreWaitedFor) {
    const std::string content = std::string(200'000, 'z') + "!";  // the stall's last byte
    const struct {
        const char* path;  // the answer that pauses before its last byte
        std::chrono::seconds pause;
        const char* error;  // "" when the check succeeds
    } cases[] = {
        {"/launcher_files/big.dat", 45s, "Download failed. Check your connection."},
        {"/update.manifest.json", 45s, "Offline: Failed to read connection"},
        {"/launcher_files/big.dat", 12s, ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.path + std::to_string(c.pause.count()));
        test::TempDir release, install;
        test::install_file(install.path(), "big.dat", "old");
        const std::string manifest =
            test::publish_release(release.path(), 1, 0, 0, {{"big.dat", content}});
        test::TestServer server;
        server.serve_file_tree(release.path());
        const std::string whole = c.path[1] == 'u' ? manifest : content;
        server.route_stall(c.path, whole.substr(0, whole.size() - 1), c.pause);
        const auto start = std::chrono::steady_clock::now();
        const auto result = faults::run_check_child(install.str(), server.host(), server.port());
        const auto took = std::chrono::steady_clock::now() - start;
        if (*c.error == '\0') {
            EXPECT_EQ(result.exit_code, 0);
            EXPECT_EQ(install.read("big.dat"), content);
            continue;
        }
        EXPECT_EQ(result.exit_code, 1);
        const std::string event = event_text::progress(c.error, "error", 1.0);
        EXPECT_NE(std::find(result.events.begin(), result.events.end(), event),
                  result.events.end());
        EXPECT_GE(took, 29s);
        EXPECT_LE(took, 40s);
        EXPECT_EQ(install.read("big.dat"), "old");
    }
}

}  // namespace
}  // namespace km
