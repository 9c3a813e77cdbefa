// Content feeds: news banners with their image cache, realm status, and the server probe.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>
#include <vector>

namespace km {

void fetch_banners();
// The banner file names of a banners document, in order (a text scan, not a JSON parse).
std::vector<std::string> scan_banner_names(const std::string& document);
// A name that stays inside the folder it is joined to: not empty, not "." or "..", no path
// separator of either platform, no drive colon, no NUL.
bool is_plain_file_name(const std::string& name);
// A plain file name with an image extension (.png, .jpg, .jpeg, .gif, .webp, any case): banners
// are unsigned, so nothing the page could run or the system could start reaches their folder.
bool is_banner_image_name(const std::string& name);
// Banner images are unsigned; a server gets no more than this much of the disk per image.
inline constexpr std::uint64_t max_banner_image_size = std::uint64_t{8} << 20;

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
