#include "launcher/config/game_settings.h"

#include "launcher/config/launcher_config.h"

namespace km {

void load_game_settings(const std::string& path, GameSettings& settings) {
    std::string section;
    for_each_config_line(path, [&](const std::string& line) {
        if (line.empty() || line[0] == '#' || line[0] == ';')
            return;
        if (line.size() >= 2 && line.front() == '[' && line.back() == ']') {
            section = line.substr(1, line.size() - 2);
            return;
        }
        const auto eq = line.find('=');
        if (eq == std::string::npos)
            return;
        const std::string key = trim(line.substr(0, eq));
        const std::string value = trim(line.substr(eq + 1));
        if (section == "display") {
            if (key == "mode")
                settings.mode = value;
        } else if (section == "performance") {
            const bool on = atoi_clamped(value) != 0;
            if (key == "vsync") {
                settings.vsync = on;
            } else if (key == "unlimited_fps") {
                settings.unlimited_fps = on;
            } else if (key == "lock_mouse") {
                settings.lock_mouse = on;
            }
        }
    });
}

std::string game_settings_text(const GameSettings& settings) {
    auto flag = [](bool on) { return on ? "1" : "0"; };
    // The mode comes from the page; a line break in it would add lines of its own to the file
    // (another section, other keys) that the game would then read.
    std::string mode;
    for (char c : settings.mode) {
        if (c != '\r' && c != '\n')
            mode += c;
    }
    std::string text =
        "# Keldmoor Ashvow game settings \xE2\x80\x94 written by launcher, read by client.\n\n";
    text += "[display]\n";
    text += "mode = " + mode + "\n\n";
    text += "[performance]\n";
    text += std::string("vsync = ") + flag(settings.vsync) + "\n";
    text += std::string("unlimited_fps = ") + flag(settings.unlimited_fps) + "\n";
    text += std::string("lock_mouse = ") + flag(settings.lock_mouse) + "\n";
    return text;
}

void save_game_settings(const std::string& path, const GameSettings& settings) {
    replace_text_file(path, game_settings_text(settings));
}

}  // namespace km
