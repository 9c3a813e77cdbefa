// The disk filling up under the update check: while a download is written (a file-size limit,
// as `ulimit -f` sets it) and while the install phase copies (a size-limited folder).
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <random>

#include "km/build_config.h"
#include "launcher/events.h"
#include "tests/faults/child_process.h"
#include "tests/support/release_fixture.h"
#include "tests/support/temp_dir.h"
#include "tests/support/test_server.h"

namespace km {
namespace {

namespace fs = std::filesystem;
using test::ReleaseFile;

std::string noise(std::size_t size, unsigned seed) {
    std::mt19937 gen(seed);
    std::string out(size, '\0');
    for (char& c : out)
        c = static_cast<char>(gen());
    return out;
}

bool has(const std::vector<std::string>& events, const std::string& event) {
    return std::find(events.begin(), events.end(), event) != events.end();
}

class DiskFull : public ::testing::Test {
  protected:
    void SetUp() override { server_.serve_file_tree(release_.path()); }

    test::TempDir release_, install_;
    test::TestServer server_;
};

TEST_F(DiskFull, FullDiskDuringADownloadFailsClearlyAndInstallsNothing) {
    const std::vector<ReleaseFile> files = {{"small.dat", noise(20'000, 1)},
                                            {"data/big.pak", noise(3 << 20, 2)},
                                            {"last.dat", noise(30'000, 3)}};
    for (const ReleaseFile& file : files)
        test::install_file(install_.path(), file.path, "old " + file.path);
    test::publish_release(release_.path(), 2, 0, 0, files);

    const auto result = faults::run_check_child(install_.str(), server_.host(), server_.port(),
                                                {"--fsize-limit", std::to_string(1 << 20)});
    EXPECT_EQ(result.exit_code, 1);
    EXPECT_TRUE(has(result.events,
                    event_text::progress("Download failed. Check your connection.", "error", 1.0)));
    ASSERT_FALSE(result.events.empty());
    EXPECT_EQ(result.events.back(), event_text::updating(false));
    for (const ReleaseFile& file : files)
        EXPECT_EQ(install_.read(file.path), "old " + file.path) << file.path;
    // The part that did fit is not left to look like a download.
    EXPECT_FALSE(fs::exists(install_.path() / "updates" / "data" / "big.pak"));

    // Room again: the next check installs the release.
    EXPECT_EQ(faults::run_check_child(install_.str(), server_.host(), server_.port()).exit_code, 0);
    for (const ReleaseFile& file : files)
        EXPECT_EQ(install_.read(file.path), file.content) << file.path;
}

// The launcher's own executable is staged beside itself and put in place at the next start
// without any further check, so a half-written pending copy would replace a working launcher by
// a broken one. With the disk filling up while it is written, there must be no pending copy at
// all (the file counts as in use and is tried again by the next check), never a torn one.
TEST_F(DiskFull, FullDiskWhileStagingAnExecutableLeavesNoTornPendingCopy) {
    const std::string self = build::launcher_exe_name;
    const std::string new_self = noise(1 << 20, 4);
    const std::vector<ReleaseFile> files = {{self, new_self, "", true}};
    test::publish_release(release_.path(), 2, 0, 0, files);

    const test::TempDir seed, result_dir;
    test::install_file(seed.path(), self, "old launcher");
    // Room for the download (1 MiB) and half of the pending copy.
    const std::string capacity = std::to_string((1 << 20) + (1 << 19));
    const auto result = faults::run_check_child(
        install_.str(), server_.host(), server_.port(),
        {"--tmpfs", capacity, seed.str(), (result_dir.path() / "after").string()});
    if (result.exit_code == 3)
        GTEST_SKIP() << "no size-limited folder available (mount namespaces refused)";

    const fs::path after = result_dir.path() / "after";
    EXPECT_EQ(result.exit_code, 0);
    const std::string warning =
        "1 file(s) were in use and will finish updating on next launch (e.g. " + self + ").";
    EXPECT_TRUE(has(result.events, event_text::progress(warning.c_str(), "warning", 1.0)));
    EXPECT_EQ(test::read_file(after / self), "old launcher");
    if (fs::exists(after / (self + ".update"))) {
        EXPECT_TRUE(test::read_file(after / (self + ".update")) == new_self)
            << "a torn pending copy would replace the launcher at its next start";
    }
    for (const std::string& name : faults::list_files(after))
        EXPECT_TRUE(name == self || name == "launcher_verify_cache.txt") << name;
}

}  // namespace
}  // namespace km
