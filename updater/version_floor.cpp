// The version floor file: one line per manifest path, "major.minor.patch<TAB>path<LF>", read
// whole or not at all.
#include "updater/version_floor.h"

#include <charconv>
#include <filesystem>
#include <fstream>
#include <map>
#include <string_view>
#include <system_error>

#include "platform/files.h"
#include "platform/paths.h"

namespace km::updater {

namespace {

namespace fs = std::filesystem;

using Floors = std::map<std::string, ReleaseVersion>;

// A few manifest paths fill a few hundred bytes; anything near this is not a file of ours.
constexpr std::uintmax_t max_floor_file_size = 64 << 10;

bool read_number(std::string_view& text, char end, int& value) {
    const auto [stop, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (error != std::errc() || stop == text.data() || stop == text.data() + text.size() ||
        *stop != end)
        return false;
    text.remove_prefix(static_cast<std::size_t>(stop - text.data()) + 1);
    return true;
}

// Every line must read, or none counts: a damaged file must never come out as a higher floor
// made of what was left of it.
bool parse_floors(std::string_view text, Floors& floors) {
    while (!text.empty()) {
        const std::size_t end = text.find('\n');
        if (end == std::string_view::npos)
            return false;  // cut short
        std::string_view line = text.substr(0, end);
        text.remove_prefix(end + 1);
        ReleaseVersion version;
        if (!read_number(line, '.', version.major) || !read_number(line, '.', version.minor) ||
            !read_number(line, '\t', version.patch) || line.empty() ||
            !floors.emplace(std::string(line), version).second)
            return false;
    }
    return true;
}

Floors load_floors(const std::string& root) {
    Floors floors;
    try {
        if (link_below(root, version_floor_file))
            return {};  // not ours: what a link leads to says nothing of this folder
        const fs::path file = fs::u8path(join_path(root, version_floor_file));
        std::error_code ec;
        const std::uintmax_t size = fs::file_size(file, ec);
        if (ec || size > max_floor_file_size)
            return {};
        std::ifstream in(file, std::ios::binary);
        std::string text(static_cast<std::size_t>(size), '\0');
        if (!in.read(text.data(), static_cast<std::streamsize>(text.size())) ||
            !parse_floors(text, floors))
            return {};
    } catch (...) {
        return {};
    }
    return floors;
}

std::string floors_text(const Floors& floors) {
    std::string text;
    for (const auto& [manifest, v] : floors)
        text += std::to_string(v.major) + '.' + std::to_string(v.minor) + '.' +
                std::to_string(v.patch) + '\t' + manifest + '\n';
    return text;
}

}  // namespace

bool load_version_floor(const std::string& root, const std::string& manifest,
                        ReleaseVersion& floor) {
    const Floors floors = load_floors(root);
    const auto it = floors.find(manifest);
    if (it == floors.end())
        return false;
    floor = it->second;
    return true;
}

void raise_version_floor(const std::string& root, const std::string& manifest,
                         const ReleaseVersion& installed) {
    if (manifest.empty() || manifest.find('\n') != std::string::npos)
        return;  // not a path a line can hold
    try {
        Floors floors = load_floors(root);
        const auto it = floors.find(manifest);
        if (it != floors.end() && it->second >= installed)
            return;
        floors[manifest] = installed;
        std::string text = floors_text(floors);
        if (text.size() > max_floor_file_size)
            text = floors_text({{manifest, installed}});
        const std::string temp_name = std::string(version_floor_file) + ".tmp";
        // A link in the place of either file goes as a link, as for the rest of the launcher's
        // own scratch; what it leads to stays untouched.
        platform::remove_link(join_path(root, version_floor_file));
        platform::remove_link(join_path(root, temp_name));
        if (link_below(root, version_floor_file) || link_below(root, temp_name))
            return;
        const std::string temp = join_path(root, temp_name);
        platform::remove_plain_file(temp);  // left by a killed check
        if (!platform::create_new_file(temp, text, false))
            return;
        std::error_code ec;
        fs::rename(fs::u8path(temp), fs::u8path(join_path(root, version_floor_file)), ec);
        if (ec)
            fs::remove(fs::u8path(temp), ec);
    } catch (...) {
        // The floor stays where it was; the check itself has already succeeded.
    }
}

}  // namespace km::updater
