#include "platform/paths.h"

#include <filesystem>
#include <string_view>
#include <system_error>

#include "km/build_config.h"
#include "platform/files.h"

namespace km {

std::string join_path(const std::string& dir, const std::string& relative) {
    std::string joined = dir;
    if (joined.empty() || (joined.back() != '/' && joined.back() != '\\'))
        joined += build::path_separator;
    for (char c : relative)
        joined += c == '/' ? build::path_separator[0] : c;
    return joined;
}

std::string parent_of(const std::string& path) {
    const std::string_view separators = build::windows_path_rules ? "\\/" : "/";
    std::size_t cut = path.find_last_of(separators);
    if (cut == std::string::npos)
        return {};
    while (cut > 0 && separators.find(path[cut - 1]) != std::string_view::npos)
        --cut;
    if (cut == 0)
        return path.substr(0, 1);
    return path.substr(0, cut);
}

bool exists_quietly(const std::string& path) {
    std::error_code ec;
    return std::filesystem::exists(std::filesystem::u8path(path), ec) && !ec;
}

bool link_below(const std::string& base, const std::string& relative) {
    std::string path = base;
    std::size_t start = 0;
    while (start <= relative.size()) {
        std::size_t end = relative.find_first_of(build::windows_path_rules ? "/\\" : "/", start);
        if (end == std::string::npos)
            end = relative.size();
        if (end > start) {
            path += build::path_separator;
            path.append(relative, start, end - start);
            const platform::PathKind kind = platform::path_kind(path);
            if (kind == platform::PathKind::link)
                return true;
            if (kind == platform::PathKind::missing)
                return false;  // nothing below a missing component exists either
        }
        start = end + 1;
    }
    return false;
}

bool link_on_the_way(const std::string& root, const std::string& path) {
    const std::string inside = root + build::path_separator;
    if (!root.empty() && path.compare(0, inside.size(), inside) == 0)
        return link_below(root, path.substr(inside.size()));
    return platform::path_kind(path) == platform::PathKind::link;
}

std::string file_url(const std::string& local_path) {
    std::string path = local_path;
    for (char& c : path) {
        if (c == '\\')
            c = '/';
    }
    // Characters that would end the path part or are not allowed in a URL are escaped, so a
    // folder named "Games #2" or "Jugar 100%" still loads its page and its images.
    static const char hex[] = "0123456789ABCDEF";
    std::string escaped;
    for (char ch : path) {
        const auto c = static_cast<unsigned char>(ch);
        const bool keep = c > 0x20 && c < 0x7F && c != '"' && c != '#' && c != '%' && c != '<' &&
                          c != '>' && c != '?' && c != '[' && c != ']' && c != '^' && c != '`' &&
                          c != '{' && c != '|' && c != '}';
        if (keep) {
            escaped += ch;
        } else {
            escaped += '%';
            escaped += hex[c >> 4];
            escaped += hex[c & 0xF];
        }
    }
    if (escaped.compare(0, 2, "//") == 0)
        return "file:" + escaped;  // \\server\share
    if (escaped.compare(0, 1, "/") == 0)
        return "file://" + escaped;
    return "file:///" + escaped;
}

std::string page_url(const std::string& dir) {
    std::string path = dir;
    // "C:\" and "/" keep their separator in exe_dir; the URL must not get an empty segment.
    while (!path.empty() && (path.back() == '/' || path.back() == '\\'))
        path.pop_back();
    return file_url(path + "/web/index.html");
}

}  // namespace km
