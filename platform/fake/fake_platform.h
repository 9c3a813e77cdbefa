// A recording stand-in for the operating system, linked into the tests instead of a real
// platform layer. Every call is recorded; answers (message box results, whether a process
// starts, how many posts the window's queue accepts) are scripted by the test.
#pragma once

#include <cstddef>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "platform/platform.h"

namespace km::fake {

struct MessageBoxCall {
    std::string text;
    std::string caption;
    unsigned style = 0;
    bool owned_by_main_window = false;
};

struct GameStart {
    std::string executable;
    std::string parameters;
    std::string directory;
    std::string launch_env;  // value of KMASH_LAUNCH at the moment of the start
};

struct ProcessStart {
    std::string command_line;
    std::string directory;
};

// Everything the fake saw and everything it will answer. Guarded by `mutex` because workers
// post from their own threads.
struct State {
    // script
    bool window = true;                    // window_exists()
    bool runtime_present = true;           // webview_runtime_present()
    std::vector<bool> runtime_answers;     // consumed first, then runtime_present
    std::size_t queue_limit = 0;           // 0: unlimited; else posts beyond this many pending fail
    std::vector<int> message_box_answers;  // consumed in order; id_ok when empty
    bool start_game_result = true;
    bool start_detached_result = true;
    bool run_and_wait_result = true;
    bool present_result = true;          // present_running_launcher()
    std::string module_path = "/opt/km/Launcher";
    std::string runtime_version = "TestView 1.2.3";  // webview_runtime_version()
    std::string os = "TestOS 9.1 x64";               // os_description()
    std::string home;                                // user_home_folder()
    bool clipboard_result = true;

    // record
    std::vector<std::string> events;  // delivered UI events, in order
    std::size_t refused_posts = 0;
    std::vector<platform::WindowRequest> requests;
    int quit_count = 0;
    int minimize_count = 0;
    int drag_count = 0;
    std::vector<MessageBoxCall> message_boxes;
    std::vector<std::string> shell_opens;
    std::vector<ProcessStart> programs_opened;  // shell_open_program
    std::vector<GameStart> games;
    std::vector<ProcessStart> detached;
    std::vector<std::string> waited;  // run_and_wait command lines
    std::vector<std::pair<std::string, std::string>> env;
    std::vector<std::string> relaunches;
    std::vector<std::string> clipboard;  // texts handed to set_clipboard_text
    std::vector<std::string> later_starts_accepted;
    std::vector<unsigned long> presented;  // the holders whose window was brought forward
};

// Locks the state for a scripted change or a look at the record.
std::unique_lock<std::mutex> lock();
State& state();  // take lock() first when workers may be running

// Resets script and record to the defaults above.
void reset();

// Copies of the record, taken under the lock.
std::vector<std::string> events();
std::vector<platform::WindowRequest> requests();

// Marks `n` pending posts as taken by the window (only matters with a queue_limit).
void drain(std::size_t n = static_cast<std::size_t>(-1));

// Waits up to `timeout_ms` until `pred(state)` holds; true when it did.
template <class Pred>
bool wait_for(Pred pred, int timeout_ms = 10000);

// Thrown by relaunch_self in tests, since the real one never returns.
struct Relaunched {
    std::string program;
};

namespace detail {
bool wait_until(const std::function<bool(const State&)>& pred, int timeout_ms);
}

template <class Pred>
bool wait_for(Pred pred, int timeout_ms) {
    return detail::wait_until(pred, timeout_ms);
}

}  // namespace km::fake
