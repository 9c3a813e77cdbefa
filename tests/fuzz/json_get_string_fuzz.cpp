// json_get_string on any bytes: the first byte picks the key, the rest is the message.
#include <cstdlib>

#include "launcher/json_text.h"
#include "tests/fuzz/fuzz_support.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static const char* const keys[] = {"cmd", "url", "map", "mode", "username", "password", ""};
    if (size == 0)
        return 0;
    const char* key = keys[data[0] % (sizeof keys / sizeof keys[0])];
    const std::string text = km::fuzz::as_text(data + 1, size - 1);
    // Every byte of the value consumes at least one byte of the message.
    if (km::json_get_string(text, key).size() > text.size())
        std::abort();
    return 0;
}
