// The Win32 platform layer and our WebView2 objects, run under Wine: real processes, real
// window messages, real COM vtables.
#include <windows.h>

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "platform/platform.h"
#include "platform/win32/main_window.h"
#include "platform/win32/webview_loader.h"
#include "platform/win32/webview_objects.h"

namespace fs = std::filesystem;
using km::win32::com_ptr;

namespace {

class ScratchDir {
  public:
    explicit ScratchDir(const std::string& name) {
        path_ = fs::temp_directory_path() / (name + "-" + std::to_string(GetCurrentProcessId()) +
                                             "-" + std::to_string(GetTickCount()));
        fs::create_directories(path_);
    }
    ~ScratchDir() {
        std::error_code ec;
        fs::remove_all(path_, ec);
    }
    const fs::path& path() const { return path_; }

  private:
    fs::path path_;
};

fs::path test_game() {
    return fs::path(km::win32::module_directory_wide()) / L"km_test_game.exe";
}

std::string read_text(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream buffer;
    buffer << in.rdbuf();
    return buffer.str();
}

// Waits up to 20 s for a record that a started program writes on its own schedule.
std::string wait_for_record(const fs::path& path) {
    for (int i = 0; i < 400; ++i) {
        std::string text = read_text(path);
        if (text.find("KMASH_LAUNCH=") != std::string::npos)
            return text;
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return std::string();
}

std::string narrow(const fs::path& path) {
    return path.string();
}

// A command line's program part: the path in quotation marks.
std::string quoted(const fs::path& path, const std::string& arguments = "") {
    std::string text(1, '"');
    text.append(path.string());
    text.push_back('"');
    if (!arguments.empty()) {
        text.push_back(' ');
        text.append(arguments);
    }
    return text;
}

std::wstring got(ICoreWebView2EnvironmentOptions* options,
                 HRESULT (STDMETHODCALLTYPE ICoreWebView2EnvironmentOptions::*get)(LPWSTR*),
                 bool* was_null = nullptr) {
    LPWSTR value = reinterpret_cast<LPWSTR>(1);
    EXPECT_EQ((options->*get)(&value), S_OK);
    if (was_null)
        *was_null = value == nullptr;
    std::wstring text = value ? value : L"";
    CoTaskMemFree(value);
    return text;
}

// Calls vtable slot `slot` of a COM object as the runtime would: by position, not by name.
template <typename R, typename... Args>
R call_slot(void* object, int slot, Args... args) {
    using Fn = R(STDMETHODCALLTYPE*)(void*, Args...);
    auto vtable = *reinterpret_cast<Fn**>(object);
    return vtable[slot](object, args...);
}

}  // namespace

// ---- Environment options ---------------------------------------------------------------------

TEST(EnvironmentOptions, StartsWithTheTargetVersionAndEverythingElseUnset) {
    auto options = km::win32::EnvironmentOptions::create();
    ASSERT_TRUE(options);
    using O = ICoreWebView2EnvironmentOptions;
    bool was_null = false;
    got(options.get(), &O::get_AdditionalBrowserArguments, &was_null);
    EXPECT_TRUE(was_null);
    got(options.get(), &O::get_Language, &was_null);
    EXPECT_TRUE(was_null);
    EXPECT_EQ(got(options.get(), &O::get_TargetCompatibleBrowserVersion), L"129.0.2792.45");
    BOOL allow = TRUE;
    EXPECT_EQ(options->get_AllowSingleSignOnUsingOSPrimaryAccount(&allow), S_OK);
    EXPECT_EQ(allow, FALSE);
}

TEST(EnvironmentOptions, KeepsCopiesAndHandsOutFreshOnes) {
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
        LPWSTR first = nullptr;
        LPWSTR second = nullptr;
        EXPECT_EQ((options.get()->*c.get)(&first), S_OK);
        EXPECT_EQ((options.get()->*c.get)(&second), S_OK);
        ASSERT_NE(first, nullptr);
        ASSERT_NE(second, nullptr);
        EXPECT_NE(first, second);
        EXPECT_EQ(std::wstring(first), L"--flag=é");
        CoTaskMemFree(first);
        CoTaskMemFree(second);
        EXPECT_EQ((options.get()->*c.put)(nullptr), S_OK);  // back to unset
        bool was_null = false;
        got(options.get(), c.get, &was_null);
        EXPECT_TRUE(was_null);
    }
    EXPECT_EQ(options->get_AdditionalBrowserArguments(nullptr), E_POINTER);
}

TEST(EnvironmentOptions, AnswersOnlyItsOwnInterface) {
    auto options = km::win32::EnvironmentOptions::create();
    void* out = nullptr;
    EXPECT_EQ(options->QueryInterface(IID_IUnknown, &out), S_OK);
    EXPECT_EQ(out, options.get());
    static_cast<IUnknown*>(out)->Release();
    EXPECT_EQ(options->QueryInterface(IID_ICoreWebView2EnvironmentOptions, &out), S_OK);
    static_cast<IUnknown*>(out)->Release();
    // The later option interfaces (2 to 6) and anything else: refused, out cleared.
    const GUID refused[] = {
        {0xff85c98a, 0x1ba7, 0x4a6b, {0x90, 0xc8, 0x2b, 0x75, 0x2c, 0x89, 0xe9, 0xe2}},
        {0x4a5c436e, 0xa9e3, 0x4a2e, {0x89, 0xc3, 0x91, 0x0d, 0x35, 0x13, 0xf5, 0xcc}},
        {0xac52d13f, 0x0d38, 0x475a, {0x9d, 0xca, 0x87, 0x65, 0x80, 0xd6, 0x79, 0x3e}},
        {0x0ae35d64, 0xc47f, 0x4464, {0x81, 0x4e, 0x25, 0x9c, 0x34, 0x5d, 0x15, 0x01}},
        {0x57d29cc3, 0xc84f, 0x42a0, {0xb0, 0xe2, 0xef, 0xfb, 0xd5, 0xe1, 0x79, 0xde}},
        IID_ICoreWebView2Environment,
    };
    for (const GUID& iid : refused) {
        out = reinterpret_cast<void*>(1);
        EXPECT_EQ(options->QueryInterface(iid, &out), E_NOINTERFACE);
        EXPECT_EQ(out, nullptr);
    }
}

TEST(EnvironmentOptions, MethodsSitInTheirPublishedSlots) {
    auto options = km::win32::EnvironmentOptions::create();
    void* object = options.get();
    // slot 4: put_AdditionalBrowserArguments, slot 3: get_AdditionalBrowserArguments
    EXPECT_EQ(call_slot<HRESULT>(object, 4, L"--slot-four"), S_OK);
    LPWSTR value = nullptr;
    EXPECT_EQ(call_slot<HRESULT>(object, 3, &value), S_OK);
    ASSERT_NE(value, nullptr);
    EXPECT_EQ(std::wstring(value), L"--slot-four");
    CoTaskMemFree(value);
    // slot 6: put_Language; slot 7: get_TargetCompatibleBrowserVersion
    EXPECT_EQ(call_slot<HRESULT>(object, 6, L"es-AR"), S_OK);
    EXPECT_EQ(call_slot<HRESULT>(object, 7, &value), S_OK);
    EXPECT_EQ(std::wstring(value), L"129.0.2792.45");
    CoTaskMemFree(value);
    // slot 10: put_AllowSingleSignOnUsingOSPrimaryAccount; slot 9: its get
    EXPECT_EQ(call_slot<HRESULT>(object, 10, TRUE), S_OK);
    BOOL allow = FALSE;
    EXPECT_EQ(call_slot<HRESULT>(object, 9, &allow), S_OK);
    EXPECT_EQ(allow, TRUE);
}

// ---- Handlers ----------------------------------------------------------------------------------

namespace {
HRESULT seen_result = S_OK;
ICoreWebView2Environment* seen_environment = nullptr;

HRESULT record_environment(HRESULT result, ICoreWebView2Environment* environment) {
    seen_result = result;
    seen_environment = environment;
    return 0x1234;
}
HRESULT throwing_controller(HRESULT, ICoreWebView2Controller*) {
    throw std::runtime_error("must not reach the runtime");
}
}  // namespace

TEST(Handlers, InvokeForwardsArgumentsAndResultThroughSlotThree) {
    auto handler = km::win32::EnvironmentCompletedHandler::create(&record_environment);
    auto* fake_environment = reinterpret_cast<ICoreWebView2Environment*>(0x40);
    const HRESULT answer =
        call_slot<HRESULT>(handler.get(), 3, static_cast<HRESULT>(E_ABORT), fake_environment);
    EXPECT_EQ(answer, 0x1234);
    EXPECT_EQ(seen_result, E_ABORT);
    EXPECT_EQ(seen_environment, fake_environment);
}

TEST(Handlers, AnExceptionBecomesAnErrorResult) {
    auto handler = km::win32::ControllerCompletedHandler::create(&throwing_controller);
    EXPECT_EQ(handler->Invoke(S_OK, nullptr), E_UNEXPECTED);
}

TEST(Handlers, AnswerTheirOwnInterfaceOnly) {
    auto handler = km::win32::ControllerCompletedHandler::create(&throwing_controller);
    void* out = nullptr;
    EXPECT_EQ(handler->QueryInterface(IID_ICoreWebView2CreateCoreWebView2ControllerCompletedHandler,
                                      &out),
              S_OK);
    static_cast<IUnknown*>(out)->Release();
    EXPECT_EQ(handler->QueryInterface(
                  IID_ICoreWebView2CreateCoreWebView2EnvironmentCompletedHandler, &out),
              E_NOINTERFACE);
    EXPECT_EQ(out, nullptr);
}

// ---- Window messages ---------------------------------------------------------------------------

namespace {
std::vector<std::string> received_events;
std::vector<UINT> received_requests;

LRESULT CALLBACK collecting_procedure(HWND hwnd, UINT message, WPARAM wparam, LPARAM lparam) {
    if (message == km::win32::WM_UI_EVENT) {
        std::unique_ptr<std::string> text(reinterpret_cast<std::string*>(lparam));
        received_events.push_back(*text);
        return 0;
    }
    if (message == km::win32::WM_RELOAD_PAGE || message == km::win32::WM_RESTART_PROMPT ||
        message == WM_CLOSE) {
        received_requests.push_back(message);
        return 0;
    }
    return DefWindowProcA(hwnd, message, wparam, lparam);
}

void pump() {
    MSG message;
    while (PeekMessageA(&message, nullptr, 0, 0, PM_REMOVE))
        DispatchMessageA(&message);
}

class WindowMessages : public ::testing::Test {
  protected:
    void SetUp() override {
        WNDCLASSA window_class{};
        window_class.lpfnWndProc = collecting_procedure;
        window_class.hInstance = GetModuleHandleA(nullptr);
        window_class.lpszClassName = "KmWin32TestWindow";
        RegisterClassA(&window_class);
        window_ = CreateWindowExA(0, "KmWin32TestWindow", "", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr,
                                  GetModuleHandleA(nullptr), nullptr);
        ASSERT_NE(window_, nullptr);
        received_events.clear();
        received_requests.clear();
    }
    void TearDown() override {
        km::win32::main_hwnd = nullptr;
        DestroyWindow(window_);
    }
    HWND window_ = nullptr;
};

}  // namespace

TEST_F(WindowMessages, NothingIsPostedBeforeTheWindowExists) {
    km::win32::main_hwnd = nullptr;
    EXPECT_FALSE(km::platform::window_exists());
    EXPECT_FALSE(km::platform::post_ui_event_text("{\"event\":\"version\"}"));
    EXPECT_FALSE(km::platform::post_window_request(km::platform::WindowRequest::close));
}

TEST_F(WindowMessages, EventsFromAnyThreadArriveWholeAndInOrder) {
    km::win32::main_hwnd = window_;
    EXPECT_TRUE(km::platform::window_exists());
    const std::vector<std::string> sent = {"{\"event\":\"a\"}", "{\"text\":\"Probá ✓\"}",
                                           std::string(100000, 'x')};
    std::thread worker([&] {
        for (const auto& text : sent)
            EXPECT_TRUE(km::platform::post_ui_event_text(text));
    });
    worker.join();
    pump();
    EXPECT_EQ(received_events, sent);
}

TEST_F(WindowMessages, RequestsUseTheirOwnMessages) {
    km::win32::main_hwnd = window_;
    using km::platform::WindowRequest;
    EXPECT_TRUE(km::platform::post_window_request(WindowRequest::reload_page));
    EXPECT_TRUE(km::platform::post_window_request(WindowRequest::restart_prompt));
    EXPECT_TRUE(km::platform::post_window_request(WindowRequest::close));
    pump();
    EXPECT_EQ(received_requests, (std::vector<UINT>{0x8002, 0x8003, WM_CLOSE}));
}

// ---- Processes ---------------------------------------------------------------------------------

TEST(Processes, RunAndWaitWaitsForTheEnd) {
    ScratchDir dir("km-wait");
    fs::copy_file(test_game(), dir.path() / "installer.exe");
    const auto start = std::chrono::steady_clock::now();
    EXPECT_TRUE(km::platform::run_and_wait(
        quoted(dir.path() / "installer.exe", "/silent /install --sleep=1500 --exit-code=3")));
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(1400));
    EXPECT_NE(read_text(dir.path() / "start_record.txt").find("/silent /install"),
              std::string::npos);
    EXPECT_FALSE(km::platform::run_and_wait(quoted(dir.path() / "missing.exe")));
}

TEST(Processes, GameStartsWithParametersDirectoryAndLaunchToken) {
    ScratchDir dir("km game dir");  // blanks in the path, as under Program Files
    const fs::path game = dir.path() / "Game_x64_win.exe";
    fs::copy_file(test_game(), game);
    km::platform::set_environment_variable("KMASH_LAUNCH", "KmAshvowDevLaunchToken2026");
    ASSERT_TRUE(km::platform::start_game(narrow(game), "--enter-map=arena_01 \"two words\"",
                                         narrow(dir.path())));
    const std::string record = wait_for_record(dir.path() / "start_record.txt");
    EXPECT_NE(record.find("--enter-map=arena_01 \"two words\""), std::string::npos) << record;
    EXPECT_NE(record.find("working_directory=" + narrow(dir.path()) + "\n"), std::string::npos)
        << record;
    EXPECT_NE(record.find("KMASH_LAUNCH=KmAshvowDevLaunchToken2026\n"), std::string::npos)
        << record;
    EXPECT_FALSE(
        km::platform::start_game(narrow(dir.path() / "absent.exe"), "", narrow(dir.path())));
}

TEST(Processes, DetachedProcessStartsInTheGivenDirectory) {
    ScratchDir dir("km-detached");
    const fs::path program = dir.path() / "Launcher.exe";
    fs::copy_file(test_game(), program);
    ASSERT_TRUE(km::platform::start_detached(quoted(program), narrow(dir.path())));
    const std::string record = wait_for_record(dir.path() / "start_record.txt");
    EXPECT_NE(record.find("working_directory=" + narrow(dir.path()) + "\n"), std::string::npos)
        << record;
    EXPECT_FALSE(km::platform::start_detached(quoted(dir.path() / "gone.exe"), narrow(dir.path())));
}

TEST(Processes, ModulePathNamesThisProgram) {
    const std::string path = km::platform::get_module_path();
    EXPECT_TRUE(fs::path(path).is_absolute()) << path;
    EXPECT_EQ(fs::path(path).filename().string(), "km_win32_tests.exe");
}

TEST(Runtime, AbsentWithoutTheLoaderDll) {
    // No WebView2Loader.dll beside the tests, and Wine has none of its own.
    EXPECT_FALSE(km::platform::webview_runtime_present());
    EXPECT_EQ(km::win32::loader_environment_entry(), nullptr);
}

TEST(DisplayText, Utf8FirstThenTheAnsiCodePage) {
    EXPECT_EQ(km::win32::display_text("Probá ejecutar"), L"Probá ejecutar");
    EXPECT_EQ(km::win32::display_text(""), L"");
    // A lone 0xE1 is not UTF-8: it is taken as the ANSI code page's character.
    const std::wstring fallback = km::win32::display_text("Prob\xE1");
    ASSERT_EQ(fallback.size(), 5u);
    EXPECT_EQ(fallback.substr(0, 4), L"Prob");
}
