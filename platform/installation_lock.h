// One launcher per installation folder: an operating-system lock on a file of the installation's
// own. The system gives it up when the process ends, however it ends, so a killed launcher never
// blocks the next one and no stale process id is ever judged.
#pragma once

#include <cstdint>
#include <string>

namespace km::platform {

// Directly in the installation folder (exe_dir). Manifests may not name it.
inline constexpr char installation_lock_name[] = "launcher.lock";
// Windows locks a byte range: this one, past the note, so the note stays readable while held.
inline constexpr std::uint32_t installation_lock_offset = 65536;

// What the holder tells later starts; written into the lock file, readable while it is held.
struct LockNote {
    unsigned long process = 0;  // the holder's process id
    bool handing_over = false;  // the holder has started the launcher that follows it and ends
};

class InstallationLock {
  public:
    enum class State { taken, busy, failed };

    InstallationLock() = default;
    ~InstallationLock() { release(); }
    InstallationLock(const InstallationLock&) = delete;
    InstallationLock& operator=(const InstallationLock&) = delete;

    // One try, without waiting, at the lock file of the installation at `dir`. A link in its
    // place is removed (never followed) and a plain file of our own made. `busy`: another process,
    // or another lock object of this one, holds it. `failed`: no lock file can be opened there (a
    // folder in its place, no rights). Whatever this object held before is given up first.
    State take(const std::string& dir);
    void release();
    bool held() const { return handle_ != -1; }
    // Replaces the note; false when not held or not written.
    bool write_note(const LockNote& note);

  private:
    std::intptr_t handle_ = -1;  // the file descriptor, or the HANDLE on Windows
};

// The note of the lock file in `dir`; false when there is none or it is not one of ours.
bool read_lock_note(const std::string& dir, LockNote& note);

unsigned long current_process_id();

}  // namespace km::platform
