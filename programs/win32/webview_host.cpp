#include "programs/win32/webview_host.h"

#include <cstdio>
#include <memory>

#include "launcher/commands.h"
#include "launcher/common/app_state.h"
#include "launcher/common/events.h"
#include "launcher/common/log.h"
#include "launcher/startup.h"
#include "platform/page_delivery.h"
#include "platform/paths.h"
#include "platform/platform.h"
#include "platform/win32/main_window.h"
#include "platform/win32/webview_loader.h"
#include "platform/win32/webview_objects.h"
#include "platform/win32/win32_handles.h"

namespace km::win32 {
namespace {

// The runtime's objects, held for the life of the process. Deliberately never destroyed: a
// release during static destruction would run after CoUninitialize, inside a runtime that may
// already be shutting down. Window's thread only.
struct WebViewState {
    com_ptr<ICoreWebView2Environment> webview_environment;
    com_ptr<ICoreWebView2Controller> webview_controller;
    com_ptr<ICoreWebView2> webview;
    EventRegistrationToken web_message_token{};
};

WebViewState& state() {
    static WebViewState* instance = new WebViewState();
    return *instance;
}

constexpr char environment_failure_text[] =
    "WebView2 runtime not available. Install the Evergreen runtime from Microsoft.";

void fit_view_to_window() {
    if (!state().webview_controller)
        return;
    RECT bounds{};
    GetClientRect(main_hwnd, &bounds);
    state().webview_controller->put_Bounds(bounds);
}

HRESULT on_controller_created(HRESULT result, ICoreWebView2Controller* controller) {
    if (FAILED(result) || !controller)
        return result;
    state().webview_controller = com_ptr<ICoreWebView2Controller>::share(controller);
    return on_webview_ready();
}

HRESULT on_environment_created(HRESULT result, ICoreWebView2Environment* environment) {
    if (SUCCEEDED(result) && environment) {
        state().webview_environment = com_ptr<ICoreWebView2Environment>::share(environment);
        auto handler = ControllerCompletedHandler::create(&on_controller_created);
        if (handler)
            environment->CreateCoreWebView2Controller(main_hwnd, handler.get());
        return S_OK;
    }
    char code[16];
    std::snprintf(code, sizeof code, "0x%08lX", static_cast<unsigned long>(result));
    log_event("webview", std::string("no environment: ") + code);
    platform::message_box(environment_failure_text, "Launcher", platform::mb_iconerror, true);
    return result;
}

std::string wide_to_utf8(const wchar_t* text) {
    const int length = WideCharToMultiByte(CP_UTF8, 0, text, -1, nullptr, 0, nullptr, nullptr);
    if (length <= 1)
        return std::string();
    std::string out(static_cast<std::size_t>(length), '\0');
    WideCharToMultiByte(CP_UTF8, 0, text, -1, out.data(), length, nullptr, nullptr);
    out.resize(static_cast<std::size_t>(length - 1));  // the terminating NUL
    return out;
}

}  // namespace

void init_webview() {
    const std::wstring user_data = utf8_to_wide(exe_dir + "\\cache\\webview");
    auto options = EnvironmentOptions::create();
    if (options)
        options->put_AdditionalBrowserArguments(additional_browser_arguments);
    auto handler = EnvironmentCompletedHandler::create(&on_environment_created);
    const auto create_environment = loader_environment_entry();
    if (!create_environment || !handler)
        return;  // as when the call fails at once: the window stays dark, nothing is shown
    create_environment(nullptr, user_data.c_str(), options.get(), handler.get());
}

HRESULT on_webview_ready() {
    WebViewState& view = state();
    if (!view.webview_controller)
        return E_FAIL;
    view.webview_controller->get_CoreWebView2(view.webview.put());
    if (!view.webview)
        return E_FAIL;

    com_ptr<ICoreWebView2Settings> settings;
    view.webview->get_Settings(settings.put());
    if (settings) {
        settings->put_AreDefaultContextMenusEnabled(FALSE);
        settings->put_AreDevToolsEnabled(FALSE);
        settings->put_IsStatusBarEnabled(FALSE);
        settings->put_IsZoomControlEnabled(FALSE);
    }

    auto handler = WebMessageReceivedHandler::create(&on_web_message);
    if (handler)
        view.webview->add_WebMessageReceived(handler.get(), &view.web_message_token);

    // From here on events reach the page, one at a time under webview_mutex (see
    // platform/page_delivery.h); before this they are dropped.
    set_page_sink([](const std::string& json) {
        if (state().webview)
            state().webview->PostWebMessageAsJson(utf8_to_wide(json).c_str());
    });

    // The runtime's ProcessFailed event would tell of a crashed page process, but the interface
    // facts we declare from give its registration slot only, not its handler's IID or its
    // arguments' layout: it stays unregistered (docs/windows.md).
    log_event("page", "load " + log_quoted(exe_dir + "\\web\\index.html"));
    view.webview->Navigate(utf8_to_wide(page_url(exe_dir)).c_str());
    fit_view_to_window();
    return S_OK;
}

HRESULT on_web_message(ICoreWebView2*, ICoreWebView2WebMessageReceivedEventArgs* args) {
    if (!args)
        return S_OK;
    co_task_string json;
    if (FAILED(args->get_WebMessageAsJson(json.put())) || !json.get())
        return S_OK;
    try {
        handle_page_command(wide_to_utf8(json.get()));
    } catch (...) {
        // A command that fails on its way through the dispatcher is dropped, like an unknown one.
    }
    return S_OK;
}

LRESULT CALLBACK WndProc(HWND hwnd, UINT message, WPARAM wparam, LPARAM lparam) {
    try {
        switch (message) {
            case WM_UI_EVENT: {
                std::unique_ptr<std::string> text(reinterpret_cast<std::string*>(lparam));
                if (text)
                    km::deliver_ui_event(*text);
                return 0;
            }
            case WM_RELOAD_PAGE:
                if (state().webview)
                    state().webview->Reload();
                return 0;
            case WM_RESTART_PROMPT:
                km::deliver_ui_event(restart_prompt_event);
                return 0;
            case WM_NCHITTEST: {
                // Screen coordinates, each sign-extended from its 16 bits.
                POINT point{static_cast<short>(LOWORD(lparam)), static_cast<short>(HIWORD(lparam))};
                ScreenToClient(hwnd, &point);
                RECT client{};
                GetClientRect(hwnd, &client);
                return drag_strip_hit(point.x, point.y, client.right - client.left) ? HTCAPTION
                                                                                    : HTCLIENT;
            }
            case WM_SIZE:
                fit_view_to_window();
                return 0;
            case WM_CLOSE:
                PostQuitMessage(0);  // the window stays; the process ends after the loop
                return 0;
            case WM_DESTROY:
                PostQuitMessage(0);
                return 0;
            default:
                break;
        }
    } catch (...) {
        return 0;
    }
    return DefWindowProcA(hwnd, message, wparam, lparam);
}

}  // namespace km::win32
