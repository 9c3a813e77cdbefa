// Small helpers shared by the release tools: exit codes, text checks, hex, whole-file reads.
#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

namespace km::tools {

inline constexpr int exit_ok = 0;
inline constexpr int exit_failure = 1;
inline constexpr int exit_usage = 2;

// Strict UTF-8: no overlong forms, no surrogates, nothing above U+10FFFF.
bool is_valid_utf8(std::string_view text);

// The text with every byte that is not printable ASCII or part of valid UTF-8 shown as \xNN, so
// that a message naming a file never garbles the terminal.
std::string printable(std::string_view text);

// Exactly 2 * size hex digits (either case) into bytes; false otherwise.
bool parse_hex(std::string_view hex, std::uint8_t* out, std::size_t size);

// Reads a whole file in binary; false with `error` set ("No such file or directory", "larger
// than N bytes", ...) when it cannot.
bool read_whole_file(const std::string& path, std::string& out, std::string& error,
                     std::size_t max_size);

// The first symbolic link on the way from `base` (itself included, however it is spelled:
// "content/" and "content/." name the same folder) through each component of `relative` below
// it, or empty when there is none up to the first entry that does not exist.
std::string first_link(const std::filesystem::path& base, const std::string& relative);

// Prints "<tool>: <message>" on stderr.
void report(const char* tool, const std::string& message);

// Writes all of `data` to a file descriptor, retrying interrupted and partial writes.
bool write_all(int fd, const char* data, std::size_t size);

// Parses "--name value" and "--name=value" options into their values; positional arguments
// are kept in order. Unknown options, a missing value or a repeated single-valued option make
// `error` non-empty.
struct ParsedArgs {
    std::vector<std::pair<std::string, std::string>> options;
    std::vector<std::string> positional;
    bool help = false;
    std::string error;

    // The last value of `name`, or empty.
    std::string value(const std::string& name) const;
    std::vector<std::string> values(const std::string& name) const;
    bool has(const std::string& name) const;
};
// `single` lists the options that take one value at most once; `repeated` those allowed many
// times; `flags` those that take no value (has() tells whether they were given).
ParsedArgs parse_args(int argc, char** argv, const std::vector<std::string>& single,
                      const std::vector<std::string>& repeated,
                      const std::vector<std::string>& flags = {});

}  // namespace km::tools
