// The web view inside the main window: creation on the runtime's callbacks, the page's messages
// to the command dispatcher, and the main window's procedure, which hands events to the page
// through km::deliver_ui_event (platform/page_delivery.h).
#pragma once

#include <windows.h>

#include <string>

#include "platform/win32/webview2.h"

namespace km::win32 {

// Starts the asynchronous creation of the web view in main_hwnd and returns at once.
void init_webview();

// Runs once, on the window's thread, when the controller exists.
HRESULT on_webview_ready();

// The web-message-received handler: the page's JSON text, as UTF-8, to the dispatcher.
HRESULT on_web_message(ICoreWebView2* sender, ICoreWebView2WebMessageReceivedEventArgs* args);

LRESULT CALLBACK WndProc(HWND hwnd, UINT message, WPARAM wparam, LPARAM lparam);

}  // namespace km::win32
