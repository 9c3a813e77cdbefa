// The banners document scan, the file-name check and the file URL on any document.
#include "launcher/feeds/feeds.h"
#include "platform/paths.h"
#include "tests/fuzz/fuzz_support.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::vector<std::string> names;
    km::scan_banner_names(km::fuzz::as_text(data, size), names);
    km::fuzz::require(names.size() <= km::max_banners);
    for (const std::string& name : names) {
        // A name that is used never leaves the cache folder.
        km::fuzz::require(km::is_plain_file_name(name) && name != "." && name != ".." &&
                          name.find_first_of("/\\:") == std::string::npos);
        const std::string url = km::file_url("/cache/banners/" + name);
        km::fuzz::require(url.find_first_of(" \"#?") == std::string::npos);
    }
    return 0;
}
