// One update check: signed manifest, comparison through the verify cache, downloads into the
// staging folder, installation, and the events that tell the page each step.
#include "updater/update_check.h"

#include <charconv>
#include <chrono>
#include <cstdio>
#include <exception>
#include <filesystem>
#include <limits>
#include <string_view>
#include <system_error>
#include <thread>
#include <vector>

#include "km/build_config.h"
#include "launcher/app_state.h"
#include "launcher/events.h"
#include "platform/files.h"
#include "platform/platform.h"
#include "updater/manifest.h"
#include "updater/sha256.h"
#include "updater/staging.h"
#include "updater/transfers.h"
#include "updater/verify_cache.h"

namespace km::updater {

std::atomic<bool> update_in_progress{false};

namespace {

namespace fs = std::filesystem;

// The last progress text this check posted: a flood of download progress calls mostly repeats
// the same three-decimal fraction, and the page could not tell those events apart.
struct CheckEvents {
    std::string last_progress;
};

void post_progress(std::string* last, const char* status, const char* state, double fraction) {
    // One buffer for the check's thread: a check of a large installation sends one "Checking"
    // event per file, and each would otherwise build, compare and free a text of its own.
    thread_local std::string text;
    text.clear();
    event_text::append_progress(text, status, state, fraction);
    if (last) {
        if (text == *last)
            return;
        *last = text;
    }
    post_ui_event(text);
}

// Errors, warnings and the final success text must reach the page even after a flood filled
// the window's queue.
void post_final_progress(CheckEvents& events, const char* status, const char* state) {
    std::string text = event_text::progress(status, state, 1.0);
    events.last_progress = text;
    post_ui_event_reliably(text);
}

struct Outcome {
    bool ok = false;
    bool reload = false;
    bool restart = false;
};

Outcome fail(CheckEvents& events, const char* text) {
    post_final_progress(events, text, "error");
    return {};
}

bool entry_applies(const ManifestEntry& entry) {
    return entry.platform != "linux";
}

// `dir` and a manifest path (components separated by "/") joined into one narrow path.
std::string join_path(const std::string& dir, const std::string& relative) {
    std::string joined = dir;
    if (joined.empty() || (joined.back() != '/' && joined.back() != '\\'))
        joined += build::path_separator;
    for (char c : relative)
        joined += c == '/' ? build::path_separator[0] : c;
    return joined;
}

// Where each entry lives locally. An entry path that could leave the installation folder makes
// the manifest unusable: false, before anything is compared or written. (Staged paths are built
// only for the files that are downloaded: a check of a current installation needs none.)
bool build_entry_paths(const UpdateManifest& manifest, std::vector<std::string>& local) {
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
        local[i] = join_path(exe_dir, entry.path);
        paths.push_back(entry.path);
    }
    // Two entries for one file, or one in the staging folder, would never settle: each check
    // would install one over the other, or install it and delete it with the staging folder.
    return entry_paths_problem(paths).empty();
}

std::string pending_game_path() {
    return exe_path(launcher_config.game_exe);
}

Outcome run_check(bool repair, CheckEvents& events) {
    post_ui_event_reliably(event_text::updating(true));
    post_progress(&events.last_progress, "Checking for updates...", "working", 0.0);

    const std::string game_path = pending_game_path();
    if (apply_pending_update(game_path))
        remove_old_copy(game_path);

    const std::string& host = launcher_config.host;
    const int port = launcher_config.port;
    std::string body, error;
    if (!http_get(host, port, launcher_config.manifest, body, error)) {
        char text[384];
        std::snprintf(text, sizeof text, "Offline: %s", error.c_str());
        post_final_progress(events, text, "error");
        post_ui_event_reliably(event_text::server_status(false));
        return {};
    }
    send_server_status(true);

    std::string signature;
    if (!http_get_quiet(host, port, launcher_config.manifest + ".sig", signature) ||
        signature.size() != 64)
        return fail(events, "Update blocked: missing or malformed manifest signature.");
    if (!verify_manifest_signature(reinterpret_cast<const std::uint8_t*>(signature.data()),
                                   reinterpret_cast<const std::uint8_t*>(body.data()), body.size()))
        return fail(events,
                    "Update blocked: manifest signature is INVALID (tampered or wrong key).");

    UpdateManifest manifest;
    std::vector<std::string> local;
    if (!parse_manifest(body, manifest) || !build_entry_paths(manifest, local))
        return fail(events, "Invalid manifest from server.");

    char version[32];
    std::snprintf(version, sizeof version, "%d.%d.%d", manifest.major, manifest.minor,
                  manifest.patch);
    send_version(version);

    // (The game folder's anti-tamper clean-up would run here; this launcher has none.)

    const int total = static_cast<int>(manifest.files.size());
    const VerifyCache old_cache = repair ? VerifyCache{} : load_verify_cache();
    VerifyCache new_cache;
    new_cache.reserve(manifest.files.size());
    std::vector<std::size_t> queue;
    for (std::size_t idx = 0; idx < manifest.files.size(); ++idx) {
        const int i = static_cast<int>(idx) + 1;
        const ManifestEntry& entry = manifest.files[idx];
        if (!entry_applies(entry))
            continue;
        if (repair) {
            queue.push_back(idx);
            continue;
        }
        char text[256];
        std::snprintf(text, sizeof text, "Checking %s (%d/%d)", entry.path.c_str(), i, total);
        post_progress(&events.last_progress, text, "working",
                      static_cast<double>(i) / static_cast<double>(total));

        const FileStat stat = file_stat(local[idx]);
        std::string hash;
        if (stat.ok)
            hash = lookup_verify_cache(old_cache, entry.path, stat.size, stat.mtime);
        if (hash.empty())
            hash = sha256_file(local[idx]);
        if (stat.ok && !hash.empty())
            record_verify_cache(new_cache, entry.path, stat.size, stat.mtime, hash);
        if (hash != entry.sha256)
            queue.push_back(idx);
    }
    if (!repair)
        save_verify_cache(new_cache);

    // An entry with a link on its way (in the installation or in the staging folder) is never
    // downloaded or installed: it is reported as in use, and the link stays as it is.
    std::vector<std::size_t> linked;
    std::erase_if(queue, [&](std::size_t idx) {
        const ManifestEntry& entry = manifest.files[idx];
        const bool link = link_below(exe_dir, entry.path) ||
                          link_below(exe_dir, "updates/" + entry.path) ||
                          (entry.executable && (link_below(exe_dir, entry.path + ".update") ||
                                                link_below(exe_dir, entry.path + ".update.part")));
        if (link)
            linked.push_back(idx);
        return link;
    });

    if (queue.empty() && linked.empty()) {
        // A check killed between its installs and its clean-up leaves the staging folder behind.
        remove_staging_dir(exe_dir);
        char text[128];
        std::snprintf(text, sizeof text, "All files up to date (v%d.%d.%d)", manifest.major,
                      manifest.minor, manifest.patch);
        post_final_progress(events, text, "success");
        post_ui_event_reliably(event_text::update_complete(0, false));
        return {true, false, false};
    }

    create_staging_dir(exe_dir);
    const int n = static_cast<int>(queue.size());
    const std::string staging = join_path(exe_dir, "updates");
    std::vector<std::string> staged(manifest.files.size());
    for (std::size_t idx : queue)
        staged[idx] = join_path(staging, manifest.files[idx].path);
    for (int k = 0; k < n; ++k) {
        const ManifestEntry& entry = manifest.files[queue[k]];
        char text[256];
        std::snprintf(text, sizeof text, "Downloading %s (%d/%d)", entry.path.c_str(), k + 1, n);
        post_progress(&events.last_progress, text, "working",
                      static_cast<double>(k) / static_cast<double>(n));

        const std::string remote = "/launcher_files/" + entry.path;
        const DownloadProgressContext context{text, k, n, &events.last_progress};
        // A check that failed later on left this file downloaded and whole: the page sees it
        // arrive at once, and the server sends it only once.
        std::uint64_t staged_size = 0;
        if (staged_file_verified(staged[queue[k]], entry.sha256, staged_size)) {
            download_progress(context, staged_size, staged_size);
            continue;
        }
        bool downloaded = false;
        std::string digest;
        try {
            // The signed size bounds what a hostile server can write into the staging folder.
            downloaded = http_download_file(
                host.c_str(), port, remote.c_str(), staged[queue[k]],
                [&context](std::size_t received, std::size_t announced) {
                    return download_progress(context, received, announced);
                },
                entry.size_given ? entry.size : std::numeric_limits<std::uint64_t>::max(), &digest);
        } catch (const std::exception&) {
            downloaded = false;  // e.g. the staged file's folder could not be created
        }
        if (!downloaded)
            return fail(events, "Download failed. Check your connection.");

        // The digest of exactly the bytes written: the staged file is never read back.
        if (digest != entry.sha256) {
            std::error_code ec;
            fs::remove(fs::u8path(staged[queue[k]]), ec);
            return fail(events, "File verification failed.");
        }
    }

    post_progress(&events.last_progress, "Applying update...", "working", 1.0);
    Outcome outcome{true, false, false};
    int in_use = static_cast<int>(linked.size());
    std::string example = linked.empty() ? std::string() : manifest.files[linked[0]].path;
    for (std::size_t idx : queue) {
        const ManifestEntry& entry = manifest.files[idx];
        bool installed = false;
        try {
            installed = install_staged_file(staged[idx], local[idx], entry.executable);
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
    if (in_use > 0) {
        char text[256];
        std::snprintf(text, sizeof text,
                      "%d file(s) were in use and will finish updating on next launch (e.g. %s).",
                      in_use, example.c_str());
        post_final_progress(events, text, "warning");
    }

    remove_staging_dir(exe_dir);
    apply_pending_update(game_path);
    remove_old_copy(game_path);

    char text[128];
    if (outcome.restart)
        std::snprintf(text, sizeof text,
                      "Updated to v%d.%d.%d \xE2\x80\x94 restart launcher to apply", manifest.major,
                      manifest.minor, manifest.patch);
    else
        std::snprintf(text, sizeof text, "Updated to v%d.%d.%d", manifest.major, manifest.minor,
                      manifest.patch);
    post_final_progress(events, text, "success");
    post_ui_event_reliably(event_text::update_complete(n, outcome.restart));
    return outcome;
}

// Window requests are as important as final events: retried while the window's queue is full.
void post_window_request_reliably(platform::WindowRequest request) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (!platform::post_window_request(request)) {
        if (!platform::window_exists() || std::chrono::steady_clock::now() >= deadline)
            return;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
}

}  // namespace

bool create_staging_dir(const std::string& dir) {
    const std::string staging = join_path(dir, "updates");
    if (platform::path_kind(staging) == platform::PathKind::link)
        return false;
    std::error_code ec;
    fs::create_directories(fs::u8path(staging), ec);
    return !ec;
}

namespace {

// Removes a folder depth first, leaving every link in it (and so the folders above it) as it
// is: mingw-w64's remove_all would walk into a junction.
void remove_tree(const fs::path& folder) {
    std::error_code ec;
    for (fs::directory_iterator it(folder, ec), end; !ec && it != end; it.increment(ec)) {
        const fs::path entry = it->path();
        const std::u8string name = entry.u8string();
        if (platform::path_kind(std::string(name.begin(), name.end())) == platform::PathKind::link)
            continue;
        if (it->is_directory(ec))
            remove_tree(entry);
        else
            fs::remove(entry, ec);
    }
    fs::remove(folder, ec);
}

}  // namespace

void remove_staging_dir(const std::string& dir) {
    const std::string staging = join_path(dir, "updates");
    if (platform::path_kind(staging) == platform::PathKind::other)
        remove_tree(fs::u8path(staging));
}

double download_fraction(std::uint64_t received, std::uint64_t total, int index, int count) {
    double f = total == 0 ? 0.0 : static_cast<double>(received) / static_cast<double>(total);
    if (f > 1.0)
        f = 1.0;
    return (f + static_cast<double>(index)) / static_cast<double>(count);
}

bool download_progress(const DownloadProgressContext& context, std::uint64_t received,
                       std::uint64_t total) {
    const double fraction = download_fraction(received, total, context.index, context.count);
    if (context.last_posted != nullptr) {
        char digits[32];
        const auto printed =
            std::to_chars(digits, digits + sizeof digits, fraction, std::chars_format::fixed, 3);
        if (printed.ec == std::errc()) {
            const std::string_view text(digits, static_cast<std::size_t>(printed.ptr - digits));
            if (!context.last_fraction.empty() && text == context.last_fraction)
                return true;
            context.last_fraction.assign(text);
        }
    }
    post_progress(context.last_posted, context.status.c_str(), "working", fraction);
    return true;
}

void request_page_reload() {
    post_window_request_reliably(platform::WindowRequest::reload_page);
}

void request_restart_prompt() {
    post_window_request_reliably(platform::WindowRequest::restart_prompt);
}

bool run_update_check_impl(bool repair) {
    // The claim itself: whoever flips the flag first runs; everybody else leaves without a word.
    if (update_in_progress.exchange(true))
        return false;

    CheckEvents events;
    Outcome outcome;
    try {
        outcome = run_check(repair, events);
    } catch (...) {
        // Nothing here may end the process; the page hears that the check stopped.
        outcome = {};
        try {
            post_final_progress(events, "Update failed.", "error");
        } catch (...) {
        }
    }
    try {
        post_ui_event_reliably(event_text::updating(false));
    } catch (...) {
    }
    update_in_progress.store(false);

    if (outcome.restart)
        request_restart_prompt();
    else if (outcome.reload)
        request_page_reload();
    return outcome.ok;
}

}  // namespace km::updater
