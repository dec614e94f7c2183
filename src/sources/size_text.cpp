#include "sources/size_text.h"

namespace kestrix::sources {

std::string SizeToText(std::uint64_t count) {
  static const char* const kUnits[] = {" B", " KB", " MB", " GB", " TB"};
  int unit = 0;
  std::uint64_t remainder = 0;
  while (count >= 1024 && unit < 4) {
    remainder = count % 1024;
    count /= 1024;
    ++unit;
  }
  std::string text = std::to_string(static_cast<std::uint16_t>(count));
  const auto hundredths = static_cast<unsigned>(remainder * 100 / 1024);
  if (hundredths > 0) {
    text += '.';
    text += char('0' + hundredths / 10);
    text += char('0' + hundredths % 10);
  }
  return text + kUnits[unit];
}

}  // namespace kestrix::sources
