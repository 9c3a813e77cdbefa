#include "tools/release_tree.h"

#include <fcntl.h>
#include <fnmatch.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <map>

#include "tools/tool_common.h"
#include "updater/manifest.h"
#include "updater/sha256.h"

namespace km::tools {

namespace fs = std::filesystem;

const std::vector<std::string>& default_excludes() {
    static const std::vector<std::string> patterns = {
        "/launcher.ini",
        "/settings.ini",
        "/launcher_verify_cache.txt",
        "/launcher.lock",
        "/launcher_version_floor.txt",
        "/launcher_version_floor.txt.tmp",
        "/cache/",
        "/updates/",
        "*.update",
        "*.old",
    };
    return patterns;
}

bool is_excluded(const std::vector<std::string>& patterns, const std::string& path,
                 bool is_folder) {
    const auto slash = path.rfind('/');
    const std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
    for (std::string pattern : patterns) {
        if (pattern.empty()) {
            continue;
        }
        if (pattern.back() == '/') {
            if (!is_folder) {
                continue;
            }
            pattern.pop_back();
        }
        const bool anchored = pattern.find('/') != std::string::npos;
        if (anchored && pattern.front() == '/') {
            pattern.erase(0, 1);
        }
        const std::string& subject = anchored ? path : name;
        if (::fnmatch(pattern.c_str(), subject.c_str(), FNM_PATHNAME) == 0) {
            return true;
        }
    }
    return false;
}

std::vector<std::string> default_executables(const std::vector<std::string>& game_exes) {
    std::vector<std::string> names = {"Launcher.exe", "Launcher", "Game_x64_win.exe",
                                      "Game_x64_win_beta.exe"};
    names.insert(names.end(), game_exes.begin(), game_exes.end());
    return names;
}

namespace {

struct Walker {
    const fs::path& root;
    const ScanOptions& options;
    std::vector<std::string>& problems;
    std::vector<ReleaseFile> files;

    void problem(const fs::path& where, const std::string& what) {
        problems.push_back(printable(where.string()) + ": " + what);
    }

    void walk(const fs::path& folder, const std::string& prefix) {
        std::error_code ec;
        std::vector<fs::path> entries;
        for (fs::directory_iterator it(folder, ec), end; !ec && it != end; it.increment(ec)) {
            entries.push_back(it->path());
        }
        if (ec) {
            problem(folder, "cannot list the folder: " + ec.message());
            return;
        }
        std::sort(entries.begin(), entries.end());
        for (const fs::path& entry : entries) {
            visit(entry, prefix + entry.filename().string());
        }
    }

    void visit(const fs::path& entry, const std::string& rel) {
        std::error_code ec;
        const fs::file_status status = fs::symlink_status(entry, ec);
        if (ec) {
            problem(entry, "cannot read its status: " + ec.message());
            return;
        }
        // A link would reach players' machines as a copy of what it named, or not at all: the
        // release folder must be the installation exactly, so a link is refused wherever it is.
        if (fs::is_symlink(status)) {
            problem(entry, "is a symbolic link; copy what it names into the release instead");
            return;
        }
        const std::string name = entry.filename().string();
        if (::fnmatch("*.km-sign.*", name.c_str(), 0) == 0) {
            problem(entry, "was left behind by an interrupted km-sign; delete it and sign again");
            return;
        }
        const bool folder = fs::is_directory(status);
        if (is_excluded(options.excludes, rel, folder)) {
            return;
        }
        if (!is_valid_utf8(name)) {
            problem(entry, "the name is not valid UTF-8");
            return;
        }
        if (folder) {
            walk(entry, rel + "/");
            return;
        }
        if (!fs::is_regular_file(status)) {
            problem(entry, "is not a regular file");
            return;
        }
        if (!updater::is_safe_entry_path(rel)) {
            problem(entry, "cannot be a manifest path (" + printable(rel) + ")");
            return;
        }
        if (options.windows_names) {
            if (const std::string why = windows_name_problem(rel); !why.empty()) {
                problem(entry, why);
                return;
            }
        }
        // Open it once ourselves so that a failure names its cause; the hash itself must come
        // from the same function the launcher uses.
        const int fd = ::open(entry.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
        if (fd < 0) {
            problem(entry, std::string("cannot be read: ") + std::strerror(errno));
            return;
        }
        ::close(fd);
        ReleaseFile file;
        file.path = rel;
        file.source = entry;
        file.size = fs::file_size(entry, ec);
        if (!ec && file.size > updater::max_entry_size) {
            problem(entry, "is larger than the 64 GiB launchers accept for one file");
            return;
        }
        file.sha256 = updater::sha256_file(entry.string());
        if (ec || file.sha256.empty()) {
            problem(entry, "cannot be read");
            return;
        }
        files.push_back(std::move(file));
    }
};

}  // namespace

std::vector<ReleaseFile> scan_release(const fs::path& root, const ScanOptions& options,
                                      std::vector<std::string>& problems) {
    std::error_code ec;
    if (const std::string link = first_link(root, ""); !link.empty()) {
        problems.push_back(printable(link) +
                           ": is a symbolic link; name the release folder itself");
        return {};
    }
    Walker walker{root, options, problems, {}};
    if (!fs::is_directory(fs::symlink_status(root, ec))) {
        problems.push_back(printable(root.string()) + ": is not a folder");
        return {};
    }
    walker.walk(root, "");
    std::sort(walker.files.begin(), walker.files.end(),
              [](const ReleaseFile& a, const ReleaseFile& b) { return a.path < b.path; });
    // The launcher's own rule for a whole manifest: one file per path, whatever the case, and
    // nothing in its staging folder.
    std::vector<std::string> paths;
    paths.reserve(walker.files.size());
    for (const ReleaseFile& file : walker.files)
        paths.push_back(file.path);
    if (const std::string why = updater::entry_paths_problem(paths); !why.empty())
        problems.push_back(printable(why));
    return std::move(walker.files);
}

}  // namespace km::tools
