#include "launcher/beta/beta.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <thread>
#include <vector>

#include "km/build_config.h"
#include "platform/fake/fake_platform.h"
#include "tests/support/launcher/app_state_scope.h"
#include "tests/support/temp_dir.h"

namespace km {
namespace {

namespace fs = std::filesystem;

TEST(Base64, StandardAlphabetWithPaddingAndLenientDecoding) {
    const std::pair<std::string, std::string> cases[] = {{"f", "Zg=="},
                                                         {"fo", "Zm8="},
                                                         {"foobar", "Zm9vYmFy"},
                                                         {std::string("\xFF\xFE\0", 3), "//4A"}};
    for (const auto& c : cases) {
        EXPECT_EQ(base64_encode(c.first), c.second);
        EXPECT_EQ(base64_decode(c.second), c.first);
    }
    std::string all;
    for (int i = 0; i < 256; ++i)
        all += static_cast<char>(i);
    EXPECT_EQ(base64_decode(base64_encode(all)), all);
    // Blanks, line breaks and quotation marks are skipped; other foreign bytes count as zero.
    EXPECT_EQ(base64_decode("\"Zm9v\r\nYm Fy\""), "foobar");
    EXPECT_EQ(base64_decode("Zm,9v"), base64_decode("ZmA9v"));
    EXPECT_EQ(base64_decode("Z"), "");  // leftover bits dropped
}

class BetaCreds : public ::testing::Test {
  protected:
    void SetUp() override { fake::reset(); }
    test::TempDir dir_;
    test::ScopedExeDir scope_{dir_.str()};
};

TEST_F(BetaCreds, StoredFileHoldsExactlyTheBase64PairForTheOwnerOnly) {
    // Writers at once leave one whole file.
    std::vector<std::thread> writers;
    writers.reserve(8);
    for (int i = 0; i < 8; ++i)
        writers.emplace_back([i] {
            for (int j = 0; j < 50; ++j)
                save_beta_creds(std::string(100 + i, static_cast<char>('a' + i)),
                                std::string(200, 'p'));
        });
    for (auto& writer : writers)
        writer.join();
    const std::string content = dir_.read("cache/beta_creds.json");
    const std::string u = base64_decode(content.substr(6, content.find('"', 6) - 6));
    ASSERT_GE(u.size(), 100u);
    EXPECT_EQ(content, "{\"u\":\"" + base64_encode(std::string(u.size(), u[0])) + "\",\"p\":\"" +
                           base64_encode(std::string(200, 'p')) + "\"}");
    save_beta_creds("x", "y");  // replaced whole, no temporary file left behind
    EXPECT_EQ(dir_.read("cache/beta_creds.json"), "{\"u\":\"eA==\",\"p\":\"eQ==\"}");
    EXPECT_EQ(
        std::distance(fs::directory_iterator(dir_.path() / "cache"), fs::directory_iterator()), 1);
    if (build::windows_path_rules)
        return;  // POSIX permissions only
    const fs::perms perms = fs::status(dir_.path() / "cache" / "beta_creds.json").permissions();
    EXPECT_EQ(perms & fs::perms::all, fs::perms::owner_read | fs::perms::owner_write);
}

TEST_F(BetaCreds, SavedCredentialsReachThePageEscapedOnlyWhenBothAreStored) {
    send_saved_beta_creds();  // no file
    save_beta_creds("tester", "");
    send_saved_beta_creds();
    test::write_file(dir_.path() / "cache" / "beta_creds.json", "{\"u\":\"eA==\"}");
    send_saved_beta_creds();
    save_beta_creds("tes\"ter", std::string("p\x01w"));
    send_saved_beta_creds();
    EXPECT_EQ(fake::events(),
              std::vector<std::string>{"{\"event\":\"betaSavedCreds\",\"username\":\"tes\\\"ter\","
                                       "\"password\":\"p\\u0001w\"}"});
}

// A temporary copy left by a crash, readable by every account and held open by another one:
// the next save still succeeds, and that handle never sees the new secret. (Windows will not
// remove a file another handle holds, so there only the leftover is shown.)
TEST_F(BetaCreds, LeftoverTemporaryFileHeldOpenByAnotherAccountNeverSeesThePassword) {
    const fs::path temp = dir_.write("cache/beta_creds.json.tmp", "left by a crash");
    fs::permissions(temp, fs::perms::others_read | fs::perms::group_read, fs::perm_options::add);
    std::ifstream held;
    if (!build::windows_path_rules)
        held.open(temp, std::ios::binary);
    save_beta_creds("tester", "secret");
    EXPECT_EQ(dir_.read("cache/beta_creds.json"), "{\"u\":\"dGVzdGVy\",\"p\":\"c2VjcmV0\"}");
    EXPECT_FALSE(fs::exists(temp));
    if (held.is_open()) {
        EXPECT_EQ(std::string(std::istreambuf_iterator<char>(held), {}), "left by a crash");
    }
}

// A link in place of the cache folder or of the temporary file: the secret never goes where the
// link points, and the link stays.
TEST_F(BetaCreds, NothingIsWrittenThroughALinkedCacheOrTemporaryFile) {
    for (const auto& [link, to_folder] :
         {std::pair{"cache", true}, std::pair{"cache/beta_creds.json.tmp", false}}) {
        SCOPED_TRACE(link);
        const test::TempDir elsewhere;
        fs::remove_all(dir_.path() / "cache");
        fs::create_directories((dir_.path() / link).parent_path());
        std::error_code ec;
        if (to_folder)
            fs::create_directory_symlink(elsewhere.path(), dir_.path() / link, ec);
        else
            fs::create_symlink(elsewhere.path() / "x", dir_.path() / link, ec);
        if (ec)
            GTEST_SKIP() << "no symbolic links here: " << ec.message();
        save_beta_creds("tester", "secret");
        EXPECT_TRUE(fs::is_symlink(dir_.path() / link));
        EXPECT_TRUE(fs::is_empty(elsewhere.path()));
    }
}

}  // namespace
}  // namespace km
