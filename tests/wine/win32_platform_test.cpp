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

namespace {

fs::path test_game() {
    return fs::path(km::win32::module_directory_wide()) / L"km_test_game.exe";
}

std::string quoted(const fs::path& path, const std::string& arguments = "") {
    return '"' + path.string() + "\" " + arguments;
}

}  // namespace

TEST(EnvironmentOptions, KeepsCopiesHandsOutFreshOnesAndNullUnsets) {
    auto options = km::win32::EnvironmentOptions::create();
    using O = ICoreWebView2EnvironmentOptions;
    struct Case {
        HRESULT (STDMETHODCALLTYPE O::*put)(LPCWSTR);
        HRESULT (STDMETHODCALLTYPE O::*get)(LPWSTR*);
    };
    for (const Case& c :
         {Case{&O::put_AdditionalBrowserArguments, &O::get_AdditionalBrowserArguments},
          Case{&O::put_Language, &O::get_Language},
          Case{&O::put_TargetCompatibleBrowserVersion, &O::get_TargetCompatibleBrowserVersion}}) {
        std::wstring source = L"--flag=é";
        EXPECT_EQ((options.get()->*c.put)(source.c_str()), S_OK);
        source[0] = L'X';  // the object must not keep the caller's buffer
        LPWSTR first = nullptr, second = nullptr;
        EXPECT_EQ((options.get()->*c.get)(&first), S_OK);
        EXPECT_EQ((options.get()->*c.get)(&second), S_OK);
        ASSERT_TRUE(first && second);
        EXPECT_NE(first, second);
        EXPECT_EQ(std::wstring(first), L"--flag=é");
        CoTaskMemFree(first);
        CoTaskMemFree(second);
        EXPECT_EQ((options.get()->*c.put)(nullptr), S_OK);
        EXPECT_EQ((options.get()->*c.get)(&first), S_OK);
        EXPECT_EQ(first, nullptr);
    }
    EXPECT_EQ(options->get_AdditionalBrowserArguments(nullptr), E_POINTER);
}

// The options refuse every later options interface (the runtime would call methods they do not
// have), and a handler refuses its neighbour's.
TEST(ComObjects, OnlyTheirOwnInterfaceIsAnsweredAndAHandlersExceptionBecomesAnError) {
    const auto refuses = [](IUnknown* object, const GUID& iid) {
        void* out = reinterpret_cast<void*>(1);
        return object->QueryInterface(iid, &out) == E_NOINTERFACE && out == nullptr;
    };
    auto options = km::win32::EnvironmentOptions::create();
    for (const GUID& iid :
         {GUID{0xff85c98a, 0x1ba7, 0x4a6b, {0x90, 0xc8, 0x2b, 0x75, 0x2c, 0x89, 0xe9, 0xe2}},
          GUID{0x4a5c436e, 0xa9e3, 0x4a2e, {0x89, 0xc3, 0x91, 0x0d, 0x35, 0x13, 0xf5, 0xcc}},
          GUID{0xac52d13f, 0x0d38, 0x475a, {0x9d, 0xca, 0x87, 0x65, 0x80, 0xd6, 0x79, 0x3e}},
          GUID{0x0ae35d64, 0xc47f, 0x4464, {0x81, 0x4e, 0x25, 0x9c, 0x34, 0x5d, 0x15, 0x01}},
          GUID{0x57d29cc3, 0xc84f, 0x42a0, {0xb0, 0xe2, 0xef, 0xfb, 0xd5, 0xe1, 0x79, 0xde}},
          IID_ICoreWebView2Environment})
        EXPECT_TRUE(refuses(options.get(), iid));
    auto handler = km::win32::ControllerCompletedHandler::create(
        [](HRESULT, ICoreWebView2Controller*) -> HRESULT { throw std::runtime_error("no"); });
    EXPECT_EQ(handler->Invoke(S_OK, nullptr), E_UNEXPECTED);
    EXPECT_TRUE(
        refuses(handler.get(), IID_ICoreWebView2CreateCoreWebView2EnvironmentCompletedHandler));
}

namespace {
std::vector<std::string> received_events;
std::vector<UINT> received_requests;

LRESULT CALLBACK collecting_procedure(HWND hwnd, UINT message, WPARAM wparam, LPARAM lparam) {
    if (message == km::win32::WM_UI_EVENT) {
        received_events.push_back(
            *std::unique_ptr<std::string>(reinterpret_cast<std::string*>(lparam)));
        return 0;
    }
    if (message == km::win32::WM_RELOAD_PAGE || message == km::win32::WM_RESTART_PROMPT ||
        message == WM_CLOSE) {
        received_requests.push_back(message);
        return 0;
    }
    return DefWindowProcA(hwnd, message, wparam, lparam);
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
    EXPECT_EQ(received_events, sent);
    EXPECT_EQ(received_requests, (std::vector<UINT>{0x8002, 0x8003, WM_CLOSE}));
    DestroyWindow(km::win32::main_hwnd);
    km::win32::main_hwnd = nullptr;
}

TEST(Processes, RunAndWaitWaitsStartsFailForMissingProgramsAndArgumentsArriveWhole) {
    const km::test::TempDir temp;
    const fs::path folder = temp.path() / "km process test";  // a blank that must be quoted
    fs::create_directories(folder);
    fs::copy_file(test_game(), folder / "installer.exe");
    const auto start = std::chrono::steady_clock::now();
    EXPECT_TRUE(km::platform::run_and_wait(
        quoted(folder / "installer.exe", "/silent /install --sleep=1500 --exit-code=3")));
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(1400));
    EXPECT_FALSE(km::platform::run_and_wait(quoted(folder / "missing.exe")));
    EXPECT_FALSE(km::platform::start_detached(quoted(folder / "gone.exe"), folder.string()));
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
    EXPECT_EQ(km::win32::display_text(""), L"");
    // A lone 0xE1 is not UTF-8: it is taken as the ANSI code page's character.
    const std::wstring fallback = km::win32::display_text("Prob\xE1");
    ASSERT_EQ(fallback.size(), 5u);
    EXPECT_EQ(fallback.substr(0, 4), L"Prob");
}
