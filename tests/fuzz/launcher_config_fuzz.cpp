// load_config on any file contents, then a save that must read back the same.
#include "launcher/common/app_state.h"
#include "launcher/config/launcher_config.h"
#include "tests/fuzz/fuzz_support.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    km::fuzz::scratch_dir();
    const std::string path = km::exe_path("launcher.ini");
    km::fuzz::write_or_die(path, km::fuzz::as_text(data, size));
    km::LauncherConfig config;
    km::load_config(path, config);
    km::save_config(path, config);
    km::LauncherConfig again;
    km::load_config(path, again);
    km::fuzz::require(again.host == config.host && again.port == config.port &&
                      again.title == config.title && again.game_args == config.game_args &&
                      again.version == config.version);
    return 0;
}
