// The seam between the launcher and the operating system. Portable code calls only these
// functions; platform/win32 (the product), platform/gtk (Linux) and platform/fake (tests) each
// implement all of them, and exactly one is linked into a program.
#pragma once

#include <cstdint>
#include <string>

namespace km::platform {

// ---- The main window and its thread --------------------------------------------------------

// Requests that other threads hand to the window's thread (WM_APP + n on Windows).
enum class WindowRequest {
    reload_page,     // WM_RELOAD_PAGE: reload the page if the view exists
    restart_prompt,  // WM_RESTART_PROMPT: deliver {"event":"restartPrompt"} straight to the page
    close,           // WM_CLOSE: end the message loop; the process then exits
};

// True once the main window exists (main_hwnd != 0).
bool window_exists();

// Hands one UI event (UTF-8 JSON text) to the window's thread, which delivers it to the page.
// Callable from any thread. False when there is no window yet or the window's queue refused the
// post; the copy is freed then and the event is lost.
bool post_ui_event_text(const std::string& json);

// Posts a request to the window's thread; false when there is no window or the post failed.
bool post_window_request(WindowRequest request);

// Window's thread only.
void end_message_loop();   // PostQuitMessage(0)
void minimize_window();    // ShowWindow(main_hwnd, SW_MINIMIZE)
void begin_window_drag();  // the system's move loop; returns when the button is released

// ---- Message boxes -------------------------------------------------------------------------

// Style bits and answers keep their Win32 values so callers read like the system's own calls.
inline constexpr unsigned mb_ok = 0x0;
inline constexpr unsigned mb_okcancel = 0x1;
inline constexpr unsigned mb_iconerror = 0x10;
inline constexpr unsigned mb_iconinformation = 0x40;
inline constexpr int id_ok = 1;
inline constexpr int id_cancel = 2;

// Shows a modal message box and waits for the answer. `owned_by_main_window` makes the main
// window its owner (when it exists); otherwise the box has no owner. Callable from any thread.
int message_box(const std::string& text, const std::string& caption, unsigned style,
                bool owned_by_main_window);

// ---- Processes and the shell -----------------------------------------------------------------

// ShellExecuteA(NULL, "open", target, NULL, NULL, SW_SHOWNORMAL); the result is not reported.
void shell_open(const std::string& target);

// ShellExecuteA(NULL, "open", file, NULL, directory, SW_SHOWNORMAL) of a program; result ignored.
void shell_open_program(const std::string& file, const std::string& directory);

// Starts the game client without waiting for it (ShellExecuteExA "open" with the parameter text
// and working directory). On Linux the parameter text is split by the Windows command-line rules.
bool start_game(const std::string& executable, const std::string& parameters,
                const std::string& directory);

// Starts a detached new process from a command line (quoted program path first) in `directory`
// (CreateProcessA with CREATE_NEW_PROCESS_GROUP | DETACHED_PROCESS). False when not started.
bool start_detached(const std::string& command_line, const std::string& directory);

// Runs a command line and waits for it to end, without a time limit. False when the process
// could not be created; its exit code is not looked at.
bool run_and_wait(const std::string& command_line);

// Replaces the current process by a new run of `program` with no arguments (the C runtime's
// overlay spawn on Windows, exec on Linux). Exits with code 1 when that fails, after calling
// `on_failure` (when given) so that the caller can still write down why; never returns.
[[noreturn]] void relaunch_self(const std::string& program, void (*on_failure)() = nullptr);

// SetEnvironmentVariableA: the process's own environment, inherited by children.
void set_environment_variable(const std::string& name, const std::string& value);

// GetModuleFileNameA(NULL, ...) into a zero-filled 260-character buffer.
std::string get_module_path();

// ---- Files -----------------------------------------------------------------------------------

// A regular file's size and last-write time (following links) in one system call: FILETIME
// ticks, 100 ns since 1601-01-01 UTC. False for anything that is not a readable regular file.
// Implemented once for every program, in platform/file_stat.cpp.
bool file_size_and_time(const std::string& path, std::uint64_t& size, std::int64_t& filetime);

// ---- One launcher per installation ----------------------------------------------------------

// Once the main window exists (window's thread): a later start of the installation at `dir` may
// bring it forward. Linux: a local socket named after the installation, answered on the window's
// thread. Windows: nothing to set up; the later start finds the window by the process id in the
// lock file.
void accept_later_starts(const std::string& dir);

// Brings the main window of the launcher that holds `dir`'s lock, process `holder`, to the
// front, restored when minimised. False when it has no window (yet) or cannot be reached.
bool present_running_launcher(const std::string& dir, unsigned long holder);

// ---- Web view runtime ------------------------------------------------------------------------

// GetAvailableCoreWebView2BrowserVersionString(NULL, ...) succeeded with a non-null version.
// Always true where the web engine is linked into the program (Linux).
bool webview_runtime_present();
// That version as text ("129.0.2792.45"; on Linux the engine's, "WebKitGTK 2.40.5"); empty when
// there is no runtime.
std::string webview_runtime_version();

// ---- What support needs to know ----------------------------------------------------------------

// The operating system in one line: name, version, architecture ("Windows 10.0.19045 x64",
// "Linux 6.1.0-18-amd64 x86_64 (Debian GNU/Linux 12 (bookworm))").
std::string os_description();

// The user's own folder, whose name the launcher's log never shows: the profile folder on
// Windows (USERPROFILE, else the system's answer), $HOME on Linux. Empty when unknown.
std::string user_home_folder();

// Puts UTF-8 text on the system clipboard (CF_UNICODETEXT on Windows, the GTK clipboard on the
// window's thread on Linux). Callable from any thread; waits at most about two seconds. False
// when the clipboard could not be had or refused the text.
bool set_clipboard_text(const std::string& text);

}  // namespace km::platform
