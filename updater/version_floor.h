// The highest release version installed, per manifest path: an older release, however validly
// signed, never replaces a newer one.
#pragma once

#include <compare>
#include <string>

namespace km::updater {

struct ReleaseVersion {
    int major = 0;
    int minor = 0;
    int patch = 0;
    // (major, minor, patch), each compared as a number.
    friend auto operator<=>(const ReleaseVersion&, const ReleaseVersion&) = default;
};

// Directly in the installation folder; the launcher's own, so no manifest may name it.
inline constexpr char version_floor_file[] = "launcher_version_floor.txt";

// The highest version a completed check installed from `manifest` (a target's manifest path) in
// the installation at `root`. False when none is known: no file, no record of that path, or a
// damaged file, which counts as no floor at all.
bool load_version_floor(const std::string& root, const std::string& manifest,
                        ReleaseVersion& floor);

// Records `installed` for `manifest` unless the floor is already as high. Only after a check
// completed; never through a link, and by rename, so the file is always whole.
void raise_version_floor(const std::string& root, const std::string& manifest,
                         const ReleaseVersion& installed);

}  // namespace km::updater
