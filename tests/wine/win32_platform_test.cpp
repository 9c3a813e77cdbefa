// The Win32 platform layer and our WebView2 objects, run under Wine: real processes, real
// window messages, real COM vtables. What the whole-program runs already show (the options the
// runtime reads, the handlers it calls, the game's start, the module path) is not repeated here.
#include <windows.h>

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <memory>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "platform/platform.h"
#include "platform/win32/main_window.h"
#include "platform/win32/webview_loader.h"
#include "platform/win32/webview_objects.h"
#include "tests/support/temp_dir.h"

namespace fs = std::filesystem;

TEST(EnvironmentOptions, KeepsCopiesHandsOutFreshOnesAndNullUnsets) {
    auto options = km::win32::EnvironmentOptions::create();
    std::wstring source = L"--flag=é";
    EXPECT_EQ(options->put_Language(source.c_str()), S_OK);
    source[0] = L'X';  // the object must not keep the caller's buffer
    LPWSTR first = nullptr, second = nullptr;
    EXPECT_EQ(options->get_Language(&first), S_OK);
    EXPECT_EQ(options->get_Language(&second), S_OK);
    ASSERT_TRUE(first && second);
    EXPECT_NE(first, second);
    EXPECT_EQ(std::wstring(first), L"--flag=é");
    CoTaskMemFree(first);
    CoTaskMemFree(second);
    // The options share one keeper: the one that starts set shows that null unsets.
    EXPECT_EQ(options->put_TargetCompatibleBrowserVersion(nullptr), S_OK);
    EXPECT_EQ(options->get_TargetCompatibleBrowserVersion(&first), S_OK);
    EXPECT_EQ(first, nullptr);
    EXPECT_EQ(options->get_AdditionalBrowserArguments(nullptr), E_POINTER);
}

// The options refuse another interface and a later options one (the runtime would call methods
// they do not have), and a handler refuses its neighbour's.
TEST(ComObjects, OnlyTheirOwnInterfaceIsAnsweredAndAHandlersExceptionBecomesAnError) {
    const auto refuses = [](IUnknown* object, const GUID& iid) {
        void* out = reinterpret_cast<void*>(1);
        return object->QueryInterface(iid, &out) == E_NOINTERFACE && out == nullptr;
    };
    auto options = km::win32::EnvironmentOptions::create();
    EXPECT_TRUE(refuses(options.get(), IID_ICoreWebView2Environment));
    // ICoreWebView2EnvironmentOptions2
    EXPECT_TRUE(refuses(
        options.get(),
        GUID{0xff85c98a, 0x1ba7, 0x4a6b, {0x90, 0xc8, 0x2b, 0x75, 0x2c, 0x89, 0xe9, 0xe2}}));
    auto handler = km::win32::ControllerCompletedHandler::create(
        [](HRESULT, ICoreWebView2Controller*) -> HRESULT { throw std::runtime_error("no"); });
    EXPECT_EQ(handler->Invoke(S_OK, nullptr), E_UNEXPECTED);
    EXPECT_TRUE(
        refuses(handler.get(), IID_ICoreWebView2CreateCoreWebView2EnvironmentCompletedHandler));
}

namespace {
// What the window was sent, in order: each UI event's text, each request's message number.
std::vector<std::string> received;

LRESULT CALLBACK collecting_procedure(HWND hwnd, UINT message, WPARAM wparam, LPARAM lparam) {
    if (message == km::win32::WM_UI_EVENT)
        received.push_back(*std::unique_ptr<std::string>(reinterpret_cast<std::string*>(lparam)));
    else if (message == km::win32::WM_RELOAD_PAGE || message == km::win32::WM_RESTART_PROMPT ||
             message == WM_CLOSE)
        received.push_back(std::to_string(message));
    else
        return DefWindowProcA(hwnd, message, wparam, lparam);
    return 0;
}
}  // namespace

TEST(WindowMessages, NothingBeforeTheWindowThenEventsFromAnyThreadWholeAndInOrder) {
    using km::platform::WindowRequest;
    km::win32::main_hwnd = nullptr;
    EXPECT_FALSE(km::platform::window_exists());
    EXPECT_FALSE(km::platform::post_ui_event_text("{\"event\":\"version\"}"));
    EXPECT_FALSE(km::platform::post_window_request(WindowRequest::close));

    WNDCLASSA window_class{};
    window_class.lpfnWndProc = collecting_procedure;
    window_class.lpszClassName = "KmWin32TestWindow";
    RegisterClassA(&window_class);
    km::win32::main_hwnd = CreateWindowExA(0, "KmWin32TestWindow", "", 0, 0, 0, 0, 0, HWND_MESSAGE,
                                           nullptr, nullptr, nullptr);
    ASSERT_TRUE(km::platform::window_exists());
    const std::vector<std::string> sent = {"{\"event\":\"a\"}", "{\"text\":\"Probá ✓\"}",
                                           std::string(100000, 'x')};
    std::thread worker([&] {
        for (const auto& text : sent)
            EXPECT_TRUE(km::platform::post_ui_event_text(text));
    });
    worker.join();
    for (WindowRequest request :
         {WindowRequest::reload_page, WindowRequest::restart_prompt, WindowRequest::close})
        EXPECT_TRUE(km::platform::post_window_request(request));
    for (MSG message; PeekMessageA(&message, nullptr, 0, 0, PM_REMOVE);)
        DispatchMessageA(&message);
    // The requests by message number: WM_APP + 2, WM_APP + 3 and WM_CLOSE.
    std::vector<std::string> expected = sent;
    expected.insert(expected.end(), {"32770", "32771", "16"});
    EXPECT_EQ(received, expected);
    DestroyWindow(km::win32::main_hwnd);
    km::win32::main_hwnd = nullptr;
}

TEST(Processes, RunAndWaitWaitsStartsFailForMissingProgramsAndArgumentsArriveWhole) {
    const km::test::TempDir temp;
    const fs::path folder = temp.path() / "km process test";  // a blank that must be quoted
    fs::create_directories(folder);
    fs::copy_file(fs::path(km::win32::module_directory_wide()) / L"km_test_game.exe",
                  folder / "installer.exe");
    const std::string installer = '"' + (folder / "installer.exe").string() + '"';
    const auto start = std::chrono::steady_clock::now();
    EXPECT_TRUE(
        km::platform::run_and_wait(installer + " /silent /install --sleep=1500 --exit-code=3"));
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(1400));
    EXPECT_FALSE(
        km::platform::start_detached('"' + (folder / "gone.exe").string() + '"', folder.string()));
    EXPECT_FALSE(km::platform::start_game((folder / "absent.exe").string(), "", folder.string()));

    ASSERT_TRUE(km::platform::start_game((folder / "installer.exe").string(),
                                         "--enter-map=arena_01 \"two words\"", folder.string()));
    std::string record;
    for (int i = 0; i < 400 && record.find("arena") == std::string::npos; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        record = km::test::read_file(folder / "start_record.txt");
    }
    EXPECT_NE(record.find("--enter-map=arena_01 \"two words\""), std::string::npos) << record;
}

TEST(DisplayText, Utf8FirstThenTheAnsiCodePage) {
    EXPECT_EQ(km::win32::display_text("Probá ejecutar"), L"Probá ejecutar");
    // A lone 0xE1 is not UTF-8: it is taken as the ANSI code page's character.
    const std::wstring fallback = km::win32::display_text("Prob\xE1");
    ASSERT_EQ(fallback.size(), 5u);
    EXPECT_EQ(fallback.substr(0, 4), L"Prob");
    EXPECT_NE(fallback[4], L'\xFFFD');  // what a lax UTF-8 reading would make of it
}

TEST(SupportFacts, TheClipboardTakesUnicodeWithCrLfAndTheSystemNamesItself) {
    ASSERT_TRUE(km::platform::set_clipboard_text("Probá ✓\nline two"));
    ASSERT_TRUE(OpenClipboard(nullptr));
    const auto* text = static_cast<const wchar_t*>(GlobalLock(GetClipboardData(CF_UNICODETEXT)));
    const std::wstring copied = text ? text : L"";
    GlobalUnlock(GetClipboardData(CF_UNICODETEXT));
    CloseClipboard();
    EXPECT_EQ(copied, L"Probá ✓\r\nline two");
    EXPECT_EQ(km::platform::os_description().rfind("Windows ", 0), 0u);
    EXPECT_FALSE(km::platform::user_home_folder().empty());
}
