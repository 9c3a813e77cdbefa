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

// Both take the file's path: settings.ini in the launcher's folder.
void load_game_settings(const std::string& path, GameSettings& settings);
void save_game_settings(const std::string& path, const GameSettings& settings);

// The file text that save_game_settings writes ("\n" line ends; text mode adds the CR).
std::string game_settings_text(const GameSettings& settings);

}  // namespace km
