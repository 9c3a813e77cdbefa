// A fresh temporary folder per test, removed with everything in it at the end.
#pragma once

#include <filesystem>
#include <string>

namespace km::test {

class TempDir {
  public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    const std::filesystem::path& path() const { return path_; }
    std::string str() const { return path_.string(); }
    // Writes `content` (binary) to a file under the folder, creating parent folders.
    std::filesystem::path write(const std::string& relative, const std::string& content) const;
    // Reads a file under the folder (binary); empty when missing.
    std::string read(const std::string& relative) const;

  private:
    std::filesystem::path path_;
};

// Reads a whole file in binary mode; empty when it cannot be opened.
std::string read_file(const std::filesystem::path& path);
void write_file(const std::filesystem::path& path, const std::string& content);

// `size` bytes of every value, the same for the same seed.
std::string noise(std::size_t size, unsigned seed);

}  // namespace km::test
