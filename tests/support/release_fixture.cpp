#include "tests/support/release_fixture.h"

#include <nlohmann/json.hpp>

#include "tests/support/temp_dir.h"
#include "tests/support/test_signer.h"
#include "updater/sha256.h"

namespace km::test {
namespace {

void put(const std::filesystem::path& path, const std::string& content) {
    std::filesystem::create_directories(path.parent_path());
    write_file(path, content);
}

}  // namespace

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
    put(root / "update.manifest.json", manifest_text);
    put(root / "update.manifest.json.sig", dev_signature(manifest_text));
    for (const ReleaseFile& file : files)
        put(root / "launcher_files" / std::filesystem::path(file.path), file.content);
    return manifest_text;
}

std::string publish_release(const std::filesystem::path& root, int major, int minor, int patch,
                            const std::vector<ReleaseFile>& files) {
    return publish_release(root, manifest_json(major, minor, patch, files), files);
}

void publish_banners(const std::filesystem::path& root, const std::vector<std::string>& names) {
    put(root / "banners.json", nlohmann::json{{"banners", names}}.dump());
    for (const std::string& name : names)
        put(root / "banners" / name, name + " image");
}

void publish_realm_status(const std::filesystem::path& root, const std::string& document) {
    put(root / "realm_status.json", document);
}

void install_file(const std::filesystem::path& exe_dir, const std::string& path,
                  const std::string& content) {
    put(exe_dir / std::filesystem::path(path), content);
}

}  // namespace km::test
