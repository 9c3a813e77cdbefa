// The news banners: names from the server's document, images into cache/banners, one event.
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
#include "platform/paths.h"
#include "updater/transfers.h"

namespace km {
namespace {

// Two quick ready commands start two runs; both would write the same cache files at once.
std::mutex& banner_run_mutex() {
    static std::mutex mutex;
    return mutex;
}

}  // namespace

std::vector<std::string> scan_banner_names(const std::string& document) {
    std::vector<std::string> names;
    const std::size_t key = document.find("\"banners\"");
    if (key == std::string::npos)
        return names;
    const std::size_t open = document.find('[', key);
    if (open == std::string::npos)
        return names;
    const std::size_t close = document.find(']', open);
    if (close == std::string::npos)
        return names;

    std::size_t pos = open + 1;
    while (pos < close) {
        const std::size_t first = document.find('"', pos);
        if (first == std::string::npos || first >= close)
            break;
        const std::size_t second = document.find('"', first + 1);
        if (second == std::string::npos || second >= close)
            break;
        names.push_back(document.substr(first + 1, second - first - 1));
        pos = second + 1;
    }
    return names;
}

bool is_plain_file_name(const std::string& name) {
    if (name.empty() || name == "." || name == "..")
        return false;
    return name.find_first_of(std::string("/\\:\0", 4)) == std::string::npos;
}

bool is_banner_image_name(const std::string& name) {
    if (!is_plain_file_name(name))
        return false;
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

void fetch_banners() {
    std::string document, error;
    if (!updater::http_get(content_server(), launcher_config.banners, document, error))
        return;

    std::vector<std::string> names;
    for (std::string& name : scan_banner_names(document))
        if (is_banner_image_name(name))
            names.push_back(std::move(name));
    if (names.empty())
        return;

    std::lock_guard<std::mutex> guard(banner_run_mutex());
    const std::string folder = exe_path("cache") + build::path_separator + "banners";
    std::error_code ec;
    std::filesystem::create_directories(std::filesystem::u8path(folder), ec);

    std::vector<std::string> urls;
    for (const std::string& name : names) {
        const std::string local = folder + build::path_separator + name;
        const std::string remote = "/banners/" + name;
        if (link_on_the_way(exe_dir, local))
            continue;
        bool ok = false;
        try {
            ok = updater::http_download_file(content_server(), remote.c_str(), local, {},
                                             max_banner_image_size);
        } catch (const std::exception&) {
            ok = false;  // e.g. the cache folder could not be created
        }
        if (ok)
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
