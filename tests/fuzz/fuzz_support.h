// Shared by the fuzz targets: a scratch folder that stands in for the launcher's directory.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace km::fuzz {

// Creates the scratch folder once and points exe_dir at it.
const std::string& scratch_dir();

// The input as text, NUL bytes included.
inline std::string as_text(const std::uint8_t* data, std::size_t size) {
    return std::string(reinterpret_cast<const char*>(data), size);
}

// Writes `text` to `path` in binary form; aborts when that fails, since the run would then
// test nothing.
void write_or_die(const std::string& path, const std::string& text);

}  // namespace km::fuzz
