#include "tests/support/release_fixture.h"

#include <nlohmann/json.hpp>

#include "tests/support/temp_dir.h"
#include "tests/support/test_signer.h"
#include "updater/sha256.h"

namespace km::test {

std::string sha256_hex(const std::string& content) {
    const auto digest = updater::sha256(content.data(), content.size());
    return updater::to_hex(digest.data(), digest.size());
}

std::string manifest_json(int major, int minor, int patch, const std::vector<ReleaseFile>& files) {
    nlohmann::json doc;
    doc["version"] = {{"major", major}, {"minor", minor}, {"patch", patch}};
    doc["files"] = nlohmann::json::array();
    for (const ReleaseFile& file : files) {
        nlohmann::json entry;
        entry["path"] = file.path;
        entry["sha256"] = file.sha256.empty() ? sha256_hex(file.content) : file.sha256;
        entry["size"] = file.content.size();
        entry["executable"] = file.executable;
        if (!file.platform.empty())
            entry["platform"] = file.platform;
        doc["files"].push_back(entry);
    }
    return doc.dump();
}

std::string publish_release(const std::filesystem::path& root, const std::string& manifest_text,
                            const std::vector<ReleaseFile>& files) {
    install_file(root, "update.manifest.json", manifest_text);
    install_file(root, "update.manifest.json.sig", dev_signature(manifest_text));
    for (const ReleaseFile& file : files)
        install_file(root / "launcher_files", file.path, file.content);
    return manifest_text;
}

std::string publish_release(const std::filesystem::path& root, int major, int minor, int patch,
                            const std::vector<ReleaseFile>& files) {
    return publish_release(root, manifest_json(major, minor, patch, files), files);
}

void publish_banners(const std::filesystem::path& root, const std::vector<std::string>& names) {
    install_file(root, "banners.json", nlohmann::json{{"banners", names}}.dump());
    for (const std::string& name : names)
        install_file(root / "banners", name, name + " image");
}

void publish_realm_status(const std::filesystem::path& root, const std::string& document) {
    install_file(root, "realm_status.json", document);
}

// A release's files go on disk as installed ones do: under their folder, folders first.
void install_file(const std::filesystem::path& exe_dir, const std::string& path,
                  const std::string& content) {
    std::filesystem::create_directories((exe_dir / path).parent_path());
    write_file(exe_dir / path, content);
}

}  // namespace km::test
