#include "updater/disk_space.h"

#include <cmath>
#include <cstdio>
#include <filesystem>
#include <system_error>

#include "updater/status_texts.h"

namespace km::updater {

namespace {

constexpr const char* units[] = {"B", "KB", "MB", "GB", "TB"};
constexpr int last_unit = 4;

// The unit the page would write `bytes` in: 1023.96 KB rounds to 1024 and so reads "1.0 MB".
int unit_of(std::uint64_t bytes) {
    double value = static_cast<double>(bytes);
    int unit = 0;
    while (unit < last_unit && value >= 1024) {
        value /= 1024;
        ++unit;
    }
    if (unit < last_unit && std::round(value) >= 1024)
        ++unit;
    return unit;
}

std::string size_in(std::uint64_t bytes, int unit) {
    const double value = static_cast<double>(bytes) / std::pow(1024.0, unit);
    char text[48];
    // Whole tenths, printed as integers: the process locale never picks the separator.
    if (unit > 0 && std::round(value * 10) < 100) {
        const auto tenths = static_cast<unsigned long long>(std::llround(value * 10));
        std::snprintf(text, sizeof text, "%llu.%llu %s", tenths / 10, tenths % 10, units[unit]);
    } else {
        std::snprintf(text, sizeof text, "%.0f %s", std::round(value), units[unit]);
    }
    return text;
}

}  // namespace

bool query_free_space(const std::string& folder, std::uint64_t& free) {
    std::error_code ec;
    const std::filesystem::space_info info =
        std::filesystem::space(std::filesystem::u8path(folder), ec);
    if (ec || info.available == static_cast<std::uintmax_t>(-1))
        return false;
    free = info.available;
    return true;
}

std::string disk_full_text(std::uint64_t needed, std::uint64_t free) {
    const int unit = unit_of(needed > free ? needed : free);
    char text[128];
    std::snprintf(text, sizeof text, texts::disk_full, size_in(needed, unit).c_str(),
                  size_in(free, unit).c_str());
    return text;
}

}  // namespace km::updater
