// The disk filling up under the update check: while a download is written (a file-size limit,
// as `ulimit -f` sets it) and while the install phase copies (a size-limited folder).
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>

#include "km/build_config.h"
#include "launcher/events.h"
#include "tests/faults/child_process.h"
#include "tests/support/release_fixture.h"
#include "tests/support/test_server.h"

namespace km {
namespace {

namespace fs = std::filesystem;
using test::ReleaseFile;

class DiskFull : public ::testing::Test {
  protected:
    faults::ChildResult check(const std::vector<ReleaseFile>& files, const faults::Limits& limits) {
        test::publish_release(release_.path(), 2, 0, 0, files);
        server_.serve_file_tree(release_.path());
        return faults::run_check_child(install_.str(), server_.host(), server_.port(), limits);
    }
    static bool has(const faults::ChildResult& result, const std::string& text, const char* kind) {
        const std::string event = event_text::progress(text.c_str(), kind, 1.0);
        return std::count(result.events.begin(), result.events.end(), event) == 1;
    }

    test::TempDir release_, install_;
    test::TestServer server_;
};

TEST_F(DiskFull, FullDiskDuringADownloadFailsClearlyAndInstallsNothing) {
    const std::vector<ReleaseFile> files = {{"small.dat", std::string(20'000, 's')},
                                            {"data/big.pak", std::string(3 << 20, 'b')}};
    for (const ReleaseFile& file : files)
        test::install_file(install_.path(), file.path, "old");
    const auto result = check(files, {1 << 20});
    EXPECT_EQ(result.exit_code, 1);
    EXPECT_TRUE(has(result, "Download failed. Check your connection.", "error"));
    for (const ReleaseFile& file : files)
        EXPECT_EQ(install_.read(file.path), "old") << file.path;
    // The part that did fit is not left to look like a download.
    EXPECT_FALSE(fs::exists(install_.path() / "updates/data/big.pak"));
}

// The launcher's own executable is staged beside itself and put in place at the next start
// without any further check, so a half-written pending copy would replace a working launcher by
// a broken one. With the disk filling up while it is written, there must be no pending copy at
// all (the file counts as in use and is tried again by the next check), never a torn one.
TEST_F(DiskFull, FullDiskWhileStagingAnExecutableLeavesNoTornPendingCopy) {
    const std::string self = build::launcher_exe_name;
    const test::TempDir seed, result_dir;
    test::install_file(seed.path(), self, "old launcher");
    // Room for the download (1 MiB) and half of the pending copy.
    const fs::path after = result_dir.path() / "after";
    const auto result = check({{self, std::string(1 << 20, 'L'), "", true}},
                              {0, 3 << 19, seed.str(), after.string()});
    if (result.exit_code == 3)
        GTEST_SKIP() << "no size-limited folder available (mount namespaces refused)";
    EXPECT_EQ(result.exit_code, 0);
    EXPECT_TRUE(
        has(result,
            "1 file(s) were in use and will finish updating on next launch (e.g. " + self + ").",
            "warning"));
    EXPECT_EQ(test::read_file(after / self), "old launcher");
    // Nothing else is left: no staging folder, no pending copy, torn or whole.
    std::vector<std::string> left, expected = {self, "launcher_verify_cache.txt"};
    for (const auto& entry : fs::recursive_directory_iterator(after))
        left.push_back(entry.path().lexically_relative(after).string());
    std::sort(left.begin(), left.end());
    std::sort(expected.begin(), expected.end());
    EXPECT_EQ(left, expected);
}

}  // namespace
}  // namespace km
