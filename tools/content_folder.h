// Writing a release into the folder the update server serves, so that a client never sees a
// manifest whose files are not there yet.
#pragma once

#include <array>
#include <cstddef>
#include <filesystem>
#include <string>
#include <vector>

#include "tools/release_tree.h"
#include "tools/signing_key.h"

namespace km::tools {

// The folder under the content folder that holds the files ("/launcher_files/" + path).
inline constexpr char files_folder[] = "launcher_files";
// Scratch space inside the content folder (same file system, so renames are atomic).
inline constexpr char staging_folder[] = ".km-publish-staging";

struct PublishPlan {
    std::filesystem::path content;
    std::string manifest_name;  // relative path below `content`
    std::string manifest_text;
    Signature signature{};
    std::vector<ReleaseFile> files;  // already validated and hashed
    std::array<int, 3> version{};    // major, minor, patch of `manifest_text`
    // Whether a version below the one of the manifest already there may replace it.
    bool allow_downgrade = false;
};

struct PublishOutcome {
    std::size_t written = 0;  // files whose content changed
    std::size_t removed = 0;  // files no longer in the manifest
    bool manifest_written = false;
};

// Order: every new or changed file is copied to scratch space and checked against its hash
// (a failure here leaves the content folder as it was); then the files are renamed into place,
// then the signature, then the manifest; files the new manifest no longer lists are removed
// last. Holds an exclusive lock on the content folder throughout. Refuses, before writing
// anything, a content folder that is a symbolic link or holds one where it writes or deletes
// (launcher_files/ and all below it, the staging folder, the manifest's way and the manifest),
// and a release older than the one there unless `allow_downgrade`.
bool write_release(const PublishPlan& plan, PublishOutcome& outcome, std::string& error);

}  // namespace km::tools
