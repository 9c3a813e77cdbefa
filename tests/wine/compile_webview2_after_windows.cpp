// Compile-only: our WebView2 declarations must build in a unit that has already included the
// full <windows.h>, as every user of them does.
#include <windows.h>

#include "platform/win32/webview2.h"

static_assert(sizeof(RECT) == 16, "put_Bounds takes a 16-byte RECT by value");
