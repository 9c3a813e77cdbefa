// km-publish: turns a folder of game files into a signed release in the folder the update
// server serves.
#include <sys/stat.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <string>

#include "tools/content_folder.h"
#include "tools/manifest_writer.h"
#include "tools/pe_signature.h"
#include "tools/release_tree.h"
#include "tools/signing_key.h"
#include "tools/test_key.h"
#include "tools/tool_common.h"
#include "updater/manifest.h"
#include "updater/sha256.h"

namespace {

namespace fs = std::filesystem;
using namespace km::tools;

constexpr char tool[] = "km-publish";

constexpr char usage[] =
    "Usage: km-publish --key KEY --version X.Y.Z --from RELEASE_DIR --to CONTENT_DIR\n"
    "                  [--platform NAME] [--manifest-name NAME] [--game-exe NAME]...\n"
    "                  [--executable PATH]... [--exclude GLOB]... [--allow-unsigned PATH]...\n"
    "                  [--allow-test-key] [--allow-downgrade]\n"
    "\n"
    "Publishes every file under RELEASE_DIR as CONTENT_DIR/launcher_files/<path>, with the\n"
    "manifest CONTENT_DIR/update.manifest.json and its 64-byte Ed25519 signature beside it\n"
    "(same name + \".sig\"). A release already in CONTENT_DIR is replaced: files first, then the\n"
    "signature, then the manifest; files the new manifest no longer lists are removed last.\n"
    "Nothing is written unless the whole release folder is readable and fit to publish.\n"
    "\n"
    "  --key KEY            PEM Ed25519 private key (from km-keygen)\n"
    "  --version X.Y.Z      release version, three decimal numbers\n"
    "  --from RELEASE_DIR   the installation as players should have it\n"
    "  --to CONTENT_DIR     the folder the update server serves (created if missing)\n"
    "  --platform NAME      platform member of every entry (default: empty, all platforms;\n"
    "                       the Windows launcher skips entries of platform \"linux\")\n"
    "  --manifest-name NAME manifest path below CONTENT_DIR, as the launcher.ini key\n"
    "                       \"manifest\" names it (default: update.manifest.json)\n"
    "  --game-exe NAME      a further game client at the top level, marked executable\n"
    "  --executable PATH    mark PATH executable too (staged as a pending replacement)\n"
    "  --exclude GLOB       leave matching files out; \"dir/\" matches folders, a pattern\n"
    "                       with another \"/\" is anchored at RELEASE_DIR, others match names\n"
    "                       at any depth\n"
    "  --allow-unsigned PATH\n"
    "                       publish the Windows executable PATH without an Authenticode\n"
    "                       signature (a test release: Windows warns players about it)\n"
    "  --allow-test-key     publish programs that embed RFC 8032's public test key (the\n"
    "                       development key): for development releases only, never for players\n"
    "  --allow-downgrade    publish a version below the one already in CONTENT_DIR\n"
    "  --help               show this text\n"
    "\n"
    "Marked executable by default: Launcher.exe, Launcher, Game_x64_win.exe and\n"
    "Game_x64_win_beta.exe at the top level. Left out by default: launcher.ini, settings.ini,\n"
    "launcher_verify_cache.txt, launcher.lock, launcher_version_floor.txt(.tmp), cache/,\n"
    "updates/ (top level) and *.update, *.old anywhere.\n"
    "A Windows Launcher.exe must be signed first (km-sign): the manifest's hash covers the\n"
    "signature, so the self-update installs the signed executable.\n"
    "Refused: a symbolic link in RELEASE_DIR or where CONTENT_DIR is written, leftovers of an\n"
    "interrupted km-sign (*.km-sign.*), a program (Windows or ELF, or marked executable) that\n"
    "embeds the test key, and a version below the published one. To roll back, publish the old\n"
    "files under a higher version.\n"
    "\n"
    "Exit status: 0 success, 1 failure, 2 usage error.\n";

int usage_error(const std::string& message) {
    report(tool, message);
    std::fputs("Try km-publish --help.\n", stderr);
    return exit_usage;
}

bool overlaps(const fs::path& a, const fs::path& b) {
    auto x = a.begin();
    auto y = b.begin();
    for (; x != a.end() && y != b.end(); ++x, ++y) {
        if (*x != *y) {
            return false;
        }
    }
    return true;
}

// The manifest written, read back the way the launcher reads it: a failure here is a bug of
// ours, and nothing is published.
bool self_check(const PublicKey& pub, const Signature& sig, const std::string& text,
                const std::vector<ReleaseFile>& files) {
    if (!km::updater::verify_ed25519(pub.data(), sig.data(),
                                     reinterpret_cast<const std::uint8_t*>(text.data()),
                                     text.size())) {
        return false;
    }
    km::updater::UpdateManifest parsed;
    if (!km::updater::parse_manifest(text, parsed) || parsed.files.size() != files.size()) {
        return false;
    }
    for (std::size_t i = 0; i < files.size(); ++i) {
        const auto& entry = parsed.files[i];
        if (entry.path != files[i].path || entry.sha256 != files[i].sha256 ||
            entry.size != files[i].size || entry.executable != files[i].executable) {
            return false;
        }
    }
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    const ParsedArgs args = parse_args(
        argc, argv, {"--key", "--version", "--from", "--to", "--platform", "--manifest-name"},
        {"--executable", "--exclude", "--game-exe", "--allow-unsigned"},
        {"--allow-test-key", "--allow-downgrade"});
    if (args.help) {
        std::fputs(usage, stdout);
        return exit_ok;
    }
    if (!args.error.empty()) {
        return usage_error(args.error);
    }
    if (!args.positional.empty()) {
        return usage_error("unexpected argument " + printable(args.positional[0]));
    }
    for (const char* required : {"--key", "--version", "--from", "--to"}) {
        if (args.value(required).empty()) {
            return usage_error(std::string("missing ") + required);
        }
    }
    ReleaseVersion version;
    if (!parse_release_version(args.value("--version"), version)) {
        return usage_error("--version " + printable(args.value("--version")) +
                           ": expected three decimal numbers such as 1.4.2");
    }
    std::string manifest_name =
        args.has("--manifest-name") ? args.value("--manifest-name") : "update.manifest.json";
    if (!manifest_name.empty() && manifest_name.front() == '/') {
        manifest_name.erase(0, 1);
    }
    const std::string top = manifest_name.substr(0, manifest_name.find('/'));
    if (!is_valid_utf8(manifest_name) || !km::updater::is_safe_entry_path(manifest_name) ||
        top == files_folder || top == staging_folder) {
        return usage_error("--manifest-name " + printable(args.value("--manifest-name")) +
                           ": expected a relative path outside launcher_files/");
    }
    const std::string platform = args.value("--platform");
    if (!is_valid_utf8(platform)) {
        return usage_error("--platform: not valid UTF-8");
    }
    std::vector<std::string> extra_executables;
    for (std::string path : args.values("--executable")) {
        while (path.compare(0, 2, "./") == 0) {
            path.erase(0, 2);
        }
        if (!km::updater::is_safe_entry_path(path)) {
            return usage_error("--executable " + printable(path) +
                               ": expected a path relative to the release folder");
        }
        extra_executables.push_back(path);
    }
    for (const std::string& name : args.values("--game-exe")) {
        if (name.empty() || name.find('/') != std::string::npos) {
            return usage_error("--game-exe " + printable(name) + ": expected a file name");
        }
    }

    // Everything is read and checked before the content folder is touched.
    const std::string key_path = args.value("--key");
    std::string error;
    const SigningKey key = read_private_key(key_path, error);
    if (!key) {
        report(tool, printable(key_path) + ": " + error);
        return exit_failure;
    }
    struct stat key_stat {};
    if (::stat(key_path.c_str(), &key_stat) == 0 && (key_stat.st_mode & 077) != 0) {
        report(tool,
               "warning: " + printable(key_path) + " can be read by other users; chmod 600 it");
    }
    const fs::path from = args.value("--from");
    const fs::path to = args.value("--to");
    std::error_code ec;
    const fs::path from_real = fs::canonical(from, ec);
    if (ec || !fs::is_directory(from_real)) {
        report(tool, printable(from.string()) + ": not a readable folder");
        return exit_failure;
    }
    const fs::path to_real = fs::weakly_canonical(fs::absolute(to), ec);
    if (ec || overlaps(from_real, to_real) || overlaps(to_real, from_real)) {
        report(tool, printable(to.string()) +
                         ": the content folder must lie outside the release folder and not "
                         "contain it");
        return exit_failure;
    }

    ScanOptions options;
    options.excludes = default_excludes();
    for (const std::string& glob : args.values("--exclude")) {
        options.excludes.push_back(glob);
    }
    options.windows_names = platform != "linux";
    std::vector<std::string> problems;
    std::vector<ReleaseFile> files = scan_release(from, options, problems);

    const std::vector<std::string> top_level = default_executables(args.values("--game-exe"));
    for (ReleaseFile& file : files) {
        file.executable =
            std::find(top_level.begin(), top_level.end(), file.path) != top_level.end() ||
            std::find(extra_executables.begin(), extra_executables.end(), file.path) !=
                extra_executables.end();
    }
    for (const std::string& path : extra_executables) {
        const bool published = std::any_of(files.begin(), files.end(),
                                           [&](const ReleaseFile& f) { return f.path == path; });
        if (!published) {
            problems.push_back(printable((from / path).string()) +
                               ": named by --executable but not published (missing or excluded)");
        } else if (std::find(top_level.begin(), top_level.end(), path) == top_level.end()) {
            report(tool, "note: " + printable(path) + " will be staged as " + printable(path) +
                             ".update on players' machines; the launcher only finishes that "
                             "for itself and the game client");
        }
    }
    // Signing changes the executable's bytes: a signature added after publishing would never
    // match the manifest, and one left out reaches every player through the self-update.
    const std::vector<std::string> allowed = args.values("--allow-unsigned");
    for (const ReleaseFile& file : files) {
        if (file.path != "Launcher.exe" ||
            std::find(allowed.begin(), allowed.end(), file.path) != allowed.end()) {
            continue;
        }
        const PeSignature signature = read_pe_signature(file.source);
        if (signature == PeSignature::unsigned_pe) {
            problems.push_back(printable(file.source.string()) +
                               ": no Authenticode signature; sign it with km-sign before "
                               "publishing (--allow-unsigned Launcher.exe for a test release)");
        } else if (signature == PeSignature::truncated) {
            problems.push_back(printable(file.source.string()) +
                               ": its Authenticode signature reaches past the end of the file");
        }
    }
    // A launcher that trusts the test key installs whatever anyone signs with its published
    // private half; the launcher holds the key as 32 raw bytes, its build configuration as hex.
    if (!args.has("--allow-test-key")) {
        for (const ReleaseFile& file : files) {
            if (!file.executable && !is_program(file.source)) {
                continue;
            }
            std::string why;
            const std::string form = test_key_form(file.source, why);
            if (!why.empty()) {
                problems.push_back(printable(file.source.string()) + ": cannot be read: " + why);
            } else if (!form.empty()) {
                problems.push_back(printable(file.source.string()) +
                                   ": embeds RFC 8032's public test key (" + form +
                                   "), so it trusts whatever anyone signs; build it with your own "
                                   "key (preset windows-release), or --allow-test-key for a "
                                   "development release");
            }
        }
    }
    if (!problems.empty()) {
        for (const std::string& problem : problems) {
            report(tool, problem);
        }
        report(tool, "nothing published: " + std::to_string(problems.size()) + " problem(s)");
        return exit_failure;
    }

    PublishPlan plan;
    plan.content = to;
    plan.manifest_name = manifest_name;
    plan.manifest_text = build_manifest(version, files, platform);
    if (!sign(key.get(), plan.manifest_text, plan.signature, error)) {
        report(tool, printable(key_path) + ": " + error);
        return exit_failure;
    }
    const PublicKey pub = public_key_of(key.get());
    if (!self_check(pub, plan.signature, plan.manifest_text, files)) {
        report(tool, "the manifest does not read back as written; nothing published");
        return exit_failure;
    }
    plan.files = std::move(files);
    plan.version = {version.major, version.minor, version.patch};
    plan.allow_downgrade = args.has("--allow-downgrade");
    PublishOutcome outcome;
    if (!write_release(plan, outcome, error)) {
        report(tool, error);
        return exit_failure;
    }
    std::uint64_t bytes = 0;
    for (const ReleaseFile& file : plan.files) {
        bytes += file.size;
    }
    std::printf("published v%d.%d.%d to %s: %zu files (%llu bytes), %zu written, %zu removed%s\n",
                version.major, version.minor, version.patch,
                printable((to / manifest_name).string()).c_str(), plan.files.size(),
                static_cast<unsigned long long>(bytes), outcome.written, outcome.removed,
                outcome.manifest_written ? "" : ", manifest unchanged");
    std::printf("signed with public key %s\n", km::updater::to_hex(pub.data(), pub.size()).c_str());
    return exit_ok;
}
