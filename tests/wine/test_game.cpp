// A stand-in for the game client (and, renamed, for the web view runtime's installer): records
// how it was started into start_record.txt beside itself, then ends. When a file named
// installer_payload.dll lies beside it, it "installs the runtime" by copying that file to
// WebView2Loader.dll in the same folder. Arguments it understands:
//   --sleep=N      wait N milliseconds before ending (lets a test see that its caller waited)
//   --exit-code=N  end with code N
#include <windows.h>

#include <cstdlib>
#include <cwchar>
#include <filesystem>
#include <fstream>
#include <string>

#include "tests/wine/wide_text.h"

namespace {

using km::wine::beside_program;
using km::wine::utf8;

long argument_value(const wchar_t* command_line, const wchar_t* name, long fallback) {
    const wchar_t* found = std::wcsstr(command_line, name);
    if (!found)
        return fallback;
    return std::wcstol(found + std::wcslen(name), nullptr, 10);
}

}  // namespace

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int) {
    const wchar_t* command_line = GetCommandLineW();
    // Without a payload the copy fails and changes nothing.
    CopyFileW(beside_program(L"installer_payload.dll").c_str(),
              beside_program(L"WebView2Loader.dll").c_str(), FALSE);

    std::ofstream(std::filesystem::path(beside_program(L"start_record.txt")),
                  std::ios::binary | std::ios::app)
        << "command_line=" << utf8(command_line)
        << "\nworking_directory=" << utf8(std::filesystem::current_path().c_str())
        << "\nKMASH_LAUNCH=" << utf8(_wgetenv(L"KMASH_LAUNCH")) << "\n";

    Sleep(static_cast<DWORD>(argument_value(command_line, L"--sleep=", 0)));
    return static_cast<int>(argument_value(command_line, L"--exit-code=", 0));
}
