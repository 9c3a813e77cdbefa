// The manifest document as the launcher reads it, written the same way byte for byte for the
// same release.
#pragma once

#include <string>
#include <vector>

#include "tools/release_tree.h"

namespace km::tools {

struct ReleaseVersion {
    int major = 0;
    int minor = 0;
    int patch = 0;
};

// "X.Y.Z": three decimal numbers, each 0 to 2147483647 (the launcher keeps them as int).
bool parse_release_version(const std::string& text, ReleaseVersion& out);

// UTF-8 JSON, compact, one line per file entry, members in a fixed order, files in the given
// order, ending with a line feed. Paths and platform must be valid UTF-8.
std::string build_manifest(const ReleaseVersion& version, const std::vector<ReleaseFile>& files,
                           const std::string& platform);

}  // namespace km::tools
