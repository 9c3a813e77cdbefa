// Plays the player at the launcher's message boxes. Starts the launcher, answers each box it
// shows with the next answer given (ok or cancel), and records every box as
// "caption|text" lines in the record file. When a launcher window appears instead (a second
// launcher started by the first), it is closed and its exit awaited. Ends with the first
// launcher's exit code; 98 when a box appears with no answer left, 99 on timeout.
//   box_answerer <record file> <launcher exe> [ok|cancel]... [--expect-second] [--close-window]
//   box_answerer <record file> <launcher exe> --two-at-once
// The last form starts the launcher twice at once, records how the one that ends ends, then
// minimises the other's window, starts a third, and records what became of the window.
#include <windows.h>

#include <fstream>
#include <string>
#include <vector>

#include "tests/wine/wide_text.h"

namespace {

using km::wine::utf8;

struct Found {
    DWORD process = 0;
    HWND box = nullptr;
    HWND launcher_window = nullptr;  // of another process
    HWND own_window = nullptr;       // of the launcher this program started
};

BOOL CALLBACK look(HWND window, LPARAM context) {
    auto* found = reinterpret_cast<Found*>(context);
    if (!IsWindowVisible(window))
        return TRUE;
    wchar_t class_name[64] = {};
    GetClassNameW(window, class_name, 64);
    DWORD owner = 0;
    GetWindowThreadProcessId(window, &owner);
    const bool own = owner == found->process;
    if (std::wstring(class_name) == L"#32770" && own)
        found->box = window;
    if (std::wstring(class_name) == L"KMAshvowLauncher")
        (own ? found->own_window : found->launcher_window) = window;
    return TRUE;
}

std::string window_text(HWND window) {
    wchar_t text[4096] = {};
    GetWindowTextW(window, text, 4096);
    return utf8(text);
}

// Newlines as \n, so each box stays on one line of the record.
std::string one_line(const std::string& text) {
    std::string out;
    for (char c : text)
        if (c != '\r')
            out += c == '\n' ? std::string("\\n") : std::string(1, c);
    return out;
}

PROCESS_INFORMATION start(std::wstring command_line) {
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process{};
    CreateProcessW(nullptr, command_line.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                   &startup, &process);
    return process;
}

DWORD exit_of(HANDLE process, DWORD milliseconds) {
    DWORD code = 99;
    if (WaitForSingleObject(process, milliseconds) == WAIT_OBJECT_0)
        GetExitCodeProcess(process, &code);
    return code;
}

int two_at_once(const std::wstring& command_line, std::ofstream& record) {
    const PROCESS_INFORMATION both[] = {start(command_line), start(command_line)};
    const HANDLE handles[] = {both[0].hProcess, both[1].hProcess};
    const DWORD ended = WaitForMultipleObjects(2, handles, FALSE, 60000) - WAIT_OBJECT_0;
    if (ended > 1)
        return 99;
    record << "a start ended " << exit_of(both[ended].hProcess, 0) << "\n";
    Found found{both[1 - ended].dwProcessId};
    for (int i = 0; i < 600 && !found.own_window; ++i, Sleep(100))
        EnumWindows(look, reinterpret_cast<LPARAM>(&found));
    Sleep(3000);  // the first update check, and time for a second one if there were one
    const HWND window = found.own_window;
    ShowWindow(window, SW_MINIMIZE);
    // Another program's window takes the foreground, as the desktop would.
    const HWND cover = CreateWindowExW(0, L"STATIC", L"cover", WS_POPUP | WS_VISIBLE, 0, 0, 300,
                                       300, nullptr, nullptr, nullptr, nullptr);
    SetForegroundWindow(cover);
    record << "minimised " << (IsIconic(window) ? "yes" : "no") << ", foreground "
           << (GetForegroundWindow() == cover ? "another window" : "other") << "\n";
    record << "third start ended " << exit_of(start(command_line).hProcess, 30000) << "\n";
    Sleep(500);
    found = Found{both[1 - ended].dwProcessId};
    EnumWindows(look, reinterpret_cast<LPARAM>(&found));
    record << "minimised after " << (IsIconic(window) ? "yes" : "no") << "\n"
           << "foreground " << (GetForegroundWindow() == window ? "the launcher" : "other") << "\n"
           << "other launcher windows " << (found.launcher_window ? "yes" : "none") << "\n";
    PostMessageW(window, WM_CLOSE, 0, 0);
    record << "survivor exit " << exit_of(both[1 - ended].hProcess, 30000) << "\n";
    return 0;  // the handles go with this program
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    if (argc < 3)
        return 2;
    std::ofstream record(argv[1], std::ios::binary);
    record << std::unitbuf;  // every line on disk at once, whatever ends this program
    std::vector<std::wstring> answers;
    bool expect_second = false;  // a second launcher will appear after the first one ends
    bool close_window = false;   // once every answer is given, close the launcher's own window
    for (int i = 3; i < argc; ++i) {
        if (std::wstring(argv[i]) == L"--expect-second")
            expect_second = true;
        else if (std::wstring(argv[i]) == L"--close-window")
            close_window = true;
        else
            answers.push_back(argv[i]);
    }

    std::wstring command_line = L"\"" + std::wstring(argv[2]) + L"\"";
    if (argc == 4 && std::wstring(argv[3]) == L"--two-at-once")
        return two_at_once(command_line, record);
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process{};
    if (!CreateProcessW(nullptr, command_line.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                        &startup, &process))
        return 3;

    const DWORD deadline = GetTickCount() + 90000;
    std::size_t next_answer = 0;
    DWORD exit_code = 99;
    bool launcher_exited = false;
    while (GetTickCount() < deadline) {
        if (!launcher_exited && WaitForSingleObject(process.hProcess, 0) == WAIT_OBJECT_0) {
            GetExitCodeProcess(process.hProcess, &exit_code);
            launcher_exited = true;
            record << "exit " << exit_code << "\n";
        }
        Found found{process.dwProcessId};
        EnumWindows(look, reinterpret_cast<LPARAM>(&found));
        if (found.box) {
            HWND text = GetDlgItem(found.box, 0xFFFF);
            record << "box " << window_text(found.box) << "|"
                   << one_line(text ? window_text(text) : "") << "\n";
            HWND owner = GetWindow(found.box, GW_OWNER);
            wchar_t owner_class[64] = L"none";
            if (owner)
                GetClassNameW(owner, owner_class, 64);
            record << "owner " << utf8(owner_class) << "\n";
            if (next_answer >= answers.size()) {
                TerminateProcess(process.hProcess, 98);
                return 98;
            }
            const int button = answers[next_answer++] == L"ok" ? IDOK : IDCANCEL;
            PostMessageW(found.box, WM_COMMAND, MAKEWPARAM(button, BN_CLICKED), 0);
            // Wait for this box to go before looking again.
            for (int i = 0; i < 200 && IsWindow(found.box); ++i)
                Sleep(25);
            continue;
        }
        if (!launcher_exited && close_window && next_answer == answers.size() && found.own_window) {
            record << "close window " << window_text(found.own_window) << "\n";
            PostMessageW(found.own_window, WM_CLOSE, 0, 0);  // what Alt+F4 sends
            close_window = false;
            continue;
        }
        if (launcher_exited && found.launcher_window) {
            DWORD second = 0;
            GetWindowThreadProcessId(found.launcher_window, &second);
            HANDLE second_process = OpenProcess(
                SYNCHRONIZE | PROCESS_QUERY_INFORMATION | PROCESS_TERMINATE, FALSE, second);
            record << "second launcher window " << window_text(found.launcher_window) << "\n";
            PostMessageW(found.launcher_window, WM_CLOSE, 0, 0);
            // Without a handle every call fails and the exit stays 99.
            DWORD second_exit = 99;
            if (WaitForSingleObject(second_process, 30000) != WAIT_OBJECT_0)
                TerminateProcess(second_process, 99);
            GetExitCodeProcess(second_process, &second_exit);
            record << "second exit " << second_exit << "\n";
            break;
        }
        if (launcher_exited && !expect_second)
            break;
        Sleep(50);  // with --expect-second, the second launcher may still be on its way
    }
    if (!launcher_exited) {
        record << "timeout\n";
        TerminateProcess(process.hProcess, 99);
    }
    return static_cast<int>(exit_code);  // the handles go with this program
}
