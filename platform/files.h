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

// Creates `path` as a new file holding `content`. Whatever is already there (a file, a link,
// a folder) makes it fail without being opened, followed or replaced. With `owner_only` only
// the current user can read or write the file from the moment it exists (mode 0600; on Windows
// a protected access list naming the current user alone), so nobody else can open it before
// the content is in. False when a step failed; a file it created is then removed.
bool create_new_file(const std::string& path, const std::string& content, bool owner_only);

// Removes `path` when it is a plain file; a link, a folder or anything else stays as it is.
// True when something was removed.
bool remove_plain_file(const std::string& path);

}  // namespace km::platform
