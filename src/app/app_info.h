#pragma once
// The maker's name and web address (on the About box and in the caption).

namespace kestrix::app {

inline constexpr const char* kMakerName = "Kestrix Software";
inline constexpr const char* kMakerUrl = "http://www.example.com";
// The caption text before the web address.
inline constexpr const char* kCaptionText = "RubimarOutlook PST邮件恢复软件 11.2 专业版";
inline constexpr const char* kApplicationTitle = "Kestrix";

}  // namespace kestrix::app
