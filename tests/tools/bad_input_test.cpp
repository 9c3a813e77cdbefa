// Bad input to the release tools: a clear message naming the culprit, a non-zero exit, and the
// content folder exactly as it was.
#include <gtest/gtest.h>

#include <cctype>
#include <filesystem>
#include <functional>

#include "tests/support/process.h"
#include "tests/tools/tool_runner.h"

namespace km::test {
namespace {

namespace fs = std::filesystem;

class PublishBadInput : public ToolTest {
  protected:
    void good_release() {
        fs::remove_all(release());
        add("Game_x64_win.exe", "game v2");
        add("data/a.txt", "alpha");
    }
};

TEST_F(PublishBadInput, RefusesWithAMessageNamingTheFileAndChangesNothing) {
    add("Game_x64_win.exe", "game v1");
    ASSERT_EQ(publish().exit_code, 0);
    const auto content_before = snapshot(content());
    using Args = std::vector<std::string>;
    using Files = std::vector<std::pair<std::string, std::string>>;
    const fs::path d = dir_.path();
    const auto with = [](const Args& extra) {
        return [extra](Args& args) { args.insert(args.end(), extra.begin(), extra.end()); };
    };
    const struct {
        const char* named;  // what the message must hold
        std::function<void(Args&)> spoil;
        int exit_code = 1;
        bool as_unprivileged = false;
    } cases[] = {
        {"data/leak.txt",
         [&](Args&) {
             write_file(d / "secret.txt", "outside");
             fs::create_symlink("../../secret.txt", d / "release/data/leak.txt");
         }},
        {"release/etc", [&](Args&) { fs::create_symlink("/etc", d / "release/etc"); }},
        {"data/gone.txt", [&](Args&) { fs::create_symlink("no", d / "release/data/gone.txt"); }},
        // Even a link that stays inside: players would get a copy, not the link.
        {"data/inside.txt: is a symbolic link",
         [&](Args&) { fs::create_symlink("a.txt", d / "release/data/inside.txt"); }},
        {"release-link: is a symbolic link",
         [&](Args& args) {
             fs::create_directory_symlink("release", d / "release-link");
             args[5] = (d / "release-link").string();
         }},
        // Leftovers of an interrupted km-sign are refused, never left out silently.
        {"Launcher.exe.km-sign.Qw3rTy: was left behind",
         [&](Args&) { add("Launcher.exe.km-sign.Qw3rTy", "half signed"); }},
        {"Game_x64_win.exe.km-sign.AbC123: was left behind",
         [&](Args&) { add("Game_x64_win.exe.km-sign.AbC123/signed", "x"); }},
        {"holds v1.2.3, newer than v1.2.2", [](Args& args) { args[3] = "1.2.2"; }},
        {"data/bad\\xFFname.txt", [&](Args&) { add("data/bad\xFFname.txt", "x"); }},
        {"data/a\\\\b.txt", [&](Args&) { add("data/a\\b.txt", "x"); }},
        {"data/what?.txt", [&](Args&) { add("data/what?.txt", "x"); }},
        {"data/a.txt", [&](Args&) { add("data/A.txt", "x"); }},
        // Letter case beyond Latin-1, which NTFS folds as well: Greek, Cyrillic, and the one
        // Latin-1 letter whose capital lies outside it.
        {"data/\xCE\xB1.txt: differs only in letter case from data/\xCE\x91.txt",
         [&](Args&) {
             add_all(Files{{"data/\xCE\xB1.txt", "a"}, {"data/\xCE\x91.txt", "A"}});
         }},
        {"data/\xD0\xB6/x: differs only in letter case from data/\xD0\x96/x",
         [&](Args&) {
             add_all(Files{{"data/\xD0\xB6/x", "a"}, {"data/\xD0\x96/x", "A"}});
         }},
        {"data/\xC5\xB8.txt: differs only in letter case from data/\xC3\xBF.txt",
         [&](Args&) {
             add_all(Files{{"data/\xC3\xBF.txt", "a"}, {"data/\xC5\xB8.txt", "A"}});
         }},
        {"data/pipe", [&](Args&) { ::mkfifo((d / "release/data/pipe").c_str(), 0644); }},
        {"data/huge.bin: is larger than the 64 GiB",  // sparse: no disk is used
         [&](Args&) {
             add("data/huge.bin", "");
             fs::resize_file(d / "release/data/huge.bin", (std::uintmax_t{64} << 30) + 1);
         }},
        {"data/locked.bin",
         [&](Args&) {
             // The tool runs as nobody when the tests run as root: it may read the key.
             fs::permissions(key(), fs::perms::others_read, fs::perm_options::add);
             add("data/locked.bin", "x");
             fs::permissions(d / "release/data/locked.bin", fs::perms::none);
         },
         1, true},
        {"rsa.pem: holds RSA",
         [&](Args& args) {
             args[1] = (d / "rsa.pem").string();
             wait_exit(spawn({"/usr/bin/openssl", "genpkey", "-quiet", "-algorithm", "RSA", "-out",
                              args[1]}),
                       std::chrono::seconds(60));
         }},
        {"junk.pem: is not a PEM private key",
         [&](Args& args) { args[1] = dir_.write("junk.pem", "not a key\n").string(); }},
        {"nokey.pem: No such file", [&](Args& args) { args[1] = (d / "nokey.pem").string(); }},
        {"bin/missing.exe", with({"--executable", "bin/missing.exe"})},
        {"release/out", [&](Args& args) { args[7] = (d / "release/out").string(); }},
        {"--version 1.2", [](Args& args) { args[3] = "1.2"; }, 2},
        {"--manifest-name", with({"--manifest-name", "launcher_files/m"}), 2},
        {"--manifest-name", with({"--manifest-name", "../m.json"}), 2},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.named);
        good_release();
        Args args = publish_args("2.0.0");
        c.spoil(args);
        const ToolRun run = run_tool("km-publish", args, c.as_unprivileged);
        EXPECT_EQ(run.exit_code, c.exit_code) << run.err;
        EXPECT_NE(run.err.find(c.named), std::string::npos) << run.err;
        EXPECT_EQ(snapshot(content()), content_before);
    }
    good_release();
    EXPECT_EQ(publish({}, "2.0.0").exit_code, 0);
}

// A launcher built with RFC 8032's test key installs whatever anyone signs with its published
// private half: no program that holds it is published without --allow-test-key.
TEST_F(PublishBadInput, ProgramThatTrustsTheTestKeyIsNotPublished) {
    const std::string hex = dev_public_hex;
    std::string upper = hex;
    for (char& c : upper)
        c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    const struct {
        const char* path;
        std::string data;
        bool refused;
    } cases[] = {
        // The key as the launcher compiles it in: this build's own tools link the same code.
        {"Launcher", read_file(fs::path(KM_TOOLS_DIR) / "km-verify"), true},
        {"bin/tool.dll", "MZ" + std::string(100, '\0') + upper, true},
        // Marked executable, and the key across two of the scan's reads.
        {"Game_x64_win.exe", std::string((1 << 20) - 10, 'x') + hex, true},
        {"data/keys.txt", hex, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.path);
        fs::remove_all(release());
        fs::remove_all(content());
        add(c.path, c.data);
        std::vector<std::string> args = publish_args();
        args.pop_back();  // --allow-test-key
        const ToolRun run = run_tool("km-publish", args);
        EXPECT_EQ(run.exit_code, c.refused ? 1 : 0) << run.err;
        EXPECT_EQ(run.err.find(std::string(c.path) + ": embeds RFC 8032's public test key") !=
                      std::string::npos,
                  c.refused)
            << run.err;
        EXPECT_EQ(fs::exists(content()), !c.refused);
        EXPECT_EQ(publish().exit_code, 0) << "with --allow-test-key";
    }
}

// A content folder, or a folder or file in it, that is a link to elsewhere: publishing would
// write into that folder and then delete what the release does not list there.
TEST_F(PublishBadInput, LinkedContentFolderIsNeitherWrittenThroughNorEmptied) {
    add("data/a.txt", "alpha");
    add("data/b.txt", "beta");
    ASSERT_EQ(publish({"--manifest-name", "beta/m.json"}).exit_code, 0);
    const fs::path d = dir_.path();
    const fs::path pristine = d / "pristine";
    fs::copy(content(), pristine, fs::copy_options::recursive);
    dir_.write("home/.ssh/authorized_keys", "ssh-ed25519 AAAA operator\n");
    fs::remove(release() / "data/b.txt");  // b.txt is what a publish would delete
    const fs::path home = d / "home";
    const fs::path files = content() / "launcher_files";
    const struct {
        const char* named;
        std::function<void()> plant;
        std::string to;
    } cases[] = {
        {"content/launcher_files: is a symbolic link",
         [&] {
             fs::rename(files, home / "data");
             fs::create_directory_symlink(home, files);
         }},
        {"launcher_files/data: is a symbolic link",
         [&] {
             fs::rename(files / "data", home / "data");
             fs::create_directory_symlink(home / "data", files / "data");
         }},
        {"launcher_files/data/b.txt: is a symbolic link",
         [&] {
             fs::remove(files / "data/b.txt");
             fs::create_symlink(home / ".ssh/authorized_keys", files / "data/b.txt");
         }},
        {"content/.km-publish-staging: is a symbolic link",
         [&] { fs::create_directory_symlink(home, content() / ".km-publish-staging"); }},
        {"content/beta: is a symbolic link",
         [&] {
             fs::rename(content() / "beta", home / "beta");
             fs::create_directory_symlink(home / "beta", content() / "beta");
         }},
        {"content-link: is a symbolic link",
         [&] { fs::create_directory_symlink(content(), d / "content-link"); },
         (d / "content-link").string()},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.named);
        fs::remove_all(content());
        fs::copy(pristine, content(), fs::copy_options::recursive);
        fs::remove_all(home);
        dir_.write("home/.ssh/authorized_keys", "ssh-ed25519 AAAA operator\n");
        c.plant();
        const auto home_before = snapshot(home);
        const auto content_before = snapshot(content());
        std::vector<std::string> args = publish_args("2.0.0");
        if (!c.to.empty())
            args[7] = c.to;
        args.insert(args.end(), {"--manifest-name", "beta/m.json"});
        const ToolRun run = run_tool("km-publish", args);
        EXPECT_EQ(run.exit_code, 1);
        EXPECT_NE(run.err.find(c.named), std::string::npos) << run.err;
        EXPECT_EQ(snapshot(home), home_before);
        EXPECT_EQ(snapshot(content()), content_before);
        fs::remove(d / "content-link");
    }
}

TEST(ToolUsage, HelpAndUsageErrors) {
    TempDir dir;
    const struct {
        const char* tool;
        std::vector<std::string> args;
        int exit_code;
    } cases[] = {
        {"km-keygen", {"--help"}, 0},
        {"km-publish", {"--help"}, 0},
        {"km-verify", {"--help"}, 0},
        {"km-keygen", {}, 2},
        {"km-keygen", {"a.pem", "b.pem"}, 2},
        {"km-keygen", {"--from-seed", "abcd", "a.pem"}, 2},
        {"km-keygen", {"--from-seed", std::string(63, 'a') + "g", "a.pem"}, 2},
        {"km-keygen", {"--bogus", "a.pem"}, 2},
        {"km-publish", {"--key", "k", "--version", "1.0.0", "--from", "r"}, 2},
        {"km-publish",
         {"--key", "k", "--key", "k", "--version", "1.0.0", "--from", "r", "--to", "c"},
         2},
        {"km-publish", {"--key"}, 2},
        {"km-verify", {dir.str()}, 2},
        {"km-verify", {"--public-key", "d75a98", dir.str()}, 2},
        {"km-verify", {"--public-key", dev_public_hex, (dir.path() / "none").string()}, 1},
    };
    for (const auto& c : cases) {
        const ToolRun run = run_tool(c.tool, c.args);
        EXPECT_EQ(run.exit_code, c.exit_code) << c.tool << testing::PrintToString(c.args);
        EXPECT_NE((c.exit_code == 0 ? run.out : run.err).find(c.exit_code ? c.tool : "Usage: "),
                  std::string::npos);
    }
    EXPECT_FALSE(fs::exists("a.pem"));
}

TEST_F(PublishBadInput, KeygenWritesAFreshOwnerOnlyKeyItPrintsAndNeverOverwritesOrFollowsLinks) {
    const ToolRun run = run_tool("km-keygen", {dir_.str() + "/signer.pem"});
    ASSERT_EQ(run.exit_code, 0) << run.err;
    EXPECT_EQ(fs::status(dir_.path() / "signer.pem").permissions(),
              fs::perms::owner_read | fs::perms::owner_write);
    EXPECT_NE(run_tool("km-keygen", {dir_.str() + "/second.pem"}).out, run.out);
    // What it printed verifies what the key signs.
    good_release();
    std::vector<std::string> args = publish_args();
    args[1] = dir_.str() + "/signer.pem";
    ASSERT_EQ(run_tool("km-publish", args).exit_code, 0);
    EXPECT_EQ(run_tool("km-verify", {"--public-key", run.out.substr(0, 64), content().string()})
                  .exit_code,
              0);
    EXPECT_EQ(verify().exit_code, 1);
    // The operator's only copy is never replaced, nor a file written through a link.
    const std::string key_text = read_file(dir_.path() / "signer.pem");
    const ToolRun again = run_tool("km-keygen", {dir_.str() + "/signer.pem"});
    EXPECT_EQ(again.exit_code, 1);
    EXPECT_NE(again.err.find("signer.pem: already exists"), std::string::npos) << again.err;
    EXPECT_EQ(read_file(dir_.path() / "signer.pem"), key_text);
    fs::create_symlink(dir_.path() / "elsewhere.pem", dir_.path() / "link.pem");
    EXPECT_EQ(run_tool("km-keygen", {dir_.str() + "/link.pem"}).exit_code, 1);
    EXPECT_FALSE(fs::exists(dir_.path() / "elsewhere.pem"));
}

}  // namespace
}  // namespace km::test
