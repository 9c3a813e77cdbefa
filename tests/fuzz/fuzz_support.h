// Shared by the fuzz targets: a scratch folder that stands in for the launcher's directory, the
// input as text and the check that stops the run.
#pragma once

#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>

#include "launcher/common/app_state.h"

namespace km::fuzz {

// Creates the scratch folder once, points exe_dir at it and removes it at exit.
inline void scratch_dir() {
    static const bool made = [] {
        const auto path = std::filesystem::temp_directory_path() /
                          ("km-fuzz-" + std::to_string(static_cast<long>(::getpid())));
        std::filesystem::create_directories(path);
        km::exe_dir = path.string();
        return std::atexit([] {
                   std::error_code ec;
                   std::filesystem::remove_all(km::exe_dir, ec);
               }) == 0;
    }();
    (void)made;
}

// The input as text, NUL bytes included.
inline std::string as_text(const std::uint8_t* data, std::size_t size) {
    return std::string(reinterpret_cast<const char*>(data), size);
}

// Stops the run with a crash report when a property does not hold.
inline void require(bool holds) {
    if (!holds)
        __builtin_trap();
}

// Writes `text` to `path` in binary form; aborts when that fails, since the run would then
// test nothing.
inline void write_or_die(const std::string& path, const std::string& text) {
    std::FILE* file = std::fopen(path.c_str(), "wb");
    if (!file || std::fwrite(text.data(), 1, text.size(), file) != text.size())
        std::abort();
    std::fclose(file);
}

}  // namespace km::fuzz
