#include "updater/staging.h"

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <string>
#include <vector>

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

// The download is moved into place rather than written a second time, at once even over a
// read-only file; what the destination was keeps its permission bits.
TEST_F(Staging, OrdinaryFileIsMovedIntoPlaceKeepingItsMode) {
    EXPECT_TRUE(install_staged_file(staged("new"), at("game/d\xc3\xa9j\xc3\xa0/one.pak"), false,
                                    dir.str()));
    EXPECT_EQ(read_file(fs::u8path(at("game/d\xc3\xa9j\xc3\xa0/one.pak"))), "new");

    const fs::path dest = dir.write("game/config.pak", "old old old");
    const fs::perms mode = fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read;
    fs::permissions(dest, mode);
    EXPECT_TRUE(install_staged_file(staged("new"), dest.string(), false, dir.str()));
    EXPECT_EQ(read_file(dest), "new");
    EXPECT_TRUE(km::build::windows_path_rules ||
                (fs::status(dest).permissions() & fs::perms::all) == mode);

    make_read_only(dest);
    const auto start = Clock::now();
    EXPECT_TRUE(install_staged_file(staged("fresh"), dest.string(), false, dir.str()));
    EXPECT_LT(seconds_since(start), 0.14);  // first attempt, no pause
    EXPECT_EQ(read_file(dest), "fresh");
    EXPECT_NE(fs::status(dest).permissions() & fs::perms::owner_write, fs::perms::none);
}

// A folder in the way never accepts the copy, nor is it deleted as an old copy: five tries of
// the install, about a second of tries at the deletion.
TEST_F(Staging, WhatCannotBeWrittenOrDeletedIsRetriedForAWhile) {
    EXPECT_FALSE(install_staged_file(at("updates/none"), at("x.exe"), true, dir.str()));
    EXPECT_FALSE(fs::exists(at("x.exe.update")));
    fs::create_directories(at("game/busy.dll"));
    auto start = Clock::now();
    EXPECT_FALSE(install_staged_file(staged("fresh"), at("game/busy.dll"), false, dir.str()));
    EXPECT_GE(seconds_since(start), 0.74);
    EXPECT_LT(seconds_since(start), 3.0);
    EXPECT_TRUE(fs::is_directory(at("game/busy.dll")));

    dir.write("Game.exe.old/inside", "a non-empty folder cannot be removed");
    start = Clock::now();
    remove_old_copy(at("Game.exe"), dir.str());
    EXPECT_GE(seconds_since(start), 0.99);
    EXPECT_LT(seconds_since(start), 4.0);
    EXPECT_TRUE(fs::exists(at("Game.exe.old/inside")));
}

TEST_F(Staging, ExecutableIsStagedBesideItsDestination) {
    const fs::path dest = dir.write("Game.exe", "running v1");
    EXPECT_TRUE(install_staged_file(staged("v2"), dest.string(), true, dir.str()));
    EXPECT_EQ(read_file(dest), "running v1");
    EXPECT_EQ(read_file(dest.string() + ".update"), "v2");
    // A downloaded file has no execute bit; the pending copy must be runnable once in place.
    EXPECT_TRUE(km::build::windows_path_rules ||
                (fs::status(dest.string() + ".update").permissions() & fs::perms::owner_exec) !=
                    fs::perms::none);
    // Staged twice before it is finished: the second overwrites the first, even read-only.
    make_read_only(dest.string() + ".update");
    EXPECT_TRUE(install_staged_file(staged("v3"), dest.string(), true, dir.str()));
    EXPECT_EQ(read_file(dest.string() + ".update"), "v3");
    // Its folder is never created.
    EXPECT_FALSE(install_staged_file(staged("v3"), at("bin/Tool.exe"), true, dir.str()));
    EXPECT_FALSE(fs::exists(at("bin")));
}

TEST_F(Staging, PendingReplacementIsFinishedOrEverythingIsKept) {
    const struct {
        const char* name;
        const char *exe, *old, *update;  // nullptr: absent
        bool old_is_folder, finished;
        const char *exe_after, *old_after;
    } cases[] = {
        {"nothing pending", "v1", "v0", nullptr, false, false, "v1", "v0"},
        {"pending", "v1", nullptr, "v2", false, true, "v2", "v1"},
        {"no destination yet", nullptr, nullptr, "v1", false, true, "v1", nullptr},
        {"read-only leftovers", "v2", "v0", "v3", false, true, "v3", "v2"},
        {"first rename fails", "v1", "in the way", "v2", true, false, "v1", nullptr},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string name = std::string(c.name) + ".exe", exe = at(name);
        for (const auto& [suffix, content] :
             {std::pair{"", c.exe}, std::pair{".old", c.old}, std::pair{".update", c.update}}) {
            if (content == nullptr)
                continue;
            const bool folder = c.old_is_folder && std::string(suffix) == ".old";
            make_read_only(dir.write(name + suffix + (folder ? "/keep" : ""), content));
        }
        EXPECT_EQ(apply_pending_update(exe, dir.str()), c.finished);
        EXPECT_EQ(read_file(exe), c.exe_after);
        EXPECT_EQ(read_file(exe + ".update"), c.finished ? "" : (c.update ? c.update : ""));
        EXPECT_EQ(fs::is_regular_file(exe + ".old"), c.old_after != nullptr);
        EXPECT_EQ(read_file(exe + ".old"), c.old_after ? c.old_after : "");
        EXPECT_EQ(read_file(exe + ".old/keep"), c.old_is_folder ? "in the way" : "");
    }
    // The read-only old copy is removed, and the state after that is current at once.
    remove_old_copy(at("pending.exe"), dir.str());
    EXPECT_FALSE(fs::exists(at("pending.exe.old")));
    const auto start = Clock::now();
    EXPECT_FALSE(apply_pending_update(at("pending.exe"), dir.str()));
    remove_old_copy(at("pending.exe"), dir.str());
    EXPECT_LT(seconds_since(start), 0.09);
    EXPECT_EQ(read_file(at("pending.exe")), "v2");
}

TEST(SelfUpdate, RelaunchesTheRunningModule) {
    km::fake::reset();
    km::fake::state().module_path = "/opt/keldmoor/Launcher";
    EXPECT_THROW(relaunch_self(), km::fake::Relaunched);
    EXPECT_EQ(km::fake::state().relaunches, std::vector<std::string>{"/opt/keldmoor/Launcher"});
    km::fake::reset();
}

}  // namespace
}  // namespace km::updater
