// The WebView2 loader's two entry points, taken from WebView2Loader.dll at run time: first the
// copy beside the launcher, then whatever the system's search path finds.
#pragma once

#include <windows.h>

#include <string>

#include "platform/win32/webview2.h"

namespace km::win32 {

// Null when the DLL cannot be loaded or does not export the entry point. A failed load is
// retried on the next call, so a runtime installed meanwhile is found.
GetAvailableCoreWebView2BrowserVersionStringFn loader_version_entry();
CreateCoreWebView2EnvironmentWithOptionsFn loader_environment_entry();

// The directory of the running executable in UTF-16, without a trailing separator.
std::wstring module_directory_wide();

}  // namespace km::win32
