#include "platform/win32/webview_loader.h"

#include <mutex>
#include <string>

#include "platform/win32/win32_handles.h"

namespace km::win32 {
namespace {

constexpr wchar_t loader_name[] = L"WebView2Loader.dll";

std::mutex loader_mutex;

// Never unloaded: objects the runtime hands out may live in it until the process ends.
native_library& loader() {
    static native_library* library = new native_library();
    return *library;
}

HMODULE loaded_loader() {
    std::lock_guard<std::mutex> lock(loader_mutex);
    native_library& library = loader();
    if (!library) {
        // The full path first, so a loader shipped beside the launcher wins over any other.
        const std::wstring beside = module_directory_wide() + L"\\" + loader_name;
        HMODULE module = LoadLibraryW(beside.c_str());
        if (!module)
            module = LoadLibraryW(loader_name);
        library = native_library(module);
    }
    return library.get();
}

template <typename F>
F entry_point(const char* name) {
    HMODULE module = loaded_loader();
    if (!module)
        return nullptr;
    return reinterpret_cast<F>(reinterpret_cast<void*>(GetProcAddress(module, name)));
}

}  // namespace

std::wstring module_directory_wide() {
    std::wstring path(MAX_PATH, L'\0');
    for (;;) {
        const DWORD length =
            GetModuleFileNameW(nullptr, path.data(), static_cast<DWORD>(path.size()));
        if (length == 0)
            return L".";
        if (length < path.size()) {
            path.resize(length);
            break;
        }
        path.resize(path.size() * 2);
    }
    const auto last = path.find_last_of(L"\\/");
    if (last == std::wstring::npos)
        return L".";
    return path.substr(0, last);
}

GetAvailableCoreWebView2BrowserVersionStringFn loader_version_entry() {
    return entry_point<GetAvailableCoreWebView2BrowserVersionStringFn>(
        "GetAvailableCoreWebView2BrowserVersionString");
}

CreateCoreWebView2EnvironmentWithOptionsFn loader_environment_entry() {
    return entry_point<CreateCoreWebView2EnvironmentWithOptionsFn>(
        "CreateCoreWebView2EnvironmentWithOptions");
}

}  // namespace km::win32
