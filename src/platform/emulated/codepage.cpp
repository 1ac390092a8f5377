#include "platform/emulated/codepage.h"

#include "platform/ansi_text.h"

#include <algorithm>
#include <cstdint>

namespace codepage {
namespace {

// Unicode of the Windows-1252 bytes 0x80..0x9F (the rest equal their Latin-1 code points).
constexpr char16_t kAnsiHigh[32] = {0x20AC, 0x0081, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021,
                                    0x02C6, 0x2030, 0x0160, 0x2039, 0x0152, 0x008D, 0x017D, 0x008F,
                                    0x0090, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022, 0x2013, 0x2014,
                                    0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0x009D, 0x017E, 0x0178};

// Unicode of the code page 437 bytes 0x80..0xFF.
constexpr char16_t kOemHigh[128] = {
    0x00C7, 0x00FC, 0x00E9, 0x00E2, 0x00E4, 0x00E0, 0x00E5, 0x00E7, 0x00EA, 0x00EB, 0x00E8, 0x00EF,
    0x00EE, 0x00EC, 0x00C4, 0x00C5, 0x00C9, 0x00E6, 0x00C6, 0x00F4, 0x00F6, 0x00F2, 0x00FB, 0x00F9,
    0x00FF, 0x00D6, 0x00DC, 0x00A2, 0x00A3, 0x00A5, 0x20A7, 0x0192, 0x00E1, 0x00ED, 0x00F3, 0x00FA,
    0x00F1, 0x00D1, 0x00AA, 0x00BA, 0x00BF, 0x2310, 0x00AC, 0x00BD, 0x00BC, 0x00A1, 0x00AB, 0x00BB,
    0x2591, 0x2592, 0x2593, 0x2502, 0x2524, 0x2561, 0x2562, 0x2556, 0x2555, 0x2563, 0x2551, 0x2557,
    0x255D, 0x255C, 0x255B, 0x2510, 0x2514, 0x2534, 0x252C, 0x251C, 0x2500, 0x253C, 0x255E, 0x255F,
    0x255A, 0x2554, 0x2569, 0x2566, 0x2560, 0x2550, 0x256C, 0x2567, 0x2568, 0x2564, 0x2565, 0x2559,
    0x2558, 0x2552, 0x2553, 0x256B, 0x256A, 0x2518, 0x250C, 0x2588, 0x2584, 0x258C, 0x2590, 0x2580,
    0x03B1, 0x00DF, 0x0393, 0x03C0, 0x03A3, 0x03C3, 0x00B5, 0x03C4, 0x03A6, 0x0398, 0x03A9, 0x03B4,
    0x221E, 0x03C6, 0x03B5, 0x2229, 0x2261, 0x00B1, 0x2265, 0x2264, 0x2320, 0x2321, 0x00F7, 0x2248,
    0x00B0, 0x2219, 0x00B7, 0x221A, 0x207F, 0x00B2, 0x25A0, 0x00A0};

char32_t AnsiToUnicode(unsigned char c) {
  if (c >= 0x80 && c < 0xA0) {
    return kAnsiHigh[c - 0x80];
  }
  return c;
}

// The byte of code point cp in a code page given by its upper half; -1 when there is none.
int FromUnicode(char32_t cp, const char16_t* high, int highCount, int highStart) {
  if (cp < 0x80) {
    return static_cast<int>(cp);
  }
  for (int i = 0; i < highCount; ++i) {
    if (high[i] == cp) {
      return highStart + i;
    }
  }
  return -1;
}

int UnicodeToAnsi(char32_t cp) {
  if (cp >= 0xA0 && cp <= 0xFF) {
    return static_cast<int>(cp);
  }
  return FromUnicode(cp, kAnsiHigh, 32, 0x80);
}

void AppendUtf8(std::string& out, char32_t cp) {
  if (cp < 0x80) {
    out += static_cast<char>(cp);
  } else if (cp < 0x800) {
    out += static_cast<char>(0xC0 | (cp >> 6));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else {
    out += static_cast<char>(0xE0 | (cp >> 12));
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  }
}

// The length of the ASCII text that text begins with: the same in every code page here.
size_t AsciiPrefix(std::string_view text) {
  size_t length = 0;
  while (length < text.size() && static_cast<unsigned char>(text[length]) < 0x80) {
    ++length;
  }
  return length;
}

}  // namespace

std::string AnsiToUtf8(std::string_view ansi) {
  std::string out;
  AppendAnsiAsUtf8(out, ansi);
  return out;
}

void AppendAnsiAsUtf8(std::string& out, std::string_view ansi) {
  const size_t ascii = AsciiPrefix(ansi);
  out.append(ansi.data(), ascii);
  for (size_t i = ascii; i < ansi.size(); ++i) {
    AppendUtf8(out, AnsiToUnicode(static_cast<unsigned char>(ansi[i])));
  }
}

std::string Utf8ToAnsi(std::string_view utf8) {
  size_t i = AsciiPrefix(utf8);
  std::string out(utf8.substr(0, i));
  if (i == utf8.size()) {
    return out;
  }
  out.reserve(utf8.size());
  while (i < utf8.size()) {
    const auto lead = static_cast<unsigned char>(utf8[i]);
    int extra = 0;
    char32_t cp = 0;
    if (lead < 0x80) {
      cp = lead;
    } else if ((lead & 0xE0) == 0xC0 && lead >= 0xC2) {
      extra = 1;
      cp = lead & 0x1F;
    } else if ((lead & 0xF0) == 0xE0) {
      extra = 2;
      cp = lead & 0x0F;
    } else if ((lead & 0xF8) == 0xF0 && lead <= 0xF4) {
      extra = 3;
      cp = lead & 0x07;
    } else {
      out += '?';
      ++i;
      continue;
    }
    bool valid = i + static_cast<size_t>(extra) < utf8.size();
    for (int k = 1; valid && k <= extra; ++k) {
      const auto next = static_cast<unsigned char>(utf8[i + k]);
      if ((next & 0xC0) != 0x80) {
        valid = false;
      } else {
        cp = (cp << 6) | (next & 0x3F);
      }
    }
    if (!valid) {
      out += '?';
      ++i;
      continue;
    }
    i += static_cast<size_t>(extra) + 1;
    const int byte = UnicodeToAnsi(cp);
    out += byte < 0 ? '?' : static_cast<char>(byte);
  }
  return out;
}

namespace {

// Text of one single-byte code page in another: ASCII stays as it is, each other byte becomes
// what toOther gives (a byte, or -1 for '?').
template <typename ToOther>
std::string ConvertSingleBytes(std::string_view text, ToOther toOther) {
  const size_t ascii = AsciiPrefix(text);
  std::string out(text.substr(0, ascii));
  if (ascii == text.size()) {
    return out;
  }
  out.reserve(text.size());
  for (char c : text.substr(ascii)) {
    const int byte = toOther(static_cast<unsigned char>(c));
    out += byte < 0 ? '?' : static_cast<char>(byte);
  }
  return out;
}

}  // namespace

std::string AnsiToOem(std::string_view ansi) {
  return ConvertSingleBytes(ansi, [](unsigned char byte) {
    return FromUnicode(AnsiToUnicode(byte), kOemHigh, 128, 0x80);
  });
}

std::string OemToAnsi(std::string_view oem) {
  return ConvertSingleBytes(oem, [](unsigned char byte) {
    return byte < 0x80 ? byte : UnicodeToAnsi(kOemHigh[byte - 0x80]);
  });
}

bool AnsiLessNoCase(std::string_view a, std::string_view b) {
  return std::lexicographical_compare(a.begin(), a.end(), b.begin(), b.end(), [](char x, char y) {
    return ansi::Upper(static_cast<unsigned char>(x)) < ansi::Upper(static_cast<unsigned char>(y));
  });
}

}  // namespace codepage
