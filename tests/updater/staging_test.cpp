#include "updater/staging.h"

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <string>

#include "km/build_config.h"
#include "platform/fake/fake_platform.h"
#include "tests/support/temp_dir.h"

namespace km::updater {
namespace {

namespace fs = std::filesystem;
using km::test::read_file;
using Clock = std::chrono::steady_clock;

double seconds_since(Clock::time_point start) {
    return std::chrono::duration<double>(Clock::now() - start).count();
}

bool owner_can_write(const fs::path& p) {
    return (fs::status(p).permissions() & fs::perms::owner_write) != fs::perms::none;
}

void make_read_only(const fs::path& p) {
    fs::permissions(p, fs::perms::owner_write | fs::perms::group_write | fs::perms::others_write,
                    fs::perm_options::remove);
}

class Staging : public ::testing::Test {
  protected:
    std::string at(const std::string& relative) const {
        return (dir.path() / fs::u8path(relative)).string();
    }
    std::string staged(const std::string& content) const {
        return dir.write("updates/staged.bin", content).string();
    }
    km::test::TempDir dir;
};

TEST_F(Staging, OrdinaryFileIsPutIntoNewFolders) {
    const std::string dest = at("game/data/d\xc3\xa9j\xc3\xa0/one.pak");
    EXPECT_TRUE(install_staged_file(staged("new content"), dest, false));
    EXPECT_EQ(read_file(fs::u8path(dest)), "new content");

    // Over an existing file.
    dir.write("game/two.pak", "old old old old");
    EXPECT_TRUE(install_staged_file(staged("new content"), at("game/two.pak"), false));
    EXPECT_EQ(read_file(at("game/two.pak")), "new content");
}

// The download is moved into place rather than written a second time; what the destination was
// keeps its permission bits.
TEST_F(Staging, ReplacedFileKeepsItsPermissions) {
    const fs::path dest = dir.write("game/config.pak", "old");
    const fs::perms mode = fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read;
    fs::permissions(dest, mode);
    EXPECT_TRUE(install_staged_file(staged("new"), dest.string(), false));
    EXPECT_EQ(read_file(dest), "new");
    if (!km::build::windows_path_rules) {
        EXPECT_EQ(fs::status(dest).permissions() & fs::perms::all, mode);
    }
}

TEST_F(Staging, ReadOnlyDestinationIsReplacedAtOnce) {
    const std::string from = staged("fresh");
    const fs::path dest = dir.write("game/locked.dll", "stale");
    make_read_only(dest);
    ASSERT_FALSE(owner_can_write(dest));
    // On Windows the status reads the read-only attribute. (Whether it refuses writers cannot be
    // seen here: Wine keeps it as the Unix write bits, which root ignores.)

    const auto start = Clock::now();
    EXPECT_TRUE(install_staged_file(from, dest.string(), false));
    EXPECT_LT(seconds_since(start), 0.14);  // first attempt, no pause
    EXPECT_EQ(read_file(dest), "fresh");
    EXPECT_TRUE(owner_can_write(dest));
}

TEST_F(Staging, DestinationThatCannotBeWrittenIsRetriedFiveTimes) {
    const std::string from = staged("fresh");
    fs::create_directories(at("game/busy.dll"));  // a folder in the way never accepts the copy
    const auto start = Clock::now();
    EXPECT_FALSE(install_staged_file(from, at("game/busy.dll"), false));
    const double elapsed = seconds_since(start);
    EXPECT_GE(elapsed, 0.74);
    EXPECT_LT(elapsed, 3.0);
    EXPECT_TRUE(fs::is_directory(at("game/busy.dll")));
}

TEST_F(Staging, MissingStagedFileFails) {
    EXPECT_FALSE(install_staged_file(at("updates/none"), at("x.exe"), true));
    EXPECT_FALSE(fs::exists(at("x.exe.update")));
}

TEST_F(Staging, ExecutableIsStagedBesideItsDestination) {
    const fs::path dest = dir.write("Game.exe", "running v1");
    EXPECT_TRUE(install_staged_file(staged("v2"), dest.string(), true));
    EXPECT_EQ(read_file(dest), "running v1");
    EXPECT_EQ(read_file(dest.string() + ".update"), "v2");
    if (!km::build::windows_path_rules) {
        // A downloaded file has no execute bit; the pending copy must be runnable once in place.
        const auto perms = fs::status(dest.string() + ".update").permissions();
        EXPECT_NE(perms & fs::perms::owner_exec, fs::perms::none);
    }

    // Staged twice before it is finished: the second overwrites the first, even read-only.
    make_read_only(dest.string() + ".update");
    EXPECT_TRUE(install_staged_file(staged("v3"), dest.string(), true));
    EXPECT_EQ(read_file(dest.string() + ".update"), "v3");

    // Its folder is never created.
    EXPECT_FALSE(install_staged_file(staged("v3"), at("bin/Tool.exe"), true));
    EXPECT_FALSE(fs::exists(at("bin")));
}

TEST_F(Staging, NothingPendingChangesNothing) {
    const fs::path dest = dir.write("Game.exe", "v1");
    dir.write("Game.exe.old", "v0");
    EXPECT_FALSE(apply_pending_update(dest.string()));
    EXPECT_EQ(read_file(dest), "v1");
    EXPECT_EQ(read_file(at("Game.exe.old")), "v0");
    EXPECT_FALSE(apply_pending_update(at("absent.exe")));
    EXPECT_FALSE(fs::exists(at("absent.exe")));
}

TEST_F(Staging, PendingReplacementIsFinishedAndOldCopyRemoved) {
    const fs::path dest = dir.write("Game.exe", "v1");
    dir.write("Game.exe.update", "v2");
    EXPECT_TRUE(apply_pending_update(dest.string()));
    EXPECT_EQ(read_file(dest), "v2");
    EXPECT_EQ(read_file(at("Game.exe.old")), "v1");
    EXPECT_FALSE(fs::exists(at("Game.exe.update")));

    remove_old_copy(dest.string());
    EXPECT_FALSE(fs::exists(at("Game.exe.old")));
    EXPECT_EQ(read_file(dest), "v2");

    // And the state after that is "current": nothing more to do, at once.
    const auto start = Clock::now();
    EXPECT_FALSE(apply_pending_update(dest.string()));
    remove_old_copy(dest.string());
    EXPECT_LT(seconds_since(start), 0.09);
}

TEST_F(Staging, PendingReplacementForMissingDestination) {
    dir.write("New.exe.update", "v1");
    EXPECT_TRUE(apply_pending_update(at("New.exe")));
    EXPECT_EQ(read_file(at("New.exe")), "v1");
    EXPECT_FALSE(fs::exists(at("New.exe.update")));
    EXPECT_FALSE(fs::exists(at("New.exe.old")));
}

TEST_F(Staging, LeftoversFromAnEarlierRunAreReplaced) {
    const fs::path dest = dir.write("Launcher.exe", "v2");
    dir.write("Launcher.exe.old", "v0");
    make_read_only(at("Launcher.exe.old"));
    make_read_only(dest);
    dir.write("Launcher.exe.update", "v3");
    EXPECT_TRUE(apply_pending_update(dest.string()));
    EXPECT_EQ(read_file(dest), "v3");
    EXPECT_EQ(read_file(at("Launcher.exe.old")), "v2");
    make_read_only(at("Launcher.exe.old"));
    remove_old_copy(dest.string());
    EXPECT_FALSE(fs::exists(at("Launcher.exe.old")));
}

TEST_F(Staging, FailedFirstRenameKeepsEverything) {
    const fs::path dest = dir.write("Game.exe", "v1");
    dir.write("Game.exe.update", "v2");
    dir.write("Game.exe.old/keep", "a folder in the way of the old copy");
    EXPECT_FALSE(apply_pending_update(dest.string()));
    EXPECT_EQ(read_file(dest), "v1");
    EXPECT_EQ(read_file(at("Game.exe.update")), "v2");
    EXPECT_EQ(read_file(at("Game.exe.old/keep")), "a folder in the way of the old copy");
}

TEST_F(Staging, OldCopyThatCannotBeDeletedIsRetriedForAboutOneSecond) {
    const fs::path dest = dir.write("Game.exe", "v2");
    dir.write("Game.exe.old/inside", "a non-empty folder cannot be removed");
    const auto start = Clock::now();
    remove_old_copy(dest.string());
    const double elapsed = seconds_since(start);
    EXPECT_GE(elapsed, 0.99);
    EXPECT_LT(elapsed, 4.0);
    EXPECT_TRUE(fs::exists(at("Game.exe.old/inside")));
}

TEST(MakeWritable, ClearsReadOnlyAndIgnoresMissingFiles) {
    km::test::TempDir dir;
    const fs::path file = dir.write("ro.txt", "x");
    make_read_only(file);
    make_writable(file.string());
    EXPECT_TRUE(owner_can_write(file));
    std::ofstream(file, std::ios::app) << "y";
    EXPECT_EQ(read_file(file), "xy");
    make_writable(dir.str() + "/missing.txt");
    EXPECT_FALSE(fs::exists(dir.path() / "missing.txt"));
}

TEST(SelfUpdate, RelaunchesTheRunningModule) {
    km::fake::reset();
    {
        auto lock = km::fake::lock();
        km::fake::state().module_path = "/opt/keldmoor/Launcher";
    }
    EXPECT_EQ(get_module_path(), "/opt/keldmoor/Launcher");
    try {
        relaunch_self();
        ADD_FAILURE() << "relaunch_self returned";
    } catch (const km::fake::Relaunched& r) {
        EXPECT_EQ(r.program, "/opt/keldmoor/Launcher");
    }
    km::fake::reset();
}

}  // namespace
}  // namespace km::updater
