// Whether the installation's volume can take what a check is about to download, and the sizes
// as players read them.
#pragma once

#include <cstdint>
#include <string>

namespace km::updater {

// Room kept free beyond the bytes a check downloads: the pending copies of executables, the
// verify cache and what else the volume's other users write meanwhile.
inline constexpr std::uint64_t disk_space_margin = std::uint64_t{32} << 20;

// The free space of the volume `folder` lies on, as the current user may use it; false when
// the system cannot tell.
bool query_free_space(const std::string& folder, std::uint64_t& free);

// "Not enough disk space: %s needed, %s free." with both sizes in the unit of the larger, as
// the page writes sizes: binary units labelled B, KB, MB, GB, TB, one decimal below 10 of a
// unit (KB and up), none from 10 up, a point as the decimal separator.
std::string disk_full_text(std::uint64_t needed, std::uint64_t free);

}  // namespace km::updater
