// One system call per file for the update check's comparison of a whole installation: the
// standard library asks twice (size, then time), and a no-op check is mostly this call.
#include <cstdint>
#include <string>

#include "platform/platform.h"

#ifdef _WIN32
#include <windows.h>

#include <chrono>
#include <filesystem>
#else
#include <fcntl.h>
#include <sys/stat.h>
#endif

namespace km::platform {

namespace {
// The verify cache stores last-write times as Windows FILETIME values, the file clock's native
// unit on Windows, so a cache written by any build of the launcher stays valid for any other.
constexpr std::int64_t unix_epoch_as_filetime = 116444736000000000;
}  // namespace

#ifdef _WIN32

bool file_size_and_time(const std::string& path, std::uint64_t& size, std::int64_t& filetime) {
    const int length = MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, path.data(),
                                           static_cast<int>(path.size()), nullptr, 0);
    if (length <= 0)
        return false;
    std::wstring wide(static_cast<std::size_t>(length), L'\0');
    MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, path.data(), static_cast<int>(path.size()),
                        wide.data(), length);
    WIN32_FILE_ATTRIBUTE_DATA data;
    if (!GetFileAttributesExW(wide.c_str(), GetFileExInfoStandard, &data) ||
        (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0)
        return false;
    if ((data.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0) {
        // These are the link's own values: ask for the target's (rare in a game folder).
        std::error_code ec;
        const std::filesystem::path target(wide);
        const auto bytes = std::filesystem::file_size(target, ec);
        if (ec)
            return false;
        const auto time = std::filesystem::last_write_time(target, ec);
        if (ec)
            return false;
        const auto since =
            std::chrono::floor<std::chrono::duration<std::int64_t, std::ratio<1, 10000000>>>(
                std::filesystem::file_time_type::clock::to_sys(time));
        size = bytes;
        filetime = since.time_since_epoch().count() + unix_epoch_as_filetime;
        return true;
    }
    size = (std::uint64_t{data.nFileSizeHigh} << 32) | data.nFileSizeLow;
    filetime =
        static_cast<std::int64_t>((std::uint64_t{data.ftLastWriteTime.dwHighDateTime} << 32) |
                                  data.ftLastWriteTime.dwLowDateTime);
    return true;
}

#else

bool file_size_and_time(const std::string& path, std::uint64_t& size, std::int64_t& filetime) {
    struct stat st;
    if (::stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode))
        return false;
    size = static_cast<std::uint64_t>(st.st_size);
    // Nanoseconds are never negative here, so the division is the floor to 100 ns.
    filetime = static_cast<std::int64_t>(st.st_mtim.tv_sec) * 10000000 + st.st_mtim.tv_nsec / 100 +
               unix_epoch_as_filetime;
    return true;
}

#endif

}  // namespace km::platform
