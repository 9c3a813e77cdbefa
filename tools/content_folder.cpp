#include "tools/content_folder.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <set>

#include "tools/tool_common.h"
#include "updater/manifest.h"
#include "updater/sha256.h"

namespace km::tools {

namespace fs = std::filesystem;

namespace {

std::string shown(const fs::path& path) {
    return printable(path.string());
}

class FolderLock {
  public:
    explicit FolderLock(const fs::path& folder)
        : fd_(::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC)) {}
    ~FolderLock() {
        if (fd_ >= 0) {
            ::close(fd_);
        }
    }
    FolderLock(const FolderLock&) = delete;
    FolderLock& operator=(const FolderLock&) = delete;
    bool acquire() { return fd_ >= 0 && ::flock(fd_, LOCK_EX | LOCK_NB) == 0; }

  private:
    int fd_;
};

// A new world-readable file (the web server runs as another user), flushed to disk before it
// is renamed into view.
bool write_new_file(const fs::path& path, const std::string& content, std::string& error) {
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644);
    if (fd < 0) {
        error = shown(path) + ": " + std::strerror(errno);
        return false;
    }
    const bool ok = ::fchmod(fd, 0644) == 0 && write_all(fd, content.data(), content.size()) &&
                    ::fsync(fd) == 0;
    const int saved = errno;
    ::close(fd);
    if (!ok) {
        error = shown(path) + ": cannot write: " + std::strerror(saved);
    }
    return ok;
}

bool copy_to_staging(const fs::path& source, const fs::path& staged, std::string& error) {
    const int in = ::open(source.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
    if (in < 0) {
        error = shown(source) + ": cannot be read: " + std::strerror(errno);
        return false;
    }
    const int out =
        ::open(staged.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644);
    if (out < 0) {
        error = shown(staged) + ": " + std::strerror(errno);
        ::close(in);
        return false;
    }
    char buffer[1 << 16];
    bool ok = ::fchmod(out, 0644) == 0;
    while (ok) {
        const ssize_t got = ::read(in, buffer, sizeof buffer);
        if (got < 0 && errno == EINTR) {
            continue;
        }
        if (got <= 0) {
            ok = got == 0;
            break;
        }
        ok = write_all(out, buffer, static_cast<std::size_t>(got));
    }
    ok = ok && ::fsync(out) == 0;
    const int saved = errno;
    ::close(in);
    ::close(out);
    if (!ok) {
        error = shown(source) + ": cannot copy to " + shown(staged) + ": " + std::strerror(saved);
    }
    return ok;
}

bool same_content(const fs::path& path, const ReleaseFile& file) {
    std::error_code ec;
    const fs::file_status status = fs::symlink_status(path, ec);
    return !ec && fs::is_regular_file(status) && fs::file_size(path, ec) == file.size && !ec &&
           updater::sha256_file(path.string()) == file.sha256;
}

// Clears whatever stands in the way of a file at base/relative: a file or link where a folder
// is needed, or a folder where the file goes. Creates the missing folders. What gets removed
// belongs to the release being replaced.
bool make_way(const fs::path& base, const std::string& relative, std::string& error) {
    std::error_code ec;
    fs::path at = base;
    const fs::path rel(relative);
    const auto last = std::prev(rel.end());
    for (auto part = rel.begin(); part != rel.end(); ++part) {
        at /= *part;
        const fs::file_status status = fs::symlink_status(at, ec);
        if (ec && ec != std::errc::no_such_file_or_directory) {
            error = shown(at) + ": " + ec.message();
            return false;
        }
        ec.clear();
        if (part == last) {
            if (fs::is_directory(status)) {
                fs::remove_all(at, ec);
            }
        } else if (!fs::exists(status)) {
            fs::create_directory(at, ec);
        } else if (!fs::is_directory(status)) {
            fs::remove(at, ec);
            if (!ec) {
                fs::create_directory(at, ec);
            }
        }
        if (ec) {
            error = shown(at) + ": " + ec.message();
            return false;
        }
    }
    return true;
}

bool install(const fs::path& staged, const fs::path& base, const std::string& relative,
             std::string& error) {
    if (!make_way(base, relative, error)) {
        return false;
    }
    std::error_code ec;
    fs::rename(staged, base / relative, ec);
    if (ec) {
        error = shown(base / relative) + ": cannot put in place: " + ec.message();
        return false;
    }
    return true;
}

std::size_t remove_unlisted(const fs::path& files_root, const std::set<std::string>& listed) {
    std::error_code ec;
    std::vector<fs::path> stale;
    std::vector<fs::path> folders;
    for (fs::recursive_directory_iterator it(files_root, ec), end; !ec && it != end;
         it.increment(ec)) {
        const fs::file_status status = it->symlink_status(ec);
        if (ec) {
            break;
        }
        if (fs::is_directory(status)) {
            folders.push_back(it->path());
        } else if (listed.count(it->path().lexically_relative(files_root).generic_string()) == 0) {
            stale.push_back(it->path());
        }
    }
    std::size_t removed = 0;
    for (const fs::path& path : stale) {
        removed += fs::remove(path, ec) ? 1 : 0;
    }
    // Deepest first, so a folder emptied by its children goes too; non-empty ones stay.
    std::sort(folders.begin(), folders.end(), std::greater<>());
    for (const fs::path& folder : folders) {
        if (fs::is_empty(folder, ec) && !ec) {
            fs::remove(folder, ec);
        }
    }
    return removed;
}

bool read_if_present(const fs::path& path, std::string& out) {
    std::string error;
    return read_whole_file(path.string(), out, error, 64 * 1024 * 1024);
}

// Why the run must not write into the content folder: a link where it writes or deletes (it
// would write into or empty whatever folder the link names), or a release already there that is
// newer than this one.
std::string content_problem(const PublishPlan& plan) {
    for (const std::string& way : {std::string(files_folder), std::string(staging_folder),
                                   plan.manifest_name, plan.manifest_name + ".sig"}) {
        if (const std::string link = first_link(plan.content, way); !link.empty())
            return shown(link) + ": is a symbolic link; km-publish writes through none";
    }
    std::error_code ec;
    const fs::path files_root = plan.content / files_folder;
    if (fs::exists(fs::symlink_status(files_root, ec))) {
        for (fs::recursive_directory_iterator it(files_root, ec), end; !ec && it != end;
             it.increment(ec)) {
            if (it->is_symlink(ec))
                return shown(it->path()) + ": is a symbolic link; km-publish writes through none";
        }
        if (ec)
            return shown(files_root) + ": cannot list: " + ec.message();
    }
    if (plan.allow_downgrade)
        return {};
    const fs::path manifest_path = plan.content / plan.manifest_name;
    if (!fs::exists(fs::symlink_status(manifest_path, ec)))
        return {};
    std::string text;
    std::string error;
    updater::UpdateManifest current;
    if (!read_whole_file(manifest_path.string(), text, error, 64 * 1024 * 1024) ||
        !updater::parse_manifest(text, current)) {
        return shown(manifest_path) +
               ": the release there cannot be read, so its version is unknown; "
               "--allow-downgrade replaces it";
    }
    const std::array<int, 3> there = {current.major, current.minor, current.patch};
    if (plan.version >= there)
        return {};
    const auto text_of = [](const std::array<int, 3>& v) {
        return "v" + std::to_string(v[0]) + "." + std::to_string(v[1]) + "." + std::to_string(v[2]);
    };
    return shown(manifest_path) + ": holds " + text_of(there) + ", newer than " +
           text_of(plan.version) +
           "; to roll back, publish the old files under a version above it (or give "
           "--allow-downgrade)";
}

}  // namespace

bool write_release(const PublishPlan& plan, PublishOutcome& outcome, std::string& error) {
    std::error_code ec;
    if (const std::string link = first_link(plan.content, ""); !link.empty()) {
        error = shown(link) + ": is a symbolic link; name the content folder itself";
        return false;
    }
    const bool content_existed = fs::exists(plan.content, ec);
    const bool files_root_existed = fs::exists(plan.content / files_folder, ec);
    fs::create_directories(plan.content, ec);
    if (ec) {
        error = shown(plan.content) + ": cannot create the content folder: " + ec.message();
        return false;
    }
    FolderLock lock(plan.content);
    if (!lock.acquire()) {
        error = shown(plan.content) + ": another km-publish is writing to this content folder";
        return false;
    }
    if (const std::string why = content_problem(plan); !why.empty()) {
        error = why;
        // A content folder made by this run goes again.
        if (!content_existed)
            fs::remove(plan.content, ec);
        return false;
    }
    const fs::path staging = plan.content / staging_folder;
    const fs::path files_root = plan.content / files_folder;
    fs::remove_all(staging, ec);
    fs::create_directory(staging, ec);
    if (!ec) {
        fs::create_directories(files_root, ec);
    }
    if (ec) {
        error = shown(staging) + ": cannot create: " + ec.message();
        return false;
    }
    const auto fail = [&](const std::string& message) {
        error = message;
        std::error_code ignored;
        fs::remove_all(staging, ignored);
        // Folders made by this run go again while still empty.
        if (!files_root_existed) {
            fs::remove(files_root, ignored);
        }
        if (!content_existed) {
            fs::remove(plan.content, ignored);
        }
        return false;
    };

    // Everything that will change is in scratch space and checked before anything is visible.
    std::vector<std::pair<fs::path, const ReleaseFile*>> changed;
    for (std::size_t i = 0; i < plan.files.size(); ++i) {
        const ReleaseFile& file = plan.files[i];
        if (same_content(files_root / file.path, file)) {
            continue;
        }
        const fs::path staged = staging / std::to_string(i);
        std::string why;
        if (!copy_to_staging(file.source, staged, why)) {
            return fail(why);
        }
        if (fs::file_size(staged, ec) != file.size ||
            updater::sha256_file(staged.string()) != file.sha256) {
            return fail(shown(file.source) + ": changed while it was being published; run again");
        }
        changed.emplace_back(staged, &file);
    }
    const fs::path manifest_path = plan.content / plan.manifest_name;
    const fs::path signature_path = manifest_path.string() + ".sig";
    const std::string signature(reinterpret_cast<const char*>(plan.signature.data()),
                                plan.signature.size());
    std::string old_manifest;
    std::string old_signature;
    outcome.manifest_written = !(read_if_present(manifest_path, old_manifest) &&
                                 read_if_present(signature_path, old_signature) &&
                                 old_manifest == plan.manifest_text && old_signature == signature);
    if (outcome.manifest_written) {
        std::string why;
        if (!write_new_file(staging / "manifest", plan.manifest_text, why) ||
            !write_new_file(staging / "manifest.sig", signature, why)) {
            return fail(why);
        }
    }

    // From here on clients can see the change. Files first: the old manifest still stands, and
    // a client that fetches a file it lists while it is being replaced sees a hash mismatch and
    // tries again at its next check.
    for (const auto& [staged, file] : changed) {
        std::string why;
        if (!install(staged, files_root, file->path, why)) {
            return fail(why + " (the old manifest still stands; run km-publish again)");
        }
        ++outcome.written;
    }
    if (outcome.manifest_written) {
        // Signature before manifest: whoever fetches the new manifest also gets its signature.
        // A client that fetched the old manifest just before and asks for the signature after
        // this rename sees a mismatch once, and the next check finds both new.
        std::string why;
        if (!install(staging / "manifest.sig", plan.content, plan.manifest_name + ".sig", why) ||
            !install(staging / "manifest", plan.content, plan.manifest_name, why)) {
            return fail(why + " (run km-publish again)");
        }
    }

    std::set<std::string> listed;
    for (const ReleaseFile& file : plan.files) {
        listed.insert(file.path);
    }
    outcome.removed = remove_unlisted(files_root, listed);
    fs::remove_all(staging, ec);
    return true;
}

}  // namespace km::tools
