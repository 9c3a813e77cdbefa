// Events to the page: one small JSON object each, with exact texts.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "launcher/common/json_text.h"

namespace km {

struct GameSettings;

std::u16string utf8_to_utf16(const std::string& text);
std::wstring utf8_to_wide(const std::string& text);

// Hands one event to the window's thread; a lost event is not reported.
void post_ui_event(const std::string& json);
// The same, for final events that must not be lost: retried while the window's queue is full.
void post_ui_event_reliably(const std::string& json);
// The one retry policy for posts to the window that must not be lost (final events, window
// requests): `post` is tried again while it reports a full queue, with pauses growing from 1 ms
// to 20 ms, for as long as the window exists and at most 10 s.
void post_reliably(const std::function<bool()>& post);

void send_updating(bool is_updating);
void send_server_status(bool online);
void send_version(const std::string& value);
void send_settings();
void send_banners(const std::vector<std::string>& list);
void send_realm_status(const std::string& document);

// The event texts themselves, for the senders above and for tests.
namespace event_text {
std::string progress(const char* status, const char* state, double fraction);
// The same text appended to `out`, for senders that reuse one buffer for many events.
void append_progress(std::string& out, const char* status, const char* state, double fraction);
// The fraction as a progress event prints it ("%.3f" in the C locale).
std::string fraction(double value);
std::string updating(bool is_updating);
std::string server_status(bool online);
std::string version(const std::string& value);
std::string settings(const GameSettings& settings);
std::string banners(const std::vector<std::string>& list);
std::string update_complete(int downloaded, bool restart_needed);
std::string realm_status(const std::string& document);
// The answer to copyDiagnostics: whether the text reached the clipboard, and the text itself.
std::string diagnostics(bool copied, const std::string& text);
std::string transfer(std::uint64_t done, std::uint64_t total, std::uint64_t rate, bool paused);
std::string download_limit(int megabytes_per_second);
}  // namespace event_text

}  // namespace km
