// load_game_settings on any file contents, then a save that must read back the same, except for
// the line breaks a save drops from the mode (a lone CR read from a hand-edited line).
#include "launcher/common/app_state.h"
#include "launcher/config/game_settings.h"
#include "tests/fuzz/fuzz_support.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    km::fuzz::scratch_dir();
    km::fuzz::write_or_die(km::game_settings_path(), km::fuzz::as_text(data, size));
    km::GameSettings settings;
    km::load_game_settings(km::game_settings_path(), settings);
    km::save_game_settings(km::game_settings_path(), settings);
    km::GameSettings again;
    km::load_game_settings(km::game_settings_path(), again);
    std::string mode = settings.mode;
    std::erase_if(mode, [](char c) { return c == '\r' || c == '\n'; });
    km::fuzz::require(again.mode == mode && again.vsync == settings.vsync &&
                      again.unlimited_fps == settings.unlimited_fps &&
                      again.lock_mouse == settings.lock_mouse);
    return 0;
}
