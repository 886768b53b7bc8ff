// Product constants shared by every layer.
#pragma once

#include <string_view>

namespace purgix {

inline constexpr std::string_view ProductTitle = "Kestrelon Purgix";
inline constexpr std::string_view ProductCode = "KL_PURGIX";
// The program's key below HKEY_CURRENT_USER / HKEY_LOCAL_MACHINE.
inline constexpr std::string_view ProductRegistryKey = "\\Software\\Kestrelon\\Purgix\\";
inline constexpr std::string_view ApplicationGUID = "{6CE297AD-C3BD-4F5C-A9E1-3D04411F8401}";

} // namespace purgix
