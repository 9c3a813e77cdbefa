#include "launcher/app_state.h"

#include "km/build_config.h"
#include "platform/files.h"

namespace km {

std::string exe_dir;
LauncherConfig launcher_config;

std::string exe_path(const std::string& name) {
    return exe_dir + build::path_separator + name;
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

bool link_on_the_way(const std::string& path) {
    const std::string inside = exe_dir + build::path_separator;
    if (!exe_dir.empty() && path.compare(0, inside.size(), inside) == 0)
        return link_below(exe_dir, path.substr(inside.size()));
    return platform::path_kind(path) == platform::PathKind::link;
}

}  // namespace km
