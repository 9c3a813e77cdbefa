#include "updater/download_plan.h"

#include <filesystem>
#include <system_error>
#include <unordered_set>

#include "updater/partial_download.h"
#include "updater/staging.h"

namespace km::updater {

namespace fs = std::filesystem;

namespace {

std::string lower_case(std::string text) {
    for (char& c : text) {
        if (c >= 'A' && c <= 'Z')
            c = static_cast<char>(c - 'A' + 'a');
    }
    return text;
}

}  // namespace

std::vector<bool> entries_that_may_note(const UpdateManifest& manifest,
                                        const std::vector<std::size_t>& queue) {
    // A note written over another entry's staged file would be installed in its place.
    std::unordered_set<std::string> names;
    names.reserve(manifest.files.size());
    for (const ManifestEntry& entry : manifest.files)
        names.insert(lower_case(entry.path));
    std::vector<bool> may;
    may.reserve(queue.size());
    for (std::size_t idx : queue) {
        const ManifestEntry& entry = manifest.files[idx];
        may.push_back(entry.size_given &&
                      !names.contains(lower_case(partial_note_path(entry.path))));
    }
    return may;
}

DownloadPlan plan_download(const ManifestEntry& entry, const std::string& staged, bool may_note) {
    DownloadPlan plan;
    plan.may_note = may_note;
    std::error_code ec;
    const fs::path path = fs::u8path(staged);
    if (!fs::is_regular_file(fs::symlink_status(path, ec)))
        return plan;
    std::uint64_t size = fs::file_size(path, ec);
    if (ec)
        return plan;
    // A partial file as long as the signed size or longer is no partial file of that entry.
    if (may_note && size > 0 && size < entry.size) {
        plan.validator = read_partial_note(staged, entry.sha256);
        if (!plan.validator.empty()) {
            plan.kind = DownloadPlan::Kind::resume;
            plan.kept = size;
            return plan;
        }
    }
    // A check that failed later on left this file downloaded and whole.
    if ((!entry.size_given || size == entry.size) &&
        staged_file_verified(staged, entry.sha256, size)) {
        plan.kind = DownloadPlan::Kind::staged;
        plan.kept = size;
    }
    return plan;
}

std::uint64_t bytes_to_fetch(const ManifestEntry& entry, const DownloadPlan& plan) {
    switch (plan.kind) {
        case DownloadPlan::Kind::staged:
            return 0;
        case DownloadPlan::Kind::resume:
            return entry.size - plan.kept;
        case DownloadPlan::Kind::fetch:
            break;
    }
    return entry.size_given ? entry.size : 0;
}

}  // namespace km::updater
