// A test-only WebView2Loader.dll: the loader's two entry points over a fake runtime that shows
// nothing. It answers the calls the launcher's web view host makes, logs each of them to
// webview_log.txt, writes every text given to PostWebMessageAsJson to webview_posted.txt (one a
// line), and plays webview_scenario.txt, all beside the program that loaded it. The scenario is
// renamed once read, so only the first launcher of a folder plays it. With a file named
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

#include <cstring>
#include <deque>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "platform/win32/webview2.h"

namespace {

DWORD owner_thread = 0;
HWND parent_window = nullptr;

std::wstring beside_program(const wchar_t* name) {
    wchar_t path[MAX_PATH * 4] = {};
    GetModuleFileNameW(nullptr, path, static_cast<DWORD>(std::size(path)));
    std::wstring text(path);
    return text.substr(0, text.find_last_of(L"\\/") + 1) + name;
}

std::string utf8(const wchar_t* text) {
    if (!text)
        return "(null)";
    const int length = WideCharToMultiByte(CP_UTF8, 0, text, -1, nullptr, 0, nullptr, nullptr);
    std::string out(static_cast<std::size_t>(length > 0 ? length - 1 : 0), '\0');
    if (length > 1)
        WideCharToMultiByte(CP_UTF8, 0, text, -1, out.data(), length, nullptr, nullptr);
    return out;
}

std::wstring wide(const std::string& text) {
    const int length = MultiByteToWideChar(CP_UTF8, 0, text.c_str(), -1, nullptr, 0);
    std::wstring out(static_cast<std::size_t>(length > 0 ? length - 1 : 0), L'\0');
    if (length > 1)
        MultiByteToWideChar(CP_UTF8, 0, text.c_str(), -1, out.data(), length);
    return out;
}

void append_line(const wchar_t* file, const std::string& line) {
    std::ofstream out(std::filesystem::path(beside_program(file)),
                      std::ios::binary | std::ios::app);
    out << line << '\n';
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
struct Deferred {
    void (*step)(void*);
    void* context;
};
std::vector<std::pair<UINT_PTR, Deferred>> deferred_steps;

void CALLBACK run_deferred(HWND, UINT, UINT_PTR id, DWORD) {
    KillTimer(nullptr, id);
    for (auto it = deferred_steps.begin(); it != deferred_steps.end(); ++it) {
        if (it->first == id) {
            const Deferred step = it->second;
            deferred_steps.erase(it);
            step.step(step.context);
            return;
        }
    }
}

void defer(UINT milliseconds, void (*step)(void*), void* context) {
    const UINT_PTR id = SetTimer(nullptr, 0, milliseconds, run_deferred);
    deferred_steps.push_back({id, {step, context}});
}

template <typename Interface>
class Object : public Interface {
  public:
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** object) override {
        *object = nullptr;
        if (IsEqualIID(riid, IID_IUnknown) || IsEqualIID(riid, iid())) {
            *object = static_cast<Interface*>(this);
            AddRef();
            return S_OK;
        }
        return E_NOINTERFACE;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return ++references_; }
    ULONG STDMETHODCALLTYPE Release() override {
        const ULONG left = --references_;
        if (left == 0)
            delete this;
        return left;
    }

  protected:
    virtual const GUID& iid() const = 0;
    virtual ~Object() = default;

  private:
    ULONG references_ = 1;
};

#define KM_NOT_USED(name, ...)                             \
    HRESULT STDMETHODCALLTYPE name(__VA_ARGS__) override { \
        return unexpected(#name);                          \
    }

HRESULT unexpected(const char* name) {
    note(std::string("unexpected call: ") + name);
    return E_NOTIMPL;
}

class Settings final : public Object<ICoreWebView2Settings> {
  public:
    const GUID& iid() const override { return IID_ICoreWebView2Settings; }
    KM_NOT_USED(get_IsScriptEnabled, BOOL*)
    KM_NOT_USED(put_IsScriptEnabled, BOOL)
    KM_NOT_USED(get_IsWebMessageEnabled, BOOL*)
    KM_NOT_USED(put_IsWebMessageEnabled, BOOL)
    KM_NOT_USED(get_AreDefaultScriptDialogsEnabled, BOOL*)
    KM_NOT_USED(put_AreDefaultScriptDialogsEnabled, BOOL)
    KM_NOT_USED(get_IsStatusBarEnabled, BOOL*)
    HRESULT STDMETHODCALLTYPE put_IsStatusBarEnabled(BOOL value) override {
        return setting("put_IsStatusBarEnabled", value);
    }
    KM_NOT_USED(get_AreDevToolsEnabled, BOOL*)
    HRESULT STDMETHODCALLTYPE put_AreDevToolsEnabled(BOOL value) override {
        return setting("put_AreDevToolsEnabled", value);
    }
    KM_NOT_USED(get_AreDefaultContextMenusEnabled, BOOL*)
    HRESULT STDMETHODCALLTYPE put_AreDefaultContextMenusEnabled(BOOL value) override {
        return setting("put_AreDefaultContextMenusEnabled", value);
    }
    KM_NOT_USED(get_AreHostObjectsAllowed, BOOL*)
    KM_NOT_USED(put_AreHostObjectsAllowed, BOOL)
    KM_NOT_USED(get_IsZoomControlEnabled, BOOL*)
    HRESULT STDMETHODCALLTYPE put_IsZoomControlEnabled(BOOL value) override {
        return setting("put_IsZoomControlEnabled", value);
    }
    KM_NOT_USED(get_IsBuiltInErrorPageEnabled, BOOL*)
    KM_NOT_USED(put_IsBuiltInErrorPageEnabled, BOOL)

  private:
    HRESULT setting(const char* name, BOOL value) {
        note(std::string(name) + " " + (value ? "TRUE" : "FALSE"));
        return S_OK;
    }
};

class MessageArgs final : public Object<ICoreWebView2WebMessageReceivedEventArgs> {
  public:
    explicit MessageArgs(std::wstring json) : json_(std::move(json)) {}
    const GUID& iid() const override { return IID_ICoreWebView2WebMessageReceivedEventArgs; }
    KM_NOT_USED(get_Source, LPWSTR*)
    HRESULT STDMETHODCALLTYPE get_WebMessageAsJson(LPWSTR* value) override {
        *value = co_task_copy(json_);
        return *value ? S_OK : E_OUTOFMEMORY;
    }
    KM_NOT_USED(TryGetWebMessageAsString, LPWSTR*)

  private:
    std::wstring json_;
};

class WebView;
void start_scenario(void* view);

class WebView final : public Object<ICoreWebView2> {
  public:
    const GUID& iid() const override { return IID_ICoreWebView2; }
    ~WebView() override {
        if (message_handler_)
            message_handler_->Release();
    }

    HRESULT STDMETHODCALLTYPE get_Settings(ICoreWebView2Settings** settings) override {
        note("get_Settings");
        *settings = new Settings();
        return S_OK;
    }
    KM_NOT_USED(get_Source, LPWSTR*)
    HRESULT STDMETHODCALLTYPE Navigate(LPCWSTR uri) override {
        note("Navigate " + utf8(uri));
        if (!navigated_) {
            navigated_ = true;
            AddRef();  // held by the scenario for the life of the process
            defer(200, start_scenario, this);
        }
        return S_OK;
    }
    KM_NOT_USED(NavigateToString, LPCWSTR)
    KM_NOT_USED(add_NavigationStarting, ICoreWebView2NavigationStartingEventHandler*,
                EventRegistrationToken*)
    KM_NOT_USED(remove_NavigationStarting, EventRegistrationToken)
    KM_NOT_USED(add_ContentLoading, ICoreWebView2ContentLoadingEventHandler*,
                EventRegistrationToken*)
    KM_NOT_USED(remove_ContentLoading, EventRegistrationToken)
    KM_NOT_USED(add_SourceChanged, ICoreWebView2SourceChangedEventHandler*, EventRegistrationToken*)
    KM_NOT_USED(remove_SourceChanged, EventRegistrationToken)
    KM_NOT_USED(add_HistoryChanged, ICoreWebView2HistoryChangedEventHandler*,
                EventRegistrationToken*)
    KM_NOT_USED(remove_HistoryChanged, EventRegistrationToken)
    KM_NOT_USED(add_NavigationCompleted, ICoreWebView2NavigationCompletedEventHandler*,
                EventRegistrationToken*)
    KM_NOT_USED(remove_NavigationCompleted, EventRegistrationToken)
    KM_NOT_USED(add_FrameNavigationStarting, ICoreWebView2NavigationStartingEventHandler*,
                EventRegistrationToken*)
    KM_NOT_USED(remove_FrameNavigationStarting, EventRegistrationToken)
    KM_NOT_USED(add_FrameNavigationCompleted, ICoreWebView2NavigationCompletedEventHandler*,
                EventRegistrationToken*)
    KM_NOT_USED(remove_FrameNavigationCompleted, EventRegistrationToken)
    KM_NOT_USED(add_ScriptDialogOpening, ICoreWebView2ScriptDialogOpeningEventHandler*,
                EventRegistrationToken*)
    KM_NOT_USED(remove_ScriptDialogOpening, EventRegistrationToken)
    KM_NOT_USED(add_PermissionRequested, ICoreWebView2PermissionRequestedEventHandler*,
                EventRegistrationToken*)
    KM_NOT_USED(remove_PermissionRequested, EventRegistrationToken)
    KM_NOT_USED(add_ProcessFailed, ICoreWebView2ProcessFailedEventHandler*, EventRegistrationToken*)
    KM_NOT_USED(remove_ProcessFailed, EventRegistrationToken)
    KM_NOT_USED(AddScriptToExecuteOnDocumentCreated, LPCWSTR,
                ICoreWebView2AddScriptToExecuteOnDocumentCreatedCompletedHandler*)
    KM_NOT_USED(RemoveScriptToExecuteOnDocumentCreated, LPCWSTR)
    KM_NOT_USED(ExecuteScript, LPCWSTR, ICoreWebView2ExecuteScriptCompletedHandler*)
    KM_NOT_USED(CapturePreview, COREWEBVIEW2_CAPTURE_PREVIEW_IMAGE_FORMAT, IStream*,
                ICoreWebView2CapturePreviewCompletedHandler*)
    HRESULT STDMETHODCALLTYPE Reload() override {
        note("Reload");
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE PostWebMessageAsJson(LPCWSTR json) override {
        const std::string text = utf8(json);
        note("PostWebMessageAsJson " + text);
        append_line(L"webview_posted.txt", text);
        posted.push_back(text);
        return S_OK;
    }
    KM_NOT_USED(PostWebMessageAsString, LPCWSTR)
    HRESULT STDMETHODCALLTYPE
    add_WebMessageReceived(ICoreWebView2WebMessageReceivedEventHandler* handler,
                           EventRegistrationToken* token) override {
        note("add_WebMessageReceived");
        handler->AddRef();
        if (message_handler_)
            message_handler_->Release();
        message_handler_ = handler;
        token->value = 7;
        return S_OK;
    }
    KM_NOT_USED(remove_WebMessageReceived, EventRegistrationToken)
    KM_NOT_USED(CallDevToolsProtocolMethod, LPCWSTR, LPCWSTR,
                ICoreWebView2CallDevToolsProtocolMethodCompletedHandler*)
    KM_NOT_USED(get_BrowserProcessId, UINT32*)
    KM_NOT_USED(get_CanGoBack, BOOL*)
    KM_NOT_USED(get_CanGoForward, BOOL*)
    KM_NOT_USED(GoBack)
    KM_NOT_USED(GoForward)
    KM_NOT_USED(GetDevToolsProtocolEventReceiver, LPCWSTR,
                ICoreWebView2DevToolsProtocolEventReceiver**)
    KM_NOT_USED(Stop)
    KM_NOT_USED(add_NewWindowRequested, ICoreWebView2NewWindowRequestedEventHandler*,
                EventRegistrationToken*)
    KM_NOT_USED(remove_NewWindowRequested, EventRegistrationToken)
    KM_NOT_USED(add_DocumentTitleChanged, ICoreWebView2DocumentTitleChangedEventHandler*,
                EventRegistrationToken*)
    KM_NOT_USED(remove_DocumentTitleChanged, EventRegistrationToken)
    KM_NOT_USED(get_DocumentTitle, LPWSTR*)
    KM_NOT_USED(AddHostObjectToScript, LPCWSTR, VARIANT*)
    KM_NOT_USED(RemoveHostObjectFromScript, LPCWSTR)
    KM_NOT_USED(OpenDevToolsWindow)
    KM_NOT_USED(add_ContainsFullScreenElementChanged,
                ICoreWebView2ContainsFullScreenElementChangedEventHandler*, EventRegistrationToken*)
    KM_NOT_USED(remove_ContainsFullScreenElementChanged, EventRegistrationToken)
    KM_NOT_USED(get_ContainsFullScreenElement, BOOL*)
    KM_NOT_USED(add_WebResourceRequested, ICoreWebView2WebResourceRequestedEventHandler*,
                EventRegistrationToken*)
    KM_NOT_USED(remove_WebResourceRequested, EventRegistrationToken)
    KM_NOT_USED(AddWebResourceRequestedFilter, const LPCWSTR,
                const COREWEBVIEW2_WEB_RESOURCE_CONTEXT)
    KM_NOT_USED(RemoveWebResourceRequestedFilter, const LPCWSTR,
                const COREWEBVIEW2_WEB_RESOURCE_CONTEXT)
    KM_NOT_USED(add_WindowCloseRequested, ICoreWebView2WindowCloseRequestedEventHandler*,
                EventRegistrationToken*)
    KM_NOT_USED(remove_WindowCloseRequested, EventRegistrationToken)

    // The page posts `json`: the host's handler sees it as the runtime would hand it over.
    void page_posts(const std::string& json) {
        note("page posts " + json);
        if (!message_handler_) {
            note("FAIL: no message handler registered");
            return;
        }
        auto* args = new MessageArgs(wide(json));
        const HRESULT result = message_handler_->Invoke(this, args);
        args->Release();
        if (result != S_OK)
            note("FAIL: message handler answered " + std::to_string(result));
    }

    std::vector<std::string> posted;

  private:
    bool navigated_ = false;
    ICoreWebView2WebMessageReceivedEventHandler* message_handler_ = nullptr;
};

class Controller final : public Object<ICoreWebView2Controller> {
  public:
    const GUID& iid() const override { return IID_ICoreWebView2Controller; }
    ~Controller() override {
        if (view_)
            view_->Release();
    }
    KM_NOT_USED(get_IsVisible, BOOL*)
    KM_NOT_USED(put_IsVisible, BOOL)
    KM_NOT_USED(get_Bounds, RECT*)
    HRESULT STDMETHODCALLTYPE put_Bounds(RECT bounds) override {
        note("put_Bounds " + std::to_string(bounds.left) + " " + std::to_string(bounds.top) + " " +
             std::to_string(bounds.right) + " " + std::to_string(bounds.bottom));
        return S_OK;
    }
    KM_NOT_USED(get_ZoomFactor, double*)
    KM_NOT_USED(put_ZoomFactor, double)
    KM_NOT_USED(add_ZoomFactorChanged, ICoreWebView2ZoomFactorChangedEventHandler*,
                EventRegistrationToken*)
    KM_NOT_USED(remove_ZoomFactorChanged, EventRegistrationToken)
    KM_NOT_USED(SetBoundsAndZoomFactor, RECT, double)
    KM_NOT_USED(MoveFocus, COREWEBVIEW2_MOVE_FOCUS_REASON)
    KM_NOT_USED(add_MoveFocusRequested, ICoreWebView2MoveFocusRequestedEventHandler*,
                EventRegistrationToken*)
    KM_NOT_USED(remove_MoveFocusRequested, EventRegistrationToken)
    KM_NOT_USED(add_GotFocus, ICoreWebView2FocusChangedEventHandler*, EventRegistrationToken*)
    KM_NOT_USED(remove_GotFocus, EventRegistrationToken)
    KM_NOT_USED(add_LostFocus, ICoreWebView2FocusChangedEventHandler*, EventRegistrationToken*)
    KM_NOT_USED(remove_LostFocus, EventRegistrationToken)
    KM_NOT_USED(add_AcceleratorKeyPressed, ICoreWebView2AcceleratorKeyPressedEventHandler*,
                EventRegistrationToken*)
    KM_NOT_USED(remove_AcceleratorKeyPressed, EventRegistrationToken)
    KM_NOT_USED(get_ParentWindow, HWND*)
    KM_NOT_USED(put_ParentWindow, HWND)
    KM_NOT_USED(NotifyParentWindowPositionChanged)
    KM_NOT_USED(Close)
    HRESULT STDMETHODCALLTYPE get_CoreWebView2(ICoreWebView2** view) override {
        note("get_CoreWebView2");
        if (!view_)
            view_ = new WebView();
        view_->AddRef();
        *view = view_;
        return S_OK;
    }

  private:
    WebView* view_ = nullptr;
};

struct ControllerCall {
    ICoreWebView2CreateCoreWebView2ControllerCompletedHandler* handler;
};

void complete_controller(void* context) {
    auto* call = static_cast<ControllerCall*>(context);
    auto* controller = new Controller();
    const HRESULT result = call->handler->Invoke(S_OK, controller);
    note("controller handler answered " + std::to_string(result));
    controller->Release();
    call->handler->Release();
    delete call;
}

class Environment final : public Object<ICoreWebView2Environment> {
  public:
    const GUID& iid() const override { return IID_ICoreWebView2Environment; }
    HRESULT STDMETHODCALLTYPE CreateCoreWebView2Controller(
        HWND parent, ICoreWebView2CreateCoreWebView2ControllerCompletedHandler* handler) override {
        char class_name[64] = {};
        GetClassNameA(parent, class_name, sizeof class_name);
        note(std::string("CreateCoreWebView2Controller parent class ") + class_name);
        RECT frame{};
        GetWindowRect(parent, &frame);
        note("parent window rect " + std::to_string(frame.left) + " " + std::to_string(frame.top) +
             " " + std::to_string(frame.right) + " " + std::to_string(frame.bottom));
        parent_window = parent;
        handler->AddRef();
        defer(50, complete_controller, new ControllerCall{handler});
        return S_OK;
    }
    KM_NOT_USED(CreateWebResourceResponse, IStream*, int, LPCWSTR, LPCWSTR,
                ICoreWebView2WebResourceResponse**)
    KM_NOT_USED(get_BrowserVersionString, LPWSTR*)
    KM_NOT_USED(add_NewBrowserVersionAvailable,
                ICoreWebView2NewBrowserVersionAvailableEventHandler*, EventRegistrationToken*)
    KM_NOT_USED(remove_NewBrowserVersionAvailable, EventRegistrationToken)
};

struct EnvironmentCall {
    ICoreWebView2CreateCoreWebView2EnvironmentCompletedHandler* handler;
};

void complete_environment(void* context) {
    auto* call = static_cast<EnvironmentCall*>(context);
    // A runtime that cannot start: the environment fails with the runtime's "not found" error.
    const std::wstring refusal = beside_program(L"webview_refuse_environment");
    if (GetFileAttributesW(refusal.c_str()) != INVALID_FILE_ATTRIBUTES) {
        const HRESULT result =
            call->handler->Invoke(HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND), nullptr);
        note("environment handler answered " + std::to_string(result) + " to a refusal");
        call->handler->Release();
        delete call;
        return;
    }
    auto* environment = new Environment();
    const HRESULT result = call->handler->Invoke(S_OK, environment);
    note("environment handler answered " + std::to_string(result));
    environment->Release();
    call->handler->Release();
    delete call;
}

// ---- The scenario ------------------------------------------------------------------------------

struct Scenario {
    WebView* view = nullptr;
    std::deque<std::string> steps;
    std::string waiting_for;
    DWORD wait_deadline = 0;
};
Scenario scenario;

void close_window(const char* why) {
    note(why);
    PostMessageW(parent_window, WM_CLOSE, 0, 0);
}

void next_step(void*) {
    if (!scenario.waiting_for.empty()) {
        for (const std::string& text : scenario.view->posted) {
            if (text.find(scenario.waiting_for) != std::string::npos) {
                note("seen " + scenario.waiting_for);
                scenario.waiting_for.clear();
                break;
            }
        }
        if (!scenario.waiting_for.empty()) {
            if (GetTickCount() > scenario.wait_deadline) {
                close_window(("FAIL: timed out waiting for " + scenario.waiting_for).c_str());
                return;
            }
            defer(50, next_step, nullptr);
            return;
        }
    }
    if (scenario.steps.empty()) {
        note("scenario done");
        return;
    }
    std::string step = scenario.steps.front();
    scenario.steps.pop_front();
    const auto blank = step.find(' ');
    const std::string verb = step.substr(0, blank);
    const std::string rest = blank == std::string::npos ? "" : step.substr(blank + 1);
    UINT pause = 10;
    if (verb == "send") {
        scenario.view->page_posts(rest);
    } else if (verb == "wait") {
        scenario.waiting_for = rest;
        scenario.wait_deadline = GetTickCount() + 90000;
    } else if (verb == "sleep") {
        pause = static_cast<UINT>(std::stoul(rest));
    } else if (verb == "null_event") {
        PostMessageW(parent_window, WM_APP + 1, 0, 0);  // a UI event without its text
    } else if (verb == "hittest") {
        // Client point to screen point, then ask the window as the system would.
        POINT point{};
        const auto space = rest.find(' ');
        point.x = std::stoi(rest.substr(0, space));
        point.y = std::stoi(rest.substr(space + 1));
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
        close_window("scenario closes the window");
        return;
    } else {
        note("FAIL: unknown scenario step " + step);
        return;
    }
    defer(pause, next_step, nullptr);
}

void start_scenario(void* view) {
    scenario.view = static_cast<WebView*>(view);
    const std::wstring file = beside_program(L"webview_scenario.txt");
    {
        std::ifstream in(std::filesystem::path(file), std::ios::binary);
        std::string line;
        while (std::getline(in, line)) {
            while (!line.empty() && (line.back() == '\r' || line.back() == ' '))
                line.pop_back();
            if (!line.empty() && line[0] != '#')
                scenario.steps.push_back(line);
        }
    }
    // Played once: a launcher started later from the same folder (a restart) sees no scenario.
    MoveFileExW(file.c_str(), (file + L".played").c_str(), MOVEFILE_REPLACE_EXISTING);
    note("scenario has " + std::to_string(scenario.steps.size()) + " steps");
    next_step(nullptr);
}

std::string option_text(
    ICoreWebView2EnvironmentOptions* options,
    HRESULT (STDMETHODCALLTYPE ICoreWebView2EnvironmentOptions::*get)(LPWSTR*)) {
    LPWSTR value = nullptr;
    const HRESULT result = (options->*get)(&value);
    std::string text = result == S_OK ? utf8(value) : "(failed)";
    CoTaskMemFree(value);
    return text;
}

}  // namespace

extern "C" __declspec(dllexport) HRESULT STDAPICALLTYPE
    GetAvailableCoreWebView2BrowserVersionString(PCWSTR folder, LPWSTR* version) {
    append_line(L"webview_log.txt",
                std::string("GetAvailableCoreWebView2BrowserVersionString folder ") +
                    (folder ? utf8(folder) : "(null)"));
    *version = co_task_copy(L"129.0.2792.45 fake");
    return *version ? S_OK : E_OUTOFMEMORY;
}

extern "C" __declspec(dllexport) HRESULT STDAPICALLTYPE CreateCoreWebView2EnvironmentWithOptions(
    PCWSTR folder, PCWSTR user_data, ICoreWebView2EnvironmentOptions* options,
    ICoreWebView2CreateCoreWebView2EnvironmentCompletedHandler* handler) {
    owner_thread = GetCurrentThreadId();
    note("CreateCoreWebView2EnvironmentWithOptions folder " +
         std::string(folder ? utf8(folder) : "(null)") + " user_data " + utf8(user_data));
    if (options) {
        using O = ICoreWebView2EnvironmentOptions;
        note("option AdditionalBrowserArguments " +
             option_text(options, &O::get_AdditionalBrowserArguments));
        note("option Language " + option_text(options, &O::get_Language));
        note("option TargetCompatibleBrowserVersion " +
             option_text(options, &O::get_TargetCompatibleBrowserVersion));
        BOOL allow = TRUE;
        options->get_AllowSingleSignOnUsingOSPrimaryAccount(&allow);
        note(std::string("option AllowSingleSignOnUsingOSPrimaryAccount ") +
             (allow ? "TRUE" : "FALSE"));
        // A newer runtime asks for its later option interfaces; the host must refuse them.
        const GUID options2 = {
            0xff85c98a, 0x1ba7, 0x4a6b, {0x90, 0xc8, 0x2b, 0x75, 0x2c, 0x89, 0xe9, 0xe2}};
        void* unused = nullptr;
        note(std::string("option QueryInterface Options2 ") +
             (options->QueryInterface(options2, &unused) == E_NOINTERFACE ? "E_NOINTERFACE"
                                                                          : "answered"));
    }
    if (!handler)
        return E_INVALIDARG;
    handler->AddRef();
    defer(50, complete_environment, new EnvironmentCall{handler});
    return S_OK;
}
