// Links planted inside the installation folder: a check must never write, rename or delete
// through them, and must leave each link as it is. An entry behind a link is reported like a
// file in use; everything else still installs.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>

#include "tests/support/served_install.h"

namespace km {
namespace {

namespace fs = std::filesystem;

struct Planted {
    const char* name;
    const char* link;  // below the installation folder
    bool to_folder;
    bool warned;         // the check reports an entry it could not install
    bool staged = true;  // a staging folder can be made (a link in its place stops everything)
};

class Links : public ::testing::TestWithParam<Planted>, protected test::ServedInstall {
  protected:
    test::TempDir elsewhere_;
};

TEST_P(Links, NothingIsWrittenThroughAPlantedLink) {
    const Planted& planted = GetParam();
    test::publish_release(release_.path(), 1, 0, 0,
                          {{"a.txt", "alpha"},
                           {"data/d.bin", "delta"},
                           {"b.dat", "bravo"},
                           {"game.exe", "program", "", true}});
    elsewhere_.write("keep.txt", "precious");
    const fs::path link = install_.path() / planted.link;
    fs::create_directories(link.parent_path());
    std::error_code ec;
    if (planted.to_folder)
        fs::create_directory_symlink(elsewhere_.path(), link, ec);
    else
        fs::create_symlink(elsewhere_.path() / "keep.txt", link, ec);
    if (ec)
        GTEST_SKIP() << "no symbolic links here: " << ec.message();

    EXPECT_TRUE(check());

    EXPECT_TRUE(fs::is_symlink(link));
    EXPECT_EQ(elsewhere_.read("keep.txt"), "precious");
    EXPECT_EQ(std::distance(fs::directory_iterator(elsewhere_.path()), fs::directory_iterator()),
              1);
    EXPECT_EQ(local("a.txt"), planted.staged ? "alpha" : "");
    const auto lines = recorded_.lines();
    const bool warned = std::any_of(lines.begin(), lines.end(), [](const std::string& e) {
        return e.find("file(s) were in use") != std::string::npos;
    });
    EXPECT_EQ(warned, planted.warned);
}

INSTANTIATE_TEST_SUITE_P(
    Attacks, Links,
    ::testing::Values(Planted{"EntryFolderLink", "data", true, true},
                      Planted{"EntryFileLink", "b.dat", false, true},
                      Planted{"StagingFolderLink", "updates", true, true, false},
                      Planted{"StagedFolderLink", "updates/data", true, true},
                      Planted{"PendingExecutableLink", "game.exe.update", false, true},
                      Planted{"VerifyCacheLink", "launcher_verify_cache.txt", false, false},
                      Planted{"VersionFloorLink", "launcher_version_floor.txt", false, false},
                      Planted{"VersionFloorCopyLink", "launcher_version_floor.txt.tmp", false,
                              false}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace km
