// The game client's settings.ini, which the page shows and edits.
#pragma once

#include <string>

namespace km {

struct GameSettings {
    std::string mode = "windowed";
    bool vsync = false;
    bool unlimited_fps = true;
    bool lock_mouse = false;
};

std::string game_settings_path();
void load_game_settings(GameSettings& settings);
void save_game_settings(const GameSettings& settings);

// The file text that save_game_settings writes ("\n" line ends; text mode adds the CR).
std::string game_settings_text(const GameSettings& settings);

}  // namespace km
