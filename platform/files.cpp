#include "platform/files.h"

#ifdef _WIN32
#include <windows.h>
// after windows.h
#include <aclapi.h>

#include <algorithm>
#include <filesystem>
#include <vector>
#else
#include <fcntl.h>

#include <sys/stat.h>
#include <unistd.h>
#include <filesystem>

#include <cerrno>
#endif

#include <system_error>

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

#ifdef _WIN32
namespace {

// An access list granting the current user everything and nobody else anything; LocalFree it.
PACL owner_only_list() {
    HANDLE token = nullptr;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token))
        return nullptr;
    DWORD size = 0;
    GetTokenInformation(token, TokenUser, nullptr, 0, &size);
    std::vector<unsigned char> user(size);
    const bool known = size != 0 && GetTokenInformation(token, TokenUser, user.data(), size, &size);
    CloseHandle(token);
    if (!known)
        return nullptr;
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
        return nullptr;
    return list;
}

}  // namespace
#endif

bool restrict_to_owner(const std::string& path) {
#ifdef _WIN32
    PACL list = owner_only_list();
    if (list == nullptr)
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

bool create_new_file(const std::string& path, const std::string& content, bool owner_only) {
#ifdef _WIN32
    std::wstring wide;
    try {
        wide = std::filesystem::u8path(path).wstring();
    } catch (...) {
        return false;
    }
    SECURITY_ATTRIBUTES attributes{sizeof attributes, nullptr, FALSE};
    SECURITY_DESCRIPTOR descriptor{};
    PACL list = nullptr;
    if (owner_only) {
        list = owner_only_list();
        // Protected, so that the folder's inheritable entries are not merged into the new file.
        if (list == nullptr ||
            !InitializeSecurityDescriptor(&descriptor, SECURITY_DESCRIPTOR_REVISION) ||
            !SetSecurityDescriptorDacl(&descriptor, TRUE, list, FALSE) ||
            !SetSecurityDescriptorControl(&descriptor, SE_DACL_PROTECTED, SE_DACL_PROTECTED)) {
            if (list != nullptr)
                LocalFree(list);
            return false;
        }
        attributes.lpSecurityDescriptor = &descriptor;
    }
    // CREATE_NEW fails on any name that exists, a link (even one leading nowhere) included.
    HANDLE file = CreateFileW(wide.c_str(), GENERIC_WRITE, 0, &attributes, CREATE_NEW,
                              FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (list != nullptr)
        LocalFree(list);
    if (file == INVALID_HANDLE_VALUE)
        return false;
    bool ok = true;
    for (std::size_t done = 0; ok && done < content.size();) {
        const DWORD chunk =
            static_cast<DWORD>(std::min<std::size_t>(content.size() - done, 1 << 20));
        DWORD written = 0;
        ok = WriteFile(file, content.data() + done, chunk, &written, nullptr) && written > 0;
        done += written;
    }
    ok = CloseHandle(file) && ok;
    if (!ok)
        DeleteFileW(wide.c_str());
    return ok;
#else
    // O_EXCL with O_CREAT refuses every existing name and never follows a link in the last
    // component; O_NOFOLLOW says so once more.
    const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC,
                        owner_only ? S_IRUSR | S_IWUSR : 0666);
    if (fd < 0)
        return false;
    // The mode applies from the moment the file exists; the umask can only take bits away.
    bool ok = true;
    for (std::size_t done = 0; ok && done < content.size();) {
        const ssize_t written = write(fd, content.data() + done, content.size() - done);
        if (written < 0 && errno == EINTR)
            continue;
        ok = written > 0;
        if (ok)
            done += static_cast<std::size_t>(written);
    }
    ok = close(fd) == 0 && ok;
    if (!ok)
        unlink(path.c_str());
    return ok;
#endif
}

bool remove_plain_file(const std::string& path) {
    try {
        if (path_kind(path) != PathKind::other)
            return false;
        const std::filesystem::path file = std::filesystem::u8path(path);
        std::error_code ec;
        return std::filesystem::is_regular_file(std::filesystem::symlink_status(file, ec)) &&
               std::filesystem::remove(file, ec);
    } catch (...) {
        return false;  // a name the system cannot spell
    }
}

}  // namespace km::platform
