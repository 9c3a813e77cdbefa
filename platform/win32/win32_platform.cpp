// The seam to the operating system, Win32 edition: window messages, message boxes, the shell,
// processes and the web view runtime check.
#include <objbase.h>
#include <process.h>
#include <shellapi.h>
#include <shlobj.h>
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "platform/platform.h"
#include "platform/win32/main_window.h"
#include "platform/win32/webview_loader.h"
#include "platform/win32/win32_handles.h"

#ifdef _WIN64
static_assert(sizeof(SHELLEXECUTEINFOA) == 112, "the game start passes a 112-byte structure");
#endif

namespace km::win32 {

HWND main_hwnd = nullptr;

std::wstring display_text(const std::string& text) {
    if (text.empty())
        return std::wstring();
    const int size = static_cast<int>(text.size());
    for (UINT code_page : {static_cast<UINT>(CP_UTF8), static_cast<UINT>(CP_ACP)}) {
        const DWORD flags = code_page == CP_UTF8 ? MB_ERR_INVALID_CHARS : 0;
        const int length = MultiByteToWideChar(code_page, flags, text.data(), size, nullptr, 0);
        if (length <= 0)
            continue;
        std::wstring wide(static_cast<std::size_t>(length), L'\0');
        MultiByteToWideChar(code_page, flags, text.data(), size, wide.data(), length);
        return wide;
    }
    return std::wstring();
}

namespace {

// CreateProcessA may write into its command line, so it gets a private NUL-terminated copy.
std::vector<char> writable(const std::string& command_line) {
    std::vector<char> buffer(command_line.begin(), command_line.end());
    buffer.push_back('\0');
    return buffer;
}

const char* or_null(const std::string& text) {
    return text.empty() ? nullptr : text.c_str();
}

std::string utf8_of(const wchar_t* text) {
    const int length = WideCharToMultiByte(CP_UTF8, 0, text, -1, nullptr, 0, nullptr, nullptr);
    if (length <= 1)
        return std::string();
    std::string out(static_cast<std::size_t>(length), '\0');
    WideCharToMultiByte(CP_UTF8, 0, text, -1, out.data(), length, nullptr, nullptr);
    out.resize(static_cast<std::size_t>(length - 1));  // the terminating NUL
    return out;
}

// The clipboard is one per session and another program may hold it for a moment.
class open_clipboard {
  public:
    open_clipboard() {
        for (int attempt = 0; attempt < 20 && !open_; ++attempt) {
            open_ = OpenClipboard(main_hwnd) != FALSE;
            if (!open_)
                Sleep(50);
        }
    }
    ~open_clipboard() {
        if (open_)
            CloseClipboard();
    }
    open_clipboard(const open_clipboard&) = delete;
    open_clipboard& operator=(const open_clipboard&) = delete;
    explicit operator bool() const { return open_; }

  private:
    bool open_ = false;
};

// Memory for the clipboard, freed unless the clipboard took it over.
class global_memory {
  public:
    explicit global_memory(SIZE_T bytes) : memory_(GlobalAlloc(GMEM_MOVEABLE, bytes)) {}
    ~global_memory() {
        if (memory_)
            GlobalFree(memory_);
    }
    global_memory(const global_memory&) = delete;
    global_memory& operator=(const global_memory&) = delete;
    HGLOBAL get() const { return memory_; }
    void release() { memory_ = nullptr; }

  private:
    HGLOBAL memory_;
};

struct WindowSearch {
    DWORD process = 0;
    HWND found = nullptr;
};

BOOL CALLBACK find_launcher_window(HWND window, LPARAM context) {
    auto* search = reinterpret_cast<WindowSearch*>(context);
    DWORD owner = 0;
    GetWindowThreadProcessId(window, &owner);
    char name[64] = {};
    if (owner != search->process || GetClassNameA(window, name, sizeof name) == 0 ||
        std::strcmp(name, window_class_name) != 0)
        return TRUE;
    search->found = window;
    return FALSE;
}

}  // namespace
}  // namespace km::win32

namespace km::platform {

using win32::main_hwnd;

bool window_exists() {
    return main_hwnd != nullptr;
}

bool post_ui_event_text(const std::string& json) {
    if (!main_hwnd)
        return false;
    std::unique_ptr<std::string> copy;
    try {
        copy = std::make_unique<std::string>(json);
    } catch (...) {
        return false;
    }
    if (!PostMessageA(main_hwnd, win32::WM_UI_EVENT, 0, reinterpret_cast<LPARAM>(copy.get())))
        return false;  // the copy is freed here; the event is lost
    copy.release();    // the window procedure owns it now
    return true;
}

bool post_window_request(WindowRequest request) {
    if (!main_hwnd)
        return false;
    UINT message = WM_CLOSE;
    switch (request) {
        case WindowRequest::reload_page:
            message = win32::WM_RELOAD_PAGE;
            break;
        case WindowRequest::restart_prompt:
            message = win32::WM_RESTART_PROMPT;
            break;
        case WindowRequest::close:
            message = WM_CLOSE;
            break;
    }
    return PostMessageA(main_hwnd, message, 0, 0) != FALSE;
}

void end_message_loop() {
    PostQuitMessage(0);
}

void minimize_window() {
    ShowWindow(main_hwnd, SW_MINIMIZE);
}

void begin_window_drag() {
    ReleaseCapture();
    SendMessageA(main_hwnd, WM_NCLBUTTONDOWN, HTCAPTION, 0);
}

int message_box(const std::string& text, const std::string& caption, unsigned style,
                bool owned_by_main_window) {
    HWND owner = owned_by_main_window ? main_hwnd : nullptr;
    // The texts are UTF-8 (one of them says "Probá"); the wide box shows them right whatever
    // the active code page is.
    return MessageBoxW(owner, win32::display_text(text).c_str(),
                       win32::display_text(caption).c_str(), style);
}

void shell_open(const std::string& target) {
    ShellExecuteA(nullptr, "open", target.c_str(), nullptr, nullptr, SW_SHOWNORMAL);
}

void shell_open_program(const std::string& file, const std::string& directory) {
    ShellExecuteA(nullptr, "open", file.c_str(), nullptr, win32::or_null(directory), SW_SHOWNORMAL);
}

bool start_game(const std::string& executable, const std::string& parameters,
                const std::string& directory) {
    SHELLEXECUTEINFOA info;
    std::memset(&info, 0, sizeof info);
    info.cbSize = sizeof info;
    info.lpVerb = "open";
    info.lpFile = executable.c_str();
    info.lpParameters = parameters.c_str();
    info.lpDirectory = directory.c_str();
    info.nShow = SW_SHOWNORMAL;
    return ShellExecuteExA(&info) != FALSE;
}

bool start_detached(const std::string& command_line, const std::string& directory) {
    std::vector<char> buffer = win32::writable(command_line);
    STARTUPINFOA startup;
    std::memset(&startup, 0, sizeof startup);
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process{};
    if (!CreateProcessA(nullptr, buffer.data(), nullptr, nullptr, FALSE,
                        CREATE_NEW_PROCESS_GROUP | DETACHED_PROCESS, nullptr,
                        win32::or_null(directory), &startup, &process))
        return false;
    win32::unique_handle process_handle(process.hProcess);
    win32::unique_handle thread_handle(process.hThread);
    return true;
}

bool run_and_wait(const std::string& command_line) {
    std::vector<char> buffer = win32::writable(command_line);
    STARTUPINFOA startup;
    std::memset(&startup, 0, sizeof startup);
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process{};
    if (!CreateProcessA(nullptr, buffer.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                        &startup, &process))
        return false;
    win32::unique_handle process_handle(process.hProcess);
    win32::unique_handle thread_handle(process.hThread);
    WaitForSingleObject(process_handle.get(), INFINITE);
    DWORD exit_code = 0;
    GetExitCodeProcess(process_handle.get(), &exit_code);  // read, and deliberately not used
    return true;
}

void relaunch_self(const std::string& program, void (*on_failure)()) {
    // The C runtime joins the arguments with blanks and no quoting: a path with a blank is
    // quoted here, so the new process's own command line still names one program.
    const bool blank = program.find_first_of(" \t") != std::string::npos;
    const std::string argument_zero = blank ? "\"" + program + "\"" : program;
    const char* arguments[] = {argument_zero.c_str(), nullptr};
    _execv(program.c_str(), arguments);
    if (on_failure)
        on_failure();
    _exit(1);
}

void set_environment_variable(const std::string& name, const std::string& value) {
    SetEnvironmentVariableA(name.c_str(), value.c_str());
}

std::string get_module_path() {
    char buffer[MAX_PATH];
    std::memset(buffer, 0, sizeof buffer);
    GetModuleFileNameA(nullptr, buffer, MAX_PATH);
    return std::string(buffer, strnlen(buffer, MAX_PATH));
}

void accept_later_starts(const std::string&) {
    // The process id in the lock file leads a later start to the window; nothing to set up.
}

bool present_running_launcher(const std::string&, unsigned long holder) {
    // Only the holder's own main window: the process id came from this installation's lock
    // file, so another installation's launcher is never the one brought forward.
    win32::WindowSearch search{static_cast<DWORD>(holder), nullptr};
    EnumWindows(win32::find_launcher_window, reinterpret_cast<LPARAM>(&search));
    if (!search.found)
        return false;
    // The player just started this process, which may therefore set the foreground; passing the
    // right on lets the holder keep the focus while it restores and activates its window.
    AllowSetForegroundWindow(static_cast<DWORD>(holder));
    if (IsIconic(search.found))
        ShowWindowAsync(search.found, SW_RESTORE);  // never waits on a busy window's thread
    SetForegroundWindow(search.found);
    return true;
}

bool webview_runtime_present() {
    const auto get_version = win32::loader_version_entry();
    if (!get_version)
        return false;
    win32::co_task_string version;
    const HRESULT result = get_version(nullptr, version.put());
    return SUCCEEDED(result) && version.get() != nullptr;
}

std::string webview_runtime_version() {
    const auto get_version = win32::loader_version_entry();
    if (!get_version)
        return std::string();
    win32::co_task_string version;
    if (FAILED(get_version(nullptr, version.put())) || !version.get())
        return std::string();
    return win32::utf8_of(version.get());
}

std::string os_description() {
    // GetVersionEx answers what the manifest claims to support, not what runs; ntdll tells.
    OSVERSIONINFOW info{};
    info.dwOSVersionInfoSize = sizeof info;
    HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
    using RtlGetVersionFn = LONG(WINAPI*)(OSVERSIONINFOW*);
    const auto get_version = ntdll ? reinterpret_cast<RtlGetVersionFn>(reinterpret_cast<void*>(
                                         GetProcAddress(ntdll, "RtlGetVersion")))
                                   : nullptr;
    std::string text = "Windows";
    if (get_version && get_version(&info) == 0) {
        char numbers[48];
        std::snprintf(numbers, sizeof numbers, " %lu.%lu.%lu", info.dwMajorVersion,
                      info.dwMinorVersion, info.dwBuildNumber);
        text += numbers;
    }
    SYSTEM_INFO system{};
    GetNativeSystemInfo(&system);
    switch (system.wProcessorArchitecture) {
        case PROCESSOR_ARCHITECTURE_AMD64:
            text += " x64";
            break;
        case PROCESSOR_ARCHITECTURE_ARM64:
            text += " ARM64";
            break;
        case PROCESSOR_ARCHITECTURE_INTEL:
            text += " x86";
            break;
        default:
            break;
    }
    // Wine answers as the Windows it imitates; support needs to know it is Wine.
    using WineVersionFn = const char*(CDECL*)();
    const auto wine = ntdll ? reinterpret_cast<WineVersionFn>(reinterpret_cast<void*>(
                                  GetProcAddress(ntdll, "wine_get_version")))
                            : nullptr;
    if (wine && wine())
        text += std::string(" (Wine ") + wine() + ")";
    return text;
}

std::string user_home_folder() {
    wchar_t buffer[MAX_PATH + 1] = {};
    const DWORD length = GetEnvironmentVariableW(L"USERPROFILE", buffer, MAX_PATH + 1);
    if (length > 0 && length <= MAX_PATH)
        return win32::utf8_of(buffer);
    if (SUCCEEDED(SHGetFolderPathW(nullptr, CSIDL_PROFILE, nullptr, 0, buffer)))
        return win32::utf8_of(buffer);
    return std::string();
}

bool set_clipboard_text(const std::string& text) {
    // Programs that paste expect CR LF between lines.
    std::string lines;
    lines.reserve(text.size() + text.size() / 32);
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '\n' && (i == 0 || text[i - 1] != '\r'))
            lines += '\r';
        lines += text[i];
    }
    const std::wstring wide = win32::display_text(lines);
    win32::open_clipboard clipboard;
    if (!clipboard || !EmptyClipboard())
        return false;
    const SIZE_T bytes = (wide.size() + 1) * sizeof(wchar_t);
    win32::global_memory memory(bytes);
    if (!memory.get())
        return false;
    void* target = GlobalLock(memory.get());
    if (!target)
        return false;
    std::memcpy(target, wide.c_str(), bytes);
    GlobalUnlock(memory.get());
    if (!SetClipboardData(CF_UNICODETEXT, memory.get()))
        return false;
    memory.release();  // the system's now
    return true;
}

}  // namespace km::platform
