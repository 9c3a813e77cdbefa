// The disk filling up under the update check while a download is written (a file-size limit, as
// `ulimit -f` sets it). The pending copy of an executable cut short by a full disk is
// tests/faults/pending_copy_cut_test.cpp.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>

#include "launcher/events.h"
#include "tests/faults/child_process.h"
#include "tests/support/release_fixture.h"
#include "tests/support/test_server.h"

namespace km {
namespace {

namespace fs = std::filesystem;
using test::ReleaseFile;

TEST(DiskFull, FullDiskDuringADownloadFailsClearlyAndInstallsNothing) {
    test::TempDir release, install;
    const std::vector<ReleaseFile> files = {{"small.dat", std::string(20'000, 's')},
                                            {"data/big.pak", std::string(3 << 20, 'b')}};
    for (const ReleaseFile& file : files)
        test::install_file(install.path(), file.path, "old");
    test::publish_release(release.path(), 2, 0, 0, files);
    test::TestServer server;
    server.serve_file_tree(release.path());
    const auto result =
        faults::run_check_child(install.str(), server.host(), server.port(), {1 << 20});
    EXPECT_EQ(result.exit_code, 1);
    const std::string failed =
        event_text::progress("Download failed. Check your connection.", "error", 1.0);
    EXPECT_EQ(std::count(result.events.begin(), result.events.end(), failed), 1);
    for (const ReleaseFile& file : files)
        EXPECT_EQ(install.read(file.path), "old") << file.path;
    // The part that did fit is not left to look like a download.
    EXPECT_FALSE(fs::exists(install.path() / "updates/data/big.pak"));
}

}  // namespace
}  // namespace km
