// km-verify: checks a content folder the way a launcher would see it.
#include <cstdio>
#include <filesystem>
#include <set>
#include <string>
#include <vector>

#include "tools/content_folder.h"
#include "tools/tool_common.h"
#include "updater/manifest.h"
#include "updater/sha256.h"

namespace {

namespace fs = std::filesystem;
using namespace km::tools;

constexpr char tool[] = "km-verify";

constexpr char usage[] =
    "Usage: km-verify --public-key HEX [--manifest-name NAME] CONTENT_DIR\n"
    "\n"
    "Checks a published release as the launcher would: the manifest's Ed25519 signature\n"
    "(NAME + \".sig\", exactly 64 bytes) under the given public key, the manifest's format,\n"
    "and for every entry a safe path, a lower-case SHA-256, and the file under\n"
    "CONTENT_DIR/launcher_files/ with that size and SHA-256. Prints every problem found.\n"
    "\n"
    "  --public-key HEX     the 64 hex digits of KM_MANIFEST_PUBLIC_KEY\n"
    "  --manifest-name NAME manifest path below CONTENT_DIR (default: update.manifest.json)\n"
    "  --help               show this text\n"
    "\n"
    "Exit status: 0 clean, 1 problems found, 2 usage error.\n";

int usage_error(const std::string& message) {
    report(tool, message);
    std::fputs("Try km-verify --help.\n", stderr);
    return exit_usage;
}

bool is_lower_hex_digest(const std::string& text) {
    if (text.size() != 64) {
        return false;
    }
    for (const char c : text) {
        if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'))) {
            return false;
        }
    }
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    const ParsedArgs args = parse_args(argc, argv, {"--public-key", "--manifest-name"}, {});
    if (args.help) {
        std::fputs(usage, stdout);
        return exit_ok;
    }
    if (!args.error.empty()) {
        return usage_error(args.error);
    }
    if (args.positional.size() != 1) {
        return usage_error("expected exactly one content folder");
    }
    std::uint8_t public_key[32];
    if (!parse_hex(args.value("--public-key"), public_key, sizeof public_key)) {
        return usage_error("--public-key needs exactly 64 hex digits");
    }
    std::string manifest_name =
        args.has("--manifest-name") ? args.value("--manifest-name") : "update.manifest.json";
    if (!manifest_name.empty() && manifest_name.front() == '/') {
        manifest_name.erase(0, 1);
    }
    if (!km::updater::is_safe_entry_path(manifest_name)) {
        return usage_error("--manifest-name " + printable(manifest_name) +
                           ": expected a relative path");
    }

    const fs::path content = args.positional[0];
    const fs::path manifest_path = content / manifest_name;
    const fs::path signature_path = manifest_path.string() + ".sig";
    const fs::path files_root = content / files_folder;
    std::size_t problems = 0;
    const auto problem = [&](const fs::path& where, const std::string& what) {
        std::fprintf(stderr, "%s: %s: %s\n", tool, printable(where.string()).c_str(), what.c_str());
        ++problems;
    };

    // A launcher fetches what the web server finds by following links; km-publish makes none, so
    // one here was planted, and the bytes checked are not the ones a later change serves.
    for (const std::string& way : {manifest_name, manifest_name + ".sig"}) {
        if (const std::string link = first_link(content, way); !link.empty()) {
            problem(link, "is a symbolic link; km-publish never makes one");
            return exit_failure;
        }
    }
    std::string manifest;
    std::string error;
    if (!read_whole_file(manifest_path.string(), manifest, error, 64 * 1024 * 1024)) {
        problem(manifest_path, "cannot read the manifest: " + error);
        return exit_failure;
    }
    std::string signature;
    if (!read_whole_file(signature_path.string(), signature, error, 1024)) {
        problem(signature_path, "cannot read the signature: " + error);
    } else if (signature.size() != 64) {
        problem(signature_path, "is " + std::to_string(signature.size()) +
                                    " bytes; a signature is exactly 64 raw bytes");
    } else if (!km::updater::verify_ed25519(
                   public_key, reinterpret_cast<const std::uint8_t*>(signature.data()),
                   reinterpret_cast<const std::uint8_t*>(manifest.data()), manifest.size())) {
        problem(signature_path,
                "does not verify: the manifest was changed or signed with another key");
    }

    km::updater::UpdateManifest parsed;
    if (!km::updater::parse_manifest(manifest, parsed)) {
        problem(manifest_path,
                "is not a valid manifest (launchers report \"Invalid manifest "
                "from server.\")");
        return exit_failure;
    }
    std::set<std::string> seen;
    std::set<std::string> links;
    std::uint64_t bytes = 0;
    for (const km::updater::ManifestEntry& entry : parsed.files) {
        const std::string shown = printable(entry.path);
        if (!km::updater::is_safe_entry_path(entry.path)) {
            problem(manifest_path, "entry " + shown + ": not a safe relative path");
            continue;
        }
        // Entries for Linux clients are the only ones Windows never writes.
        if (entry.platform != "linux") {
            if (const std::string why = km::updater::windows_name_problem(entry.path);
                !why.empty()) {
                problem(manifest_path, "entry " + shown + ": " + why);
            }
        }
        if (!seen.insert(entry.path).second) {
            problem(manifest_path, "entry " + shown + ": listed more than once");
        }
        if (entry.size > km::updater::max_entry_size) {
            problem(manifest_path, "entry " + shown +
                                       ": larger than the 64 GiB launchers accept for one file "
                                       "(they report \"Invalid manifest from server.\")");
        }
        if (!is_lower_hex_digest(entry.sha256)) {
            problem(manifest_path, "entry " + shown +
                                       ": sha256 is not 64 lower-case hex digits, so it never "
                                       "matches");
        }
        const fs::path file = files_root / entry.path;
        if (const std::string link = first_link(content, files_folder + ("/" + entry.path));
            !link.empty()) {
            if (links.insert(link).second)
                problem(link, "is a symbolic link; km-publish never makes one");
            continue;
        }
        std::error_code ec;
        if (!fs::is_regular_file(fs::status(file, ec))) {
            problem(file, "missing (listed in the manifest)");
            continue;
        }
        const std::uintmax_t size = fs::file_size(file, ec);
        if (ec || size != entry.size) {
            problem(file, "is " + std::to_string(size) + " bytes, the manifest says " +
                              std::to_string(entry.size));
        }
        const std::string digest = km::updater::sha256_file(file.string());
        if (digest.empty()) {
            problem(file, "cannot be read");
        } else if (digest != entry.sha256) {
            problem(file, "SHA-256 " + digest + " differs from the manifest's " +
                              printable(entry.sha256));
        }
        bytes += entry.size;
    }
    std::vector<std::string> installed;
    for (const km::updater::ManifestEntry& entry : parsed.files) {
        if (entry.platform != "linux") {
            installed.push_back(entry.path);
        }
    }
    if (const std::string why = km::updater::entry_paths_problem(installed); !why.empty()) {
        problem(manifest_path, "launchers refuse this manifest: " + printable(why));
    }
    if (problems > 0) {
        std::fprintf(stderr, "%s: %zu problem(s) in %s\n", tool, problems,
                     printable(content.string()).c_str());
        return exit_failure;
    }
    std::printf("OK: %s v%d.%d.%d, %zu files (%llu bytes), signature valid\n",
                printable(manifest_path.string()).c_str(), parsed.major, parsed.minor, parsed.patch,
                parsed.files.size(), static_cast<unsigned long long>(bytes));
    return exit_ok;
}
