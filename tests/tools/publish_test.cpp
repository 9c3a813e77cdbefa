// km-keygen, km-publish and km-verify run as an operator runs them, on real folders.
#include <gtest/gtest.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <sys/stat.h>

#include <filesystem>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "km/build_config.h"
#include "tests/support/temp_dir.h"
#include "tests/tools/tool_runner.h"
#include "updater/manifest.h"

namespace km {
namespace {

namespace fs = std::filesystem;
using test::run_tool;
using test::ToolRun;

std::string sha256_oracle(const std::string& data) {
    unsigned char digest[32];
    unsigned int size = 0;
    EVP_Digest(data.data(), data.size(), digest, &size, EVP_sha256(), nullptr);
    static const char hex[] = "0123456789abcdef";
    std::string out;
    for (unsigned i = 0; i < size; ++i) {
        out += hex[digest[i] >> 4];
        out += hex[digest[i] & 15];
    }
    return out;
}

bool openssl_verifies(const std::string& public_hex, const std::string& signature,
                      const std::string& message) {
    unsigned char pub[32];
    for (int i = 0; i < 32; ++i) {
        pub[i] = static_cast<unsigned char>(std::stoi(public_hex.substr(2 * i, 2), nullptr, 16));
    }
    std::unique_ptr<EVP_PKEY, decltype(&EVP_PKEY_free)> key(
        EVP_PKEY_new_raw_public_key(EVP_PKEY_ED25519, nullptr, pub, 32), EVP_PKEY_free);
    std::unique_ptr<EVP_MD_CTX, decltype(&EVP_MD_CTX_free)> ctx(EVP_MD_CTX_new(), EVP_MD_CTX_free);
    return key && ctx &&
           EVP_DigestVerifyInit(ctx.get(), nullptr, nullptr, nullptr, key.get()) == 1 &&
           EVP_DigestVerify(ctx.get(), reinterpret_cast<const unsigned char*>(signature.data()),
                            signature.size(),
                            reinterpret_cast<const unsigned char*>(message.data()),
                            message.size()) == 1;
}

// Every file and folder below `root` with its content ("<dir>" for folders).
std::map<std::string, std::string> snapshot(const fs::path& root) {
    std::map<std::string, std::string> out;
    std::error_code ec;
    for (fs::recursive_directory_iterator it(root, ec), end; !ec && it != end; it.increment(ec)) {
        const std::string rel = it->path().lexically_relative(root).generic_string();
        out[rel] = it->is_directory() ? "<dir>" : test::read_file(it->path());
    }
    return out;
}

class Publish : public ::testing::Test {
  protected:
    void SetUp() override {
        const ToolRun keygen =
            run_tool("km-keygen", {"--from-seed", test::dev_seed_hex, key().string()});
        ASSERT_EQ(keygen.exit_code, 0) << keygen.err;
        fs::create_directories(release());
    }

    fs::path key() const { return dir_.path() / "dev.pem"; }
    fs::path release() const { return dir_.path() / "release"; }
    fs::path content() const { return dir_.path() / "content"; }
    void add(const std::string& path, const std::string& data) const {
        dir_.write("release/" + path, data);
    }
    ToolRun publish(std::vector<std::string> extra = {}, const std::string& version = "1.2.3",
                    bool as_unprivileged = false) const {
        std::vector<std::string> args = {"--key", key().string(),    "--version",
                                         version, "--from",          release().string(),
                                         "--to",  content().string()};
        args.insert(args.end(), extra.begin(), extra.end());
        return run_tool("km-publish", args, as_unprivileged);
    }
    ToolRun verify(std::vector<std::string> extra = {}) const {
        std::vector<std::string> args = {"--public-key", test::dev_public_hex};
        args.insert(args.end(), extra.begin(), extra.end());
        args.push_back(content().string());
        return run_tool("km-verify", args);
    }
    std::string manifest_text() const {
        return test::read_file(content() / "update.manifest.json");
    }
    std::string signature() const {
        return test::read_file(content() / "update.manifest.json.sig");
    }
    updater::UpdateManifest manifest() const {
        updater::UpdateManifest parsed;
        EXPECT_TRUE(updater::parse_manifest(manifest_text(), parsed));
        return parsed;
    }
    std::map<std::string, bool> executables() const {
        std::map<std::string, bool> out;
        for (const auto& entry : manifest().files) {
            out[entry.path] = entry.executable;
        }
        return out;
    }

    test::TempDir dir_;
};

TEST_F(Publish, ReleaseIsAcceptedByTheLaunchersVerifierParserAndOpenSSL) {
    const std::map<std::string, std::string> files = {
        {"Launcher.exe", "MZ launcher"},
        {"Game_x64_win.exe", "MZ game"},
        {"web/index.html", "<html></html>"},
        {"data/maps/arena.map", std::string(300000, 'm') + "\x00\xFF"},
        {"data/empty.bin", ""},
        {"donn\xC3\xA9"
         "es/\xC3\xA9t\xC3\xA9.txt",
         "summer"},
        {"a b/with blank.txt", "x"},
    };
    for (const auto& [path, data] : files) {
        add(path, data);
    }
    const ToolRun run = publish();
    ASSERT_EQ(run.exit_code, 0) << run.err;
    EXPECT_NE(run.out.find(test::dev_public_hex), std::string::npos) << run.out;

    const ToolRun checked = verify();
    EXPECT_EQ(checked.exit_code, 0) << checked.err;
    EXPECT_NE(checked.out.find("OK: "), std::string::npos);

    const std::string text = manifest_text();
    const std::string sig = signature();
    ASSERT_EQ(sig.size(), 64u);
    // Test builds compile in the development key.
    ASSERT_STREQ(build::manifest_public_key_hex, test::dev_public_hex);
    EXPECT_TRUE(updater::verify_manifest_signature(
        reinterpret_cast<const std::uint8_t*>(sig.data()),
        reinterpret_cast<const std::uint8_t*>(text.data()), text.size()));
    EXPECT_TRUE(openssl_verifies(test::dev_public_hex, sig, text));

    const updater::UpdateManifest parsed = manifest();
    EXPECT_EQ(parsed.major, 1);
    EXPECT_EQ(parsed.minor, 2);
    EXPECT_EQ(parsed.patch, 3);
    ASSERT_EQ(parsed.files.size(), files.size());
    std::string previous;
    for (const auto& entry : parsed.files) {
        EXPECT_LT(previous, entry.path) << "entries sorted by byte order";
        previous = entry.path;
        ASSERT_EQ(files.count(entry.path), 1u) << entry.path;
        const std::string& data = files.at(entry.path);
        EXPECT_EQ(entry.sha256, sha256_oracle(data)) << entry.path;
        EXPECT_EQ(entry.size, data.size()) << entry.path;
        EXPECT_EQ(entry.platform, "") << entry.path;
        const fs::path served = content() / "launcher_files" / entry.path;
        EXPECT_EQ(test::read_file(served), data) << entry.path;
        // The web server runs as another user.
        struct stat st {};
        ASSERT_EQ(::stat(served.c_str(), &st), 0);
        EXPECT_EQ(st.st_mode & 0777, 0644u) << entry.path;
    }
    EXPECT_FALSE(fs::exists(content() / ".km-publish-staging"));
}

TEST_F(Publish, KmVerifyReportsEachKindOfDamage) {
    add("Game_x64_win.exe", "game");
    add("data/a.txt", "alpha");
    add("data/b.txt", "beta");
    ASSERT_EQ(publish().exit_code, 0);
    const fs::path manifest_path = content() / "update.manifest.json";
    const fs::path sig_path = content() / "update.manifest.json.sig";
    const fs::path file_a = content() / "launcher_files/data/a.txt";
    const struct {
        const char* name;
        std::function<void()> damage;
        const char* named;  // what the report must name
    } cases[] = {
        {"one byte of the manifest changed",
         [&] {
             std::string text = test::read_file(manifest_path);
             text[text.find("\"minor\": 2") + 9] = '3';
             test::write_file(manifest_path, text);
         },
         "update.manifest.json.sig"},
        {"a newline added to the manifest",
         [&] { test::write_file(manifest_path, test::read_file(manifest_path) + "\n"); },
         "update.manifest.json.sig"},
        {"a file's content changed, same size", [&] { test::write_file(file_a, "alphA"); },
         "data/a.txt"},
        {"a file grew", [&] { test::write_file(file_a, "alpha!"); }, "data/a.txt"},
        {"a file missing", [&] { fs::remove(file_a); }, "data/a.txt"},
        {"the signature missing", [&] { fs::remove(sig_path); }, "update.manifest.json.sig"},
        {"the signature one byte short",
         [&] { test::write_file(sig_path, test::read_file(sig_path).substr(0, 63)); },
         "update.manifest.json.sig"},
        {"the signature written as hex",
         [&] {
             std::string hex;
             for (unsigned char c : test::read_file(sig_path)) {
                 hex += "0123456789abcdef"[c >> 4];
                 hex += "0123456789abcdef"[c & 15];
             }
             test::write_file(sig_path, hex);
         },
         "update.manifest.json.sig"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const auto before = snapshot(content());
        c.damage();
        const ToolRun run = verify();
        EXPECT_EQ(run.exit_code, 1) << run.out;
        EXPECT_NE(run.err.find(c.named), std::string::npos) << run.err;
        EXPECT_EQ(run.out, "");
        // Put the release back for the next case.
        fs::remove_all(content());
        for (const auto& [rel, data] : before) {
            if (data == "<dir>") {
                fs::create_directories(content() / rel);
            } else {
                test::write_file(content() / rel, data);
            }
        }
        ASSERT_EQ(verify().exit_code, 0);
    }

    // A release signed by another key is refused under the built-in one.
    const ToolRun other =
        run_tool("km-verify", {"--public-key",
                               "3d4017c3e843895a92b70aa74d1b7ebc9c982ccf2ec4968cc0cd55f12af4660c",
                               content().string()});
    EXPECT_EQ(other.exit_code, 1);
    EXPECT_NE(other.err.find("does not verify"), std::string::npos) << other.err;
}

TEST_F(Publish, SameReleaseGivesTheSameBytes) {
    add("Launcher.exe", "launcher");
    add("data/z.txt", "z");
    add("data/a.txt", "a");
    add("Data/A.bin", std::string(70000, '\x01'));
    ASSERT_EQ(publish().exit_code, 0);
    const std::string first_manifest = manifest_text();
    const std::string first_signature = signature();

    // A second content folder, and files created in the opposite order.
    fs::remove_all(content());
    fs::remove_all(release());
    add("Data/A.bin", std::string(70000, '\x01'));
    add("data/a.txt", "a");
    add("data/z.txt", "z");
    add("Launcher.exe", "launcher");
    ASSERT_EQ(publish().exit_code, 0);
    EXPECT_EQ(manifest_text(), first_manifest);
    EXPECT_EQ(signature(), first_signature);

    // Publishing it over itself changes nothing on disk.
    struct stat before {};
    ASSERT_EQ(::stat((content() / "update.manifest.json").c_str(), &before), 0);
    const ToolRun again = publish();
    ASSERT_EQ(again.exit_code, 0) << again.err;
    EXPECT_NE(again.out.find("0 written, 0 removed, manifest unchanged"), std::string::npos)
        << again.out;
    struct stat after {};
    ASSERT_EQ(::stat((content() / "update.manifest.json").c_str(), &after), 0);
    EXPECT_EQ(before.st_ino, after.st_ino);
}

TEST_F(Publish, LeavesOutPlayerFilesAndMarksOnlyFinishedExecutables) {
    for (const char* path :
         {"launcher.ini", "settings.ini", "launcher_verify_cache.txt", "cache/webview/x",
          "cache/banners/top.png", "updates/Game_x64_win.exe", "Game_x64_win.exe.update",
          "Launcher.exe.old", "data/maps/arena.map.old", "symbols/Game.pdb", "logs/today.log"}) {
        add(path, "not published");
    }
    const std::vector<std::string> published = {
        "Launcher.exe",     "Launcher",         "Game_x64_win.exe", "Game_x64_win_beta.exe",
        "Game_x64_eu.exe",  "bin/Launcher.exe", "bin/helper.exe",   "data/settings.ini",
        "web/cache/app.js", "data/link.txt",
    };
    for (const std::string& path : published) {
        if (path != "data/link.txt") {
            add(path, "content of " + path);
        }
    }
    // A link to a file inside the release is published as that file.
    fs::create_symlink("../web/cache/app.js", release() / "data/link.txt");

    const ToolRun run = publish({"--game-exe", "Game_x64_eu.exe", "--executable",
                                 "./bin/helper.exe", "--exclude", "*.pdb", "--exclude", "logs/"});
    ASSERT_EQ(run.exit_code, 0) << run.err;
    // The launcher never finishes a pending replacement for bin/helper.exe: say so.
    EXPECT_NE(run.err.find("bin/helper.exe"), std::string::npos) << run.err;

    const std::map<std::string, bool> expected = {
        {"Launcher.exe", true},          {"Launcher", true},           {"Game_x64_win.exe", true},
        {"Game_x64_win_beta.exe", true}, {"Game_x64_eu.exe", true},    {"bin/Launcher.exe", false},
        {"bin/helper.exe", true},        {"data/settings.ini", false}, {"web/cache/app.js", false},
        {"data/link.txt", false},
    };
    EXPECT_EQ(executables(), expected);
    EXPECT_EQ(test::read_file(content() / "launcher_files/data/link.txt"),
              "content of web/cache/app.js");
    EXPECT_FALSE(fs::is_symlink(content() / "launcher_files/data/link.txt"));
    EXPECT_EQ(verify().exit_code, 0);
}

TEST_F(Publish, ReplacingAReleaseWritesChangesAndRemovesWhatIsNoLongerListed) {
    add("Game_x64_win.exe", "game v1");
    add("data/keep.txt", "unchanged");
    add("data/old/gone.txt", "dropped in v2");
    add("web", "a file that becomes a folder");
    ASSERT_EQ(publish({}, "1.0.0").exit_code, 0);
    struct stat kept_before {};
    ASSERT_EQ(::stat((content() / "launcher_files/data/keep.txt").c_str(), &kept_before), 0);

    fs::remove_all(release());
    add("Game_x64_win.exe", "game v2");
    add("data/keep.txt", "unchanged");
    add("web/index.html", "page");
    add("data/new.txt", "new in v2");
    const ToolRun run = publish({}, "2.0.0");
    ASSERT_EQ(run.exit_code, 0) << run.err;
    EXPECT_NE(run.out.find("3 written, 1 removed"), std::string::npos) << run.out;

    std::map<std::string, std::string> served;
    for (const auto& [rel, data] : snapshot(content() / "launcher_files")) {
        served[rel] = data;
    }
    const std::map<std::string, std::string> expected = {
        {"Game_x64_win.exe", "game v2"}, {"data", "<dir>"}, {"data/keep.txt", "unchanged"},
        {"data/new.txt", "new in v2"},   {"web", "<dir>"},  {"web/index.html", "page"},
    };
    EXPECT_EQ(served, expected);
    // An unchanged file is left alone, so clients mid-download of it are not disturbed.
    struct stat kept_after {};
    ASSERT_EQ(::stat((content() / "launcher_files/data/keep.txt").c_str(), &kept_after), 0);
    EXPECT_EQ(kept_before.st_ino, kept_after.st_ino);
    EXPECT_EQ(manifest().major, 2);
    EXPECT_EQ(verify().exit_code, 0);
}

TEST_F(Publish, ManifestNameAndPlatformFollowTheDeployment) {
    add("Game_x64_win.exe", "game");
    const ToolRun run =
        publish({"--manifest-name", "/beta/update.manifest.json", "--platform", "windows"});
    ASSERT_EQ(run.exit_code, 0) << run.err;
    EXPECT_FALSE(fs::exists(content() / "update.manifest.json"));
    EXPECT_EQ(test::read_file(content() / "beta/update.manifest.json.sig").size(), 64u);
    EXPECT_EQ(verify({"--manifest-name", "/beta/update.manifest.json"}).exit_code, 0);
    EXPECT_EQ(verify().exit_code, 1);
    updater::UpdateManifest parsed;
    ASSERT_TRUE(
        updater::parse_manifest(test::read_file(content() / "beta/update.manifest.json"), parsed));
    ASSERT_EQ(parsed.files.size(), 1u);
    EXPECT_EQ(parsed.files[0].platform, "windows");

    // Names only a Windows player cannot have are fine for a Linux-only release.
    add("con.txt", "device name on Windows");
    EXPECT_EQ(publish().exit_code, 1);
    EXPECT_EQ(publish({"--platform", "linux"}).exit_code, 0);
}

}  // namespace
}  // namespace km
