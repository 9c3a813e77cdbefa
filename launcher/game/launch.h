// Starting the game client after a successful update check.
#pragma once

#include <memory>
#include <string>

namespace km {

inline constexpr char beta_game_exe[] = "Game_x64_win_beta.exe";

// Worker body: an update check, then launch_game when it succeeded.
void launch_worker(std::unique_ptr<std::string> extra);
void launch_game(const std::string& extra);

// Starts launch_worker on a detached thread.
void start_launch_worker(std::string extra);

}  // namespace km
