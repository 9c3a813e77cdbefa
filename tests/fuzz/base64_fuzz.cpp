// The lenient Base64 decoder on any text, and encoding round trips of any bytes.
#include <cstddef>
#include <cstdint>
#include <string>

#include "launcher/json_text.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string bytes(reinterpret_cast<const char*>(data), size);
    const std::string decoded = km::base64_decode(bytes);
    if (decoded.size() > size * 3 / 4 + 1)
        __builtin_trap();
    if (km::base64_decode(km::base64_encode(bytes)) != bytes)
        __builtin_trap();
    return 0;
}
