// Small helpers for text in the ANSI code page (Windows-1252).
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace ansi {

// Upper case as Windows compares file, key and value names without regard to case: a-z, the
// Latin-1 letters à-þ except ÷, and š œ ž ÿ. ß has no single-letter upper case and stays.
constexpr unsigned char UpperOf(unsigned char c) {
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

// The same as a table: names are compared a character at a time, millions of times a run.
struct CUpperTable {
  unsigned char upper[256];
  constexpr CUpperTable() : upper() {
    for (int c = 0; c < 256; ++c) {
      upper[c] = UpperOf(static_cast<unsigned char>(c));
    }
  }
};
inline constexpr CUpperTable kUpperTable;

inline unsigned char Upper(unsigned char c) {
  return kUpperTable.upper[c];
}

inline std::string Fold(std::string_view text) {
  std::string folded(text);
  for (char& c : folded) {
    c = static_cast<char>(Upper(static_cast<unsigned char>(c)));
  }
  return folded;
}

// True when text begins with prefix, compared without regard to case.
inline bool StartsWithNoCase(std::string_view text, std::string_view prefix) {
  if (text.size() < prefix.size()) {
    return false;
  }
  for (std::size_t i = 0; i < prefix.size(); ++i) {
    if (Upper(static_cast<unsigned char>(text[i])) !=
        Upper(static_cast<unsigned char>(prefix[i]))) {
      return false;
    }
  }
  return true;
}

// True when the two names are the same without regard to case.
inline bool EqualNoCase(std::string_view a, std::string_view b) {
  return a.size() == b.size() && StartsWithNoCase(a, b);
}

// Matches name against a pattern of * and ? without regard to case, as a file search does.
inline bool WildcardMatch(std::string_view pattern, std::string_view name) {
  size_t p = 0;
  size_t n = 0;
  size_t starP = std::string_view::npos;
  size_t starN = 0;
  while (n < name.size()) {
    if (p < pattern.size() &&
        (pattern[p] == '?' ||
         (pattern[p] != '*' && Upper(static_cast<unsigned char>(pattern[p])) ==
                                   Upper(static_cast<unsigned char>(name[n]))))) {
      ++p;
      ++n;
    } else if (p < pattern.size() && pattern[p] == '*') {
      starP = p++;
      starN = n;
    } else if (starP != std::string_view::npos) {
      p = starP + 1;
      n = ++starN;
    } else {
      return false;
    }
  }
  while (p < pattern.size() && pattern[p] == '*') {
    ++p;
  }
  return p == pattern.size();
}

// The value of a hexadecimal digit in either case; -1 for any other character.
inline int HexDigit(char c) {
  if (c >= '0' && c <= '9') {
    return c - '0';
  }
  if (c >= 'a' && c <= 'f') {
    return c - 'a' + 10;
  }
  if (c >= 'A' && c <= 'F') {
    return c - 'A' + 10;
  }
  return -1;
}

}  // namespace ansi
