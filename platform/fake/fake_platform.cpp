#include "platform/fake/fake_platform.h"

#include <chrono>
#include <condition_variable>
#include <thread>

namespace km::fake {
namespace {

std::mutex g_mutex;
std::condition_variable g_changed;
State g_state;
std::size_t g_pending = 0;

// Records under the lock and wakes anybody waiting for a change.
template <class F>
auto record(F f) {
    std::lock_guard<std::mutex> guard(g_mutex);
    struct Notify {
        ~Notify() { g_changed.notify_all(); }
    } notify;
    return f(g_state);
}

}  // namespace

std::unique_lock<std::mutex> lock() {
    return std::unique_lock<std::mutex>(g_mutex);
}
State& state() {
    return g_state;
}

void reset() {
    record([](State& s) {
        s = State{};
        g_pending = 0;
    });
}

std::vector<std::string> events() {
    return record([](State& s) { return s.events; });
}

std::vector<platform::WindowRequest> requests() {
    return record([](State& s) { return s.requests; });
}

void drain(std::size_t n) {
    record([n](State&) { g_pending = n >= g_pending ? 0 : g_pending - n; });
}

namespace detail {
bool wait_until(const std::function<bool(const State&)>& pred, int timeout_ms) {
    std::unique_lock<std::mutex> guard(g_mutex);
    return g_changed.wait_for(guard, std::chrono::milliseconds(timeout_ms),
                              [&] { return pred(g_state); });
}
}  // namespace detail

}  // namespace km::fake

namespace km::platform {

using km::fake::record;
using km::fake::State;

bool window_exists() {
    return record([](State& s) { return s.window; });
}

bool post_ui_event_text(const std::string& json) {
    return record([&](State& s) {
        if (!s.window)
            return false;
        if (s.queue_limit != 0 && km::fake::g_pending >= s.queue_limit) {
            ++s.refused_posts;
            return false;
        }
        ++km::fake::g_pending;
        s.events.push_back(json);
        return true;
    });
}

bool post_window_request(WindowRequest request) {
    return record([&](State& s) {
        if (!s.window)
            return false;
        s.requests.push_back(request);
        return true;
    });
}

void end_message_loop() {
    record([](State& s) { ++s.quit_count; });
}
void minimize_window() {
    record([](State& s) { ++s.minimize_count; });
}
void begin_window_drag() {
    record([](State& s) { ++s.drag_count; });
}

int message_box(const std::string& text, const std::string& caption, unsigned style,
                bool owned_by_main_window) {
    return record([&](State& s) {
        s.message_boxes.push_back({text, caption, style, owned_by_main_window});
        if (s.message_box_answers.empty())
            return id_ok;
        int answer = s.message_box_answers.front();
        s.message_box_answers.erase(s.message_box_answers.begin());
        return answer;
    });
}

void shell_open(const std::string& target) {
    record([&](State& s) { s.shell_opens.push_back(target); });
}

void shell_open_program(const std::string& file, const std::string& directory) {
    record([&](State& s) { s.programs_opened.push_back({file, directory}); });
}

bool start_game(const std::string& executable, const std::string& parameters,
                const std::string& directory) {
    return record([&](State& s) {
        std::string token;
        for (const auto& [name, value] : s.env)
            if (name == "KMASH_LAUNCH")
                token = value;
        s.games.push_back({executable, parameters, directory, token});
        return s.start_game_result;
    });
}

bool start_detached(const std::string& command_line, const std::string& directory) {
    return record([&](State& s) {
        s.detached.push_back({command_line, directory});
        return s.start_detached_result;
    });
}

bool run_and_wait(const std::string& command_line) {
    return record([&](State& s) {
        s.waited.push_back(command_line);
        return s.run_and_wait_result;
    });
}

void relaunch_self(const std::string& program, void (*)()) {
    record([&](State& s) { s.relaunches.push_back(program); });
    throw km::fake::Relaunched{program};
}

void set_environment_variable(const std::string& name, const std::string& value) {
    record([&](State& s) { s.env.emplace_back(name, value); });
}

std::string get_module_path() {
    return record([](State& s) { return s.module_path; });
}

std::string webview_runtime_version() {
    return record([](State& s) { return s.runtime_version; });
}

std::string os_description() {
    return record([](State& s) { return s.os; });
}

std::string user_home_folder() {
    return record([](State& s) { return s.home; });
}

bool set_clipboard_text(const std::string& text) {
    return record([&](State& s) {
        s.clipboard.push_back(text);
        return s.clipboard_result;
    });
}

void accept_later_starts(const std::string& dir) {
    record([&](State& s) { s.later_starts_accepted.push_back(dir); });
}

bool present_running_launcher(const std::string&, unsigned long holder) {
    return record([&](State& s) {
        s.presented.push_back(holder);
        return s.present_result;
    });
}

bool webview_runtime_present() {
    return record([](State& s) {
        if (!s.runtime_answers.empty()) {
            bool answer = s.runtime_answers.front();
            s.runtime_answers.erase(s.runtime_answers.begin());
            return answer;
        }
        return s.runtime_present;
    });
}

}  // namespace km::platform
