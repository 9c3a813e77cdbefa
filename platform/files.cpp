#include "platform/files.h"

#ifdef _WIN32
#include <windows.h>

#include <filesystem>
#else
#include <sys/stat.h>

#include <cerrno>
#endif

namespace km::platform {

PathKind path_kind(const std::string& path) {
#ifdef _WIN32
    const std::wstring wide = std::filesystem::u8path(path).wstring();
    const DWORD attributes = GetFileAttributesW(wide.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES) {
        const DWORD error = GetLastError();
        return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND ? PathKind::missing
                                                                              : PathKind::other;
    }
    return (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0 ? PathKind::link : PathKind::other;
#else
    struct stat info {};
    if (lstat(path.c_str(), &info) != 0)
        return errno == ENOENT || errno == ENOTDIR ? PathKind::missing : PathKind::other;
    return S_ISLNK(info.st_mode) ? PathKind::link : PathKind::other;
#endif
}

}  // namespace km::platform
