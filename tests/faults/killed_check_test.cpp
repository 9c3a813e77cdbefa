// The update check killed outright (SIGKILL: no clean-up of any kind runs) while it installs and
// at random moments. Whatever it leaves behind, the verify cache must never vouch for a file
// whose content differs from its record, and the next check must bring the installation to
// exactly the manifest's content.
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <random>
#include <thread>

#include "tests/faults/child_process.h"
#include "tests/support/served_install.h"
#include "updater/verify_cache.h"

namespace km {
namespace {

namespace fs = std::filesystem;
using test::ReleaseFile;

class KilledCheck : public ::testing::Test, protected test::ServedInstall {
  protected:
    // Version 1 installed, version 2 published: every file changes except keep.dat.
    void lay_out(int count) {
        for (int i = 0; i < count; ++i) {
            const std::string name = "pack/file" + std::to_string(i) + ".dat";
            test::install_file(install_.path(), name, test::noise(150'000 + i, 100 + i));
            files_.push_back({name, test::noise(200'000 + i * 7, 200 + i)});
        }
        files_.push_back({"keep.dat", "unchanged"});
        files_.push_back({target_.game_exe, test::noise(90'000, 7), "", true});
        test::install_file(install_.path(), "keep.dat", "unchanged");
        test::install_file(install_.path(), target_.game_exe, "old game");
        test::publish_release(release_.path(), 2, 0, 0, files_);
    }
    faults::ChildResult run_to_end() {
        return faults::CheckChild(install_.str(), server_.host(), server_.port()).wait();
    }

    // Every file has the manifest's content, no staging folder or companion file is left, and a
    // second check finds everything current with exactly the manifest's hashes in the cache.
    void expect_exact_installation() {
        for (const ReleaseFile& file : files_)
            EXPECT_EQ(local(file.path), file.content) << file.path;
        const std::string game = target_.game_exe;
        for (const std::string& left : {std::string("updates"), game + ".update", game + ".old"})
            EXPECT_FALSE(exists(left)) << left;
        const faults::ChildResult second = run_to_end();
        ASSERT_GE(second.events.size(), 3u);
        EXPECT_NE(second.events[second.events.size() - 3].find("All files up to date (v2.0.0)"),
                  std::string::npos);
        const updater::VerifyCache after = updater::load_verify_cache(install_.str());
        ASSERT_EQ(after.size(), files_.size());
        for (const ReleaseFile& file : files_)
            EXPECT_EQ(after.at(file.path).sha256, test::sha256_hex(file.content)) << file.path;
    }

    std::vector<ReleaseFile> files_;
};

TEST_F(KilledCheck, KilledDuringTheInstallPhaseLeavesNoLieAndTheNextCheckFinishes) {
    lay_out(3);
    // file1 cannot be written while a folder stands in its place: the install phase retries it
    // for about 750 ms, after file0 went in and before file2 and the game: a fixed point to kill.
    const fs::path held = install_.path() / "pack/file1.dat";
    fs::remove(held);
    fs::create_directories(held / "in the way");
    {
        faults::CheckChild child(install_.str(), server_.host(), server_.port());
        ASSERT_TRUE(test::eventually([&] { return local("pack/file0.dat") == files_[0].content; },
                                     std::chrono::seconds(20), std::chrono::milliseconds(1)));
        child.kill_now();
    }
    EXPECT_NE(local("pack/file2.dat"), files_[2].content);
    EXPECT_TRUE(faults::lying_cache_records(install_.path()).empty());
    fs::remove_all(held);
    EXPECT_EQ(run_to_end().exit_code, 0);
    expect_exact_installation();
}

// Kills at moments spread over a whole check, each time from the same old installation: after
// every kill the cache tells no lie and a pending game replacement is either absent or whole;
// the check after it always ends with the exact release.
TEST_F(KilledCheck, KilledAtAnyMomentTheNextCheckAlwaysFinishes) {
    lay_out(24);
    const fs::path pristine = release_.path() / "pristine";
    fs::copy(install_.path(), pristine, fs::copy_options::recursive);
    const auto start = std::chrono::steady_clock::now();
    ASSERT_EQ(run_to_end().exit_code, 0);
    const auto full = std::chrono::duration_cast<std::chrono::microseconds>(
        std::chrono::steady_clock::now() - start);
    const std::string game_update = target_.game_exe + ".update";

    std::mt19937 gen(20261206);
    std::uniform_int_distribution<long> when(0, full.count());
    for (int round = 0; round < 12; ++round) {
        SCOPED_TRACE("round " + std::to_string(round));
        fs::remove_all(install_.path());
        fs::copy(pristine, install_.path(), fs::copy_options::recursive);
        {
            faults::CheckChild child(install_.str(), server_.host(), server_.port());
            std::this_thread::sleep_for(std::chrono::microseconds(when(gen)));
        }
        EXPECT_TRUE(faults::lying_cache_records(install_.path()).empty());
        EXPECT_TRUE(!exists(game_update) || local(game_update) == files_.back().content);
        EXPECT_EQ(run_to_end().exit_code, 0);
        for (const ReleaseFile& file : files_)
            ASSERT_EQ(local(file.path), file.content) << file.path;
    }
    expect_exact_installation();
}

}  // namespace
}  // namespace km
