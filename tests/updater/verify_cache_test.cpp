#include "updater/verify_cache.h"

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <string>

#include "km/build_config.h"
#include "launcher/app_state.h"
#include "tests/support/temp_dir.h"

namespace km::updater {
namespace {

namespace fs = std::filesystem;

const std::string hash_a(64, 'a');
const std::string hash_b(64, 'b');

class VerifyCacheFile : public ::testing::Test {
  protected:
    km::test::TempDir dir;
    km::test::ScopedExeDir scoped{dir.str()};

    void write_cache(const std::string& bytes) {
        km::test::write_file(fs::u8path(verify_cache_path()), bytes);
    }
};

TEST_F(VerifyCacheFile, PathIsBesideTheLauncher) {
    EXPECT_EQ(verify_cache_path(),
              dir.str() + km::build::path_separator + "launcher_verify_cache.txt");
}

TEST_F(VerifyCacheFile, MissingOrEmptyFileGivesEmptyCache) {
    EXPECT_TRUE(load_verify_cache().empty());
    write_cache("");
    EXPECT_TRUE(load_verify_cache().empty());
}

TEST_F(VerifyCacheFile, ReadsGoodLinesAndSkipsMalformedOnes) {
    write_cache("a.dat\t10\t20\t" + hash_a +
                "\n"
                "two\ttabs\tonly\n"
                "word.dat\tten\t20\t" +
                hash_a +
                "\n"
                "badtime.dat\t10\tlater\t" +
                hash_a +
                "\n"
                "nohash.dat\t10\t20\t\n"
                "\t10\t20\t" +
                hash_a +
                "\n"
                "range.dat\t99999999999999999999\t20\t" +
                hash_a +
                "\n"
                "negsize.dat\t-1\t-5\t" +
                hash_a +
                "\n"
                "lenient.dat\t  42abc\t-7xyz\t" +
                hash_a +
                "\n"
                "extra.dat\t1\t2\t" +
                hash_a +
                "\tmore\n"
                "\n"
                "crlf.dat\t5\t6\t" +
                hash_b +
                "\r\n"
                "dup.dat\t1\t1\t" +
                hash_a +
                "\n"
                "dup.dat\t2\t2\t" +
                hash_b +
                "\n"
                "last.dat\t7\t8\t" +
                hash_a);  // no line end
    const VerifyCache cache = load_verify_cache();

    ASSERT_EQ(cache.count("a.dat"), 1u);
    EXPECT_EQ(cache.at("a.dat").size, 10u);
    EXPECT_EQ(cache.at("a.dat").mtime, 20);
    EXPECT_EQ(cache.at("a.dat").sha256, hash_a);
    for (const char* skipped : {"two", "word.dat", "badtime.dat", "nohash.dat", "", "range.dat"}) {
        EXPECT_EQ(cache.count(skipped), 0u) << skipped;
    }
    // stoull accepts a minus sign and wraps, as the standard conversion does.
    EXPECT_EQ(cache.at("negsize.dat").size, UINT64_MAX);
    EXPECT_EQ(cache.at("negsize.dat").mtime, -5);
    EXPECT_EQ(cache.at("lenient.dat").size, 42u);
    EXPECT_EQ(cache.at("lenient.dat").mtime, -7);
    EXPECT_EQ(cache.at("extra.dat").sha256, hash_a + "\tmore");
    EXPECT_EQ(cache.at("crlf.dat").sha256, hash_b);
    EXPECT_EQ(cache.at("dup.dat").size, 2u);
    EXPECT_EQ(cache.at("dup.dat").sha256, hash_b);
    EXPECT_EQ(cache.at("last.dat").sha256, hash_a);
    EXPECT_EQ(cache.size(), 7u);
}

TEST_F(VerifyCacheFile, SaveThenLoadRoundTrips) {
    VerifyCache cache;
    record_verify_cache(cache, "Launcher.exe", 123, 133000000000000000, hash_a);
    record_verify_cache(cache, "data/maps/one.pak", UINT64_MAX, INT64_MIN, hash_b);
    record_verify_cache(cache, "d\xc3\xa9j\xc3\xa0.txt", 0, -1, hash_a);
    save_verify_cache(cache);

    const std::string bytes = km::test::read_file(fs::u8path(verify_cache_path()));
    const std::string line_end = km::build::windows_path_rules ? "\r\n" : "\n";
    EXPECT_NE(bytes.find("Launcher.exe\t123\t133000000000000000\t" + hash_a + line_end),
              std::string::npos);
    EXPECT_NE(bytes.find("data/maps/one.pak\t18446744073709551615\t-9223372036854775808\t" +
                         hash_b + line_end),
              std::string::npos);

    const VerifyCache loaded = load_verify_cache();
    ASSERT_EQ(loaded.size(), cache.size());
    for (const auto& [path, record] : cache) {
        ASSERT_EQ(loaded.count(path), 1u) << path;
        EXPECT_EQ(loaded.at(path).size, record.size);
        EXPECT_EQ(loaded.at(path).mtime, record.mtime);
        EXPECT_EQ(loaded.at(path).sha256, record.sha256);
    }

    // Saving replaces the whole file.
    save_verify_cache({});
    EXPECT_TRUE(load_verify_cache().empty());
}

TEST_F(VerifyCacheFile, UnwritableCacheFileIsLeftAlone) {
    fs::create_directories(fs::u8path(verify_cache_path()));  // a folder in the way
    VerifyCache cache;
    record_verify_cache(cache, "a", 1, 2, hash_a);
    save_verify_cache(cache);
    EXPECT_TRUE(fs::is_directory(fs::u8path(verify_cache_path())));
    EXPECT_TRUE(load_verify_cache().empty());
}

TEST(VerifyCacheLookup, MatchesOnlyExactSizeAndTime) {
    VerifyCache cache;
    record_verify_cache(cache, "a.dat", 10, 20, hash_a);
    EXPECT_EQ(lookup_verify_cache(cache, "a.dat", 10, 20), hash_a);
    EXPECT_EQ(lookup_verify_cache(cache, "a.dat", 10, 21), "");
    EXPECT_EQ(lookup_verify_cache(cache, "a.dat", 10, 19), "");
    EXPECT_EQ(lookup_verify_cache(cache, "a.dat", 11, 20), "");
    EXPECT_EQ(lookup_verify_cache(cache, "A.dat", 10, 20), "");
    EXPECT_EQ(lookup_verify_cache(cache, "b.dat", 10, 20), "");
    record_verify_cache(cache, "a.dat", 11, 22, hash_b);
    EXPECT_EQ(cache.size(), 1u);
    EXPECT_EQ(lookup_verify_cache(cache, "a.dat", 11, 22), hash_b);
}

TEST(FileStat, SizeAndFiletimeTicks) {
    km::test::TempDir dir;
    const fs::path file = dir.write("d\xc3\xa9j\xc3\xa0/f.bin", std::string(1234, 'x'));
    // 2021-01-01 00:00:00 UTC is FILETIME 132539328000000000.
    const std::chrono::sys_seconds when{std::chrono::sys_days{std::chrono::year{2021} / 1 / 1}};
    fs::last_write_time(file, fs::file_time_type::clock::from_sys(when));

    const FileStat stat = file_stat(dir.str() + "/d\xc3\xa9j\xc3\xa0/f.bin");
    ASSERT_TRUE(stat.ok);
    EXPECT_EQ(stat.size, 1234u);
    EXPECT_EQ(stat.mtime, 132539328000000000);

    // A later write moves the time on.
    fs::last_write_time(file, fs::file_time_type::clock::from_sys(when + std::chrono::seconds(1)));
    EXPECT_EQ(file_stat(file.string()).mtime, 132539328000000000 + 10000000);
}

TEST(FileStat, FailsForMissingFilesAndFolders) {
    km::test::TempDir dir;
    dir.write("plain", "x");
    EXPECT_FALSE(file_stat(dir.str() + "/missing").ok);
    EXPECT_FALSE(file_stat(dir.str() + "/plain/below").ok);
    fs::create_directories(dir.path() / "folder");
    EXPECT_FALSE(file_stat(dir.str() + "/folder").ok);
}

}  // namespace
}  // namespace km::updater
