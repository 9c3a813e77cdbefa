// A file of the installation held open by another handle without any sharing, as a running game
// or a virus scanner holds it: the update check reports it in use and leaves it alone, and the
// check after the file is let go finishes it; a pending replacement held open cannot take its
// place, and the original must stay where it was. Windows only: the lock is a share mode.
#include <windows.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>

#include "tests/support/served_install.h"
#include "updater/staging.h"

namespace km {
namespace {

namespace fs = std::filesystem;

bool has(const std::vector<std::string>& events, const std::string& event) {
    return std::find(events.begin(), events.end(), event) != events.end();
}

class LockedFile : public test::ServedInstall, public ::testing::Test {};

TEST_F(LockedFile, InUseWarningThenTheNextCheckFinishesIt) {
    test::publish_release(
        release_.path(), 2, 0, 1,
        {{"data/locked.pak", "new locked content"}, {"free.dat", "new free content"}});
    test::install_file(install_.path(), "data/locked.pak", "old locked content");
    test::install_file(install_.path(), "free.dat", "old free content");

    HANDLE handle = CreateFileW((install_.path() / "data" / "locked.pak").c_str(), GENERIC_READ, 0,
                                nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(handle, INVALID_HANDLE_VALUE) << "CreateFileW failed: " << GetLastError();

    EXPECT_TRUE(check());
    const auto events = recorded_.lines();
    EXPECT_TRUE(has(events, test::progress_line("1 file(s) were in use and will finish updating on "
                                                "next launch (e.g. data/locked.pak).",
                                                "warning", 1.0)));
    EXPECT_TRUE(has(events, "complete 2 false"));
    EXPECT_EQ(local("free.dat"), "new free content");
    CloseHandle(handle);
    EXPECT_EQ(local("data/locked.pak"), "old locked content");

    recorded_.clear();
    EXPECT_TRUE(check());
    EXPECT_TRUE(has(recorded_.lines(), test::progress_line("Updated to v2.0.1", "success", 1.0)));
    EXPECT_EQ(local("data/locked.pak"), "new locked content");
    EXPECT_FALSE(exists("updates"));
}

// The original is moved aside first; when the pending copy then refuses to move, the original
// must come back, or the game (or the launcher itself) is gone until the next start.
TEST_F(LockedFile, PendingReplacementHeldOpenPutsTheOriginalBack) {
    const fs::path game = install_.write("Game.exe", "v1");
    const fs::path pending = install_.write("Game.exe.update", "v2");
    HANDLE handle = CreateFileW(pending.wstring().c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(handle, INVALID_HANDLE_VALUE) << "CreateFileW failed: " << GetLastError();
    EXPECT_FALSE(updater::apply_pending_update(game.string(), install_.str()));
    CloseHandle(handle);
    EXPECT_EQ(local("Game.exe"), "v1");
    EXPECT_FALSE(exists("Game.exe.old"));
}

}  // namespace
}  // namespace km
