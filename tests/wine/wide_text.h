// Text and paths the Wine test programs share: UTF-8 for their records and logs, and files
// beside the running program.
#pragma once

#include <windows.h>

#include <iterator>
#include <string>

namespace km::wine {

// "(null)" for a null pointer, so a log shows an option left unset.
inline std::string utf8(const wchar_t* text) {
    if (!text)
        return "(null)";
    const int length = WideCharToMultiByte(CP_UTF8, 0, text, -1, nullptr, 0, nullptr, nullptr);
    std::string out(static_cast<std::size_t>(length > 0 ? length - 1 : 0), '\0');
    if (length > 1)
        WideCharToMultiByte(CP_UTF8, 0, text, -1, out.data(), length, nullptr, nullptr);
    return out;
}

inline std::wstring beside_program(const wchar_t* name) {
    wchar_t path[MAX_PATH * 4] = {};
    GetModuleFileNameW(nullptr, path, static_cast<DWORD>(std::size(path)));
    std::wstring text(path);
    return text.substr(0, text.find_last_of(L"\\/") + 1) + name;
}

}  // namespace km::wine
