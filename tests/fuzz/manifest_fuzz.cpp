// The manifest parser on any document (as if the signature held): it reads what the document
// tree reads, and the entry-path check lets no path climb out of the installation.
#include "tests/fuzz/fuzz_support.h"
#include "tests/support/manifest_reference.h"
#include "updater/manifest.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string text = km::fuzz::as_text(data, size);
    km::fuzz::require(km::test::reading_difference(text).empty());
    km::updater::UpdateManifest manifest;
    if (!km::updater::parse_manifest(text, manifest))
        return 0;
    for (const km::updater::ManifestEntry& entry : manifest.files) {
        km::fuzz::require(!entry.path.empty() && !entry.sha256.empty());
        if (!km::updater::is_safe_entry_path(entry.path))
            continue;
        // A path taken as safe has no root, no backslash or drive colon, and no component that
        // could climb out of the installation folder.
        km::fuzz::require(entry.path.front() != '/' &&
                          entry.path.find_first_of("\\:") == std::string::npos);
        std::size_t start = 0;
        while (start <= entry.path.size()) {
            std::size_t end = entry.path.find('/', start);
            if (end == std::string::npos)
                end = entry.path.size();
            const std::string part = entry.path.substr(start, end - start);
            km::fuzz::require(!part.empty() && part != "." && part != "..");
            start = end + 1;
        }
    }
    return 0;
}
