// json_get_bool on any bytes: the first byte picks the key, the rest is the message.
#include <cstdlib>

#include "launcher/json_text.h"
#include "tests/fuzz/fuzz_support.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static const char* const keys[] = {"betaMode", "remember", "vsync", "unlockFps", ""};
    if (size == 0)
        return 0;
    const char* key = keys[data[0] % (sizeof keys / sizeof keys[0])];
    const std::string text = km::fuzz::as_text(data + 1, size - 1);
    const bool with_true = km::json_get_bool(text, key, true);
    const bool with_false = km::json_get_bool(text, key, false);
    // A word that was read gives the same answer whatever the default.
    if (with_true != with_false && !(with_true && !with_false))
        std::abort();
    return 0;
}
