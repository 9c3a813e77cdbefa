// The platform seam for headless measuring runs: a window that takes every event at once, as a
// real window drains its queue, and keeps only a count and the last progress text. Keeping every
// event (as the recording test fake does) would measure the recorder's memory, not the check's.
#include "bench/counting_platform.h"

#include <cstdlib>
#include <mutex>

#include "platform/platform.h"

namespace km::bench {
namespace {

std::mutex g_mutex;
EventTally g_tally;

}  // namespace

EventTally event_tally() {
    std::lock_guard<std::mutex> guard(g_mutex);
    return g_tally;
}

}  // namespace km::bench

namespace km::platform {

bool window_exists() {
    return true;
}

bool post_ui_event_text(const std::string& json) {
    std::lock_guard<std::mutex> guard(km::bench::g_mutex);
    ++km::bench::g_tally.events;
    if (json.rfind("{\"event\":\"progress\"", 0) == 0) {
        ++km::bench::g_tally.progress_events;
        km::bench::g_tally.last_progress = json;
    }
    return true;
}

bool post_window_request(WindowRequest) {
    std::lock_guard<std::mutex> guard(km::bench::g_mutex);
    ++km::bench::g_tally.window_requests;
    return true;
}

void end_message_loop() {}
void minimize_window() {}
void begin_window_drag() {}

int message_box(const std::string&, const std::string&, unsigned, bool) {
    return id_ok;
}

void shell_open(const std::string&) {}
void shell_open_program(const std::string&, const std::string&) {}

bool start_game(const std::string&, const std::string&, const std::string&) {
    return false;
}

bool start_detached(const std::string&, const std::string&) {
    return false;
}

bool run_and_wait(const std::string&) {
    return false;
}

// A measuring run never restarts itself; ending with the documented failure code is the honest
// answer if something ever asks it to.
void relaunch_self(const std::string&, void (*)()) {
    std::_Exit(1);
}

void set_environment_variable(const std::string&, const std::string&) {}

std::string get_module_path() {
    return {};
}

void accept_later_starts(const std::string&) {}

bool present_running_launcher(const std::string&, unsigned long) {
    return false;
}

bool webview_runtime_present() {
    return true;
}

std::string webview_runtime_version() {
    return {};
}

std::string os_description() {
    return {};
}

std::string user_home_folder() {
    return {};
}

bool set_clipboard_text(const std::string&) {
    return false;
}

}  // namespace km::platform
