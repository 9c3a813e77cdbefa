// Paths and URLs as the portable code spells them: narrow UTF-8 strings with the build's
// separator, never handed to std::filesystem without u8path.
#pragma once

#include <string>

namespace km {

// `dir` and a manifest path (components separated by "/") joined into one path.
std::string join_path(const std::string& dir, const std::string& relative);
// The folder part of `path`: without its last component and the separators before it ("" for a
// bare name, the root itself for a file in the root).
std::string parent_of(const std::string& path);
// Whether something is at `path`; an error of the query itself (access denied on the folder, a
// bad network path, an invalid name) reads as absence, which every caller treats as the safe
// answer.
bool exists_quietly(const std::string& path);

// True when a component of `relative` ("/" or the platform's separator between components)
// below `base` is a symbolic link, junction or other reparse point. `base` itself is taken as
// it is. Nothing of ours writes, renames or deletes through such a link: one inside the
// installation folder would let a check write its files wherever the link points.
bool link_below(const std::string& base, const std::string& relative);
// The same for a path about to be written: every component below `root` when the path lies
// inside it, otherwise the path itself.
bool link_on_the_way(const std::string& root, const std::string& path);

// The file:/// URL of a local path (backslashes become slashes; characters that would end the
// path or are not allowed in a URL are percent-escaped).
std::string file_url(const std::string& local_path);
// The page's file:/// URL for an exe_dir.
std::string page_url(const std::string& dir);

}  // namespace km
