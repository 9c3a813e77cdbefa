#include "platform/installation_lock.h"

#include <cstdio>
#include <cstring>
#include <string_view>

#include "km/build_config.h"
#include "platform/files.h"

#ifdef _WIN32
#include <windows.h>

#include <filesystem>
#else
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#endif

namespace km::platform {

namespace {

constexpr char note_mark[] = "keldmoor-ashvow-launcher pid=";
// A note is one short line; anything longer was not written by us.
constexpr std::size_t note_limit = 128;

std::string lock_path(const std::string& dir) {
    std::string path = dir;
    if (path.empty() || (path.back() != '/' && path.back() != '\\'))
        path += build::path_separator;
    return path + installation_lock_name;
}

// Fixed width, so that a reader never sees the end of an older, longer note after a newer one.
std::string note_text(const LockNote& note) {
    char text[80];
    std::snprintf(text, sizeof text, "%s%010lu state=%-8s\n", note_mark, note.process,
                  note.handing_over ? "handover" : "running");
    return text;
}

bool parse_note(std::string_view text, LockNote& note) {
    if (text.compare(0, sizeof note_mark - 1, note_mark) != 0)
        return false;
    text.remove_prefix(sizeof note_mark - 1);
    unsigned long process = 0;
    std::size_t digits = 0;
    for (; digits < text.size() && digits < 10 && text[digits] >= '0' && text[digits] <= '9';
         ++digits)
        process = process * 10 + static_cast<unsigned long>(text[digits] - '0');
    text.remove_prefix(digits);
    const std::string_view running = " state=running", handover = " state=handover";
    if (digits == 0 || process == 0)
        return false;
    if (text.compare(0, running.size(), running) == 0) {
        note = {process, false};
        return true;
    }
    if (text.compare(0, handover.size(), handover) == 0) {
        note = {process, true};
        return true;
    }
    return false;
}

}  // namespace

#ifdef _WIN32

namespace {

HANDLE as_handle(std::intptr_t value) {
    return reinterpret_cast<HANDLE>(value);
}

std::wstring wide_path(const std::string& path) {
    return std::filesystem::u8path(path).wstring();
}

OVERLAPPED lock_range() {
    OVERLAPPED range{};
    range.Offset = installation_lock_offset;
    return range;
}

}  // namespace

InstallationLock::State InstallationLock::take(const std::string& dir) {
    release();
    const std::string path = lock_path(dir);
    if (path_kind(path) == PathKind::link)
        remove_link(path);
    const std::wstring wide = wide_path(path);
    // Not inheritable, so neither the game nor a restarted launcher carries it on. No delete
    // sharing: the file cannot be removed or renamed from under its holder. A link planted after
    // the removal above is opened as the link itself, and refused below.
    const DWORD flags = FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT;
    HANDLE file =
        CreateFileW(wide.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                    nullptr, OPEN_ALWAYS, flags, nullptr);
    if (file == INVALID_HANDLE_VALUE && GetLastError() == ERROR_ACCESS_DENIED)
        file = CreateFileW(wide.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                           OPEN_EXISTING, flags, nullptr);  // a read-only file locks as well
    if (file == INVALID_HANDLE_VALUE)
        return GetLastError() == ERROR_SHARING_VIOLATION ? State::busy : State::failed;
    BY_HANDLE_FILE_INFORMATION info{};
    if (!GetFileInformationByHandle(file, &info) ||
        (info.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) != 0) {
        CloseHandle(file);
        return State::failed;
    }
    OVERLAPPED range = lock_range();
    if (!LockFileEx(file, LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0, 1, 0, &range)) {
        const DWORD error = GetLastError();
        CloseHandle(file);
        return error == ERROR_LOCK_VIOLATION || error == ERROR_IO_PENDING ? State::busy
                                                                          : State::failed;
    }
    handle_ = reinterpret_cast<std::intptr_t>(file);
    return State::taken;
}

void InstallationLock::release() {
    if (!held())
        return;
    OVERLAPPED range = lock_range();
    UnlockFileEx(as_handle(handle_), 0, 1, 0, &range);
    CloseHandle(as_handle(handle_));
    handle_ = -1;
}

bool InstallationLock::write_note(const LockNote& note) {
    if (!held())
        return false;
    const std::string text = note_text(note);
    HANDLE file = as_handle(handle_);
    DWORD written = 0;
    OVERLAPPED at{};  // offset 0
    return WriteFile(file, text.data(), static_cast<DWORD>(text.size()), &written, &at) &&
           written == text.size() &&
           SetFilePointer(file, static_cast<LONG>(text.size()), nullptr, FILE_BEGIN) !=
               INVALID_SET_FILE_POINTER &&
           SetEndOfFile(file);
}

bool read_lock_note(const std::string& dir, LockNote& note) {
    const std::wstring wide = wide_path(lock_path(dir));
    HANDLE file =
        CreateFileW(wide.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                    OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return false;
    char text[note_limit];
    DWORD got = 0;
    const BOOL read = ReadFile(file, text, sizeof text, &got, nullptr);
    CloseHandle(file);
    return read && parse_note(std::string_view(text, got), note);
}

unsigned long current_process_id() {
    return GetCurrentProcessId();
}

#else

InstallationLock::State InstallationLock::take(const std::string& dir) {
    release();
    const std::string path = lock_path(dir);
    if (path_kind(path) == PathKind::link)
        remove_link(path);
    // Closed on exec: the self-update's exec must not carry the lock into the new image, which
    // takes it afresh; nor may the game keep it while it runs.
    const int flags = O_NOFOLLOW | O_CLOEXEC | O_NOCTTY;
    int fd = ::open(path.c_str(), O_RDWR | O_CREAT | flags, 0644);
    if (fd < 0 && (errno == EACCES || errno == EROFS))
        fd = ::open(path.c_str(), O_RDONLY | flags);  // a lock file we cannot write locks as well
    if (fd < 0)
        return State::failed;
    struct stat info {};
    if (fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
        ::close(fd);
        return State::failed;
    }
    if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
        const int error = errno;
        ::close(fd);
        return error == EWOULDBLOCK ? State::busy : State::failed;
    }
    handle_ = fd;
    return State::taken;
}

void InstallationLock::release() {
    if (!held())
        return;
    ::close(static_cast<int>(handle_));  // gives up the lock
    handle_ = -1;
}

bool InstallationLock::write_note(const LockNote& note) {
    if (!held())
        return false;
    const std::string text = note_text(note);
    const int fd = static_cast<int>(handle_);
    return ::pwrite(fd, text.data(), text.size(), 0) == static_cast<ssize_t>(text.size()) &&
           ::ftruncate(fd, static_cast<off_t>(text.size())) == 0;
}

bool read_lock_note(const std::string& dir, LockNote& note) {
    const int fd = ::open(lock_path(dir).c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0)
        return false;
    char text[note_limit];
    const ssize_t got = ::read(fd, text, sizeof text);
    ::close(fd);
    return got > 0 && parse_note(std::string_view(text, static_cast<std::size_t>(got)), note);
}

unsigned long current_process_id() {
    return static_cast<unsigned long>(::getpid());
}

#endif

}  // namespace km::platform
