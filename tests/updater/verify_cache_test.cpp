#include "updater/verify_cache.h"

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <string>

#include "km/build_config.h"
#include "tests/support/temp_dir.h"

namespace km::updater {
namespace {

namespace fs = std::filesystem;

const std::string hash_a(64, 'a');
const std::string hash_b(64, 'b');

class VerifyCacheFile : public ::testing::Test {
  protected:
    km::test::TempDir dir;
    const std::string root = dir.str();
};

TEST_F(VerifyCacheFile, ReadsGoodLinesAndSkipsMalformedOnes) {
    EXPECT_TRUE(load_verify_cache(root).empty());
    const std::string a = hash_a;
    km::test::write_file(
        fs::u8path(verify_cache_path(root)),
        "a.dat\t10\t20\t" + a + "\ntwo\ttabs\tonly\nword.dat\tten\t20\t" + a +
            "\nbadtime.dat\t10\tlater\t" + a + "\nnohash.dat\t10\t20\t\n\t10\t20\t" + a +
            "\nrange.dat\t99999999999999999999\t20\t" + a + "\nnegsize.dat\t-1\t-5\t" + a +
            "\nlenient.dat\t  42abc\t-7xyz\t" + a + "\nextra.dat\t1\t2\t" + a +
            "\tmore\n\ncrlf.dat\t5\t6\t" + hash_b + "\r\ndup.dat\t1\t1\t" + a +
            "\ndup.dat\t2\t2\t" + hash_b + "\nlast.dat\t7\t8\t" + a);  // no line end
    const VerifyCache cache = load_verify_cache(root);
    const std::pair<const char*, VerifyRecord> kept[] = {
        {"a.dat", {10, 20, a}},
        {"negsize.dat", {UINT64_MAX, -5, a}},  // stoull accepts a minus sign and wraps
        {"lenient.dat", {42, -7, a}},
        {"extra.dat", {1, 2, a + "\tmore"}},
        {"crlf.dat", {5, 6, hash_b}},
        {"dup.dat", {2, 2, hash_b}},
        {"last.dat", {7, 8, a}},
    };
    ASSERT_EQ(cache.size(), std::size(kept));
    // Each record is kept as read: its size and time look up its hash.
    for (const auto& [path, record] : kept)
        EXPECT_EQ(lookup_verify_cache(cache, path, record.size, record.mtime), record.sha256)
            << path;
}

TEST_F(VerifyCacheFile, SaveThenLoadRoundTripsAndLookupNeedsExactSizeAndTime) {
    VerifyCache cache;
    record_verify_cache(cache, "Launcher.exe", 123, 133000000000000000, hash_b);
    record_verify_cache(cache, "Launcher.exe", 123, 133000000000000000, hash_a);  // replaces
    record_verify_cache(cache, "data/maps/one.pak", UINT64_MAX, INT64_MIN, hash_b);
    save_verify_cache(root, cache);

    const std::string bytes = km::test::read_file(fs::u8path(verify_cache_path(root)));
    const std::string line_end = km::build::windows_path_rules ? "\r\n" : "\n";
    for (const std::string& line :
         {"Launcher.exe\t123\t133000000000000000\t" + hash_a,
          "data/maps/one.pak\t18446744073709551615\t-9223372036854775808\t" + hash_b})
        EXPECT_NE(bytes.find(line + line_end), std::string::npos) << line;
    const VerifyCache loaded = load_verify_cache(root);
    EXPECT_EQ(loaded.size(), 2u);
    EXPECT_EQ(lookup_verify_cache(loaded, "Launcher.exe", 123, 133000000000000000), hash_a);
    EXPECT_EQ(lookup_verify_cache(loaded, "data/maps/one.pak", UINT64_MAX, INT64_MIN), hash_b);
    // A file whose time moved either way may have changed: it is hashed again.
    EXPECT_EQ(lookup_verify_cache(loaded, "Launcher.exe", 123, 133000000000000001), "");
    EXPECT_EQ(lookup_verify_cache(loaded, "Launcher.exe", 123, 132999999999999999), "");
    EXPECT_EQ(lookup_verify_cache(loaded, "Launcher.exe", 124, 133000000000000000), "");
    EXPECT_EQ(lookup_verify_cache(loaded, "launcher.exe", 123, 133000000000000000), "");

    save_verify_cache(root, {});  // saving replaces the whole file
    EXPECT_TRUE(load_verify_cache(root).empty());
}

TEST(FileStat, SizeAndFiletimeTicksOfFilesOnly) {
    km::test::TempDir dir;
    const fs::path file = dir.write("d\xc3\xa9j\xc3\xa0/f.bin", std::string(1234, 'x'));
    // 2021-01-01 00:00:00 UTC is FILETIME 132539328000000000.
    const std::chrono::sys_seconds when{std::chrono::sys_days{std::chrono::year{2021} / 1 / 1}};
    fs::last_write_time(file, fs::file_time_type::clock::from_sys(when + std::chrono::seconds(1)));

    const FileStat stat = file_stat(dir.str() + "/d\xc3\xa9j\xc3\xa0/f.bin");
    ASSERT_TRUE(stat.ok);
    EXPECT_EQ(stat.size, 1234u);
    EXPECT_EQ(stat.mtime, 132539328000000000 + 10000000);
    EXPECT_FALSE(file_stat(dir.str() + "/missing").ok);
    EXPECT_FALSE(file_stat(file.string() + "/below").ok);
    EXPECT_FALSE(file_stat(dir.str()).ok);
}

}  // namespace
}  // namespace km::updater
