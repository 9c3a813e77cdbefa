#include "launcher/config/launcher_config.h"

#include <climits>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <system_error>

#include "platform/files.h"

namespace km {

std::string trim(const std::string& text) {
    static const char blanks[] = " \t\r\n";
    const auto first = text.find_first_not_of(blanks);
    if (first == std::string::npos)
        return std::string();
    const auto last = text.find_last_not_of(blanks);
    return text.substr(first, last - first + 1);
}

int atoi_clamped(const std::string& text) {
    std::size_t i = 0;
    const std::size_t n = text.size();
    // The blanks C's isspace knows in the C locale.
    while (i < n && (text[i] == ' ' || (text[i] >= '\t' && text[i] <= '\r')))
        ++i;
    bool negative = false;
    if (i < n && (text[i] == '+' || text[i] == '-')) {
        negative = text[i] == '-';
        ++i;
    }
    // Accumulate as a negative number, whose range includes INT_MIN, and stop once clamped.
    long long value = 0;
    for (; i < n && text[i] >= '0' && text[i] <= '9'; ++i) {
        value = value * 10 - (text[i] - '0');
        if (value < static_cast<long long>(INT_MIN)) {
            return negative ? INT_MIN : INT_MAX;
        }
    }
    if (negative)
        return static_cast<int>(value);
    return value < -static_cast<long long>(INT_MAX) ? INT_MAX : static_cast<int>(-value);
}

void for_each_config_line(const std::string& path,
                          const std::function<void(const std::string&)>& visit) {
    std::ifstream in(path);
    if (!in)
        return;
    std::string line;
    while (std::getline(in, line))
        visit(trim(line));
}

bool write_text_file(const std::string& path, const std::string& text) {
    // Text mode: "\n" becomes CR LF on Windows.
    std::ofstream out(path);
    if (!out)
        return false;
    out << text;
    out.flush();
    return static_cast<bool>(out);
}

bool replace_text_file(const std::string& path, const std::string& text) {
    // A file we may not write stays as it is, and a failed write (disk full) must not leave a
    // truncated file behind: write a sibling first, then move it over the original. Both files
    // this writes lie directly in the launcher's folder, so the file and its sibling are the
    // whole way there: neither is written through a link.
    if (platform::path_kind(path) == platform::PathKind::link ||
        platform::path_kind(path + ".tmp") == platform::PathKind::link)
        return false;
    std::error_code ec;
    const bool existed = std::filesystem::exists(path, ec);
    {
        std::FILE* probe = std::fopen(path.c_str(), "a");
        if (!probe)
            return false;
        std::fclose(probe);
    }
    const std::string temp = path + ".tmp";
    if (!write_text_file(temp, text)) {
        std::filesystem::remove(temp, ec);
        if (!existed)
            std::filesystem::remove(path, ec);
        return false;
    }
    std::filesystem::rename(temp, path, ec);
    if (!ec)
        return true;
    // Windows refuses to replace a file another process holds open (the game client may be
    // reading it); rewriting in place is what is left, and the text is known to be writable.
    std::filesystem::remove(temp, ec);
    return write_text_file(path, text);
}

void load_config(const std::string& path, LauncherConfig& config) {
    for_each_config_line(path, [&config](const std::string& line) {
        if (line.empty() || line[0] == '#' || line[0] == ';' || line[0] == '[')
            return;
        const auto eq = line.find('=');
        if (eq == std::string::npos)
            return;
        const std::string key = trim(line.substr(0, eq));
        const std::string value = trim(line.substr(eq + 1));
        if (key == "host") {
            config.host = value;
        } else if (key == "port") {
            config.port = atoi_clamped(value);
        } else if (key == "manifest") {
            config.manifest = value;
        } else if (key == "banners") {
            config.banners = value;
        } else if (key == "game_exe") {
            config.game_exe = value;
        } else if (key == "game_args") {
            config.game_args = value;
        } else if (key == "title") {
            config.title = value;
        } else if (key == "version") {
            config.version = value;
        } else if (key == "https") {
            config.https = value == "1";
        } else if (key == "download_limit") {
            parse_download_limit(value, config.download_limit);
        }
    });
}

std::string config_text(const LauncherConfig& config) {
    std::string text = "# Keldmoor Ashvow Launcher config\n";
    text += "host=" + config.host + "\n";
    text += "port=" + std::to_string(config.port) + "\n";
    // Only when set, so that the files of installations on plain HTTP stay as they were.
    if (config.https)
        text += "https=1\n";
    text += "manifest=" + config.manifest + "\n";
    text += "banners=" + config.banners + "\n";
    text += "game_exe=" + config.game_exe + "\n";
    text += "game_args=" + config.game_args + "\n";
    text += "title=" + config.title + "\n";
    text += "version=" + config.version + "\n";
    if (config.download_limit != 0)
        text += "download_limit=" + std::to_string(config.download_limit) + "\n";
    return text;
}

void save_config(const std::string& path, const LauncherConfig& config) {
    replace_text_file(path, config_text(config));
}

bool parse_download_limit(const std::string& text, int& limit) {
    if (text.empty() || text.size() > 4 || text.find_first_not_of("0123456789") != text.npos)
        return false;
    const int value = std::stoi(text);
    if (value > max_download_limit)
        return false;
    limit = value;
    return true;
}

bool save_download_limit(const std::string& path, const LauncherConfig& config, int limit) {
    constexpr std::size_t max_kept_text = std::size_t{1} << 20;
    std::string text;
    bool read = false;
    {
        std::ifstream in(path);
        std::string line;
        while (in && std::getline(in, line)) {
            read = true;
            const std::string trimmed = trim(line);
            const auto eq = trimmed.find('=');
            const bool comment = !trimmed.empty() && (trimmed[0] == '#' || trimmed[0] == ';');
            if (comment || eq == std::string::npos ||
                trim(trimmed.substr(0, eq)) != "download_limit")
                text += line + "\n";
            // No hand-edited file is this long; a damaged one is written anew.
            if (text.size() > max_kept_text) {
                read = false;
                break;
            }
        }
    }
    if (!read) {
        LauncherConfig written = config;
        written.download_limit = limit;
        return replace_text_file(path, config_text(written));
    }
    if (limit != 0)
        text += "download_limit=" + std::to_string(limit) + "\n";
    return replace_text_file(path, text);
}

}  // namespace km
