// Reading a release folder: which files are published, under which manifest paths, and whether
// they are fit to be published at all.
#pragma once

#include "updater/manifest.h"

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

namespace km::tools {

struct ReleaseFile {
    std::string path;              // manifest path: relative, forward slashes
    std::filesystem::path source;  // where it lies in the release folder
    std::uint64_t size = 0;
    std::string sha256;  // lower-case hex, from updater's sha256_file
    bool executable = false;
};

// Files that belong to the player's installation, never to a release: the launcher's and the
// game's settings, the verify cache, the launcher's caches and staging folder, and the
// companion files of pending replacements.
const std::vector<std::string>& default_excludes();

// Glob rules, as in .gitignore: a trailing "/" matches folders only (with all they hold); a
// pattern holding another "/" is anchored at the release folder and matched against the whole
// path ("/" is never matched by a wildcard); a pattern without one matches a name at any depth.
// Wildcards: "*", "?", "[...]".
bool is_excluded(const std::vector<std::string>& patterns, const std::string& path, bool is_folder);

// Names the launcher finishes pending replacements for, at the top of the installation: its own
// executable on both platforms and the game clients.
std::vector<std::string> default_executables(const std::vector<std::string>& game_exes);

// The launcher's own Windows path rules, so a release refused by launchers is refused here.
using updater::windows_name_problem;

struct ScanOptions {
    std::vector<std::string> excludes;  // defaults included by the caller
    bool windows_names = true;          // refuse names that Windows clients cannot create
};

// Walks `root` (a symbolic link anywhere in it, or `root` itself a link, is a problem; so are
// leftovers of km-sign, "*.km-sign.*"), hashes every published file and returns them sorted by
// path (byte order). Every problem is appended
// to `problems` as "<file>: <what>"; the result is only usable when none was added.
std::vector<ReleaseFile> scan_release(const std::filesystem::path& root, const ScanOptions& options,
                                      std::vector<std::string>& problems);

}  // namespace km::tools
