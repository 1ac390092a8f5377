// Upper case in the ANSI code page (Windows-1252), as Windows compares file, key and value
// names without regard to case: a-z, the Latin-1 letters à-þ except ÷, and š œ ž ÿ. ß has no
// single-letter upper case and stays.
#pragma once

#include <string>
#include <string_view>

namespace ansi {

inline unsigned char Upper(unsigned char c) {
  if ((c >= 'a' && c <= 'z') || (c >= 0xE0 && c <= 0xFE && c != 0xF7)) {
    return static_cast<unsigned char>(c - 0x20);
  }
  switch (c) {
    case 0x9A:  // s caron
    case 0x9C:  // oe
    case 0x9E:  // z caron
      return static_cast<unsigned char>(c - 0x10);
    case 0xFF:  // y diaeresis
      return 0x9F;
    default:
      return c;
  }
}

inline std::string Fold(std::string_view text) {
  std::string folded(text);
  for (char& c : folded) {
    c = static_cast<char>(Upper(static_cast<unsigned char>(c)));
  }
  return folded;
}

}  // namespace ansi
