#include "tests/fuzz/fuzz_support.h"

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>

#include "launcher/app_state.h"

namespace km::fuzz {

const std::string& scratch_dir() {
    static const std::string dir = [] {
        const auto path = std::filesystem::temp_directory_path() /
                          ("km-fuzz-" + std::to_string(static_cast<long>(::getpid())));
        std::filesystem::create_directories(path);
        km::exe_dir = path.string();
        std::atexit([] {
            std::error_code ec;
            std::filesystem::remove_all(km::exe_dir, ec);
        });
        return path.string();
    }();
    return dir;
}

void write_or_die(const std::string& path, const std::string& text) {
    std::FILE* file = std::fopen(path.c_str(), "wb");
    if (!file || std::fwrite(text.data(), 1, text.size(), file) != text.size())
        std::abort();
    std::fclose(file);
}

}  // namespace km::fuzz
