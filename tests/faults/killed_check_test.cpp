// The update check killed outright (SIGKILL: no clean-up of any kind runs) while it downloads
// and while it installs. Whatever it leaves behind, the verify cache must never vouch for a file
// whose content differs from its record, and the next check must bring the installation to
// exactly the manifest's content.
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <random>
#include <thread>

#include "launcher/app_state.h"
#include "tests/faults/child_process.h"
#include "tests/support/release_fixture.h"
#include "tests/support/temp_dir.h"
#include "tests/support/test_server.h"
#include "updater/verify_cache.h"

namespace km {
namespace {

namespace fs = std::filesystem;
using faults::CheckChild;
using test::ReleaseFile;

std::string pattern(std::size_t size, unsigned seed) {
    std::mt19937 gen(seed);
    std::string out(size, '\0');
    for (char& c : out)
        c = static_cast<char>(gen());
    return out;
}

class KilledCheck : public ::testing::Test {
  protected:
    void SetUp() override { server_.serve_file_tree(release_.path()); }

    // Version 1 installed, version 2 published: every file changes except keep.dat.
    void lay_out(const std::vector<std::string>& changed) {
        for (std::size_t i = 0; i < changed.size(); ++i) {
            test::install_file(install_.path(), changed[i], pattern(150'000 + i, 100 + i));
            files_.push_back({changed[i], pattern(200'000 + i * 7, 200 + i)});
        }
        test::install_file(install_.path(), "keep.dat", "unchanged");
        files_.push_back({"keep.dat", "unchanged"});
        files_.push_back({launcher_config.game_exe, pattern(90'000, 7), "", true});
        test::install_file(install_.path(), launcher_config.game_exe, "old game");
        test::publish_release(release_.path(), 2, 0, 0, files_);
    }

    faults::ChildResult run_to_end() {
        return faults::run_check_child(install_.str(), server_.host(), server_.port());
    }

    bool requested(const std::string& path) const {
        for (const auto& request : server_.requests())
            if (request.path == path)
                return true;
        return false;
    }

    // Every file has the manifest's content, the verify cache records exactly those hashes, and
    // no staging folder or companion file is left.
    void expect_exact_installation() {
        for (const ReleaseFile& file : files_)
            EXPECT_EQ(install_.read(file.path), file.content) << file.path;
        EXPECT_FALSE(fs::exists(install_.path() / "updates"));
        const std::string game = launcher_config.game_exe;
        EXPECT_FALSE(fs::exists(install_.path() / (game + ".update")));
        EXPECT_FALSE(fs::exists(install_.path() / (game + ".old")));

        // The cache is written before downloading, so it holds what the check found; a second
        // check must find everything current and record every manifest hash.
        const auto second = run_to_end();
        EXPECT_EQ(second.exit_code, 0);
        ASSERT_FALSE(second.events.empty());
        EXPECT_NE(second.events[second.events.size() - 3].find("All files up to date (v2.0.0)"),
                  std::string::npos);
        const std::string saved = exe_dir;
        exe_dir = install_.str();
        const updater::VerifyCache after = updater::load_verify_cache();
        exe_dir = saved;
        ASSERT_EQ(after.size(), files_.size());
        for (const ReleaseFile& file : files_)
            EXPECT_EQ(after.at(file.path).sha256, test::sha256_hex(file.content)) << file.path;
        EXPECT_TRUE(faults::lying_cache_records(install_.path()).empty());
    }

    test::TempDir release_, install_;
    test::TestServer server_;
    std::vector<ReleaseFile> files_;
};

TEST_F(KilledCheck, KilledDuringADownloadInstallsNothingAndTheNextCheckFinishes) {
    lay_out({"a.dat", "data/b.dat", "c.dat"});
    const std::string b = files_[1].content;
    // The server sends part of b.dat and then falls silent: a fixed point to kill the check at.
    server_.route_stall("/launcher_files/data/b.dat", b.substr(0, 120'000),
                        std::chrono::seconds(60));
    const std::string before_a = install_.read("a.dat");
    {
        CheckChild child(install_.str(), server_.host(), server_.port());
        ASSERT_TRUE(faults::poll_until([&] {
            return requested("/launcher_files/data/b.dat") &&
                   fs::exists(install_.path() / "updates" / "data" / "b.dat");
        }));
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        const auto killed = child.kill_now();
        EXPECT_EQ(killed.signal, SIGKILL);
    }
    // a.dat was downloaded but the check died before installing anything.
    EXPECT_EQ(install_.read("a.dat"), before_a);
    EXPECT_EQ(install_.read("keep.dat"), "unchanged");
    EXPECT_EQ(install_.read(launcher_config.game_exe), "old game");
    EXPECT_TRUE(faults::lying_cache_records(install_.path()).empty());

    server_.route("/launcher_files/data/b.dat", 200, b);
    const auto next = run_to_end();
    EXPECT_EQ(next.exit_code, 0);
    expect_exact_installation();
}

TEST_F(KilledCheck, KilledDuringTheInstallPhaseLeavesNoLieAndTheNextCheckFinishes) {
    lay_out({"a.dat", "b.dat", "c.dat"});
    // b.dat cannot be written while a folder stands in its place: the install phase retries it
    // for about 750 ms, after a.dat went in and before c.dat and the game: a fixed point to kill.
    fs::remove(install_.path() / "b.dat");
    fs::create_directories(install_.path() / "b.dat" / "held");
    const std::string new_a = files_[0].content;
    {
        CheckChild child(install_.str(), server_.host(), server_.port());
        ASSERT_TRUE(faults::poll_until([&] { return install_.read("a.dat") == new_a; }));
        const auto killed = child.kill_now();
        EXPECT_EQ(killed.signal, SIGKILL);
    }
    EXPECT_NE(install_.read("c.dat"), files_[2].content);
    EXPECT_TRUE(fs::exists(install_.path() / "updates"));
    EXPECT_TRUE(faults::lying_cache_records(install_.path()).empty());

    fs::remove_all(install_.path() / "b.dat");
    const auto next = run_to_end();
    EXPECT_EQ(next.exit_code, 0);
    expect_exact_installation();
}

// Kills at moments spread over a whole check, each time from the same old installation: after
// every kill the cache tells no lie and a pending game replacement is either absent or whole;
// the check after it always ends with the exact release.
TEST_F(KilledCheck, KilledAtAnyMomentTheNextCheckAlwaysFinishes) {
    std::vector<std::string> names;
    for (int i = 0; i < 24; ++i)
        names.push_back("pack/file" + std::to_string(i) + ".dat");
    lay_out(names);
    const fs::path pristine = release_.path() / "pristine";
    fs::copy(install_.path(), pristine, fs::copy_options::recursive);

    const auto start = std::chrono::steady_clock::now();
    ASSERT_EQ(run_to_end().exit_code, 0);
    const auto full = std::chrono::duration_cast<std::chrono::microseconds>(
        std::chrono::steady_clock::now() - start);
    const std::string game_update = install_.str() + "/" + launcher_config.game_exe + ".update";
    const std::string new_game = files_[files_.size() - 1].content;

    std::mt19937 gen(20261206);
    std::uniform_int_distribution<long> when(0, full.count());
    for (int round = 0; round < 12; ++round) {
        SCOPED_TRACE("round " + std::to_string(round));
        fs::remove_all(install_.path());
        fs::copy(pristine, install_.path(), fs::copy_options::recursive);
        {
            CheckChild child(install_.str(), server_.host(), server_.port());
            std::this_thread::sleep_for(std::chrono::microseconds(when(gen)));
            child.kill_now();
        }
        EXPECT_TRUE(faults::lying_cache_records(install_.path()).empty());
        if (fs::exists(game_update)) {
            EXPECT_EQ(test::read_file(game_update), new_game);
        }
        EXPECT_EQ(run_to_end().exit_code, 0);
        for (const ReleaseFile& file : files_)
            ASSERT_EQ(install_.read(file.path), file.content) << file.path;
    }
    expect_exact_installation();
}

}  // namespace
}  // namespace km
