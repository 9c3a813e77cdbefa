// handle_page_command on any bytes, against the recording fake platform.
//
// Commands that start worker threads are not dispatched: their workers would run on after the
// input, talk to the network and make runs irreproducible. Their readers (json_get_string,
// json_get_bool, filter_map_name and the argument builders) are still run on the same input, and
// the commands that act on the window's thread are dispatched in full.
#include <set>

#include "launcher/commands.h"
#include "platform/fake/fake_platform.h"
#include "tests/fuzz/fuzz_support.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    km::fuzz::scratch_dir();
    km::fake::reset();
    const std::string text = km::fuzz::as_text(data, size);
    const std::string cmd = km::json_get_string(text, "cmd");
    static const std::set<std::string> starts_a_worker = {
        "ready",     "launch",       "launchWithMap", "watchSpectator",
        "loginBeta", "checkUpdates", "repair"};
    if (starts_a_worker.count(cmd)) {
        km::fuzz::require(km::launch_extra_arguments(cmd, text).size() <= text.size() + 32);
        km::beta_login_from_command(text);
        return 0;
    }
    km::handle_page_command(text);
    for (const auto& target : km::fake::state().shell_opens)
        km::fuzz::require(km::is_openable_url(target));
    return 0;
}
