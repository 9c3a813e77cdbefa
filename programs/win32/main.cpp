// Launcher.exe's entry point: COM, the checks before the window, the borderless main window with
// its web view, and the message loop.
#include <objbase.h>
#include <windows.h>

#include <string>

#include "launcher/common/app_state.h"
#include "launcher/startup.h"
#include "platform/platform.h"
#include "platform/win32/main_window.h"
#include "programs/win32/webview_host.h"

namespace {

using km::win32::window_class_name;
constexpr int window_width = 1100;
constexpr int window_height = 720;
constexpr COLORREF background_colour = 0x00120B0A;  // red 10, green 11, blue 18

HICON load_icon(HINSTANCE instance, int width, int height) {
    auto icon =
        static_cast<HICON>(LoadImageA(instance, MAKEINTRESOURCEA(1), IMAGE_ICON, width, height, 0));
    if (!icon)
        icon = LoadIconA(instance, MAKEINTRESOURCEA(1));
    return icon;
}

int run(HINSTANCE instance) {
    const std::string module_path = km::platform::get_module_path();
    const int early_exit = km::run_startup_before_window(module_path);
    if (early_exit >= 0)
        return early_exit;

    HICON big_icon = load_icon(instance, GetSystemMetrics(SM_CXICON), GetSystemMetrics(SM_CYICON));
    HICON small_icon =
        load_icon(instance, GetSystemMetrics(SM_CXSMICON), GetSystemMetrics(SM_CYSMICON));

    WNDCLASSEXA window_class{};
    window_class.cbSize = sizeof window_class;
    window_class.style = 0;
    window_class.lpfnWndProc = km::win32::WndProc;
    window_class.cbClsExtra = 0;
    window_class.cbWndExtra = 0;
    window_class.hInstance = instance;
    window_class.hIcon = big_icon;
    window_class.hCursor = LoadCursorA(nullptr, MAKEINTRESOURCEA(32512));  // IDC_ARROW
    window_class.hbrBackground = CreateSolidBrush(background_colour);
    window_class.lpszMenuName = nullptr;
    window_class.lpszClassName = window_class_name;
    window_class.hIconSm = small_icon;
    RegisterClassExA(&window_class);

    // Centred on the primary screen; negative on a screen smaller than the window.
    const int x = (GetSystemMetrics(SM_CXSCREEN) - window_width) / 2;
    const int y = (GetSystemMetrics(SM_CYSCREEN) - window_height) / 2;
    km::win32::main_hwnd = CreateWindowExA(0, window_class_name, km::launcher_config.title.c_str(),
                                           WS_POPUP | WS_MINIMIZEBOX, x, y, window_width,
                                           window_height, nullptr, nullptr, instance, nullptr);
    if (!km::win32::main_hwnd)
        return 1;  // without a window the message loop would wait for ever

    if (big_icon)
        SendMessageA(km::win32::main_hwnd, WM_SETICON, ICON_BIG,
                     reinterpret_cast<LPARAM>(big_icon));
    if (small_icon)
        SendMessageA(km::win32::main_hwnd, WM_SETICON, ICON_SMALL,
                     reinterpret_cast<LPARAM>(small_icon));
    ShowWindow(km::win32::main_hwnd, SW_SHOW);
    UpdateWindow(km::win32::main_hwnd);

    km::platform::accept_later_starts(km::exe_dir);
    km::win32::init_webview();

    MSG message;
    // GetMessageA's -1 (an invalid call) counts as non-zero, so the loop goes on.
    while (GetMessageA(&message, nullptr, 0, 0)) {
        TranslateMessage(&message);
        DispatchMessageA(&message);
    }
    km::finish_after_window(0);
    return 0;
}

}  // namespace

int WINAPI WinMain(HINSTANCE instance, HINSTANCE, LPSTR, int) {
    CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
    int exit_code = 1;
    try {
        exit_code = run(instance);
    } catch (...) {
        // A file-system error during start-up ends the launcher as a failed start.
        exit_code = 1;
    }
    CoUninitialize();
    // Workers are never joined and may still be running. Returning would run the static
    // destructors while they can still read the objects being destroyed (the configuration, the
    // flags); ending the process here stops every thread first.
    ExitProcess(static_cast<UINT>(exit_code));
}
