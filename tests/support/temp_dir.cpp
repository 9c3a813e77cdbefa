#include "tests/support/temp_dir.h"

#include <atomic>
#include <chrono>
#include <fstream>
#include <random>
#include <sstream>

namespace km::test {

namespace fs = std::filesystem;

std::string noise(std::size_t size, unsigned seed) {
    std::mt19937 gen(seed);
    std::string out(size, '\0');
    for (char& c : out)
        c = static_cast<char>(gen());
    return out;
}

TempDir::TempDir() {
    static std::atomic<unsigned> counter{0};
    const auto stamp = std::chrono::steady_clock::now().time_since_epoch().count();
    path_ = fs::temp_directory_path() / ("km-test-" + std::to_string(std::random_device{}()) + '-' +
                                         std::to_string(stamp) + '-' + std::to_string(counter++));
    fs::create_directories(path_);
}

TempDir::~TempDir() {
    std::error_code ec;
    // Read-only files left by a test must not keep the folder alive.
    for (auto it = fs::recursive_directory_iterator(path_, ec);
         !ec && it != fs::recursive_directory_iterator(); it.increment(ec))
        fs::permissions(it->path(), fs::perms::owner_all, fs::perm_options::add, ec);
    fs::remove_all(path_, ec);
}

fs::path TempDir::write(const std::string& relative, const std::string& content) const {
    fs::path p = path_ / fs::u8path(relative);
    fs::create_directories(p.parent_path());
    write_file(p, content);
    return p;
}

std::string TempDir::read(const std::string& relative) const {
    return read_file(path_ / fs::u8path(relative));
}

std::string read_file(const fs::path& path) {
    // A file that cannot be opened gives no characters, so `out` stays empty.
    std::ifstream in(path, std::ios::binary);
    std::ostringstream out;
    out << in.rdbuf();
    return out.str();
}

void write_file(const fs::path& path, const std::string& content) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(content.data(), static_cast<std::streamsize>(content.size()));
}

}  // namespace km::test
