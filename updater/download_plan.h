// How a check gets each file it downloads into the staging folder: already there and whole from
// an earlier check, continued from a partial file, or fetched whole; and how many bytes that
// costs.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "updater/manifest.h"

namespace km::updater {

struct DownloadPlan {
    enum class Kind { fetch, resume, staged };
    Kind kind = Kind::fetch;
    std::uint64_t kept = 0;  // resume: the bytes already there; staged: the file's size
    std::string validator;   // resume: the noted validator
    // Whether a note may lie beside the staged file: the file has a signed size, and no entry of
    // the manifest has its file where the note would go.
    bool may_note = false;
};

// For each queued entry (by queue position), whether its note would lie clear of every
// entry's staged file; names compared without regard to letter case, as Windows compares them.
std::vector<bool> entries_that_may_note(const UpdateManifest& manifest,
                                        const std::vector<std::size_t>& queue);

// What is at `staged` for `entry`, and so what its download is.
DownloadPlan plan_download(const ManifestEntry& entry, const std::string& staged, bool may_note);

// The bytes the plan leaves to fetch (0 for an entry without a signed size that is fetched:
// nobody can tell).
std::uint64_t bytes_to_fetch(const ManifestEntry& entry, const DownloadPlan& plan);

}  // namespace km::updater
