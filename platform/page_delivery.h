// The rules of event delivery to the page, shared by the platform shells: nothing reaches the
// page before its view exists, and one event at a time goes to it under `webview_mutex`.
#pragma once

#include <functional>
#include <mutex>
#include <string>

namespace km {

extern std::mutex webview_mutex;

// The text the restart prompt delivers, straight to the page and not through the queue.
inline constexpr char restart_prompt_event[] = "{\"event\":\"restartPrompt\"}";

// How the platform hands one event text to its view. Set once, on the window's thread, when
// the view exists; until then there is no sink and events are dropped.
using PageSink = std::function<void(const std::string& json)>;
void set_page_sink(PageSink sink);
bool page_view_exists();

// Window's thread: drops the event when no view exists, else hands it to the sink under
// `webview_mutex`.
void deliver_ui_event(const std::string& json);

}  // namespace km
