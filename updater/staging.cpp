#include "updater/staging.h"

#include <chrono>
#include <filesystem>
#include <fstream>
#include <string_view>
#include <thread>
#include <vector>

#include "km/build_config.h"
#include "platform/paths.h"
#include "platform/platform.h"
#include "updater/sha256.h"

namespace km::updater {

namespace fs = std::filesystem;

namespace {

constexpr int copy_attempts = 5;
constexpr auto copy_pause = std::chrono::milliseconds(150);
constexpr int delete_attempts = 10;
constexpr auto delete_pause = std::chrono::milliseconds(100);

// The standard rename replaces an existing target on both builds (MoveFileExW with
// MOVEFILE_REPLACE_EXISTING | MOVEFILE_COPY_ALLOWED in mingw-w64's library).
bool rename_replacing(const fs::path& from, const fs::path& to) {
    std::error_code ec;
    fs::rename(from, to, ec);
    return !ec;
}

// Copies the bytes over an existing file in place, as CopyFileW does.
bool copy_bytes_over(const fs::path& from, const fs::path& to) {
    std::error_code ec;
    if (!fs::is_regular_file(from, ec) || !fs::is_regular_file(to, ec))
        return false;
    if (fs::weakly_canonical(from, ec) == fs::weakly_canonical(to, ec))
        return false;
    std::ifstream in(from, std::ios::binary);
    if (!in)
        return false;
    std::ofstream out(to, std::ios::binary | std::ios::trunc);
    if (!out)
        return false;
    std::vector<char> buffer(1 << 20);
    while (in) {
        in.read(buffer.data(), static_cast<std::streamsize>(buffer.size()));
        const std::streamsize got = in.gcount();
        if (got > 0)
            out.write(buffer.data(), got);
        if (!out)
            return false;
    }
    if (in.bad())
        return false;
    out.close();
    return !out.fail();
}

bool copy_over(const fs::path& from, const fs::path& to) {
    std::error_code ec;
    if (fs::copy_file(from, to, fs::copy_options::overwrite_existing, ec) && !ec)
        return true;
    // mingw-w64's library refuses to overwrite any existing file (it cannot tell two files
    // apart and takes them for the same one), so overwrite the bytes ourselves.
    return copy_bytes_over(from, to);
}

// Moves a verified download onto its destination. A rename costs nothing of the file's size,
// where a copy writes every byte a second time (and the staging folder's removal then has those
// bytes to free as well). The destination's permission bits carry over, as they do when its
// bytes are overwritten. A destination that is not a plain file is left to the copy, which
// fails on a folder; links never get this far (install_staged_file refuses them first).
bool move_over(const fs::path& from, const fs::path& to) {
    std::error_code ec;
    const fs::file_status target = fs::symlink_status(to, ec);
    if (fs::is_symlink(target) || (fs::exists(target) && !fs::is_regular_file(target)))
        return false;
    if (fs::is_regular_file(target)) {
        fs::permissions(from, target.permissions(), fs::perm_options::replace, ec);
        if (ec)
            return false;
    }
    return rename_replacing(from, to);
}

}  // namespace

bool staged_file_verified(const std::string& staged, const std::string& sha256,
                          std::uint64_t& size) {
    // Only what this launcher wrote there counts: a link could point anywhere, and installing
    // would move the link itself into the game folder.
    std::error_code ec;
    const fs::path path = fs::u8path(staged);
    if (!fs::is_regular_file(fs::symlink_status(path, ec)))
        return false;
    size = fs::file_size(path, ec);
    return !ec && sha256_file(staged) == sha256;
}

void make_writable(const std::string& path) {
    try {
        const fs::path p = fs::u8path(path);
        std::error_code ec;
        if (!fs::exists(fs::status(p, ec)) || ec)
            return;
        // On Windows the owner's write bit is the read-only attribute.
        fs::permissions(p, fs::perms::owner_write, fs::perm_options::add, ec);
    } catch (...) {
    }
}

bool install_staged_file(const std::string& staged, const std::string& destination, bool executable,
                         const std::string& root) {
    try {
        const fs::path from = fs::u8path(staged);
        if (link_on_the_way(root, destination) ||
            (executable && (link_on_the_way(root, destination + ".update") ||
                            link_on_the_way(root, destination + ".update.part"))))
            return false;  // reported as a file in use; the link stays as it is
        if (executable) {
            // A running executable cannot be overwritten: leave the new one beside it. The
            // pending copy is put in place at the next start without any further check, so it
            // is written under a temporary name and renamed only once whole: a full disk or a
            // killed process must never leave a torn one to replace a working executable.
            const std::string pending = destination + ".update";
            const std::string partial = pending + ".part";
            make_writable(pending);
            make_writable(partial);
            if (!copy_over(from, fs::u8path(partial))) {
                std::error_code ec;
                fs::remove(fs::u8path(partial), ec);
                return false;
            }
            // Downloads arrive without the execute bit; the pending executable must be runnable
            // once it takes its destination's place. (On Windows this changes nothing.)
            std::error_code perm_ec;
            fs::permissions(fs::u8path(partial),
                            fs::perms::owner_exec | fs::perms::group_exec | fs::perms::others_exec,
                            fs::perm_options::add, perm_ec);
            if (rename_replacing(fs::u8path(partial), fs::u8path(pending)))
                return true;
            std::error_code ec;
            fs::remove(fs::u8path(partial), ec);
            return false;
        }
        const std::string parent = parent_of(destination);
        if (!parent.empty()) {
            std::error_code ec;
            fs::create_directories(fs::u8path(parent), ec);
        }
        const fs::path to = fs::u8path(destination);
        for (int attempt = 0; attempt < copy_attempts; ++attempt) {
            make_writable(destination);
            if (move_over(from, to) || copy_over(from, to))
                return true;
            std::this_thread::sleep_for(copy_pause);
        }
        return false;
    } catch (...) {
        return false;
    }
}

bool apply_pending_update(const std::string& destination, const std::string& root) {
    try {
        const fs::path target = fs::u8path(destination);
        const fs::path pending = fs::u8path(destination + ".update");
        const fs::path old = fs::u8path(destination + ".old");
        if (!exists_quietly(destination + ".update") || link_on_the_way(root, destination) ||
            link_on_the_way(root, destination + ".update") ||
            link_on_the_way(root, destination + ".old"))
            return false;

        bool moved_aside = false;
        std::error_code ec;
        // When existence cannot be told, try the rename anyway: a failure changes nothing.
        if (fs::exists(target, ec) || ec) {
            // A read-only leftover would refuse to be replaced on Windows, forever.
            make_writable(destination + ".old");
            if (!rename_replacing(target, old))
                return false;
            moved_aside = true;
        }
        if (rename_replacing(pending, target))
            return true;
        // Put back only what this call moved: a stale old copy from an earlier run never
        // becomes the destination.
        if (moved_aside)
            rename_replacing(old, target);
        return false;
    } catch (...) {
        return false;
    }
}

void remove_old_copy(const std::string& destination, const std::string& root) {
    try {
        const std::string old_name = destination + ".old";
        const fs::path old = fs::u8path(old_name);
        if (!exists_quietly(old_name) || link_on_the_way(root, old_name))
            return;
        for (int attempt = 0; attempt < delete_attempts; ++attempt) {
            // Windows refuses to delete a read-only file; without this it would stay forever
            // and cost every start a second of retries.
            make_writable(old_name);
            std::error_code ec;
            fs::remove(old, ec);
            if (!ec || !exists_quietly(old_name))
                return;
            std::this_thread::sleep_for(delete_pause);
        }
    } catch (...) {
    }
}

std::string get_module_path() {
    return km::platform::get_module_path();
}

void relaunch_self(void (*on_failure)()) {
    km::platform::relaunch_self(get_module_path(), on_failure);
}

}  // namespace km::updater
