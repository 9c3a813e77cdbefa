// km-bench: the updater's hot paths side by side with a baseline on the same data.
//
//   km-bench [--file-mb=N] [--files=N] [Google Benchmark flags]
//
// --file-mb (or KM_BENCH_FILE_MB) sets the size of the hashed file, 1024 MiB by default; a small
// value gives a quick run. --files (or KM_BENCH_FILES) sets the number of small files of the
// verify-cache pass, 20,000 by default. The data lives under /tmp/km-bench (or KM_BENCH_DIR),
// is created on the first run and reused afterwards.
#include <benchmark/benchmark.h>
#include <openssl/evp.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <map>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "updater/manifest.h"
#include "updater/sha256.h"
#include "updater/sha512.h"
#include "updater/verify_cache.h"

namespace {

namespace fs = std::filesystem;
using km::updater::VerifyCache;

constexpr std::size_t read_block = 1048576;

struct Settings {
    std::size_t file_mb = 1024;
    std::size_t file_count = 20000;
    fs::path dir = "/tmp/km-bench";
};
Settings settings;

std::string hashed_file;
std::vector<std::string> tree_relative;  // relative paths of the small files
std::string tree_root;
VerifyCache tree_cache;
std::vector<std::uint8_t> signed_message;
// The size of the 20,000-file manifest: PureEd25519 hashes all of it on every check.
std::vector<std::uint8_t> sha512_input(3080055);
std::uint8_t signature[64];
bool signature_valid = false;

std::size_t number_from(const char* text, std::size_t fallback) {
    if (text == nullptr || *text == '\0') {
        return fallback;
    }
    char* end = nullptr;
    const unsigned long long value = std::strtoull(text, &end, 10);
    return (end != nullptr && *end == '\0' && value > 0) ? static_cast<std::size_t>(value)
                                                         : fallback;
}

// Takes our own options out of argv so that Google Benchmark sees only its own.
void parse_options(int& argc, char** argv) {
    settings.file_mb = number_from(std::getenv("KM_BENCH_FILE_MB"), settings.file_mb);
    settings.file_count = number_from(std::getenv("KM_BENCH_FILES"), settings.file_count);
    if (const char* dir = std::getenv("KM_BENCH_DIR"); dir != nullptr && *dir != '\0') {
        settings.dir = dir;
    }
    int kept = 1;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg.rfind("--file-mb=", 0) == 0) {
            settings.file_mb = number_from(arg.c_str() + 10, settings.file_mb);
        } else if (arg.rfind("--files=", 0) == 0) {
            settings.file_count = number_from(arg.c_str() + 8, settings.file_count);
        } else {
            argv[kept++] = argv[i];
        }
    }
    argc = kept;
}

void write_random_file(const fs::path& path, std::size_t size, std::mt19937_64& rng) {
    std::unique_ptr<std::FILE, int (*)(std::FILE*)> out(std::fopen(path.string().c_str(), "wb"),
                                                        &std::fclose);
    if (!out) {
        std::fprintf(stderr, "km-bench: cannot write %s\n", path.string().c_str());
        std::exit(1);
    }
    std::vector<std::uint64_t> chunk(read_block / 8);
    while (size > 0) {
        for (auto& word : chunk) {
            word = rng();
        }
        const std::size_t n = std::min(size, read_block);
        if (std::fwrite(chunk.data(), 1, n, out.get()) != n) {
            std::fprintf(stderr, "km-bench: short write to %s\n", path.string().c_str());
            std::exit(1);
        }
        size -= n;
    }
}

void prepare_hashed_file() {
    const fs::path path = settings.dir / ("sha-" + std::to_string(settings.file_mb) + "MiB.bin");
    const std::uintmax_t want = static_cast<std::uintmax_t>(settings.file_mb) * read_block;
    std::error_code ec;
    if (fs::file_size(path, ec) != want || ec) {
        std::printf("creating %s ...\n", path.string().c_str());
        std::fflush(stdout);
        std::mt19937_64 rng(1);
        write_random_file(path, want, rng);
    }
    hashed_file = path.string();
    // One read beforehand, so that neither contender pays for the first trip to the disk.
    (void)km::updater::sha256_file(hashed_file);
}

void prepare_tree() {
    const fs::path root = settings.dir / ("tree-" + std::to_string(settings.file_count));
    const fs::path complete = root / ".complete";
    std::mt19937_64 rng(2);
    for (std::size_t i = 0; i < settings.file_count; ++i) {
        char name[64];
        std::snprintf(name, sizeof name, "data/d%03zu/f%05zu.dat", i / 500, i);
        tree_relative.emplace_back(name);
    }
    if (!fs::exists(complete)) {
        std::printf("creating %zu files under %s ...\n", settings.file_count,
                    root.string().c_str());
        std::fflush(stdout);
        for (const std::string& rel : tree_relative) {
            const fs::path path = root / rel;
            fs::create_directories(path.parent_path());
            write_random_file(path, 64 + rng() % 4000, rng);
        }
        write_random_file(complete, 0, rng);
    }
    tree_root = root.string();
    for (const std::string& rel : tree_relative) {
        const std::string full = tree_root + "/" + rel;
        const km::updater::FileStat stat = km::updater::file_stat(full);
        if (stat.ok) {
            km::updater::record_verify_cache(tree_cache, rel, stat.size, stat.mtime,
                                             km::updater::sha256_file(full));
        }
    }
}

// A manifest of a realistic size, signed with RFC 8032's first test key (the development key).
void prepare_signature() {
    std::string text = "{\"version\":{\"major\":1,\"minor\":4,\"patch\":2},\"files\":[";
    for (int i = 0; i < 150; ++i) {
        text += std::string(i ? "," : "") + "{\"path\":\"data/d000/f" + std::to_string(i) +
                ".dat\",\"sha256\":\"" + std::string(64, 'a') + "\",\"size\":12345}";
    }
    text += "]}";
    signed_message.assign(text.begin(), text.end());
    const std::uint8_t secret[32] = {0x9d, 0x61, 0xb1, 0x9d, 0xef, 0xfd, 0x5a, 0x60,
                                     0xba, 0x84, 0x4a, 0xf4, 0x92, 0xec, 0x2c, 0xc4,
                                     0x44, 0x49, 0xc5, 0x69, 0x7b, 0x32, 0x69, 0x19,
                                     0x70, 0x3b, 0xac, 0x03, 0x1c, 0xae, 0x7f, 0x60};
    EVP_PKEY* key = EVP_PKEY_new_raw_private_key(EVP_PKEY_ED25519, nullptr, secret, 32);
    EVP_MD_CTX* ctx = EVP_MD_CTX_new();
    std::size_t size = sizeof signature;
    const bool signed_ok =
        key != nullptr && ctx != nullptr &&
        EVP_DigestSignInit(ctx, nullptr, nullptr, nullptr, key) == 1 &&
        EVP_DigestSign(ctx, signature, &size, signed_message.data(), signed_message.size()) == 1;
    EVP_MD_CTX_free(ctx);
    EVP_PKEY_free(key);
    if (!signed_ok) {
        std::fprintf(stderr, "km-bench: OpenSSL could not sign\n");
        std::exit(1);
    }
    signature_valid = km::updater::verify_manifest_signature(signature, signed_message.data(),
                                                             signed_message.size());
}

// The same reading as sha256_file: binary mode, no stream buffer, one reused 1 MiB block.
std::string openssl_sha256_file(const std::string& path) {
    std::unique_ptr<std::FILE, int (*)(std::FILE*)> file(std::fopen(path.c_str(), "rb"),
                                                         &std::fclose);
    if (!file) {
        return {};
    }
    std::setvbuf(file.get(), nullptr, _IONBF, 0);
    std::unique_ptr<std::uint8_t[]> buffer(new std::uint8_t[read_block]);
    EVP_MD_CTX* ctx = EVP_MD_CTX_new();
    EVP_DigestInit_ex(ctx, EVP_sha256(), nullptr);
    for (;;) {
        const std::size_t got = std::fread(buffer.get(), 1, read_block, file.get());
        if (got > 0) {
            EVP_DigestUpdate(ctx, buffer.get(), got);
        }
        if (got < read_block) {
            break;
        }
    }
    std::uint8_t digest[32];
    unsigned int size = 0;
    EVP_DigestFinal_ex(ctx, digest, &size);
    EVP_MD_CTX_free(ctx);
    return km::updater::to_hex(digest, size);
}

void sha256_file_ours(benchmark::State& state) {
    for (auto _ : state) {
        benchmark::DoNotOptimize(km::updater::sha256_file(hashed_file));
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) *
                            static_cast<std::int64_t>(settings.file_mb * read_block));
}

void sha256_file_openssl(benchmark::State& state) {
    for (auto _ : state) {
        benchmark::DoNotOptimize(openssl_sha256_file(hashed_file));
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) *
                            static_cast<std::int64_t>(settings.file_mb * read_block));
}

void verify_ours(benchmark::State& state) {
    for (auto _ : state) {
        benchmark::DoNotOptimize(km::updater::verify_manifest_signature(
            signature, signed_message.data(), signed_message.size()));
    }
}

void verify_openssl(benchmark::State& state) {
    EVP_PKEY* key = EVP_PKEY_new_raw_public_key(EVP_PKEY_ED25519, nullptr,
                                                km::updater::manifest_public_key, 32);
    EVP_MD_CTX* ctx = EVP_MD_CTX_new();
    for (auto _ : state) {
        EVP_DigestVerifyInit(ctx, nullptr, nullptr, nullptr, key);
        benchmark::DoNotOptimize(EVP_DigestVerify(ctx, signature, sizeof signature,
                                                  signed_message.data(), signed_message.size()));
    }
    EVP_MD_CTX_free(ctx);
    EVP_PKEY_free(key);
}

void sha512_ours(benchmark::State& state) {
    for (auto _ : state) {
        benchmark::DoNotOptimize(km::updater::sha512(sha512_input.data(), sha512_input.size()));
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * sha512_input.size()));
}

void sha512_openssl(benchmark::State& state) {
    std::uint8_t digest[64];
    unsigned int size = 0;
    for (auto _ : state) {
        EVP_Digest(sha512_input.data(), sha512_input.size(), digest, &size, EVP_sha512(), nullptr);
        benchmark::DoNotOptimize(digest);
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * sha512_input.size()));
}

// One update check's comparison of unchanged files: stat and cache lookup, no reading.
void noop_pass_with_cache(benchmark::State& state) {
    std::size_t matched = 0;
    for (auto _ : state) {
        matched = 0;
        for (const std::string& rel : tree_relative) {
            const km::updater::FileStat stat = km::updater::file_stat(tree_root + "/" + rel);
            if (stat.ok &&
                !km::updater::lookup_verify_cache(tree_cache, rel, stat.size, stat.mtime).empty()) {
                ++matched;
            }
        }
    }
    if (matched != tree_relative.size()) {
        state.SkipWithError("some verify-cache records did not match");
    }
    state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations()) *
                            static_cast<std::int64_t>(tree_relative.size()));
}

// The manifest's rule that no two entries name one file on Windows, over the tree's paths and the
// same paths with a non-ASCII name (letter case is folded for every path of every check).
void entry_paths_check(benchmark::State& state) {
    std::vector<std::string> paths = tree_relative;
    for (std::size_t i = 0; i < paths.size(); i += 2) {
        paths[i].insert(5, "d\xC3\xA9j\xC3\xA0-\xCE\xB1\xD0\xB6/");
    }
    for (auto _ : state) {
        benchmark::DoNotOptimize(km::updater::entry_paths_problem(paths));
    }
    state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations()) *
                            static_cast<std::int64_t>(paths.size()));
}

// The same pass without the cache: every file read and hashed.
void full_pass_hashing(benchmark::State& state) {
    for (auto _ : state) {
        for (const std::string& rel : tree_relative) {
            benchmark::DoNotOptimize(km::updater::sha256_file(tree_root + "/" + rel));
        }
    }
    state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations()) *
                            static_cast<std::int64_t>(tree_relative.size()));
}

// Keeps the fastest repetition of each benchmark, in processor time and in wall time: on a
// machine shared with other work the wall clock also measures the neighbours, so the ratios are
// taken from processor time (which includes the kernel's share of reading the file).
class SummaryReporter : public benchmark::ConsoleReporter {
  public:
    struct Best {
        double cpu = 0;
        double real = 0;
    };

    void ReportRuns(const std::vector<Run>& runs) override {
        ConsoleReporter::ReportRuns(runs);
        for (const Run& run : runs) {
            if (run.run_type != Run::RT_Iteration || run.error_occurred || run.iterations == 0) {
                continue;
            }
            const double n = static_cast<double>(run.iterations);
            const Best now{run.cpu_accumulated_time / n, run.real_accumulated_time / n};
            auto [it, inserted] = best_.emplace(run.run_name.function_name, now);
            if (!inserted) {
                it->second.cpu = std::min(it->second.cpu, now.cpu);
                it->second.real = std::min(it->second.real, now.real);
            }
        }
    }

    Best best(const std::string& name) const {
        const auto it = best_.find(name);
        return it == best_.end() ? Best{} : it->second;
    }

  private:
    std::map<std::string, Best> best_;
};

void print_summary(const SummaryReporter& r) {
    std::printf(
        "\nSummary: best repetition of each, processor time (wall time in brackets);\n"
        "ratio = baseline time / our time, so above 1 means ours is faster\n");
    const auto ours = r.best("sha256_file_ours");
    const auto ssl = r.best("sha256_file_openssl");
    if (ours.cpu > 0 && ssl.cpu > 0) {
        const double mb = static_cast<double>(settings.file_mb * read_block) / 1e6;
        std::printf("  sha256_file of a %zu MiB file (SHA extensions: %s)\n", settings.file_mb,
                    km::updater::sha256_hardware_accelerated() ? "yes" : "no");
        std::printf(
            "    ours %.1f MB/s [%.1f]   OpenSSL EVP SHA-256 %.1f MB/s [%.1f]   "
            "ratio %.3f [%.3f]\n",
            mb / ours.cpu, mb / ours.real, mb / ssl.cpu, mb / ssl.real, ssl.cpu / ours.cpu,
            ssl.real / ours.real);
    }
    const auto v_ours = r.best("verify_ours");
    const auto v_ssl = r.best("verify_openssl");
    if (v_ours.cpu > 0 && v_ssl.cpu > 0) {
        std::printf("  verify_manifest_signature of a %zu-byte manifest%s\n", signed_message.size(),
                    signature_valid ? ""
                                    : " (NOTE: the build's key is not the development key;"
                                      " the signature does not verify, timing still holds)");
        std::printf(
            "    ours %.1f us/call [%.1f]   OpenSSL Ed25519 verify %.1f us/call [%.1f]   "
            "ratio %.3f [%.3f]\n",
            v_ours.cpu * 1e6, v_ours.real * 1e6, v_ssl.cpu * 1e6, v_ssl.real * 1e6,
            v_ssl.cpu / v_ours.cpu, v_ssl.real / v_ours.real);
    }
    const auto h_ours = r.best("sha512_ours");
    const auto h_ssl = r.best("sha512_openssl");
    if (h_ours.cpu > 0 && h_ssl.cpu > 0) {
        const double mb = static_cast<double>(sha512_input.size()) / 1e6;
        std::printf("  sha512 of a %zu-byte buffer (AVX2 message schedule: %s)\n",
                    sha512_input.size(), km::updater::sha512_vector_scheduled() ? "yes" : "no");
        std::printf(
            "    ours %.1f MB/s [%.1f]   OpenSSL EVP SHA-512 %.1f MB/s [%.1f]   "
            "ratio %.3f [%.3f]\n",
            mb / h_ours.cpu, mb / h_ours.real, mb / h_ssl.cpu, mb / h_ssl.real,
            h_ssl.cpu / h_ours.cpu, h_ssl.real / h_ours.real);
    }
    if (const auto paths = r.best("entry_paths_check"); paths.cpu > 0) {
        std::printf(
            "  entry_paths_problem over %zu paths (half of them with non-ASCII names)\n"
            "    %.2f ms per manifest [%.2f]\n",
            tree_relative.size(), paths.cpu * 1e3, paths.real * 1e3);
    }
    const auto pass = r.best("noop_pass_with_cache");
    const auto hashing = r.best("full_pass_hashing");
    if (pass.cpu > 0 && hashing.cpu > 0) {
        const double n = static_cast<double>(tree_relative.size());
        std::printf("  no-op pass over %zu unchanged files (stat + verify-cache lookup)\n",
                    tree_relative.size());
        std::printf(
            "    ours %.0f files/s [%.0f], %.1f ms per pass [%.1f]   baseline without "
            "the cache (hash every file) %.0f files/s [%.0f]   ratio %.1f [%.1f]\n",
            n / pass.cpu, n / pass.real, pass.cpu * 1e3, pass.real * 1e3, n / hashing.cpu,
            n / hashing.real, hashing.cpu / pass.cpu, hashing.real / pass.real);
    }
}

}  // namespace

int main(int argc, char** argv) {
    parse_options(argc, argv);
    std::error_code ec;
    fs::create_directories(settings.dir, ec);
    prepare_hashed_file();
    prepare_tree();
    prepare_signature();

    benchmark::RegisterBenchmark("sha256_file_ours", sha256_file_ours)
        ->Unit(benchmark::kMillisecond)
        ->UseRealTime()
        ->Repetitions(3);
    benchmark::RegisterBenchmark("sha256_file_openssl", sha256_file_openssl)
        ->Unit(benchmark::kMillisecond)
        ->UseRealTime()
        ->Repetitions(3);
    benchmark::RegisterBenchmark("verify_ours", verify_ours)
        ->Unit(benchmark::kMicrosecond)
        ->UseRealTime()
        ->Repetitions(3);
    benchmark::RegisterBenchmark("verify_openssl", verify_openssl)
        ->Unit(benchmark::kMicrosecond)
        ->UseRealTime()
        ->Repetitions(3);
    std::mt19937_64 rng(4);
    for (auto& byte : sha512_input) {
        byte = static_cast<std::uint8_t>(rng());
    }
    benchmark::RegisterBenchmark("sha512_ours", sha512_ours)
        ->Unit(benchmark::kMillisecond)
        ->UseRealTime()
        ->Repetitions(3);
    benchmark::RegisterBenchmark("sha512_openssl", sha512_openssl)
        ->Unit(benchmark::kMillisecond)
        ->UseRealTime()
        ->Repetitions(3);
    benchmark::RegisterBenchmark("noop_pass_with_cache", noop_pass_with_cache)
        ->Unit(benchmark::kMillisecond)
        ->UseRealTime()
        ->Repetitions(3);
    benchmark::RegisterBenchmark("entry_paths_check", entry_paths_check)
        ->Unit(benchmark::kMillisecond)
        ->Repetitions(3);
    benchmark::RegisterBenchmark("full_pass_hashing", full_pass_hashing)
        ->Unit(benchmark::kMillisecond)
        ->UseRealTime()
        ->Iterations(1)
        ->Repetitions(2);

    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) {
        return 1;
    }
    SummaryReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    print_summary(reporter);
    benchmark::Shutdown();
    return 0;
}
