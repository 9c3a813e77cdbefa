// Bad input to the release tools: a clear message naming the culprit, a non-zero exit, and the
// content folder exactly as it was.
#include <gtest/gtest.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/rsa.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "tests/support/temp_dir.h"
#include "tests/tools/tool_runner.h"

namespace km {
namespace {

namespace fs = std::filesystem;
using test::run_tool;
using test::ToolRun;

std::map<std::string, std::string> snapshot(const fs::path& root) {
    std::map<std::string, std::string> out;
    std::error_code ec;
    for (fs::recursive_directory_iterator it(root, ec), end; !ec && it != end; it.increment(ec)) {
        const std::string rel = it->path().lexically_relative(root).generic_string();
        out[rel] = it->is_directory() ? "<dir>" : test::read_file(it->path());
    }
    return out;
}

void write_pem_key(EVP_PKEY* key, const fs::path& path) {
    std::FILE* file = std::fopen(path.c_str(), "w");
    ASSERT_NE(file, nullptr);
    EXPECT_EQ(PEM_write_PrivateKey(file, key, nullptr, nullptr, 0, nullptr, nullptr), 1);
    std::fclose(file);
}

struct BadCase {
    const char* name;
    // Spoils the release (or the arguments); returns the text the message must hold.
    std::function<std::string(const fs::path& dir, std::vector<std::string>& args)> spoil;
    int exit_code = 1;
    bool as_unprivileged = false;
};

class PublishBadInput : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_EQ(
            run_tool("km-keygen", {"--from-seed", test::dev_seed_hex, key().string()}).exit_code,
            0);
        dir_.write("release/Game_x64_win.exe", "game v1");
        dir_.write("release/data/a.txt", "alpha");
        ASSERT_EQ(publish().exit_code, 0);
        // The next release differs, so a publish that went through would show.
        dir_.write("release/Game_x64_win.exe", "game v2");
        dir_.write("release/data/b.txt", "beta");
    }
    fs::path key() const { return dir_.path() / "dev.pem"; }
    std::vector<std::string> default_args() const {
        return {"--key", key().string(),    "--version",
                "2.0.0", "--from",          (dir_.path() / "release").string(),
                "--to",  content().string()};
    }
    fs::path content() const { return dir_.path() / "content"; }
    ToolRun publish(std::vector<std::string> args = {}, bool as_unprivileged = false) const {
        return run_tool("km-publish", args.empty() ? default_args() : args, as_unprivileged);
    }

    test::TempDir dir_;
};

TEST_F(PublishBadInput, RefusesWithAMessageNamingTheFileAndChangesNothing) {
    const BadCase cases[] = {
        {"symbolic link that leaves the release folder",
         [](const fs::path& dir, std::vector<std::string>&) {
             test::write_file(dir / "secret.txt", "outside");
             fs::create_symlink("../../secret.txt", dir / "release/data/leak.txt");
             return std::string("data/leak.txt");
         }},
        {"absolute link to a folder outside",
         [](const fs::path& dir, std::vector<std::string>&) {
             fs::create_symlink("/etc", dir / "release/etc");
             return std::string("release/etc");
         }},
        {"link that leads nowhere",
         [](const fs::path& dir, std::vector<std::string>&) {
             fs::create_symlink("missing.txt", dir / "release/data/dangling.txt");
             return std::string("data/dangling.txt");
         }},
        {"name that is not UTF-8",
         [](const fs::path& dir, std::vector<std::string>&) {
             test::write_file(dir / "release/data/bad\xFFname.txt", "x");
             return std::string("data/bad\\xFFname.txt");
         }},
        {"name with a backslash",
         [](const fs::path& dir, std::vector<std::string>&) {
             test::write_file(dir / "release/data/a\\b.txt", "x");
             return std::string("data/a\\\\b.txt");
         }},
        {"name Windows cannot hold",
         [](const fs::path& dir, std::vector<std::string>&) {
             test::write_file(dir / "release/data/what?.txt", "x");
             return std::string("data/what?.txt");
         }},
        {"two names that are one file on Windows",
         [](const fs::path& dir, std::vector<std::string>&) {
             test::write_file(dir / "release/data/A.txt", "x");
             return std::string("data/a.txt");
         }},
        {"something that is not a file",
         [](const fs::path& dir, std::vector<std::string>&) {
             EXPECT_EQ(::mkfifo((dir / "release/data/pipe").c_str(), 0644), 0);
             return std::string("data/pipe");
         }},
        {"unreadable file",
         [](const fs::path& dir, std::vector<std::string>&) {
             // The tool runs as nobody when the tests run as root: let it reach everything
             // else, and its key too.
             for (const auto& entry : fs::recursive_directory_iterator(dir)) {
                 if (!entry.is_symlink()) {
                     fs::permissions(entry.path(), fs::perms::others_read,
                                     fs::perm_options::add);
                 }
             }
             fs::permissions(dir / "dev.pem", fs::perms::others_read, fs::perm_options::add);
             test::write_file(dir / "release/data/locked.bin", "x");
             fs::permissions(dir / "release/data/locked.bin", fs::perms::none);
             return std::string("data/locked.bin");
         },
         1, true},
        {"RSA key",
         [](const fs::path& dir, std::vector<std::string>& args) {
             EVP_PKEY* rsa = EVP_RSA_gen(2048);
             write_pem_key(rsa, dir / "rsa.pem");
             EVP_PKEY_free(rsa);
             args[1] = (dir / "rsa.pem").string();
             return std::string("rsa.pem: holds RSA");
         }},
        {"garbage key",
         [](const fs::path& dir, std::vector<std::string>& args) {
             test::write_file(dir / "garbage.pem", "this is not a key\n");
             args[1] = (dir / "garbage.pem").string();
             return std::string("garbage.pem: is not a PEM private key");
         }},
        {"missing key",
         [](const fs::path& dir, std::vector<std::string>& args) {
             args[1] = (dir / "nokey.pem").string();
             return std::string("nokey.pem: No such file");
         }},
        {"--executable naming nothing published",
         [](const fs::path&, std::vector<std::string>& args) {
             args.insert(args.end(), {"--executable", "bin/missing.exe"});
             return std::string("bin/missing.exe");
         }},
        {"content folder inside the release folder",
         [](const fs::path& dir, std::vector<std::string>& args) {
             args[7] = (dir / "release/out").string();
             return std::string("release/out");
         }},
        {"version with two numbers",
         [](const fs::path&, std::vector<std::string>& args) {
             args[3] = "1.2";
             return std::string("--version 1.2");
         },
         2},
        {"version with a letter",
         [](const fs::path&, std::vector<std::string>& args) {
             args[3] = "1.2.x";
             return std::string("--version 1.2.x");
         },
         2},
        {"version beyond an int",
         [](const fs::path&, std::vector<std::string>& args) {
             args[3] = "1.2.4294967296";
             return std::string("--version");
         },
         2},
        {"manifest name inside launcher_files",
         [](const fs::path&, std::vector<std::string>& args) {
             args.insert(args.end(), {"--manifest-name", "launcher_files/m.json"});
             return std::string("--manifest-name");
         },
         2},
        {"manifest name leaving the content folder",
         [](const fs::path&, std::vector<std::string>& args) {
             args.insert(args.end(), {"--manifest-name", "../m.json"});
             return std::string("--manifest-name");
         },
         2},
    };
    const fs::path dir = dir_.path();
    const auto release_before = snapshot(dir / "release");
    const auto content_before = snapshot(content());
    for (const BadCase& c : cases) {
        SCOPED_TRACE(c.name);
        std::vector<std::string> args = default_args();
        const std::string named = c.spoil(dir, args);
        const ToolRun run = publish(args, c.as_unprivileged);
        EXPECT_EQ(run.exit_code, c.exit_code) << run.err;
        EXPECT_NE(run.err.find(named), std::string::npos) << run.err;
        EXPECT_EQ(snapshot(content()), content_before);

        // Back to the good release, which must still publish afterwards.
        std::error_code ec;
        for (const auto& entry : fs::recursive_directory_iterator(dir / "release", ec)) {
            if (!entry.is_symlink()) {
                fs::permissions(entry.path(), fs::perms::owner_all, fs::perm_options::add, ec);
            }
        }
        for (const auto& entry : fs::directory_iterator(dir / "release/data")) {
            if (release_before.count("data/" + entry.path().filename().string()) == 0) {
                fs::remove(entry.path());
            }
        }
        fs::remove(dir / "release/etc");
        fs::remove_all(dir / "release/out");
        ASSERT_EQ(snapshot(dir / "release"), release_before);
    }
    const ToolRun good = publish();
    EXPECT_EQ(good.exit_code, 0) << good.err;
}

TEST(ToolUsage, HelpAndUsageErrors) {
    test::TempDir dir;
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
        {"km-publish", {}, 2},
        {"km-publish", {"--key", "k", "--version", "1.0.0", "--from", "r"}, 2},
        {"km-publish",
         {"--key", "k", "--key", "k", "--version", "1.0.0", "--from", "r", "--to", "c"},
         2},
        {"km-publish", {"--key"}, 2},
        {"km-verify", {dir.str()}, 2},
        {"km-verify", {"--public-key", test::dev_public_hex}, 2},
        {"km-verify", {"--public-key", "d75a98", dir.str()}, 2},
        {"km-verify", {"--public-key", test::dev_public_hex, (dir.path() / "none").string()}, 1},
    };
    for (const auto& c : cases) {
        const ToolRun run = run_tool(c.tool, c.args);
        EXPECT_EQ(run.exit_code, c.exit_code)
            << c.tool << " " << testing::PrintToString(c.args) << "\n"
            << run.err;
        if (c.exit_code == 0) {
            EXPECT_NE(run.out.find("Usage: "), std::string::npos);
        } else {
            EXPECT_NE(run.err.find(c.tool), std::string::npos) << run.err;
        }
    }
    EXPECT_FALSE(fs::exists("a.pem"));
}

TEST(Keygen, WritesAnOwnerOnlyKeyWhosePublicHalfItPrints) {
    test::TempDir dir;
    const fs::path out = dir.path() / "signer.pem";
    const ToolRun run = run_tool("km-keygen", {out.string()});
    ASSERT_EQ(run.exit_code, 0) << run.err;
    ASSERT_EQ(run.out.size(), 65u) << run.out;
    const std::string printed = run.out.substr(0, 64);
    EXPECT_EQ(printed.find_first_not_of("0123456789abcdef"), std::string::npos);

    struct stat st {};
    ASSERT_EQ(::stat(out.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    std::FILE* file = std::fopen(out.c_str(), "r");
    ASSERT_NE(file, nullptr);
    EVP_PKEY* key = PEM_read_PrivateKey(file, nullptr, nullptr, nullptr);
    std::fclose(file);
    ASSERT_NE(key, nullptr);
    EXPECT_EQ(EVP_PKEY_get_base_id(key), EVP_PKEY_ED25519);
    unsigned char pub[32];
    std::size_t size = sizeof pub;
    ASSERT_EQ(EVP_PKEY_get_raw_public_key(key, pub, &size), 1);
    EVP_PKEY_free(key);
    std::string hex;
    for (unsigned char c : pub) {
        hex += "0123456789abcdef"[c >> 4];
        hex += "0123456789abcdef"[c & 15];
    }
    EXPECT_EQ(hex, printed);

    // Two runs never give the same key, and the development seed gives the known key.
    const ToolRun second = run_tool("km-keygen", {(dir.path() / "second.pem").string()});
    EXPECT_NE(second.out, run.out);
    const ToolRun dev =
        run_tool("km-keygen", {"--from-seed", test::dev_seed_hex, (dir.path() / "d.pem").string()});
    EXPECT_EQ(dev.out, std::string(test::dev_public_hex) + "\n");
}

TEST(Keygen, NeverOverwritesOrWritesThroughALink) {
    test::TempDir dir;
    const fs::path existing = dir.write("signer.pem", "the operator's only copy");
    const ToolRun run = run_tool("km-keygen", {existing.string()});
    EXPECT_EQ(run.exit_code, 1);
    EXPECT_NE(run.err.find("signer.pem: already exists"), std::string::npos) << run.err;
    EXPECT_EQ(test::read_file(existing), "the operator's only copy");

    const fs::path link = dir.path() / "link.pem";
    fs::create_symlink(dir.path() / "elsewhere.pem", link);
    EXPECT_EQ(run_tool("km-keygen", {link.string()}).exit_code, 1);
    EXPECT_FALSE(fs::exists(dir.path() / "elsewhere.pem"));
}

}  // namespace
}  // namespace km
