#include "platform/files.h"

#ifdef _WIN32
#include <windows.h>
// after windows.h
#include <aclapi.h>

#include <filesystem>
#include <vector>
#else
#include <sys/stat.h>
#include <unistd.h>

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

bool remove_link(const std::string& path) {
#ifdef _WIN32
    const std::wstring wide = std::filesystem::u8path(path).wstring();
    const DWORD attributes = GetFileAttributesW(wide.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES || (attributes & FILE_ATTRIBUTE_REPARSE_POINT) == 0)
        return false;
    // A link to a folder and a junction go as folders: the call removes the reparse point and
    // leaves the folder it names alone.
    return (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0 ? RemoveDirectoryW(wide.c_str()) != FALSE
                                                        : DeleteFileW(wide.c_str()) != FALSE;
#else
    struct stat info {};
    return lstat(path.c_str(), &info) == 0 && S_ISLNK(info.st_mode) && unlink(path.c_str()) == 0;
#endif
}

bool restrict_to_owner(const std::string& path) {
#ifdef _WIN32
    HANDLE token = nullptr;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token))
        return false;
    DWORD size = 0;
    GetTokenInformation(token, TokenUser, nullptr, 0, &size);
    std::vector<unsigned char> user(size);
    const bool known = size != 0 && GetTokenInformation(token, TokenUser, user.data(), size, &size);
    CloseHandle(token);
    if (!known)
        return false;
    EXPLICIT_ACCESS_W access{};
    access.grfAccessPermissions = FILE_ALL_ACCESS;
    access.grfAccessMode = SET_ACCESS;
    access.grfInheritance = NO_INHERITANCE;
    access.Trustee.TrusteeForm = TRUSTEE_IS_SID;
    access.Trustee.TrusteeType = TRUSTEE_IS_USER;
    access.Trustee.ptstrName =
        static_cast<LPWSTR>(reinterpret_cast<TOKEN_USER*>(user.data())->User.Sid);
    PACL list = nullptr;
    if (SetEntriesInAclW(1, &access, nullptr, &list) != ERROR_SUCCESS)
        return false;
    std::wstring wide = std::filesystem::u8path(path).wstring();
    // Protected: the folder's inherited entries (Users, Everyone) are dropped, not merged in.
    const DWORD result =
        SetNamedSecurityInfoW(wide.data(), SE_FILE_OBJECT,
                              DACL_SECURITY_INFORMATION | PROTECTED_DACL_SECURITY_INFORMATION,
                              nullptr, nullptr, list, nullptr);
    LocalFree(list);
    return result == ERROR_SUCCESS;
#else
    return chmod(path.c_str(), S_IRUSR | S_IWUSR) == 0;
#endif
}

}  // namespace km::platform
