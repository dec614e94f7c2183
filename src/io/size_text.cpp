#include "io/size_text.h"

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

std::size_t Utf8SequenceLength(std::string_view text, std::size_t at) {
  const auto b = [&](std::size_t k) { return static_cast<unsigned char>(text[k]); };
  const unsigned char c = b(at);
  std::size_t len = 0;
  std::uint32_t cp = 0;
  if (c < 0x80) return 1;
  if (c >= 0xC2 && c <= 0xDF) len = 2, cp = c & 0x1F;
  else if (c >= 0xE0 && c <= 0xEF) len = 3, cp = c & 0x0F;
  else if (c >= 0xF0 && c <= 0xF4) len = 4, cp = c & 0x07;
  else return 0;
  if (at + len > text.size()) return 0;
  for (std::size_t k = 1; k < len; ++k) {
    if ((b(at + k) & 0xC0) != 0x80) return 0;
    cp = (cp << 6) | (b(at + k) & 0x3F);
  }
  const bool overlong = (len == 3 && cp < 0x800) || (len == 4 && cp < 0x10000);
  const bool surrogate = cp >= 0xD800 && cp <= 0xDFFF;
  const bool notChar = cp == 0xFFFE || cp == 0xFFFF || cp > 0x10FFFF;
  return overlong || surrogate || notChar ? 0 : len;
}

}  // namespace kestrix::sources
