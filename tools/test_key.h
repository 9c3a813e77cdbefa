// Whether a program of a release would trust RFC 8032's first test key, whose private half is
// printed in the RFC: the launcher compiles its manifest key in as 32 raw bytes, and a build
// configuration may hold it as hex text too.
#pragma once

#include <filesystem>
#include <string>

namespace km::tools {

// A Windows ("MZ") or ELF program, judged by its first bytes.
bool is_program(const std::filesystem::path& file);

// "raw bytes" or "hex text" when the file holds the test key in that form (hex in any letter
// case), empty when it holds neither. `error` is set when the file cannot be read through.
std::string test_key_form(const std::filesystem::path& file, std::string& error);

}  // namespace km::tools
