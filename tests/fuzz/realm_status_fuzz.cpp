// The realm-document check on any body: a body it lets through becomes an event with exactly
// the two members the page expects, whatever the server put in it.
#include <nlohmann/json.hpp>

#include "launcher/common/events.h"
#include "launcher/feeds/feeds.h"
#include "tests/fuzz/fuzz_support.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string body = km::fuzz::as_text(data, size);
    if (!km::is_one_json_value(body))
        return 0;
    const auto event = nlohmann::json::parse(km::event_text::realm_status(body));
    km::fuzz::require(event.is_object() && event.size() == 2 &&
                      event.value("event", "") == "realmStatus" && event.contains("data"));
    return 0;
}
