// The portable pieces of start-up and of the web view host, shared by both platform shells.
#pragma once

#include <string>

namespace km {

// Parent directory of a module path, root kept, trailing separators of the parent dropped.
// With Windows rules both separators count and drive/UNC roots are recognised.
std::string compute_exe_dir(const std::string& module_path, bool windows_rules);

// Loads launcher.ini into launcher_config, migrates the former default host and creates the
// file on first start.
void load_launcher_config();

// The drag-strip hit test: true (HTCAPTION) for the top 36 rows left of the last 92 columns.
bool drag_strip_hit(int client_x, int client_y, int client_width);

// Steps of start-up before the window: runtime check, pending self-update, configuration.
// Returns -1 to go on creating the window, otherwise the process exit code.
int run_startup_before_window(const std::string& module_path);

// After the message loop, before the process ends: writes down the end and gives the log's last
// lines a moment to reach the disk.
void finish_after_window(int exit_code);

}  // namespace km
