// Links planted inside the installation folder: a check must never write, rename or delete
// through them. An entry behind a link, whatever its content there, is reported like a file in
// use and the warning stays the check's last word; the link stays as it is. The launcher's own
// scratch (the staging folder, the verify cache) loses the link and goes on with its own.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>

#include "tests/support/served_install.h"
#include "updater/verify_cache.h"

namespace km {
namespace {

namespace fs = std::filesystem;

struct Planted {
    const char* name;
    const char* link;    // below the installation folder
    const char* target;  // a file elsewhere, or nullptr for the folder elsewhere
    const char* behind;  // the entry this link keeps from its place, or "" for none
};

class Links : public ::testing::TestWithParam<Planted>, protected test::ServedInstall {
  protected:
    test::TempDir elsewhere_;
};

TEST_P(Links, NothingIsWrittenThroughAPlantedLink) {
    const Planted& planted = GetParam();
    const std::vector<test::ReleaseFile> files{{"a.txt", "alpha"},
                                               {"data/d.bin", "delta"},
                                               {"b.dat", "bravo"},
                                               {"game.exe", "program", "", true}};
    test::publish_release(release_.path(), 1, 0, 0, files);
    // What lies elsewhere is the release's content, and a verify cache vouching for a damaged
    // a.txt: behind a link neither counts.
    elsewhere_.write("keep.txt", "precious");
    elsewhere_.write("d.bin", "delta");
    elsewhere_.write("b.dat", "bravo");
    install_.write("a.txt", "alpho");
    const std::string forged =
        "a.txt\t5\t" +
        std::to_string(updater::file_stat((install_.path() / "a.txt").string()).mtime) + "\t" +
        test::sha256_hex("alpha") + "\n";
    elsewhere_.write("cache.txt", forged);
    const fs::path link = install_.path() / planted.link;
    fs::create_directories(link.parent_path());
    std::error_code ec;
    if (planted.target == nullptr)
        fs::create_directory_symlink(elsewhere_.path(), link, ec);
    else
        fs::create_symlink(elsewhere_.path() / planted.target, link, ec);
    if (ec)
        GTEST_SKIP() << "no symbolic links here: " << ec.message();

    EXPECT_TRUE(check());

    const std::string behind = planted.behind;
    EXPECT_EQ(fs::is_symlink(link), !behind.empty());
    for (const auto& [name, content] : {std::pair<std::string, std::string>{"keep.txt", "precious"},
                                        {"d.bin", "delta"},
                                        {"b.dat", "bravo"},
                                        {"cache.txt", forged}})
        EXPECT_EQ(elsewhere_.read(name), content) << name;
    EXPECT_EQ(std::distance(fs::directory_iterator(elsewhere_.path()), fs::directory_iterator()),
              4);
    for (const test::ReleaseFile& file : files) {
        if (file.executable || file.path == behind)
            continue;
        EXPECT_EQ(local(file.path), file.content) << file.path;
        EXPECT_TRUE(fs::is_regular_file(fs::symlink_status(install_.path() / file.path)));
    }
    EXPECT_EQ(updater::load_verify_cache(install_.str()).count(behind), 0u);
    std::string last;
    for (const std::string& line : recorded_.lines())
        if (line.find(" [") != std::string::npos)
            last = line;
    EXPECT_EQ(last, behind.empty() ? "Updated to v1.0.0 [success 1.000]"
                                   : "1 file(s) were in use and will finish updating on next "
                                     "launch (e.g. " +
                                         behind + "). [warning 1.000]");
}

INSTANTIATE_TEST_SUITE_P(
    Attacks, Links,
    ::testing::Values(Planted{"EntryFolderLink", "data", nullptr, "data/d.bin"},
                      Planted{"EntryFileLink", "b.dat", "b.dat", "b.dat"},
                      Planted{"StagingFolderLink", "updates", nullptr, ""},
                      Planted{"StagedFolderLink", "updates/data", nullptr, ""},
                      Planted{"PendingExecutableLink", "game.exe.update", "keep.txt", "game.exe"},
                      Planted{"VerifyCacheLink", "launcher_verify_cache.txt", "cache.txt", ""},
                      Planted{"VersionFloorLink", "launcher_version_floor.txt", "keep.txt", ""},
                      Planted{"VersionFloorCopyLink", "launcher_version_floor.txt.tmp", "keep.txt",
                              ""}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace km
