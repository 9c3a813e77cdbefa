#include "launcher/beta/beta.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <thread>
#include <vector>

#include "km/build_config.h"
#include "launcher/app_state.h"
#include "platform/fake/fake_platform.h"
#include "tests/support/temp_dir.h"

namespace km {
namespace {

namespace fs = std::filesystem;

TEST(Base64, EncodesWithStandardAlphabetAndPadding) {
    const struct {
        std::string in, out;
    } cases[] = {
        {"", ""},
        {"f", "Zg=="},
        {"fo", "Zm8="},
        {"foo", "Zm9v"},
        {"foob", "Zm9vYg=="},
        {"foobar", "Zm9vYmFy"},
        {"\xFF\xFE", "//4="},
        {std::string("\0\x01", 2), "AAE="},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(base64_encode(c.in), c.out) << c.in;
        EXPECT_EQ(base64_decode(c.out), c.in) << c.out;
    }
}

TEST(Base64, RoundTripsEveryByteValue) {
    std::string all;
    for (int i = 0; i < 256; ++i)
        all += static_cast<char>(i);
    for (std::size_t len = 0; len <= all.size(); len += 37)
        EXPECT_EQ(base64_decode(base64_encode(all.substr(0, len))), all.substr(0, len));
}

TEST(Base64, DecodingIsLenient) {
    // Blanks, line breaks and quotation marks are skipped; other foreign bytes count as zero.
    EXPECT_EQ(base64_decode("Zm9v\r\nYm Fy"), "foobar");
    EXPECT_EQ(base64_decode("\"Zm9v\""), "foo");
    EXPECT_EQ(base64_decode("Zm,9v"), base64_decode("ZmA9v"));
    EXPECT_EQ(base64_decode("Zg"), "f");  // missing padding
    EXPECT_EQ(base64_decode("Z"), "");    // leftover bits dropped
    EXPECT_EQ(base64_decode("===="), "");
}

TEST(LoginField, EscapesOnlyQuotesBackslashesAndLineControls) {
    const struct {
        std::string in, out;
    } cases[] = {
        {"plain", "plain"},      {"a\"b", "a\\\"b"},         {"a\\b", "a\\\\b"},
        {"\n\r\t", "\\n\\r\\t"}, {"\x01\x1f/", "\x01\x1f/"}, {"\xC3\xA9", "\xC3\xA9"},
    };
    for (const auto& c : cases) {
        std::string out = "prefix:";
        escape_login_field(c.in, out);
        EXPECT_EQ(out, "prefix:" + c.out);
    }
}

class BetaCreds : public ::testing::Test {
  protected:
    void SetUp() override { fake::reset(); }
    test::TempDir dir_;
    test::ScopedExeDir scope_{dir_.str()};
};

TEST_F(BetaCreds, PathIsUnderTheCacheFolder) {
    const std::string sep = build::path_separator;
    EXPECT_EQ(beta_creds_path(), dir_.str() + sep + "cache" + sep + "beta_creds.json");
}

TEST_F(BetaCreds, StoredFileHoldsExactlyTheBase64Pair) {
    save_beta_creds("tester", "pa\"ss");
    EXPECT_EQ(dir_.read("cache/beta_creds.json"), "{\"u\":\"dGVzdGVy\",\"p\":\"cGEic3M=\"}");
    // Replaced whole, with no temporary file left behind.
    save_beta_creds("x", "y");
    EXPECT_EQ(dir_.read("cache/beta_creds.json"), "{\"u\":\"eA==\",\"p\":\"eQ==\"}");
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(dir_.path() / "cache"))
        names.push_back(entry.path().filename().string());
    EXPECT_EQ(names, std::vector<std::string>{"beta_creds.json"});
}

TEST_F(BetaCreds, StoredFileIsReadableByTheOwnerOnly) {
    if (build::windows_path_rules)
        GTEST_SKIP() << "POSIX permissions only";
    save_beta_creds("tester", "secret");
    const fs::perms perms = fs::status(dir_.path() / "cache" / "beta_creds.json").permissions();
    EXPECT_EQ(perms & fs::perms::all, fs::perms::owner_read | fs::perms::owner_write);
}

TEST_F(BetaCreds, ConcurrentWritersLeaveOneWholeFile) {
    std::vector<std::thread> writers;
    for (int i = 0; i < 8; ++i)
        writers.emplace_back([i] {
            for (int j = 0; j < 50; ++j)
                save_beta_creds(std::string(100 + i, 'a' + i), std::string(200, 'p'));
        });
    for (auto& writer : writers)
        writer.join();
    const std::string content = dir_.read("cache/beta_creds.json");
    bool matches_one = false;
    for (int i = 0; i < 8; ++i)
        matches_one |= content == "{\"u\":\"" + base64_encode(std::string(100 + i, 'a' + i)) +
                                      "\",\"p\":\"" + base64_encode(std::string(200, 'p')) + "\"}";
    EXPECT_TRUE(matches_one) << content;
}

TEST_F(BetaCreds, SavedCredentialsReachThePageEscaped) {
    save_beta_creds("tes\"ter", std::string("p\x01w"));
    send_saved_beta_creds();
    EXPECT_EQ(fake::events(),
              std::vector<std::string>{"{\"event\":\"betaSavedCreds\",\"username\":\"tes\\\"ter\","
                                       "\"password\":\"p\\u0001w\"}"});
}

TEST_F(BetaCreds, NoEventWithoutBothStoredValues) {
    send_saved_beta_creds();  // no file
    save_beta_creds("tester", "");
    send_saved_beta_creds();  // empty password
    test::write_file(dir_.path() / "cache" / "beta_creds.json", "{\"u\":\"eA==\"}");
    send_saved_beta_creds();  // no "p"
    EXPECT_TRUE(fake::events().empty());
}

}  // namespace
}  // namespace km
