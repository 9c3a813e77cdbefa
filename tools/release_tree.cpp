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
    fs::path canonical_root;
    const ScanOptions& options;
    std::vector<std::string>& problems;
    std::vector<ReleaseFile> files;

    void problem(const fs::path& where, const std::string& what) {
        problems.push_back(printable(where.string()) + ": " + what);
    }

    bool inside_root(const fs::path& target) const {
        auto r = canonical_root.begin();
        auto t = target.begin();
        for (; r != canonical_root.end(); ++r, ++t) {
            if (t == target.end() || *r != *t) {
                return false;
            }
        }
        return true;
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
        const fs::file_status link_status = fs::symlink_status(entry, ec);
        if (ec) {
            problem(entry, "cannot read its status: " + ec.message());
            return;
        }
        fs::file_status status = link_status;
        if (fs::is_symlink(link_status)) {
            const fs::path target = fs::canonical(entry, ec);
            if (ec) {
                problem(entry, "is a symbolic link that leads nowhere (" + ec.message() + ")");
                return;
            }
            if (!inside_root(target)) {
                problem(entry, "is a symbolic link that leaves the release folder (to " +
                                   printable(target.string()) + ")");
                return;
            }
            status = fs::status(target, ec);
        }
        const bool folder = fs::is_directory(status);
        if (is_excluded(options.excludes, rel, folder)) {
            return;
        }
        const std::string name = entry.filename().string();
        if (!is_valid_utf8(name)) {
            problem(entry, "the name is not valid UTF-8");
            return;
        }
        if (folder) {
            if (fs::is_symlink(link_status)) {
                problem(entry, "is a symbolic link to a folder; only links to files are published");
                return;
            }
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
        const int fd = ::open(entry.c_str(), O_RDONLY | O_CLOEXEC);
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
    Walker walker{root, fs::canonical(root, ec), options, problems, {}};
    if (ec || !fs::is_directory(walker.canonical_root)) {
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
