// Runs a release tool from the build folder without a shell and collects what it printed; and a
// fixture with the development key, a release folder and a content folder.
#pragma once

#include <gtest/gtest.h>

#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "tests/support/temp_dir.h"

namespace km::test {

struct ToolRun {
    int exit_code = -1;  // -1 when it did not end normally
    std::string out;
    std::string err;
};

// `tool` is a file name in the build folder ("km-publish"). With `as_unprivileged`, the tool
// runs as the user "nobody" when the tests run as root, so that file permissions apply to it.
ToolRun run_tool(const std::string& tool, const std::vector<std::string>& args,
                 bool as_unprivileged = false);

// Every file and folder below `root` with its content ("<dir>" for folders).
std::map<std::string, std::string> snapshot(const std::filesystem::path& root);

// The public key of RFC 8032's first test vector and its private seed: the development key.
inline constexpr char dev_seed_hex[] =
    "9d61b19deffd5a60ba844af492ec2cc44449c5697b326919703bac031cae7f60";
inline constexpr char dev_public_hex[] =
    "d75a980182b10ab7d54bfed3c964073a0ee172f3daa62325af021a68f707511a";

class ToolTest : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_EQ(run_tool("km-keygen", {"--from-seed", dev_seed_hex, key().string()}).exit_code,
                  0);
        std::filesystem::create_directories(release());
    }
    std::filesystem::path key() const { return dir_.path() / "dev.pem"; }
    std::filesystem::path release() const { return dir_.path() / "release"; }
    std::filesystem::path content() const { return dir_.path() / "content"; }
    void add(const std::string& path, const std::string& data) const {
        dir_.write("release/" + path, data);
    }
    // Every (path, content) pair of `files`, in their order.
    template <typename Files>
    void add_all(const Files& files) const {
        for (const auto& [path, data] : files) {
            add(path, data);
        }
    }
    // Signed with the development key: programs that carry the test key are fine.
    std::vector<std::string> publish_args(const std::string& version = "1.2.3") const {
        return {"--key", key().string(),     "--version",
                version, "--from",           release().string(),
                "--to",  content().string(), "--allow-test-key"};
    }
    ToolRun publish(std::vector<std::string> extra = {}, const std::string& version = "1.2.3") {
        std::vector<std::string> args = publish_args(version);
        args.insert(args.end(), extra.begin(), extra.end());
        return run_tool("km-publish", args);
    }
    ToolRun verify(std::vector<std::string> extra = {}) const {
        std::vector<std::string> args = {"--public-key", dev_public_hex};
        args.insert(args.end(), extra.begin(), extra.end());
        args.push_back(content().string());
        return run_tool("km-verify", args);
    }
    std::string manifest_text() const { return read_file(content() / "update.manifest.json"); }

    TempDir dir_;
};

}  // namespace km::test
