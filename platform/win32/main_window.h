// The main window's handle and its application messages, shared by the window procedure and the
// calls that reach the window's thread from elsewhere.
#pragma once

#include <windows.h>

#include <string>

namespace km::win32 {

inline constexpr char window_class_name[] = "KMAshvowLauncher";

// 0 until start-up has created the window; written once, before any worker thread exists.
extern HWND main_hwnd;

inline constexpr UINT WM_UI_EVENT = WM_APP + 1;  // lParam: heap std::string, owned by the window
inline constexpr UINT WM_RELOAD_PAGE = WM_APP + 2;
inline constexpr UINT WM_RESTART_PROMPT = WM_APP + 3;

// UTF-8 text as UTF-16 for the W functions; text that is not valid UTF-8 is taken as the ANSI
// code page, which is what a narrow path is on systems without the UTF-8 code page.
std::wstring display_text(const std::string& text);

}  // namespace km::win32
