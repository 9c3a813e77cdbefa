// km-publish and km-verify run as an operator runs them, on real folders; what they publish is
// what the launcher's own update check installs.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "tests/support/check_recorder.h"
#include "tests/support/test_server.h"
#include "tests/tools/tool_runner.h"
#include "updater/manifest.h"
#include "updater/update_check.h"

namespace km::test {
namespace {

namespace fs = std::filesystem;

ino_t inode(const fs::path& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 ? st.st_ino : 0;
}

class Publish : public ToolTest {
  protected:
    updater::UpdateManifest manifest(const std::string& name = "update.manifest.json") const {
        updater::UpdateManifest parsed;
        EXPECT_TRUE(updater::parse_manifest(read_file(content() / name), parsed));
        return parsed;
    }
};

TEST_F(Publish, ReleaseIsAcceptedByTheLaunchersVerifierParserAndOpenSSL) {
    const std::map<std::string, std::string> files = {
        {"Launcher.exe", "MZ launcher"},
        {"data/maps/arena.map", std::string(300000, 'm') + std::string("\x00\xFF", 2)},
        {"data/empty.bin", ""},
        // A name whose UTF-8 bytes must reach the launcher unchanged.
        {"données/été.txt", "summer"},
        {"a b/with blank.txt", "x"},
    };
    add_all(files);
    const ToolRun run = publish();
    ASSERT_EQ(run.exit_code, 0) << run.err;
    EXPECT_NE(run.out.find(dev_public_hex), std::string::npos) << run.out;
    EXPECT_EQ(verify().exit_code, 0);

    const updater::UpdateManifest parsed = manifest();
    EXPECT_EQ(parsed.major * 10000 + parsed.minor * 100 + parsed.patch, 10203);
    ASSERT_EQ(parsed.files.size(), files.size());
    std::string previous;
    for (const auto& entry : parsed.files) {
        EXPECT_LT(previous, entry.path) << "entries sorted by byte order";
        previous = entry.path;
        // The web server runs as another user.
        EXPECT_EQ(fs::status(content() / "launcher_files" / entry.path).permissions(),
                  fs::perms(0644))
            << entry.path;
    }
    EXPECT_FALSE(fs::exists(content() / ".km-publish-staging"));

    // The launcher's own check installs it from a web server in front of the content folder: it
    // holds every entry to its hash and size, and what it installed is the release byte for byte.
    TestServer server;
    server.serve_file_tree(content());
    TempDir install;
    CheckRecorder recorded;
    EXPECT_TRUE(
        updater::run_update_check({install.str(), server.host(), server.port()}, recorded, false));
    for (const auto& entry : parsed.files) {
        // An executable waits beside its place for the launcher's next start.
        EXPECT_EQ(install.read(entry.path + (entry.executable ? ".update" : "")),
                  files.at(entry.path))
            << entry.path;
    }
}

TEST_F(Publish, KmVerifyReportsEachKindOfDamage) {
    add("data/a.txt", "alpha");
    ASSERT_EQ(publish().exit_code, 0);
    const fs::path sig = content() / "update.manifest.json.sig";
    const fs::path a = content() / "launcher_files/data/a.txt";
    const fs::path pristine = dir_.path() / "pristine";
    fs::copy(content(), pristine, fs::copy_options::recursive);
    const struct {
        const char* named;  // what the report must name
        std::function<void()> damage;
    } cases[] = {
        {"update.manifest.json.sig: does not verify",
         [&] { write_file(content() / "update.manifest.json", manifest_text() + " "); }},
        {"data/a.txt", [&] { write_file(a, "alphA"); }},
        {"data/a.txt", [&] { write_file(a, "alpha!"); }},
        {"data/a.txt", [&] { fs::remove(a); }},
        {"update.manifest.json.sig", [&] { fs::remove(sig); }},
        {"update.manifest.json.sig", [&] { write_file(sig, read_file(sig).substr(0, 63)); }},
        {"update.manifest.json.sig", [&] { write_file(sig, read_file(sig) + "x"); }},
        // A planted link: the web server would serve whatever it comes to name.
        {"launcher_files/data: is a symbolic link",
         [&] {
             fs::rename(content() / "launcher_files/data", dir_.path() / "elsewhere");
             fs::create_directory_symlink(dir_.path() / "elsewhere",
                                          content() / "launcher_files/data");
         }},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.named);
        fs::remove_all(content());
        fs::remove_all(dir_.path() / "elsewhere");
        fs::copy(pristine, content(), fs::copy_options::recursive);
        c.damage();
        const ToolRun run = verify();
        EXPECT_EQ(run.exit_code, 1);
        EXPECT_NE(run.err.find(c.named), std::string::npos) << run.err;
        EXPECT_EQ(run.out, "");
    }
}

TEST_F(Publish, SameReleaseGivesTheSameBytesAndRepublishingWritesOnlyWhatChanged) {
    const std::vector<std::pair<std::string, std::string>> files = {
        {"Game_x64_win.exe", "game v1"},
        {"data/keep.txt", "unchanged"},
        {"Data/A.bin", "A"},
        {"data/old/gone.txt", "dropped in v2"},
        {"web", "a file that becomes a folder"}};
    add_all(files);
    ASSERT_EQ(publish({}, "1.0.0").exit_code, 0);
    const std::string first = manifest_text() + read_file(content() / "update.manifest.json.sig");
    // Another content folder, files created in the opposite order.
    fs::remove_all(content());
    fs::remove_all(release());
    add_all(std::vector(files.rbegin(), files.rend()));
    ASSERT_EQ(publish({}, "1.0.0").exit_code, 0);
    EXPECT_EQ(manifest_text() + read_file(content() / "update.manifest.json.sig"), first);

    const ino_t before = inode(content() / "update.manifest.json");
    const ToolRun again = publish({}, "1.0.0");
    EXPECT_NE(again.out.find("0 written, 0 removed, manifest unchanged"), std::string::npos)
        << again.out;
    EXPECT_EQ(inode(content() / "update.manifest.json"), before);

    const ino_t kept = inode(content() / "launcher_files/data/keep.txt");
    fs::remove_all(release());
    const std::map<std::string, std::string> v2 = {{"Game_x64_win.exe", "game v2"},
                                                   {"data/keep.txt", "unchanged"},
                                                   {"Data/A.bin", "A"},
                                                   {"web/index.html", "page"}};
    add_all(v2);
    const ToolRun run = publish({}, "2.0.0");
    EXPECT_NE(run.out.find("2 written, 1 removed"), std::string::npos) << run.out;
    std::map<std::string, std::string> expected = v2;
    expected.insert({{"Data", "<dir>"}, {"data", "<dir>"}, {"web", "<dir>"}});
    EXPECT_EQ(snapshot(content() / "launcher_files"), expected);
    // An unchanged file is left alone, so clients mid-download of it are not disturbed.
    EXPECT_EQ(inode(content() / "launcher_files/data/keep.txt"), kept);
    EXPECT_EQ(manifest().major, 2);
    // Going back takes a word of the operator's (a lower version is refused without it).
    EXPECT_EQ(publish({"--allow-downgrade"}, "1.0.0").exit_code, 0);
    EXPECT_EQ(manifest().major, 1);
}

TEST_F(Publish, LeavesOutPlayerFilesAndMarksOnlyFinishedExecutables) {
    for (const char* path : {"launcher.ini", "settings.ini", "launcher_verify_cache.txt",
                             "cache/banners/top.png", "updates/Game_x64_win.exe",
                             "Game_x64_win.exe.update", "data/a.map.old", "Game.pdb", "logs/x"}) {
        add(path, "not published");
    }
    const std::map<std::string, bool> expected = {
        {"Launcher.exe", true},          {"Launcher", true},           {"Game_x64_win.exe", true},
        {"Game_x64_win_beta.exe", true}, {"Game_x64_eu.exe", true},    {"bin/Launcher.exe", false},
        {"bin/helper.exe", true},        {"data/settings.ini", false}, {"web/cache/app.js", false},
    };
    for (const auto& [path, executable] : expected) {
        add(path, "content of " + path);
    }
    const ToolRun run = publish({"--game-exe", "Game_x64_eu.exe", "--executable",
                                 "./bin/helper.exe", "--exclude", "*.pdb", "--exclude", "logs/"});
    ASSERT_EQ(run.exit_code, 0) << run.err;
    // The launcher never finishes a pending replacement for bin/helper.exe: say so.
    EXPECT_NE(run.err.find("bin/helper.exe"), std::string::npos) << run.err;
    std::map<std::string, bool> executables;
    for (const auto& entry : manifest().files) {
        executables[entry.path] = entry.executable;
    }
    EXPECT_EQ(executables, expected);
}

TEST_F(Publish, ManifestNameAndPlatformFollowTheDeployment) {
    add("Game_x64_win.exe", "game");
    ASSERT_EQ(publish({"--manifest-name", "/beta/m.json", "--platform", "windows"}).exit_code, 0);
    EXPECT_EQ(verify({"--manifest-name", "/beta/m.json"}).exit_code, 0);
    EXPECT_EQ(verify().exit_code, 1);
    EXPECT_EQ(manifest("beta/m.json").files.at(0).platform, "windows");
    // Names only a Windows player cannot have are fine for a Linux-only release.
    add("con.txt", "device name on Windows");
    EXPECT_EQ(publish().exit_code, 1);
    EXPECT_EQ(publish({"--platform", "linux"}).exit_code, 0);
    EXPECT_EQ(manifest().files.at(0).platform, "linux");
}

}  // namespace
}  // namespace km::test
