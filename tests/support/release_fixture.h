// A published release laid out on disk as the update server serves it:
//
//   root/update.manifest.json        the manifest (exact bytes that are signed)
//   root/update.manifest.json.sig    64 raw signature bytes by the development key
//   root/launcher_files/<path>       every file of the manifest
//   root/banners.json, root/banners/<name>, root/realm_status.json
//
// Serve it with TestServer::serve_file_tree(root) or nginx.
#pragma once

#include <filesystem>
#include <string>
#include <vector>

namespace km::test {

struct ReleaseFile {
    std::string path;
    std::string content;
    std::string platform;  // "" applies everywhere; "linux" is skipped by the launcher
    bool executable = false;
    std::string sha256;  // empty: the content's digest
};

// Lower-case SHA-256 hex of a text.
std::string sha256_hex(const std::string& content);

// The manifest JSON of a release.
std::string manifest_json(int major, int minor, int patch, const std::vector<ReleaseFile>& files);

// Writes the manifest (text as given), its signature and the files under launcher_files/.
// Returns the manifest text.
std::string publish_release(const std::filesystem::path& root, const std::string& manifest_text,
                            const std::vector<ReleaseFile>& files);
std::string publish_release(const std::filesystem::path& root, int major, int minor, int patch,
                            const std::vector<ReleaseFile>& files);

// banners.json listing `names` and banners/<name> holding `name` + " image" for each.
void publish_banners(const std::filesystem::path& root, const std::vector<std::string>& names);
void publish_realm_status(const std::filesystem::path& root, const std::string& document);

// Writes an installed file under the installation folder, creating its folders.
void install_file(const std::filesystem::path& exe_dir, const std::string& path,
                  const std::string& content);

}  // namespace km::test
