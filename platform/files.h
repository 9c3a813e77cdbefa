// File-system facts the portable code needs and the standard library cannot give alike on both
// systems: mingw-w64's std::filesystem does not see junctions or other reparse points.
#pragma once

#include <string>

namespace km::platform {

enum class PathKind { missing, link, other };

// What `path` (UTF-8) itself is, without following it. A symbolic link, a junction or any
// other reparse point is a link. A path that cannot be examined (access denied) counts as
// `other`: whatever then writes there fails on its own.
PathKind path_kind(const std::string& path);

// Removes the link at `path` itself (a symbolic link to a file or a folder, a junction), never
// what it leads to. False when `path` is no link or could not be removed.
bool remove_link(const std::string& path);

// Lets only the current user read or write the file: mode 0600 on Linux, on Windows an access
// list with the current user alone, not inherited from the folder. False when it failed.
bool restrict_to_owner(const std::string& path);

}  // namespace km::platform
