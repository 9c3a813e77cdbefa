// Commands from the page: the field readers and the dispatcher.
#pragma once

#include <atomic>
#include <string>

namespace km {

std::string json_get_string(const std::string& text, const std::string& key);
bool json_get_bool(const std::string& text, const std::string& key, bool default_value);

// Dispatches one command message (UTF-8 JSON text). Window's thread only.
void handle_page_command(const std::string& message);

// Starts the update worker unless a check is running.
void start_update_check(bool repair);

// Keeps a to z, A to Z, 0 to 9 and underscore, at most 23 of them.
std::string filter_map_name(const std::string& value);

extern std::atomic<bool> realm_poll_started;

}  // namespace km
