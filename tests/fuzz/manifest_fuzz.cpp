// The manifest parser on any document (as if the signature held): it reads what the document
// tree reads, and the entry-path check lets no path climb out of the installation.
#include <cstddef>
#include <cstdint>
#include <string>

#include "tests/support/manifest_reference.h"
#include "updater/manifest.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);
    if (!km::test::reading_difference(text).empty())
        __builtin_trap();
    km::updater::UpdateManifest manifest;
    if (!km::updater::parse_manifest(text, manifest))
        return 0;
    for (const km::updater::ManifestEntry& entry : manifest.files) {
        if (entry.path.empty() || entry.sha256.empty())
            __builtin_trap();
        if (!km::updater::is_safe_entry_path(entry.path))
            continue;
        // A path taken as safe has no root, no backslash or drive colon, and no component that
        // could climb out of the installation folder.
        if (entry.path.front() == '/' || entry.path.find_first_of("\\:") != std::string::npos)
            __builtin_trap();
        std::size_t start = 0;
        while (start <= entry.path.size()) {
            std::size_t end = entry.path.find('/', start);
            if (end == std::string::npos)
                end = entry.path.size();
            const std::string part = entry.path.substr(start, end - start);
            if (part.empty() || part == "." || part == "..")
                __builtin_trap();
            start = end + 1;
        }
    }
    return 0;
}
