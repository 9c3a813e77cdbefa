// The signed update manifest: Ed25519 signature check and parsing.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace km::updater {

// The largest file a manifest may list. Game files come nowhere near it (the biggest packed
// archives of current games are a few tens of GiB), and a download that size already takes
// hours on a good link; so it refuses no real release while bounding what a server can make the
// launcher write into the staging folder for one entry, also one whose size is not given. Well
// below 2^53, so every size and progress fraction is exact as a double.
inline constexpr std::uint64_t max_entry_size = std::uint64_t{64} << 30;

struct ManifestEntry {
    std::string path;
    std::string sha256;
    std::string platform;
    std::uint64_t size = 0;
    // Whether the entry gave a size at all: a given size bounds the download exactly, a missing
    // one by max_entry_size.
    bool size_given = false;
    bool executable = false;
};

struct UpdateManifest {
    int major = 0;
    int minor = 0;
    int patch = 0;
    std::vector<ManifestEntry> files;
};

// The built-in public key of the manifest signer (from the build's KM_MANIFEST_PUBLIC_KEY).
extern const std::uint8_t manifest_public_key[32];

// True exactly when `signature` (64 bytes) is a valid Ed25519 signature of the message under
// `manifest_public_key`.
bool verify_manifest_signature(const std::uint8_t* signature, const std::uint8_t* message,
                               std::size_t length);
// The same check under any public key (release tooling and tests).
bool verify_ed25519(const std::uint8_t* public_key, const std::uint8_t* signature,
                    const std::uint8_t* message, std::size_t length);

// False for any text that is not a valid manifest; `out` should be fresh. Entry paths are not
// checked here: whoever turns an entry path into a local path calls is_safe_entry_path on it
// (the update check refuses the whole manifest when one entry fails).
bool parse_manifest(const std::string& text, UpdateManifest& out);

// True when a manifest entry path is a safe relative path below the installation folder: not
// empty, no root or drive name, no empty, "." or ".." component, no backslash, no colon (drive or
// stream), no NUL, and no component of dots and blanks alone (Windows would read "... " as "..").
bool is_safe_entry_path(const std::string& path);

// Why Windows would map `path` to some other file or refuse to create it (a reserved character,
// a device name in any component with or without an extension, a component ending in a dot or a
// blank, an 8.3 short-name form "~" + digit), or empty when it would not. Applies where the
// build or the release follows Windows path rules.
std::string windows_name_problem(const std::string& path);

// Why the entries' paths cannot all stand side by side as distinct files: two name the same
// file (the same path, or paths that differ only in letter case, which Windows treats as one
// file and which are refused everywhere so a release behaves the same on every platform), one
// lies in the staging folder "updates/", which every check deletes, or one is the launcher's
// version floor file (or its temporary copy), which only the launcher writes. Empty when they
// can.
std::string entry_paths_problem(const std::vector<std::string>& paths);

}  // namespace km::updater
