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
        // A path taken as safe has no backslash or drive colon, and no root, empty, "." or ".."
        // component that could climb out of the installation folder.
        km::fuzz::require(entry.path.find_first_of("\\:") == std::string::npos);
        const std::string bounded = "/" + entry.path + "/";
        for (const char* climb : {"//", "/./", "/../"})
            km::fuzz::require(bounded.find(climb) == std::string::npos);
    }
    return 0;
}
