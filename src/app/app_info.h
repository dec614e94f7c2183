#pragma once
// The maker's name and web address (on the About box; the address is "" unless the build
// names one), and the caption: the product's name with the version from CMake.

#include "build_info.h"

namespace kestrix::app {

inline constexpr const char* kMakerName = "Kestrix Software";
inline constexpr const char* kMakerUrl = kestrix::kHomepage;
inline constexpr const char* kCaptionText = "Kestrix " KESTRIX_VERSION;  // the same in every language
inline constexpr const char* kApplicationTitle = "Kestrix";

}  // namespace kestrix::app
