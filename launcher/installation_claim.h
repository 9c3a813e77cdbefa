// One launcher per installation folder: its lock held from the first step of start-up until the
// process ends, a later start that brings the running window forward instead of opening its own,
// and restarts that leave the lock to the launcher they start.
#pragma once

#include <string>

namespace km {

// Takes the lock of the installation at `dir` for the rest of the process. -1: this process is
// the installation's launcher, and start-up goes on (also where no lock file can be made at all:
// such a folder cannot be written either). Otherwise the exit code: 0 when another launcher
// holds the folder (its window was brought forward, or it has none to show within 5 s); 1 when
// the launcher this one was started to follow still held it after 10 s.
int claim_installation(const std::string& dir);

// Before this process starts the launcher that follows it: that one waits for the lock instead
// of taking this one for a running launcher. `keep_installation` undoes it when the start failed.
void hand_over_installation();
void keep_installation();

// Gives the lock up (start-ups run one after another in one test process).
void release_installation();

}  // namespace km
