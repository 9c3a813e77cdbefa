// One update check: signed manifest, comparison through the verify cache, downloads into the
// staging folder, installation, and what the check tells its observer at each step.
#include "updater/update_check.h"

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <exception>
#include <filesystem>
#include <system_error>
#include <utility>
#include <vector>

#include "km/build_config.h"
#include "platform/files.h"
#include "platform/paths.h"
#include "updater/disk_space.h"
#include "updater/download_control.h"
#include "updater/download_plan.h"
#include "updater/manifest.h"
#include "updater/partial_download.h"
#include "updater/sha256.h"
#include "updater/staging.h"
#include "updater/status_texts.h"
#include "updater/transfer_meter.h"
#include "updater/transfers.h"
#include "updater/verify_cache.h"
#include "updater/version_floor.h"

namespace km::updater {

std::atomic<bool> update_in_progress{false};

namespace {

namespace fs = std::filesystem;

struct Outcome {
    bool ok = false;
    bool reload = false;
    bool restart = false;
};

// What one check carries from step to step.
struct Check {
    const UpdateTarget& target;
    CheckObserver& observer;
    bool repair = false;
    std::string game_path;
    std::string body;  // the manifest's exact bytes, as signed
    UpdateManifest manifest;
    std::vector<std::string> local;   // where each entry lives; empty for other platforms' entries
    std::vector<std::size_t> queue;   // the entries to download, in manifest order
    std::vector<std::size_t> linked;  // entries that differ but have a link on their way
    std::vector<std::string> staged;  // where each queued entry is downloaded to
    CheckSummary* summary = nullptr;  // what the check's summary counts as it goes
    std::vector<DownloadPlan> plans;  // how each queued entry is downloaded, in queue order
};

// Passes everything on to the check's observer and notes what the summary repeats.
class Summarising : public CheckObserver {
  public:
    Summarising(CheckObserver& inner, CheckSummary& summary) : inner_(inner), summary_(summary) {}
    void updating(bool is_updating) override { inner_.updating(is_updating); }
    void progress(const char* status, const char* state, double fraction) override {
        inner_.progress(status, state, fraction);
    }
    void final_progress(const char* status, const char* state) override {
        summary_.status = status;
        summary_.state = state;
        inner_.final_progress(status, state);
    }
    void server_status(bool online) override { inner_.server_status(online); }
    void version(const std::string& text) override {
        summary_.version = text;
        inner_.version(text);
    }
    void update_complete(int downloaded, bool restart_needed) override {
        inner_.update_complete(downloaded, restart_needed);
    }
    void transfer(std::uint64_t done, std::uint64_t total, std::uint64_t rate,
                  bool paused) override {
        inner_.transfer(done, total, rate, paused);
    }
    void reload_page() override { inner_.reload_page(); }
    void restart_prompt() override { inner_.restart_prompt(); }

  private:
    CheckObserver& inner_;
    CheckSummary& summary_;
};

enum class Fetched { ok, failed, paused };

// (min(received / total, 1) + index) / count; received / total counts as 0 when total is 0.
double download_fraction(std::uint64_t received, std::uint64_t total, int index, int count) {
    double f = total == 0 ? 0.0 : static_cast<double>(received) / static_cast<double>(total);
    if (f > 1.0)
        f = 1.0;
    return (f + static_cast<double>(index)) / static_cast<double>(count);
}

bool fail(Check& check, const char* text) {
    check.observer.final_progress(text, "error");
    return false;
}

// The request that ended the check, for the summary.
bool failed_request(Check& check, const std::string& path, std::string error, const char* text) {
    check.summary->failed_path = path;
    check.summary->error = std::move(error);
    return fail(check, text);
}

bool entry_applies(const ManifestEntry& entry) {
    return entry.platform != "linux";
}

// Where each entry lives locally. An entry path that could leave the installation folder makes
// the manifest unusable: false, before anything is compared or written. (Staged paths are built
// only for the files that are downloaded: a check of a current installation needs none.)
bool build_entry_paths(const UpdateManifest& manifest, const std::string& root,
                       std::vector<std::string>& local) {
    local.assign(manifest.files.size(), {});
    std::vector<std::string> paths;
    paths.reserve(manifest.files.size());
    for (std::size_t i = 0; i < manifest.files.size(); ++i) {
        const ManifestEntry& entry = manifest.files[i];
        if (!entry_applies(entry))
            continue;
        if (!is_safe_entry_path(entry.path) ||
            (build::windows_path_rules && !windows_name_problem(entry.path).empty()))
            return false;
        local[i] = join_path(root, entry.path);
        paths.push_back(entry.path);
    }
    // Two entries for one file, or one in the staging folder, would never settle: each check
    // would install one over the other, or install it and delete it with the staging folder.
    return entry_paths_problem(paths).empty();
}

// The game client staged beside itself by an earlier check is finished before anything else.
void begin_check(Check& check) {
    check.observer.updating(true);
    check.observer.progress(texts::checking_start, "working", 0.0);
    check.game_path = check.target.root + build::path_separator + check.target.game_exe;
    if (apply_pending_update(check.game_path, check.target.root))
        remove_old_copy(check.game_path, check.target.root);
}

ServerAddress server_of(const UpdateTarget& target) {
    return {target.host, target.port, target.scheme};
}

bool fetch_manifest(Check& check) {
    std::string error;
    TransferError failure = TransferError::success;
    if (!http_get(server_of(check.target), check.target.manifest, check.body, error, &failure)) {
        check.summary->failed_path = check.target.manifest;
        check.summary->error = error;
        char text[384];
        std::snprintf(text, sizeof text, texts::offline, error.c_str());
        // Trying again will not help a certificate that does not verify; saying so also tells
        // a player on a network that intercepts TLS why nothing works.
        check.observer.final_progress(
            certificate_untrusted(failure) ? texts::offline_untrusted : text, "error");
        check.observer.server_status(false);
        return false;
    }
    check.observer.server_status(true);
    check.summary->bytes += check.body.size();
    return true;
}

bool verify_signature(Check& check) {
    std::string signature, error;
    const std::string path = check.target.manifest + ".sig";
    if (!http_get(server_of(check.target), path, signature, error))
        return failed_request(check, path, error, texts::signature_missing);
    check.summary->bytes += signature.size();
    if (signature.size() != 64)
        return failed_request(check, path, std::to_string(signature.size()) + " bytes, not 64",
                              texts::signature_missing);
    if (!verify_manifest_signature(reinterpret_cast<const std::uint8_t*>(signature.data()),
                                   reinterpret_cast<const std::uint8_t*>(check.body.data()),
                                   check.body.size()))
        return fail(check, texts::signature_invalid);
    return true;
}

// No game file comes near max_entry_size; a manifest that says otherwise is not a release.
bool sizes_plausible(const UpdateManifest& manifest) {
    return std::ranges::none_of(manifest.files,
                                [](const ManifestEntry& e) { return e.size > max_entry_size; });
}

ReleaseVersion version_of(const UpdateManifest& m) {
    return {m.major, m.minor, m.patch};
}

// An older release keeps its valid signature for ever: a server, a stale mirror or anyone on
// the path could replay it and downgrade the installation. Refused before anything is compared;
// an equal version is the same release again (a repair, or files damaged since).
bool at_or_above_floor(Check& check) {
    ReleaseVersion floor;
    const ReleaseVersion offered = version_of(check.manifest);
    if (!load_version_floor(check.target.root, check.target.manifest, floor) || offered >= floor)
        return true;
    char text[160];
    std::snprintf(text, sizeof text, texts::downgrade_blocked, offered.major, offered.minor,
                  offered.patch, floor.major, floor.minor, floor.patch);
    return fail(check, text);
}

bool read_manifest(Check& check) {
    if (!parse_manifest(check.body, check.manifest) ||
        !build_entry_paths(check.manifest, check.target.root, check.local) ||
        !sizes_plausible(check.manifest))
        return fail(check, texts::manifest_invalid);
    if (!at_or_above_floor(check))
        return false;
    const UpdateManifest& m = check.manifest;
    char version[32];
    std::snprintf(version, sizeof version, "%d.%d.%d", m.major, m.minor, m.patch);
    check.observer.version(version);
    return true;
}

// Whether the local copy of entry `idx` differs from the manifest; its digest is recorded in
// `new_cache` whenever the file could be read.
bool needs_download(Check& check, std::size_t idx, const VerifyCache& old_cache,
                    VerifyCache& new_cache) {
    const ManifestEntry& entry = check.manifest.files[idx];
    const int i = static_cast<int>(idx) + 1;
    const int total = static_cast<int>(check.manifest.files.size());
    char text[256];
    std::snprintf(text, sizeof text, texts::checking, entry.path.c_str(), i, total);
    check.observer.progress(text, "working", static_cast<double>(i) / static_cast<double>(total));
    // Whatever lies behind a link is not the installation's own: never hashed, never recorded,
    // never current. set_aside_linked takes the entry out of the queue again.
    if (link_below(check.target.root, entry.path))
        return true;

    ++check.summary->checked;
    const FileStat stat = file_stat(check.local[idx]);
    std::string hash;
    if (stat.ok)
        hash = lookup_verify_cache(old_cache, entry.path, stat.size, stat.mtime);
    if (hash.empty())
        hash = sha256_file(check.local[idx]);
    if (stat.ok && !hash.empty())
        record_verify_cache(new_cache, entry.path, stat.size, stat.mtime, hash);
    return hash != entry.sha256;
}

// A repair queues every entry of this platform without looking at the files, and neither reads
// nor writes the verify cache.
void compare_files(Check& check) {
    const std::size_t count = check.manifest.files.size();
    const VerifyCache old_cache =
        check.repair ? VerifyCache{} : load_verify_cache(check.target.root);
    VerifyCache new_cache;
    new_cache.reserve(count);
    for (std::size_t idx = 0; idx < count; ++idx) {
        if (!entry_applies(check.manifest.files[idx]))
            continue;
        if (check.repair || needs_download(check, idx, old_cache, new_cache))
            check.queue.push_back(idx);
    }
    if (!check.repair)
        save_verify_cache(check.target.root, new_cache);
}

// Removes the links on the way from `base` to `relative`, each link itself and never what it
// leads to: used where every component is the launcher's own scratch (the staging folder).
void remove_links_below(const std::string& base, const std::string& relative) {
    std::string path = base;
    for (std::size_t start = 0; start < relative.size();) {
        std::size_t end = relative.find_first_of(build::windows_path_rules ? "/\\" : "/", start);
        if (end == std::string::npos)
            end = relative.size();
        path += build::path_separator;
        path.append(relative, start, end - start);
        const platform::PathKind kind = platform::path_kind(path);
        if (kind == platform::PathKind::link)
            platform::remove_link(path);
        if (kind != platform::PathKind::other)
            return;  // nothing is below a missing component, nor below a removed link
        start = end + 1;
    }
}

// An entry with a link on its way from the installation folder, or beside an executable where
// its pending copy goes, is never downloaded or installed: it is reported as in use, and the
// link stays as it is. Links in the staging folder are the launcher's own to remove.
void set_aside_linked(Check& check) {
    const std::string& root = check.target.root;
    std::erase_if(check.queue, [&](std::size_t idx) {
        const ManifestEntry& entry = check.manifest.files[idx];
        remove_links_below(root, "updates/" + entry.path);
        const bool link = link_below(root, entry.path) ||
                          link_below(root, "updates/" + entry.path) ||
                          (entry.executable && (link_below(root, entry.path + ".update") ||
                                                link_below(root, entry.path + ".update.part")));
        if (link)
            check.linked.push_back(idx);
        return link;
    });
}

Outcome report_current(Check& check) {
    // A check killed between its installs and its clean-up leaves the staging folder behind.
    remove_staging_dir(check.target.root);
    const UpdateManifest& m = check.manifest;
    raise_version_floor(check.target.root, check.target.manifest, version_of(m));
    char text[128];
    std::snprintf(text, sizeof text, texts::up_to_date, m.major, m.minor, m.patch);
    check.observer.final_progress(text, "success");
    check.observer.update_complete(0, false);
    return {true, false, false};
}

// A partial file is worth keeping only with a note to continue it by.
void keep_partial_if_noted(const std::string& staged, const ManifestEntry& entry) {
    if (read_partial_note(staged, entry.sha256).empty()) {
        std::error_code ec;
        fs::remove(fs::u8path(staged), ec);
    }
}

// Downloads queued entry `k` into the staging folder and checks its digest.
Fetched download_one(Check& check, int k, TransferMeter& meter, const DownloadSession& session) {
    const std::size_t idx = check.queue[k];
    const ManifestEntry& entry = check.manifest.files[idx];
    const int n = static_cast<int>(check.queue.size());
    char text[256];
    std::snprintf(text, sizeof text, texts::downloading, entry.path.c_str(), k + 1, n);
    CheckObserver& observer = check.observer;
    observer.progress(text, "working", static_cast<double>(k) / static_cast<double>(n));
    const auto download_progress = [&observer, &text, k, n](std::uint64_t received,
                                                            std::uint64_t total) {
        observer.progress(text, "working", download_fraction(received, total, k, n));
        return true;  // a download is never cancelled from here
    };

    const DownloadPlan& plan = check.plans[k];
    // A check that failed later on left this file downloaded and whole: the page sees it arrive
    // at once, and the server sends it only once.
    if (plan.kind == DownloadPlan::Kind::staged) {
        download_progress(plan.kept, plan.kept);
        return Fetched::ok;
    }
    const std::string& staged = check.staged[idx];
    const bool resuming = plan.kind == DownloadPlan::Kind::resume;
    if (!resuming)
        remove_partial_note(staged);  // a note never outlives the bytes it was written for
    ResumableDownload resume;
    if (resuming) {
        resume.kept = plan.kept;
        resume.validator = plan.validator;
    }
    // The signed size bounds what a hostile server can write into the staging folder.
    if (entry.size_given)
        resume.size = entry.size;
    DownloadHooks hooks;
    hooks.progress = [&download_progress](std::size_t received, std::size_t announced) {
        return download_progress(received, announced);
    };
    // The note goes down before the first byte of a new file: a kill at any later moment
    // leaves a partial file that the next check continues.
    hooks.started = [&](const HttpResponseHead& head, bool from_start) {
        if (!from_start)
            return true;
        if (resuming)
            meter.grow(plan.kept);
        const std::string validator = plan.may_note ? answer_validator(head) : std::string();
        if (validator.empty() || !write_partial_note(staged, entry.sha256, validator))
            remove_partial_note(staged);
        return true;
    };
    hooks.received = [&meter, &check](std::size_t bytes) {
        meter.add(bytes);
        check.summary->bytes += bytes;
    };
    hooks.stop = [&session] { return session.pause_requested(); };
    std::string digest, error;
    const std::string remote = "/launcher_files/" + entry.path;
    const DownloadEnd end = http_download_resumable(server_of(check.target), remote.c_str(), staged,
                                                    resume, hooks, &digest, &error);
    if (end == DownloadEnd::stopped || end == DownloadEnd::cut) {
        keep_partial_if_noted(staged, entry);
        if (end == DownloadEnd::stopped)
            return Fetched::paused;
    }
    if (end != DownloadEnd::done) {
        if (end == DownloadEnd::failed)
            remove_partial_note(staged);
        failed_request(check, remote, error, texts::download_failed);
        return Fetched::failed;
    }
    remove_partial_note(staged);
    ++check.summary->downloaded;

    // The digest of the whole file as written: the staged file is never read back.
    if (digest != entry.sha256) {
        std::error_code ec;
        fs::remove(fs::u8path(staged), ec);
        failed_request(check, remote, "SHA-256 differs from the manifest's", texts::verify_failed);
        return Fetched::failed;
    }
    return Fetched::ok;
}

// How each queued entry is downloaded; the bytes that leaves to fetch.
std::uint64_t plan_downloads(Check& check) {
    const std::vector<bool> may_note = entries_that_may_note(check.manifest, check.queue);
    check.plans.clear();
    check.plans.reserve(check.queue.size());
    std::uint64_t total = 0;
    for (std::size_t k = 0; k < check.queue.size(); ++k) {
        const std::size_t idx = check.queue[k];
        const ManifestEntry& entry = check.manifest.files[idx];
        check.plans.push_back(plan_download(entry, check.staged[idx], may_note[k]));
        const std::uint64_t bytes = bytes_to_fetch(entry, check.plans.back());
        total = bytes > UINT64_MAX - total ? UINT64_MAX : total + bytes;
    }
    return total;
}

// False, having told the observer, when the installation's volume cannot take `needed` bytes
// and the margin. A volume whose free space cannot be read is given the benefit of the doubt.
bool enough_space(Check& check, std::uint64_t needed) {
    if (needed == 0)
        return true;
    std::uint64_t free = 0;
    const std::string& root = check.target.root;
    const bool known = check.target.free_space ? check.target.free_space(root, free)
                                               : query_free_space(root, free);
    if (!known || (free >= needed && free - needed >= disk_space_margin))
        return true;
    const std::uint64_t wanted =
        needed > UINT64_MAX - disk_space_margin ? UINT64_MAX : needed + disk_space_margin;
    return fail(check, disk_full_text(wanted, free).c_str());
}

bool download_files(Check& check) {
    const std::string staging = join_path(check.target.root, "updates");
    check.staged.assign(check.manifest.files.size(), {});
    for (std::size_t idx : check.queue)
        check.staged[idx] = join_path(staging, check.manifest.files[idx].path);
    if (check.queue.empty())
        return true;
    const DownloadSession session;
    const std::uint64_t total = plan_downloads(check);
    if (!enough_space(check, total))
        return false;
    create_staging_dir(check.target.root);
    TransferMeter meter(check.observer, total);
    for (int k = 0; k < static_cast<int>(check.queue.size()); ++k) {
        const Fetched fetched =
            session.pause_requested() ? Fetched::paused : download_one(check, k, meter, session);
        if (fetched == Fetched::paused) {
            // What came so far stays in the staging folder for the next check to go on from.
            meter.paused();
            check.observer.final_progress(texts::download_paused, "warning");
            return false;
        }
        if (fetched == Fetched::failed)
            return false;
    }
    meter.finish();
    return true;
}

// A file that cannot be replaced now (in use) is left staged and counted for the warning.
Outcome install_files(Check& check) {
    check.observer.progress(texts::applying, "working", 1.0);
    Outcome outcome{true, false, false};
    int in_use = static_cast<int>(check.linked.size());
    std::string example =
        check.linked.empty() ? std::string() : check.manifest.files[check.linked[0]].path;
    for (std::size_t idx : check.queue) {
        const ManifestEntry& entry = check.manifest.files[idx];
        bool installed = false;
        try {
            installed = install_staged_file(check.staged[idx], check.local[idx], entry.executable,
                                            check.target.root);
        } catch (const std::exception&) {
            installed = false;
        }
        if (!installed) {
            if (in_use++ == 0)
                example = entry.path;
            continue;
        }
        if (entry.path.compare(0, 4, "web/") == 0)
            outcome.reload = true;
        if (entry.path == build::launcher_exe_name)
            outcome.restart = true;
    }
    check.summary->in_use = in_use;
    if (in_use > 0) {
        char text[256];
        std::snprintf(text, sizeof text, texts::in_use, in_use, example.c_str());
        check.observer.final_progress(text, "warning");
    }
    return outcome;
}

void finish_update(Check& check, const Outcome& outcome) {
    remove_staging_dir(check.target.root);
    apply_pending_update(check.game_path, check.target.root);
    remove_old_copy(check.game_path, check.target.root);

    const UpdateManifest& m = check.manifest;
    // Every file is installed, staged or counted in use: this release is what the folder holds.
    raise_version_floor(check.target.root, check.target.manifest, version_of(m));
    // An entry behind a link is not in place: the in-use warning stays the check's last word.
    if (check.linked.empty()) {
        char text[128];
        std::snprintf(text, sizeof text, outcome.restart ? texts::updated_restart : texts::updated,
                      m.major, m.minor, m.patch);
        check.observer.final_progress(text, "success");
    }
    check.observer.update_complete(static_cast<int>(check.queue.size()), outcome.restart);
}

Outcome run_check(Check& check) {
    begin_check(check);
    if (!fetch_manifest(check) || !verify_signature(check) || !read_manifest(check))
        return {};
    compare_files(check);
    set_aside_linked(check);
    if (check.queue.empty() && check.linked.empty())
        return report_current(check);
    if (!download_files(check))
        return {};
    const Outcome outcome = install_files(check);
    finish_update(check, outcome);
    return outcome;
}

// Removes a folder depth first; a link in it goes as a link, never entered, so what it leads to
// stays: mingw-w64's remove_all would walk into a junction.
void remove_tree(const fs::path& folder) {
    std::error_code ec;
    for (fs::directory_iterator it(folder, ec), end; !ec && it != end; it.increment(ec)) {
        const fs::path entry = it->path();
        const std::u8string name = entry.u8string();
        const std::string path(name.begin(), name.end());
        if (platform::path_kind(path) == platform::PathKind::link) {
            platform::remove_link(path);
            continue;
        }
        if (it->is_directory(ec))
            remove_tree(entry);
        else
            fs::remove(entry, ec);
    }
    fs::remove(folder, ec);
}

}  // namespace

bool create_staging_dir(const std::string& root) {
    const std::string staging = join_path(root, "updates");
    // The staging folder is the launcher's own: a link in its place goes, never what it leads to.
    if (platform::path_kind(staging) == platform::PathKind::link && !platform::remove_link(staging))
        return false;
    std::error_code ec;
    fs::create_directories(fs::u8path(staging), ec);
    return !ec;
}

void remove_staging_dir(const std::string& root) {
    const std::string staging = join_path(root, "updates");
    const platform::PathKind kind = platform::path_kind(staging);
    if (kind == platform::PathKind::link)
        platform::remove_link(staging);
    else if (kind == platform::PathKind::other)
        remove_tree(fs::u8path(staging));
}

bool run_update_check(const UpdateTarget& target, CheckObserver& observer, bool repair) {
    // The claim itself: whoever flips the flag first runs; everybody else leaves without a word.
    if (update_in_progress.exchange(true))
        return false;

    const auto start = std::chrono::steady_clock::now();
    CheckSummary summary;
    summary.repair = repair;
    summary.host = target.host;
    summary.port = target.port;
    summary.scheme = target.scheme;
    Summarising summarising(observer, summary);
    Check check{target, summarising};
    check.repair = repair;
    check.summary = &summary;
    Outcome outcome;
    try {
        outcome = run_check(check);
    } catch (...) {
        // Nothing here may end the process; the page hears that the check stopped.
        outcome = {};
        try {
            summarising.final_progress(texts::update_failed, "error");
        } catch (...) {
        }
    }
    try {
        observer.updating(false);
    } catch (...) {
    }
    update_in_progress.store(false);
    summary.ok = outcome.ok;
    summary.milliseconds = std::chrono::duration_cast<std::chrono::milliseconds>(
                               std::chrono::steady_clock::now() - start)
                               .count();
    try {
        observer.summary(summary);
    } catch (...) {
    }

    if (outcome.restart)
        observer.restart_prompt();
    else if (outcome.reload)
        observer.reload_page();
    return outcome.ok;
}

}  // namespace km::updater
