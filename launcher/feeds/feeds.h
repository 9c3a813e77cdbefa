// Content feeds: news banners with their image cache, realm status, and the server probe.
#pragma once

#include <string>
#include <vector>

namespace km {

void fetch_banners();
// The banner file names of a banners document, in order (a text scan, not a JSON parse).
std::vector<std::string> scan_banner_names(const std::string& document);
// A name that stays inside the folder it is joined to: not empty, not "." or "..", no path
// separator of either platform, no drive colon, no NUL.
bool is_plain_file_name(const std::string& name);

void probe_server();
void poll_realm_status();
void fetch_realm_status();
// True while a fetch started by the poller still runs (at most one is ever in flight).
bool realm_fetch_in_flight();

// Detached starters used by the ready command.
void start_probe_server();
void start_fetch_banners();
void start_realm_poller();

}  // namespace km
