// The news banners: names from the server's document, images into cache/banners, one event.
#include <algorithm>
#include <filesystem>
#include <mutex>
#include <system_error>
#include <thread>

#include "km/build_config.h"
#include "launcher/common/app_state.h"
#include "launcher/common/events.h"
#include "launcher/common/update_bridge.h"
#include "launcher/feeds/coalesced_run.h"
#include "launcher/feeds/feeds.h"
#include "platform/files.h"
#include "platform/paths.h"
#include "updater/manifest.h"
#include "updater/transfers.h"

namespace km {
namespace {

namespace fs = std::filesystem;

// Two quick ready commands start two runs; both would write the same cache files at once.
std::mutex& banner_run_mutex() {
    static std::mutex mutex;
    return mutex;
}

}  // namespace

bool scan_banner_names(const std::string& document, std::vector<std::string>& names) {
    names.clear();
    const std::size_t key = document.find("\"banners\"");
    if (key == std::string::npos)
        return false;
    const std::size_t open = document.find('[', key);
    if (open == std::string::npos)
        return false;
    const std::size_t close = document.find(']', open);
    if (close == std::string::npos)
        return false;

    std::size_t pos = open + 1;
    while (pos < close && names.size() < max_banners) {
        const std::size_t first = document.find('"', pos);
        if (first == std::string::npos || first >= close)
            break;
        const std::size_t second = document.find('"', first + 1);
        if (second == std::string::npos || second >= close)
            break;
        std::string name = document.substr(first + 1, second - first - 1);
        if (is_banner_image_name(name))
            names.push_back(std::move(name));
        pos = second + 1;
    }
    return true;
}

bool is_plain_file_name(const std::string& name) {
    if (name.empty() || name == "." || name == "..")
        return false;
    return name.find_first_of(std::string("/\\:\0", 4)) == std::string::npos;
}

namespace {

bool has_image_extension(const std::string& name) {
    const std::size_t dot = name.rfind('.');
    if (dot == std::string::npos || dot == 0)
        return false;
    std::string extension = name.substr(dot + 1);
    for (char& c : extension)
        if (c >= 'A' && c <= 'Z')
            c = static_cast<char>(c - 'A' + 'a');
    for (const char* image : {"png", "jpg", "jpeg", "gif", "webp"})
        if (extension == image)
            return true;
    return false;
}

// What an earlier run may have left in the folder: plain files under names it fetched (before
// Windows' name rules applied to them on every platform too). Anything else there is not ours.
bool could_be_ours(const std::string& name) {
    return is_plain_file_name(name) && has_image_extension(name);
}

// After a document was read: images it no longer names go, so the folder holds no more than
// the last document's images. Only plain files of ours directly in the folder, never a link or
// what one leads to (the caller has made sure the folder itself is reached through none).
void remove_stale_banners(const std::string& folder, const std::vector<std::string>& names) {
    std::vector<std::string> stale;
    try {
        std::error_code ec;
        for (fs::directory_iterator it(fs::u8path(folder), ec), end; !ec && it != end;
             it.increment(ec)) {
            const std::u8string file = it->path().filename().u8string();
            std::string name(file.begin(), file.end());
            if (could_be_ours(name) && std::ranges::find(names, name) == names.end())
                stale.push_back(std::move(name));
        }
    } catch (const std::exception&) {
        // A name the system cannot spell in UTF-8 is not one of ours.
    }
    for (const std::string& name : stale)
        platform::remove_plain_file(folder + build::path_separator + name);
}

}  // namespace

bool is_banner_image_name(const std::string& name) {
    // The cache and the page are the same on every platform: a name Windows would take for a
    // device (COM1.png) or could not hold is refused everywhere.
    return is_plain_file_name(name) && has_image_extension(name) &&
           updater::windows_name_problem(name).empty();
}

void fetch_banners() {
    std::string document, error;
    if (!updater::http_get(content_server(), launcher_config.banners, document, error))
        return;
    // A body without the list (a proxy's error page, say) is no document: the cache stays.
    std::vector<std::string> names;
    if (!scan_banner_names(document, names))
        return;

    std::lock_guard<std::mutex> guard(banner_run_mutex());
    const std::string folder = exe_path("cache") + build::path_separator + "banners";
    if (link_on_the_way(exe_dir, folder))
        return;  // nothing of ours is written or removed where a link leads
    remove_stale_banners(folder, names);
    if (names.empty())
        return;
    std::error_code ec;
    std::filesystem::create_directories(std::filesystem::u8path(folder), ec);

    std::vector<std::string> urls, kept;
    std::uint64_t kept_bytes = 0;
    bool full = false;
    for (const std::string& name : names) {
        const std::string local = folder + build::path_separator + name;
        if (std::ranges::find(kept, name) != kept.end()) {
            urls.push_back(file_url(local));  // listed twice: shown twice, fetched once
            continue;
        }
        if (full) {
            platform::remove_plain_file(local);  // an earlier run's copy would pass the cap
            continue;
        }
        if (link_on_the_way(exe_dir, local))
            continue;
        const std::uint64_t limit =
            std::min(max_banner_image_size, max_banner_cache_size - kept_bytes);
        const std::string remote = "/banners/" + name;
        bool ok = false;
        try {
            ok = updater::http_download_file(content_server(), remote.c_str(), local, {}, limit);
        } catch (const std::exception&) {
            ok = false;  // e.g. the cache folder could not be created
        }
        if (!ok) {
            // Cut off by the room left rather than by the cap per image: the cache is full.
            full = limit < max_banner_image_size;
            continue;
        }
        const std::uintmax_t size = std::filesystem::file_size(std::filesystem::u8path(local), ec);
        kept_bytes += ec ? limit : std::min<std::uint64_t>(size, limit);
        full = kept_bytes >= max_banner_cache_size;
        kept.push_back(name);
        urls.push_back(file_url(local));
    }
    if (!urls.empty())
        send_banners(urls);
}

void start_fetch_banners() {
    // A burst of ready commands must not pile up one thread (and one full download of every
    // image) each.
    static CoalescedRun run;
    request_coalesced_run(run, [] {
        try {
            fetch_banners();
        } catch (...) {
            // The banners stay as they were; a worker must never take the launcher down.
        }
    });
}

}  // namespace km
