// A test-only WebView2Loader.dll: the loader's two entry points over a fake runtime that shows
// nothing. Its objects are tables of slots numbered as the runtime publishes them, not classes
// built from our own header, so a method of the header in the wrong place is caught here. Every
// slot a test does not expect logs "unexpected call". It logs each call to webview_log.txt,
// writes every text given to PostWebMessageAsJson to webview_posted.txt (one a line), and plays
// webview_scenario.txt, all beside the program that loaded it. The scenario is renamed once
// read, so only the first launcher of a folder plays it. With a file named
// webview_refuse_environment beside the program, environment creation fails instead.
//
// Scenario lines, run in order once the page has been navigated to:
//   send <json>       the page posts <json>: the registered message handler is invoked with it
//   wait <text>       until a posted text contains <text> (at most 90 s; else FAIL and close)
//   sleep <ms>        pause
//   null_event        post the window a UI-event message whose text pointer is null
//   hittest <x> <y>   log the window's WM_NCHITTEST answer for a client point
//   restore           restore the window the view lives in (after the page minimised it)
//   close             post WM_CLOSE to the window the view lives in
// Every callback and scenario step runs on the thread that created the environment (a timer on
// that thread's message loop), which is what the real runtime promises.
#include <objbase.h>
#include <windows.h>

#include <algorithm>
#include <cstring>
#include <deque>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "platform/win32/webview2.h"
#include "tests/wine/wide_text.h"

namespace {

using km::wine::beside_program;
using km::wine::utf8;

DWORD owner_thread = 0;
HWND parent_window = nullptr;

void append_line(const wchar_t* file, const std::string& line) {
    std::ofstream(std::filesystem::path(beside_program(file)), std::ios::binary | std::ios::app)
        << line << '\n';
}

void note(const std::string& line) {
    if (owner_thread != 0 && GetCurrentThreadId() != owner_thread)
        append_line(L"webview_log.txt", "WRONG THREAD: " + line);
    append_line(L"webview_log.txt", line);
}

wchar_t* co_task_copy(const std::wstring& text) {
    const std::size_t bytes = (text.size() + 1) * sizeof(wchar_t);
    auto* copy = static_cast<wchar_t*>(CoTaskMemAlloc(bytes));
    if (copy)
        std::memcpy(copy, text.c_str(), bytes);
    return copy;
}

// Runs `step` later on this thread's message loop.
std::map<UINT_PTR, std::function<void()>> deferred_steps;
void CALLBACK run_deferred(HWND, UINT, UINT_PTR id, DWORD) {
    KillTimer(nullptr, id);
    auto step = std::move(deferred_steps[id]);
    deferred_steps.erase(id);
    step();
}
void defer(UINT milliseconds, std::function<void()> step) {
    deferred_steps[SetTimer(nullptr, 0, milliseconds, run_deferred)] = std::move(step);
}

// ---- Objects as slot tables ------------------------------------------------------------------

using Slot = void (*)();
struct Fake {
    const Slot* table;  // where the runtime's objects keep their vtable pointer
    const GUID* iid;
    ULONG references = 1;
    std::wstring json;  // a message's text
};

// One function for every slot a test does not expect: the x64 convention lets the caller clean
// up whatever arguments it passed.
HRESULT STDMETHODCALLTYPE unexpected(Fake*) {
    note("unexpected call");
    return E_NOTIMPL;
}
HRESULT STDMETHODCALLTYPE query_interface(Fake* self, REFIID riid, void** object) {
    *object = nullptr;
    if (!IsEqualIID(riid, IID_IUnknown) && !IsEqualIID(riid, *self->iid))
        return E_NOINTERFACE;
    *object = self;
    ++self->references;
    return S_OK;
}
ULONG STDMETHODCALLTYPE add_ref(Fake* self) {
    return ++self->references;
}
ULONG STDMETHODCALLTYPE release(Fake* self) {
    const ULONG left = --self->references;
    if (left == 0)
        delete self;
    return left;
}

template <typename F>
Slot slot(F function) {
    return reinterpret_cast<Slot>(function);
}
// A table of `N` slots: IUnknown's three, `used`, and "unexpected" everywhere else.
template <std::size_t N>
const Slot* table(std::initializer_list<std::pair<std::size_t, Slot>> used) {
    auto* slots = new std::vector<Slot>(N, slot(&unexpected));
    (*slots)[0] = slot(&query_interface);
    (*slots)[1] = slot(&add_ref);
    (*slots)[2] = slot(&release);
    for (const auto& [index, function] : used)
        (*slots)[index] = function;
    return slots->data();
}

// Calls slot `index` of a COM object as the runtime does: by position, not by our header's names.
template <typename... Args>
HRESULT call_slot(void* object, std::size_t index, Args... args) {
    using Fn = HRESULT(STDMETHODCALLTYPE*)(void*, Args...);
    return (*reinterpret_cast<Fn**>(object))[index](object, args...);
}

ICoreWebView2WebMessageReceivedEventHandler* message_handler = nullptr;
std::vector<std::string> posted;
Fake* view = nullptr;
void start_scenario();

const std::map<std::size_t, const char*> setting_names = {{10, "put_IsStatusBarEnabled"},
                                                          {12, "put_AreDevToolsEnabled"},
                                                          {14, "put_AreDefaultContextMenusEnabled"},
                                                          {18, "put_IsZoomControlEnabled"}};
template <std::size_t I>
HRESULT STDMETHODCALLTYPE put_setting(Fake*, BOOL value) {
    note(std::string(setting_names.at(I)) + " " + (value ? "TRUE" : "FALSE"));
    return S_OK;
}

HRESULT STDMETHODCALLTYPE get_message_json(Fake* self, LPWSTR* value) {
    *value = co_task_copy(self->json);
    return *value ? S_OK : E_OUTOFMEMORY;
}

// ICoreWebView2: get_Settings 3, Navigate 5, Reload 31, PostWebMessageAsJson 32,
// add_WebMessageReceived 34, of 61 slots.
HRESULT STDMETHODCALLTYPE get_settings(Fake*, ICoreWebView2Settings** settings) {
    note("get_Settings");
    static const Slot* slots = table<21>({{10, slot(&put_setting<10>)},
                                          {12, slot(&put_setting<12>)},
                                          {14, slot(&put_setting<14>)},
                                          {18, slot(&put_setting<18>)}});
    *settings =
        reinterpret_cast<ICoreWebView2Settings*>(new Fake{slots, &IID_ICoreWebView2Settings});
    return S_OK;
}
HRESULT STDMETHODCALLTYPE navigate(Fake* self, LPCWSTR uri) {
    note("Navigate " + utf8(uri));
    if (!view) {
        view = self;
        ++self->references;  // held by the scenario for the life of the process
        defer(200, start_scenario);
    }
    return S_OK;
}
HRESULT STDMETHODCALLTYPE reload(Fake*) {
    note("Reload");
    return S_OK;
}
HRESULT STDMETHODCALLTYPE post_json(Fake*, LPCWSTR json) {
    const std::string text = utf8(json);
    note("PostWebMessageAsJson " + text);
    append_line(L"webview_posted.txt", text);
    posted.push_back(text);
    return S_OK;
}
HRESULT STDMETHODCALLTYPE add_message_received(Fake*,
                                               ICoreWebView2WebMessageReceivedEventHandler* handler,
                                               EventRegistrationToken* token) {
    note("add_WebMessageReceived");
    handler->AddRef();
    message_handler = handler;
    token->value = 7;
    return S_OK;
}

// ICoreWebView2Controller: put_Bounds 6, get_CoreWebView2 25, of 26 slots.
HRESULT STDMETHODCALLTYPE put_bounds(Fake*, RECT bounds) {
    note("put_Bounds " + std::to_string(bounds.left) + " " + std::to_string(bounds.top) + " " +
         std::to_string(bounds.right) + " " + std::to_string(bounds.bottom));
    return S_OK;
}
HRESULT STDMETHODCALLTYPE get_core_webview(Fake*, ICoreWebView2** out) {
    note("get_CoreWebView2");
    static const Slot* slots = table<61>({{3, slot(&get_settings)},
                                          {5, slot(&navigate)},
                                          {31, slot(&reload)},
                                          {32, slot(&post_json)},
                                          {34, slot(&add_message_received)}});
    *out = reinterpret_cast<ICoreWebView2*>(view ? (++view->references, view)
                                                 : new Fake{slots, &IID_ICoreWebView2});
    return S_OK;
}

// ICoreWebView2Environment: CreateCoreWebView2Controller 3, of 8 slots.
HRESULT STDMETHODCALLTYPE create_controller(
    Fake*, HWND parent, ICoreWebView2CreateCoreWebView2ControllerCompletedHandler* handler) {
    char class_name[64] = {};
    GetClassNameA(parent, class_name, sizeof class_name);
    note(std::string("CreateCoreWebView2Controller parent class ") + class_name);
    RECT frame{};
    GetWindowRect(parent, &frame);
    note("parent window rect " + std::to_string(frame.left) + " " + std::to_string(frame.top) +
         " " + std::to_string(frame.right) + " " + std::to_string(frame.bottom));
    parent_window = parent;
    handler->AddRef();
    defer(50, [handler] {
        static const Slot* slots =
            table<26>({{6, slot(&put_bounds)}, {25, slot(&get_core_webview)}});
        Fake* controller = new Fake{slots, &IID_ICoreWebView2Controller};
        note("controller handler answered " +
             std::to_string(call_slot(handler, 3, S_OK, controller)));
        release(controller);
        handler->Release();
    });
    return S_OK;
}

void complete_environment(ICoreWebView2CreateCoreWebView2EnvironmentCompletedHandler* handler) {
    // A runtime that cannot start: the environment fails with the runtime's "not found" error.
    const bool refuse = GetFileAttributesW(beside_program(L"webview_refuse_environment").c_str()) !=
                        INVALID_FILE_ATTRIBUTES;
    Fake* environment =
        refuse ? nullptr
               : new Fake{table<8>({{3, slot(&create_controller)}}), &IID_ICoreWebView2Environment};
    const HRESULT result = refuse ? HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND) : S_OK;
    note("environment handler answered " +
         std::to_string(call_slot(handler, 3, result, environment)) +
         (refuse ? " to a refusal" : ""));
    if (environment)
        release(environment);
    handler->Release();
}

// ---- The scenario ------------------------------------------------------------------------------

std::deque<std::string> steps;
std::string waiting_for;
DWORD wait_deadline = 0;

void close_window(const std::string& why) {
    note(why);
    PostMessageW(parent_window, WM_CLOSE, 0, 0);
}

// The page posts `json`: the host's handler sees it as the runtime would hand it over.
void page_posts(const std::string& json) {
    note("page posts " + json);
    if (!message_handler)
        return note("FAIL: no message handler registered");
    std::wstring text(json.size(), L'\0');
    text.resize(static_cast<std::size_t>(
        MultiByteToWideChar(CP_UTF8, 0, json.data(), static_cast<int>(json.size()), text.data(),
                            static_cast<int>(text.size()))));
    static const Slot* slots = table<6>({{4, slot(&get_message_json)}});
    Fake* args = new Fake{slots, &IID_ICoreWebView2WebMessageReceivedEventArgs, 1, text};
    const HRESULT result = call_slot(message_handler, 3, view, args);
    release(args);
    if (result != S_OK)
        note("FAIL: message handler answered " + std::to_string(result));
}

void next_step() {
    if (!waiting_for.empty()) {
        if (std::none_of(posted.begin(), posted.end(), [](const std::string& text) {
                return text.find(waiting_for) != std::string::npos;
            })) {
            if (GetTickCount() > wait_deadline)
                return close_window("FAIL: timed out waiting for " + waiting_for);
            return defer(50, next_step);
        }
        note("seen " + waiting_for);
        waiting_for.clear();
    }
    if (steps.empty())
        return note("scenario done");
    const std::string step = steps.front();
    steps.pop_front();
    const auto blank = step.find(' ');
    const std::string verb = step.substr(0, blank);
    const std::string rest = blank == std::string::npos ? "" : step.substr(blank + 1);
    UINT pause = 10;
    if (verb == "send") {
        page_posts(rest);
    } else if (verb == "wait") {
        waiting_for = rest;
        wait_deadline = GetTickCount() + 90000;
    } else if (verb == "sleep") {
        pause = static_cast<UINT>(std::stoul(rest));
    } else if (verb == "null_event") {
        PostMessageW(parent_window, WM_APP + 1, 0, 0);  // a UI event without its text
    } else if (verb == "hittest") {
        // Client point to screen point, then ask the window as the system would.
        POINT point{std::stoi(rest), std::stoi(rest.substr(rest.find(' ')))};
        ClientToScreen(parent_window, &point);
        const LRESULT answer =
            SendMessageW(parent_window, WM_NCHITTEST, 0,
                         MAKELPARAM(static_cast<WORD>(point.x), static_cast<WORD>(point.y)));
        note("hittest " + rest + " -> " + std::to_string(answer));
    } else if (verb == "restore") {
        note(std::string("window minimized before restore: ") +
             (IsIconic(parent_window) ? "yes" : "no"));
        ShowWindow(parent_window, SW_RESTORE);
    } else if (verb == "close") {
        return close_window("scenario closes the window");
    } else {
        return note("FAIL: unknown scenario step " + step);
    }
    defer(pause, next_step);
}

void start_scenario() {
    const std::wstring file = beside_program(L"webview_scenario.txt");
    {
        std::ifstream in(std::filesystem::path(file), std::ios::binary);
        for (std::string line; std::getline(in, line);)
            if (!line.empty() && line[0] != '#')
                steps.push_back(line);
    }
    // Played once: a launcher started later from the same folder (a restart) sees no scenario.
    MoveFileExW(file.c_str(), (file + L".played").c_str(), MOVEFILE_REPLACE_EXISTING);
    note("scenario has " + std::to_string(steps.size()) + " steps");
    next_step();
}

}  // namespace

extern "C" __declspec(dllexport) HRESULT STDAPICALLTYPE
    GetAvailableCoreWebView2BrowserVersionString(PCWSTR, LPWSTR* version) {
    *version = co_task_copy(L"129.0.2792.45 fake");
    return *version ? S_OK : E_OUTOFMEMORY;
}

extern "C" __declspec(dllexport) HRESULT STDAPICALLTYPE CreateCoreWebView2EnvironmentWithOptions(
    PCWSTR folder, PCWSTR user_data, ICoreWebView2EnvironmentOptions* options,
    ICoreWebView2CreateCoreWebView2EnvironmentCompletedHandler* handler) {
    owner_thread = GetCurrentThreadId();
    note("CreateCoreWebView2EnvironmentWithOptions folder " + utf8(folder) + " user_data " +
         utf8(user_data));
    if (options) {
        // The getters the runtime reads, by slot: 3, 5, 7 and 9.
        for (const auto& [index, name] :
             {std::pair<std::size_t, const char*>{3, "AdditionalBrowserArguments"},
              {5, "Language"},
              {7, "TargetCompatibleBrowserVersion"}}) {
            LPWSTR value = nullptr;
            const HRESULT result = call_slot(options, index, &value);
            note(std::string("option ") + name + " " + (result == S_OK ? utf8(value) : "(failed)"));
            CoTaskMemFree(value);
        }
        BOOL allow = TRUE;
        call_slot(options, 9, &allow);
        note(std::string("option AllowSingleSignOnUsingOSPrimaryAccount ") +
             (allow ? "TRUE" : "FALSE"));
    }
    handler->AddRef();
    defer(50, [handler] { complete_environment(handler); });
    return S_OK;
}
