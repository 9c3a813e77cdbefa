// The banners document scan, the file-name check and the file URL on any document.
#include <cstddef>
#include <cstdint>
#include <string>

#include "launcher/feeds/feeds.h"
#include "launcher/paths.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string document(reinterpret_cast<const char*>(data), size);
    for (const std::string& name : km::scan_banner_names(document)) {
        if (!km::is_plain_file_name(name))
            continue;
        // A name that is used never leaves the cache folder.
        if (name == "." || name == ".." || name.find_first_of("/\\:") != std::string::npos)
            __builtin_trap();
        const std::string url = km::file_url("/cache/banners/" + name);
        if (url.find_first_of(" \"#?") != std::string::npos)
            __builtin_trap();
    }
    return 0;
}
