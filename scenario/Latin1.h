#pragma once
// Firmware text is bytes, not UTF-8. In JSON each byte becomes the code point
// of the same value (0x80..0xFF become U+0080..U+00FF), so any byte the
// module writes gives valid JSON, and a reader gets the exact bytes back by
// encoding the string as Latin-1.
#include <string>
#include <string_view>

namespace scenario {

inline std::string Latin1ToUtf8(std::string_view bytes) {
  std::string out;
  out.reserve(bytes.size());
  for (const char ch : bytes) {
    const auto c = static_cast<unsigned char>(ch);
    if (c < 0x80) {
      out += static_cast<char>(c);
    } else {
      out += static_cast<char>(0xC0 | (c >> 6));
      out += static_cast<char>(0x80 | (c & 0x3F));
    }
  }
  return out;
}

}  // namespace scenario
