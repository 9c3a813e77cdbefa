// Content feeds: news banners with their image cache, realm status, and the server probe.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace km {

// Banners are unsigned: a server gets no more than max_banners of them per document, no more
// than max_banner_image_size of the disk per image and max_banner_cache_size in all (the
// images past that are not fetched), and the folder keeps only the last document's images.
inline constexpr std::size_t max_banners = 32;
inline constexpr std::uint64_t max_banner_image_size = std::uint64_t{8} << 20;
inline constexpr std::uint64_t max_banner_cache_size = std::uint64_t{64} << 20;

void fetch_banners();
// The banner names of a banners document that the launcher fetches (a text scan, not a JSON
// parse): those that pass is_banner_image_name, in document order, the first max_banners of
// them; the rest of the document is not read. False when the document holds no complete
// "banners" list at all, which is not a banners document.
bool scan_banner_names(const std::string& document, std::vector<std::string>& names);
// A name that stays inside the folder it is joined to: not empty, not "." or "..", no path
// separator of either platform, no drive colon, no NUL.
bool is_plain_file_name(const std::string& name);
// A plain file name with an image extension (.png, .jpg, .jpeg, .gif, .webp, any case) that
// Windows can hold as it is (no device name such as COM1.png, on every platform): banners are
// unsigned, so nothing the page could run or the system could start reaches their folder.
bool is_banner_image_name(const std::string& name);

void probe_server();
void poll_realm_status();
void fetch_realm_status();
// The whole text is exactly one JSON value (surrounding JSON white space aside, no NUL): only
// such a document can be inserted into an event without adding members of its own to it.
bool is_one_json_value(const std::string& text);
// True while a fetch started by the poller still runs (at most one is ever in flight).
bool realm_fetch_in_flight();

// Set by the first start_realm_poller, which starts the poller that runs for the rest of the
// process; nothing clears it but a poller that could not be started.
extern std::atomic<bool> realm_poll_started;

// Detached starters used by the ready command.
void start_probe_server();
void start_fetch_banners();
void start_realm_poller();

}  // namespace km
