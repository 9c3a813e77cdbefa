// launcher.ini: which server, which paths on it, which game executable, title and version, and
// the player's download limit.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "km/build_config.h"

namespace km {

struct LauncherConfig {
    std::string host = build::default_host;
    int port = 80;
    std::string manifest = "/update.manifest.json";
    std::string banners = "/banners.json";
    std::string game_exe = "Game_x64_win.exe";
    std::string game_args;
    std::string title = "Keldmoor Ashvow";
    std::string version = "1.0.0";
    bool https = false;  // every request to host:port over HTTPS; written only when set
    // MB/s (1 MB = 1024 x 1024 bytes) the update check's downloads may take; 0 for no limit.
    // Written only when set, so a file without it reads as it always did.
    int download_limit = 0;
};

// The largest download limit the launcher takes, in MB/s.
inline constexpr int max_download_limit = 1000;
inline constexpr std::uint64_t bytes_per_megabyte = std::uint64_t{1} << 20;
// A download limit as launcher.ini and the page give it: a whole number from 0 to
// max_download_limit in decimal digits alone; false (and `limit` untouched) for anything else.
bool parse_download_limit(const std::string& text, int& limit);

// Removes " \t\r\n" from both ends.
std::string trim(const std::string& text);

// Overwrites the fields whose keys the file has; a missing file leaves `config` untouched.
void load_config(const std::string& path, LauncherConfig& config);
// Writes all eight fields (and https=1 and the download limit when set), replacing the file;
// silent when it cannot be written.
void save_config(const std::string& path, const LauncherConfig& config);
// Sets the download limit in the file and leaves every other line as it stands (the file is
// written as save_config writes `config` when it cannot be read). False when it could not be
// written.
bool save_download_limit(const std::string& path, const LauncherConfig& config, int limit);

// C's atoi, without its undefined behaviour: values beyond 32 bits clamp to the nearest limit.
int atoi_clamped(const std::string& text);

// The canonical file text that save_config writes ("\n" line ends; text mode adds the CR).
std::string config_text(const LauncherConfig& config);

// Calls `visit` with every line of a text file, trimmed; CR LF and LF line ends both work.
// Nothing happens when the file cannot be opened.
void for_each_config_line(const std::string& path,
                          const std::function<void(const std::string&)>& visit);

// Replaces a file with `text`, written in text mode. When the file cannot be written the disk
// is left as it was and false comes back.
bool replace_text_file(const std::string& path, const std::string& text);

}  // namespace km
