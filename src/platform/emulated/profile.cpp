// Profile reading for the emulated machine.
//
// The file is decoded to UTF-16 the way Windows decides its encoding (UTF-8 BOM, UTF-16 BOM of
// either byte order, otherwise the ANSI code page), split into sections and keys, and kept
// until the file changes on disk (the parses of the last few files only). Every query works on
// UTF-16 text and converts the result to the ANSI code page (Windows-1252) at the end, so buffer
// lengths, truncation and quote removal come out as the real functions produce them. Names are
// compared without regard to case for ASCII letters only, as the reference implementation does.
#include "platform/emulated/profile.h"

#include <sys/stat.h>

#include "platform/emulated/host_io.h"

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <functional>
#include <iterator>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace {

using WString = std::u16string;

// ---- Code page 1252

// 0x80..0x9F of Windows-1252; bytes without a character map to the C1 control of that value.
constexpr char16_t kCp1252High[32] = {
    0x20AC, 0x0081, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021, 0x02C6, 0x2030, 0x0160,
    0x2039, 0x0152, 0x008D, 0x017D, 0x008F, 0x0090, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022,
    0x2013, 0x2014, 0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0x009D, 0x017E, 0x0178};

struct BestFit {
  char16_t code;
  unsigned char byte;
};

// Characters outside Windows-1252 that the conversion to the ANSI code page replaces by a
// similar character instead of '?' (measured with tests/probes, sorted by code).
constexpr BestFit kBestFit[] = {
    {0x0100, 0x41}, {0x0101, 0x61}, {0x0102, 0x41}, {0x0103, 0x61}, {0x0104, 0x41}, {0x0105, 0x61},
    {0x0106, 0x43}, {0x0107, 0x63}, {0x0108, 0x43}, {0x0109, 0x63}, {0x010A, 0x43}, {0x010B, 0x63},
    {0x010C, 0x43}, {0x010D, 0x63}, {0x010E, 0x44}, {0x010F, 0x64}, {0x0110, 0xD0}, {0x0111, 0x64},
    {0x0112, 0x45}, {0x0113, 0x65}, {0x0114, 0x45}, {0x0115, 0x65}, {0x0116, 0x45}, {0x0117, 0x65},
    {0x0118, 0x45}, {0x0119, 0x65}, {0x011A, 0x45}, {0x011B, 0x65}, {0x011C, 0x47}, {0x011D, 0x67},
    {0x011E, 0x47}, {0x011F, 0x67}, {0x0120, 0x47}, {0x0121, 0x67}, {0x0122, 0x47}, {0x0123, 0x67},
    {0x0124, 0x48}, {0x0125, 0x68}, {0x0126, 0x48}, {0x0127, 0x68}, {0x0128, 0x49}, {0x0129, 0x69},
    {0x012A, 0x49}, {0x012B, 0x69}, {0x012C, 0x49}, {0x012D, 0x69}, {0x012E, 0x49}, {0x012F, 0x69},
    {0x0130, 0x49}, {0x0131, 0x69}, {0x0134, 0x4A}, {0x0135, 0x6A}, {0x0136, 0x4B}, {0x0137, 0x6B},
    {0x0139, 0x4C}, {0x013A, 0x6C}, {0x013B, 0x4C}, {0x013C, 0x6C}, {0x013D, 0x4C}, {0x013E, 0x6C},
    {0x0141, 0x4C}, {0x0142, 0x6C}, {0x0143, 0x4E}, {0x0144, 0x6E}, {0x0145, 0x4E}, {0x0146, 0x6E},
    {0x0147, 0x4E}, {0x0148, 0x6E}, {0x014C, 0x4F}, {0x014D, 0x6F}, {0x014E, 0x4F}, {0x014F, 0x6F},
    {0x0150, 0x4F}, {0x0151, 0x6F}, {0x0154, 0x52}, {0x0155, 0x72}, {0x0156, 0x52}, {0x0157, 0x72},
    {0x0158, 0x52}, {0x0159, 0x72}, {0x015A, 0x53}, {0x015B, 0x73}, {0x015C, 0x53}, {0x015D, 0x73},
    {0x015E, 0x53}, {0x015F, 0x73}, {0x0162, 0x54}, {0x0163, 0x74}, {0x0164, 0x54}, {0x0165, 0x74},
    {0x0166, 0x54}, {0x0167, 0x74}, {0x0168, 0x55}, {0x0169, 0x75}, {0x016A, 0x55}, {0x016B, 0x75},
    {0x016C, 0x55}, {0x016D, 0x75}, {0x016E, 0x55}, {0x016F, 0x75}, {0x0170, 0x55}, {0x0171, 0x75},
    {0x0172, 0x55}, {0x0173, 0x75}, {0x0174, 0x57}, {0x0175, 0x77}, {0x0176, 0x59}, {0x0177, 0x79},
    {0x0179, 0x5A}, {0x017A, 0x7A}, {0x017B, 0x5A}, {0x017C, 0x7A}, {0x0180, 0x62}, {0x0189, 0xD0},
    {0x0191, 0x83}, {0x0197, 0x49}, {0x019A, 0x6C}, {0x019F, 0x4F}, {0x01A0, 0x4F}, {0x01A1, 0x6F},
    {0x01AB, 0x74}, {0x01AE, 0x54}, {0x01AF, 0x55}, {0x01B0, 0x75}, {0x01B6, 0x7A}, {0x01C0, 0x7C},
    {0x01C3, 0x21}, {0x01CD, 0x41}, {0x01CE, 0x61}, {0x01CF, 0x49}, {0x01D0, 0x69}, {0x01D1, 0x4F},
    {0x01D2, 0x6F}, {0x01D3, 0x55}, {0x01D4, 0x75}, {0x01D5, 0x55}, {0x01D6, 0x75}, {0x01D7, 0x55},
    {0x01D8, 0x75}, {0x01D9, 0x55}, {0x01DA, 0x75}, {0x01DB, 0x55}, {0x01DC, 0x75}, {0x01DE, 0x41},
    {0x01DF, 0x61}, {0x01E4, 0x47}, {0x01E5, 0x67}, {0x01E6, 0x47}, {0x01E7, 0x67}, {0x01E8, 0x4B},
    {0x01E9, 0x6B}, {0x01EA, 0x4F}, {0x01EB, 0x6F}, {0x01EC, 0x4F}, {0x01ED, 0x6F}, {0x01F0, 0x6A},
    {0x0261, 0x67}, {0x02B9, 0x27}, {0x02BA, 0x22}, {0x02BC, 0x27}, {0x02C4, 0x5E}, {0x02C8, 0x27},
    {0x02C9, 0xAF}, {0x02CA, 0xB4}, {0x02CB, 0x60}, {0x02CD, 0x5F}, {0x02DA, 0xB0}, {0x0300, 0x60},
    {0x0301, 0xB4}, {0x0302, 0x5E}, {0x0303, 0x7E}, {0x0304, 0xAF}, {0x0305, 0xAF}, {0x0308, 0xA8},
    {0x030A, 0xB0}, {0x030E, 0x22}, {0x0327, 0xB8}, {0x0331, 0x5F}, {0x0332, 0x5F}, {0x037E, 0x3B},
    {0x0393, 0x47}, {0x0398, 0x54}, {0x03A3, 0x53}, {0x03A6, 0x46}, {0x03A9, 0x4F}, {0x03B1, 0x61},
    {0x03B2, 0xDF}, {0x03B4, 0x64}, {0x03B5, 0x65}, {0x03BC, 0xB5}, {0x03C0, 0x70}, {0x03C3, 0x73},
    {0x03C4, 0x74}, {0x03C6, 0x66}, {0x04BB, 0x68}, {0x0589, 0x3A}, {0x066A, 0x25}, {0x2000, 0x20},
    {0x2001, 0x20}, {0x2002, 0x20}, {0x2003, 0x20}, {0x2004, 0x20}, {0x2005, 0x20}, {0x2006, 0x20},
    {0x2010, 0x2D}, {0x2011, 0x2D}, {0x2017, 0x3D}, {0x2024, 0xB7}, {0x2032, 0x27}, {0x2035, 0x60},
    {0x2044, 0x2F}, {0x2070, 0xB0}, {0x2074, 0x34}, {0x2075, 0x35}, {0x2076, 0x36}, {0x2077, 0x37},
    {0x2078, 0x38}, {0x207F, 0x6E}, {0x2080, 0x30}, {0x2081, 0x31}, {0x2082, 0x32}, {0x2083, 0x33},
    {0x2084, 0x34}, {0x2085, 0x35}, {0x2086, 0x36}, {0x2087, 0x37}, {0x2088, 0x38}, {0x2089, 0x39},
    {0x20A1, 0xA2}, {0x20A4, 0xA3}, {0x20A7, 0x50}, {0x2102, 0x43}, {0x2107, 0x45}, {0x210A, 0x67},
    {0x210B, 0x48}, {0x210C, 0x48}, {0x210D, 0x48}, {0x210E, 0x68}, {0x2110, 0x49}, {0x2111, 0x49},
    {0x2112, 0x4C}, {0x2113, 0x6C}, {0x2115, 0x4E}, {0x2118, 0x50}, {0x2119, 0x50}, {0x211A, 0x51},
    {0x211B, 0x52}, {0x211C, 0x52}, {0x211D, 0x52}, {0x2124, 0x5A}, {0x2128, 0x5A}, {0x212A, 0x4B},
    {0x212B, 0xC5}, {0x212C, 0x42}, {0x212D, 0x43}, {0x212E, 0x65}, {0x212F, 0x65}, {0x2130, 0x45},
    {0x2131, 0x46}, {0x2133, 0x4D}, {0x2134, 0x6F}, {0x2205, 0xD8}, {0x2212, 0x2D}, {0x2213, 0xB1},
    {0x2215, 0x2F}, {0x2216, 0x5C}, {0x2217, 0x2A}, {0x2218, 0xB0}, {0x2219, 0xB7}, {0x221A, 0x76},
    {0x221E, 0x38}, {0x2223, 0x7C}, {0x2229, 0x6E}, {0x2236, 0x3A}, {0x223C, 0x7E}, {0x2248, 0x98},
    {0x2261, 0x3D}, {0x2264, 0x3D}, {0x2265, 0x3D}, {0x226A, 0xAB}, {0x226B, 0xBB}, {0x22C5, 0xB7},
    {0x2302, 0xA6}, {0x2303, 0x5E}, {0x2310, 0xAC}, {0x2320, 0x28}, {0x2321, 0x29}, {0x2329, 0x3C},
    {0x232A, 0x3E}, {0x2500, 0x2D}, {0x2502, 0xA6}, {0x250C, 0x2B}, {0x2510, 0x2B}, {0x2514, 0x2B},
    {0x2518, 0x2B}, {0x251C, 0x2B}, {0x2524, 0xA6}, {0x252C, 0x2D}, {0x2534, 0x2D}, {0x253C, 0x2B},
    {0x2550, 0x2D}, {0x2551, 0xA6}, {0x2552, 0x2B}, {0x2553, 0x2B}, {0x2554, 0x2B}, {0x2555, 0x2B},
    {0x2556, 0x2B}, {0x2557, 0x2B}, {0x2558, 0x2B}, {0x2559, 0x2B}, {0x255A, 0x2B}, {0x255B, 0x2B},
    {0x255C, 0x2B}, {0x255D, 0x2B}, {0x255E, 0xA6}, {0x255F, 0xA6}, {0x2560, 0xA6}, {0x2561, 0xA6},
    {0x2562, 0xA6}, {0x2563, 0xA6}, {0x2564, 0x2D}, {0x2565, 0x2D}, {0x2566, 0x2D}, {0x2567, 0x2D},
    {0x2568, 0x2D}, {0x2569, 0x2D}, {0x256A, 0x2B}, {0x256B, 0x2B}, {0x256C, 0x2B}, {0x2580, 0xAF},
    {0x2584, 0x5F}, {0x2588, 0xA6}, {0x258C, 0xA6}, {0x2590, 0xA6}, {0x2591, 0xA6}, {0x2592, 0xA6},
    {0x2593, 0xA6}, {0x25A0, 0xA6}, {0x263C, 0xA4}, {0x2758, 0x7C}, {0x3000, 0x20}, {0x3008, 0x3C},
    {0x3009, 0x3E}, {0x300A, 0xAB}, {0x300B, 0xBB}, {0x301A, 0x5B}, {0x301B, 0x5D}, {0x30FB, 0xB7},
    {0xFF01, 0x21}, {0xFF02, 0x22}, {0xFF03, 0x23}, {0xFF04, 0x24}, {0xFF05, 0x25}, {0xFF06, 0x26},
    {0xFF07, 0x27}, {0xFF08, 0x28}, {0xFF09, 0x29}, {0xFF0A, 0x2A}, {0xFF0B, 0x2B}, {0xFF0C, 0x2C},
    {0xFF0D, 0x2D}, {0xFF0E, 0x2E}, {0xFF0F, 0x2F}, {0xFF10, 0x30}, {0xFF11, 0x31}, {0xFF12, 0x32},
    {0xFF13, 0x33}, {0xFF14, 0x34}, {0xFF15, 0x35}, {0xFF16, 0x36}, {0xFF17, 0x37}, {0xFF18, 0x38},
    {0xFF19, 0x39}, {0xFF1A, 0x3A}, {0xFF1B, 0x3B}, {0xFF1C, 0x3C}, {0xFF1D, 0x3D}, {0xFF1E, 0x3E},
    {0xFF20, 0x40}, {0xFF21, 0x41}, {0xFF22, 0x42}, {0xFF23, 0x43}, {0xFF24, 0x44}, {0xFF25, 0x45},
    {0xFF26, 0x46}, {0xFF27, 0x47}, {0xFF28, 0x48}, {0xFF29, 0x49}, {0xFF2A, 0x4A}, {0xFF2B, 0x4B},
    {0xFF2C, 0x4C}, {0xFF2D, 0x4D}, {0xFF2E, 0x4E}, {0xFF2F, 0x4F}, {0xFF30, 0x50}, {0xFF31, 0x51},
    {0xFF32, 0x52}, {0xFF33, 0x53}, {0xFF34, 0x54}, {0xFF35, 0x55}, {0xFF36, 0x56}, {0xFF37, 0x57},
    {0xFF38, 0x58}, {0xFF39, 0x59}, {0xFF3A, 0x5A}, {0xFF3B, 0x5B}, {0xFF3C, 0x5C}, {0xFF3D, 0x5D},
    {0xFF3E, 0x5E}, {0xFF3F, 0x5F}, {0xFF40, 0x60}, {0xFF41, 0x61}, {0xFF42, 0x62}, {0xFF43, 0x63},
    {0xFF44, 0x64}, {0xFF45, 0x65}, {0xFF46, 0x66}, {0xFF47, 0x67}, {0xFF48, 0x68}, {0xFF49, 0x69},
    {0xFF4A, 0x6A}, {0xFF4B, 0x6B}, {0xFF4C, 0x6C}, {0xFF4D, 0x6D}, {0xFF4E, 0x6E}, {0xFF4F, 0x6F},
    {0xFF50, 0x70}, {0xFF51, 0x71}, {0xFF52, 0x72}, {0xFF53, 0x73}, {0xFF54, 0x74}, {0xFF55, 0x75},
    {0xFF56, 0x76}, {0xFF57, 0x77}, {0xFF58, 0x78}, {0xFF59, 0x79}, {0xFF5A, 0x7A}, {0xFF5B, 0x7B},
    {0xFF5C, 0x7C}, {0xFF5D, 0x7D}, {0xFF5E, 0x7E},
};

char16_t AnsiToWide(unsigned char byte) {
  if (byte >= 0x80 && byte < 0xA0)
    return kCp1252High[byte - 0x80];
  return byte;
}

char WideToAnsi(char16_t c) {
  if (c < 0x80 || (c >= 0xA0 && c < 0x100))
    return static_cast<char>(c);
  for (int i = 0; i < 32; ++i) {
    // The C1 controls that stand for unassigned bytes convert back; the others do not.
    if (kCp1252High[i] == c)
      return static_cast<char>(0x80 + i);
  }
  const auto* end = std::end(kBestFit);
  const auto* it =
      std::lower_bound(std::begin(kBestFit), end, c,
                       [](const BestFit& fit, char16_t code) { return fit.code < code; });
  if (it != end && it->code == c)
    return static_cast<char>(it->byte);
  return '?';
}

using WView = std::u16string_view;

// The UTF-16 form of ANSI text, into out (whose room is kept from one query to the next).
void FromAnsi(const char* text, WString& out) {
  out.clear();
  for (const unsigned char* p = reinterpret_cast<const unsigned char*>(text); *p != 0; ++p) {
    out.push_back(AnsiToWide(*p));
  }
}

// ---- Decoding a file

void AppendCodePoint(WString& out, std::uint32_t cp) {
  if (cp >= 0x10000) {
    cp -= 0x10000;
    out.push_back(static_cast<char16_t>(0xD800 + (cp >> 10)));
    out.push_back(static_cast<char16_t>(0xDC00 + (cp & 0x3FF)));
  } else {
    out.push_back(static_cast<char16_t>(cp));
  }
}

// UTF-8 to UTF-16; each maximal invalid part of a sequence becomes one U+FFFD.
WString DecodeUtf8(const unsigned char* p, std::size_t n) {
  WString out;
  out.reserve(n);
  std::size_t i = 0;
  while (i < n) {
    const unsigned char b = p[i];
    if (b < 0x80) {
      out.push_back(b);
      ++i;
      continue;
    }
    int need = 0;
    std::uint32_t cp = 0;
    unsigned char lo = 0x80, hi = 0xBF;
    if (b >= 0xC2 && b <= 0xDF) {
      need = 1;
      cp = b & 0x1F;
    } else if (b >= 0xE0 && b <= 0xEF) {
      need = 2;
      cp = b & 0x0F;
      if (b == 0xE0)
        lo = 0xA0;
      if (b == 0xED)
        hi = 0x9F;
    } else if (b >= 0xF0 && b <= 0xF4) {
      need = 3;
      cp = b & 0x07;
      if (b == 0xF0)
        lo = 0x90;
      if (b == 0xF4)
        hi = 0x8F;
    } else {
      out.push_back(0xFFFD);
      ++i;
      continue;
    }
    std::size_t j = i + 1;
    int got = 0;
    while (got < need && j < n) {
      const unsigned char c = p[j];
      if (c < lo || c > hi)
        break;
      cp = (cp << 6) | (c & 0x3F);
      lo = 0x80;
      hi = 0xBF;
      ++j;
      ++got;
    }
    if (got == need) {
      AppendCodePoint(out, cp);
    } else {
      out.push_back(0xFFFD);
    }
    i = j;
  }
  return out;
}

WString Decode(const std::string& bytes) {
  const auto* p = reinterpret_cast<const unsigned char*>(bytes.data());
  const std::size_t n = bytes.size();
  if (n >= 3 && p[0] == 0xEF && p[1] == 0xBB && p[2] == 0xBF)
    return DecodeUtf8(p + 3, n - 3);
  if (n >= 2 && ((p[0] == 0xFF && p[1] == 0xFE) || (p[0] == 0xFE && p[1] == 0xFF))) {
    const bool little = p[0] == 0xFF;
    WString out;
    out.reserve(n / 2);
    // A last odd byte becomes a character of its own (high byte zero).
    for (std::size_t i = 2; i < n; i += 2) {
      const unsigned a = p[i];
      const unsigned b = i + 1 < n ? p[i + 1] : 0;
      out.push_back(static_cast<char16_t>(little ? (a | (b << 8)) : ((a << 8) | b)));
    }
    return out;
  }
  WString out;
  out.reserve(n);
  for (std::size_t i = 0; i < n; ++i)
    out.push_back(AnsiToWide(p[i]));
  return out;
}

// ---- Parsing

bool IsBlank(char16_t c) {
  return (c >= 0x09 && c <= 0x0D) || c == 0x1A || c == 0x20;
}

// The text up to the first NUL, as every later use of a name or value sees it.
std::u16string_view CString(const char16_t* start, const char16_t* end) {
  const char16_t* nul = std::find(start, end, u'\0');
  return {start, static_cast<std::size_t>(nul - start)};
}

char16_t FoldChar(char16_t c) {
  return c >= u'A' && c <= u'Z' ? static_cast<char16_t>(c + 32) : c;
}

// Hash and equality of names compared without regard to case (ASCII letters only).
struct FoldHash {
  std::size_t operator()(std::u16string_view s) const {
    std::uint64_t h = 1469598103934665603ull;
    for (const char16_t c : s)
      h = (h ^ FoldChar(c)) * 1099511628211ull;
    return static_cast<std::size_t>(h);
  }
};
struct FoldEqual {
  bool operator()(std::u16string_view a, std::u16string_view b) const {
    if (a.size() != b.size())
      return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
      if (FoldChar(a[i]) != FoldChar(b[i]))
        return false;
    }
    return true;
  }
};
// Name -> position of the first entry of that name.
using NameIndex = std::unordered_map<std::u16string_view, std::size_t, FoldHash, FoldEqual>;
// Up to this many names are looked up one by one; more get an index.
constexpr std::size_t kIndexFrom = 8;

// Names and values point into the parsed file's text.
struct Key {
  std::u16string_view name;
  std::u16string_view value;
  bool hasValue = false;
};

struct Section {
  std::u16string_view name;
  std::vector<Key> keys;
  NameIndex index;  // when there are more than kIndexFrom keys
};

struct Profile {
  Profile() = default;
  // The views point into text: a Profile stays where it was parsed.
  Profile(const Profile&) = delete;
  Profile& operator=(const Profile&) = delete;

  WString text;
  std::vector<Section> sections;  // [0]: keys before any section header
  NameIndex index;                // when there are more than kIndexFrom sections
};

void AddSection(Profile& profile, std::u16string_view name) {
  profile.sections.emplace_back();
  profile.sections.back().name = name;
}

// Indexes entries (sections or keys) by name when there are more than kIndexFrom of them, as
// FindNamed expects; the first entry of a name keeps it.
template <typename Entry>
void IndexNames(const std::vector<Entry>& entries, NameIndex& index) {
  if (entries.size() <= kIndexFrom)
    return;
  index.reserve(entries.size());
  for (std::size_t i = 0; i < entries.size(); ++i) {
    index.emplace(entries[i].name, i);
  }
}

void BuildIndexes(Profile& profile) {
  IndexNames(profile.sections, profile.index);
  for (Section& section : profile.sections) {
    IndexNames(section.keys, section.index);
  }
}

void Parse(const std::string& bytes, Profile& profile) {
  profile.sections.clear();
  profile.index.clear();
  profile.text.clear();
  if (bytes.empty())
    return;  // an empty file has no sections at all
  profile.text = Decode(bytes);
  const WString& text = profile.text;
  AddSection(profile, std::u16string_view());
  const char16_t* const begin = text.data();
  const char16_t* const end = begin + text.size();
  const char16_t* next = begin;
  // The previous key of the current section; a nameless line right after a nameless key is
  // dropped.
  const Key* previous = nullptr;
  while (next < end) {
    const char16_t* start = next;
    while (next < end && *next != u'\n' && *next != u'\r')
      ++next;
    const char16_t* stop = next;
    while (next < end && (*next == u'\n' || *next == u'\r'))
      ++next;
    while (start < stop && IsBlank(*start))
      ++start;
    while (stop > start && IsBlank(stop[-1]))
      --stop;
    if (start >= stop)
      continue;

    if (*start == u'[') {
      const char16_t* close = stop;
      while (close > start && close[-1] != u']')
        --close;
      if (close > start) {
        // close points just past the last ']' of the line
        const char16_t* nameStart = start + 1;
        const char16_t* nameStop = close - 1;
        while (nameStart < nameStop && IsBlank(*nameStart))
          ++nameStart;
        while (nameStop > nameStart && IsBlank(nameStop[-1]))
          --nameStop;
        AddSection(profile, CString(nameStart, nameStop));
        previous = nullptr;
        continue;
      }
    }

    const char16_t* equals = std::find(start, stop, u'=');
    const char16_t* nameStop = stop;
    const char16_t* valueStart = nullptr;
    if (equals < stop) {
      nameStop = equals;
      while (nameStop > start && IsBlank(nameStop[-1]))
        --nameStop;
      valueStart = equals + 1;
      while (valueStart < stop && IsBlank(*valueStart))
        ++valueStart;
    }
    const bool rawNameEmpty = nameStop == start;
    if (rawNameEmpty && previous != nullptr && previous->name.empty())
      continue;

    Section& section = profile.sections.back();
    Key key;
    key.name = CString(start, nameStop);
    if (valueStart != nullptr) {
      key.hasValue = true;
      key.value = CString(valueStart, stop);
    }
    section.keys.push_back(key);
    previous = &section.keys.back();
  }
  BuildIndexes(profile);
}

// ---- Queries on the parsed file, in UTF-16. Each returns the characters that the caller's
// buffer receives before the terminating NUL (lists include their inner NULs).

// Copies a value or default into a buffer of size characters; a value enclosed in matching
// single or double quotes loses them, with the reference's off-by-one when the buffer is just
// too small for the closing quote.
WView CopyEntry(WView value, std::uint64_t size, bool stripQuotes) {
  std::size_t from = 0;
  std::size_t length = value.size();
  bool quoted = false;
  if (stripQuotes && length >= 2 && (value[0] == u'"' || value[0] == u'\'') &&
      value[length - 1] == value[0]) {
    quoted = true;
    from = 1;
    length -= 1;
  }
  std::size_t copied = static_cast<std::size_t>(std::min<std::uint64_t>(length, size - 1));
  if (quoted && size >= length && copied > 0)
    --copied;
  return value.substr(from, copied);
}

WView TrimBlanks(WView s) {
  std::size_t a = 0, b = s.size();
  while (a < b && IsBlank(s[a]))
    ++a;
  while (b > a && IsBlank(s[b - 1]))
    --b;
  return s.substr(a, b - a);
}

// The entry of entries (sections or keys) named name without regard to case: by the index
// when there is one, else by a walk.
template <typename Entry>
const Entry* FindNamed(const std::vector<Entry>& entries, const NameIndex& index, WView name) {
  if (entries.size() > kIndexFrom) {
    auto it = index.find(name);
    return it == index.end() ? nullptr : &entries[it->second];
  }
  for (const Entry& entry : entries) {
    if (FoldEqual()(entry.name, name))
      return &entry;
  }
  return nullptr;
}

const Section* FindSection(const Profile* profile, WView name) {
  return profile == nullptr ? nullptr : FindNamed(profile->sections, profile->index, name);
}

const Key* FindKey(const Profile* profile, WView section, WView key) {
  const Section* found = FindSection(profile, TrimBlanks(section));
  if (found == nullptr)
    return nullptr;
  return FindNamed(found->keys, found->index, TrimBlanks(key));
}

void SectionNames(const Profile* profile, std::uint64_t size, WString& out) {
  out.clear();
  if (profile == nullptr || size <= 1)
    return;
  std::uint64_t room = size - 1;
  for (const Section& section : profile->sections) {
    if (section.name.empty())
      continue;
    const std::uint64_t needed = section.name.size() + 1;
    if (needed >= room) {
      // The name that does not fit is cut; the caller gets size - 2 characters.
      out.append(section.name.substr(0, static_cast<std::size_t>(room - 1)));
      out.push_back(u'\0');
      out.resize(static_cast<std::size_t>(size - 2));
      return;
    }
    out += section.name;
    out.push_back(u'\0');
    room -= needed;
  }
}

// The key names of a section; an empty result (or one that starts with an empty name) means
// "use the default".
void KeyNames(const Section& section, std::uint64_t size, WString& out) {
  out.clear();
  std::uint64_t room = size;
  for (const Key& key : section.keys) {
    if (room <= 2)
      break;
    if (key.name.empty() && !key.hasValue)
      continue;
    if (!key.name.empty() && key.name[0] == u';')
      continue;  // comment line
    if (!key.hasValue)
      continue;  // line without '='
    const std::size_t copied =
        static_cast<std::size_t>(std::min<std::uint64_t>(key.name.size(), room - 2));
    out.append(key.name.substr(0, copied));
    out.push_back(u'\0');
    room -= copied + 1;
    if (room < 2)
      break;
  }
  if (room <= 1 && size >= 2)
    out.resize(static_cast<std::size_t>(size - 2));
}

// Room for the texts of one query, kept from one query to the next so that they allocate
// nothing once it has grown.
struct Scratch {
  WString section;
  WString key;
  WString defaultValue;
  WString text;
};

// GetPrivateProfileStringW on a parsed file; opened is false when the file could not be
// opened at all (as opposed to not existing). size >= 1. The result lies in the parse, the
// default or the scratch text.
WView QueryString(const Profile* profile, bool opened, const char* section, const char* key,
                  WView defaultValue, std::uint64_t size, Scratch& scratch) {
  if (section == nullptr) {
    if (!opened)
      return WView();
    SectionNames(profile, size, scratch.text);
    return scratch.text;
  }
  if (key == nullptr) {
    scratch.text.clear();
    if (opened && size > 1) {
      FromAnsi(section, scratch.section);
      if (const Section* found = FindSection(profile, scratch.section)) {
        KeyNames(*found, size, scratch.text);
      }
    }
    if (scratch.text.empty() || scratch.text[0] == u'\0')
      return CopyEntry(defaultValue, size, true);
    return scratch.text;
  }
  // The default loses its trailing spaces (not other blanks), but keeps at least one character.
  WView def = defaultValue;
  std::size_t keep = def.size();
  while (keep > 1 && def[keep - 1] == u' ')
    --keep;
  def = def.substr(0, keep);
  if (!opened)
    return CopyEntry(def, size, false);
  FromAnsi(section, scratch.section);
  FromAnsi(key, scratch.key);
  const Key* found = FindKey(profile, scratch.section, scratch.key);
  return CopyEntry(found != nullptr && found->hasValue ? WView(found->value) : def, size, true);
}

// RtlUnicodeStringToInteger with base 0: blanks and control characters skipped, one sign,
// 0x / 0o / 0b prefixes (lower case), digits up to the first invalid one, wrapping.
std::uint32_t ParseInteger(WView text) {
  std::size_t i = 0;
  const std::size_t n = text.size();
  while (i < n && text[i] <= u' ')
    ++i;
  bool minus = false;
  if (i < n && (text[i] == u'+' || text[i] == u'-')) {
    minus = text[i] == u'-';
    ++i;
  }
  std::uint32_t base = 10;
  if (n - i >= 2 && text[i] == u'0') {
    if (text[i + 1] == u'b')
      base = 2;
    if (text[i + 1] == u'o')
      base = 8;
    if (text[i + 1] == u'x')
      base = 16;
    if (base != 10)
      i += 2;
  }
  std::uint32_t total = 0;
  for (; i < n; ++i) {
    const char16_t c = text[i];
    std::uint32_t digit = 99;
    if (c >= u'0' && c <= u'9')
      digit = c - u'0';
    if (c >= u'A' && c <= u'Z')
      digit = c - u'A' + 10;
    if (c >= u'a' && c <= u'z')
      digit = c - u'a' + 10;
    if (digit >= base)
      break;
    total = total * base + digit;
  }
  return minus ? 0u - total : total;
}

}  // namespace

struct CProfileCache::Impl {
  // File times have the resolution of the kernel's clock tick, so a file rewritten within one
  // tick can keep its size, time and inode. A parse taken while the file was younger than this
  // is confirmed by comparing the file's bytes on the next call.
  static constexpr std::int64_t kTimeGrainNs = 50'000'000;

  struct Entry {
    std::uint64_t device = 0;
    std::uint64_t inode = 0;
    std::int64_t size = -1;
    std::int64_t mtimeNs = 0;
    std::size_t hash = 0;
    bool settled = false;  // parsed (or confirmed) long enough after the last change
    std::uint64_t lastUse = 0;
    Profile profile;
    bool bytesKept = false;
    std::string bytes;  // the file as read for the parse, when bytesKept
  };
  std::unordered_map<std::string, Entry> files;
  std::uint64_t uses = 0;
  Scratch scratch;

  static std::int64_t Now() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(
               std::chrono::system_clock::now().time_since_epoch())
        .count();
  }

  // Keeps the parses of the files used last; a run reads one file after another, so nothing of
  // an earlier one stays.
  void Evict() {
    while (files.size() > kMaxFiles) {
      auto oldest = files.begin();
      for (auto it = files.begin(); it != files.end(); ++it) {
        if (it->second.lastUse < oldest->second.lastUse) {
          oldest = it;
        }
      }
      files.erase(oldest);
    }
  }

  // The parsed file, or null when it does not exist; opened is false when it cannot be opened
  // (its directory is missing, it is a directory, or it cannot be read).
  const Profile* Load(const std::string& hostPath, const CKnown& known, bool& opened) {
    // No host path stands for a file that does not exist.
    opened = hostPath.empty();
    if (hostPath.empty())
      return nullptr;
    if (known.what == CKnown::EWhat::kTrusted) {
      const auto it = files.find(hostPath);
      if (it != files.end()) {
        it->second.lastUse = ++uses;
        opened = true;
        return &it->second.profile;
      }
    }
    struct stat st {};
    if (known.what == CKnown::EWhat::kStatus) {
      st = known.status;
    } else if (known.what == CKnown::EWhat::kMissing || ::stat(hostPath.c_str(), &st) != 0) {
      files.erase(hostPath);
      if (known.what == CKnown::EWhat::kMissing) {
        opened = known.directoryExists;
        return nullptr;
      }
      const std::size_t slash = hostPath.find_last_of('/');
      const std::string parent = slash == std::string::npos ? "." : hostPath.substr(0, slash + 1);
      struct stat dir {};
      opened = ::stat(parent.c_str(), &dir) == 0 && S_ISDIR(dir.st_mode);
      return nullptr;
    }
    if (!S_ISREG(st.st_mode)) {
      files.erase(hostPath);
      return nullptr;
    }
    const std::int64_t mtimeNs =
        static_cast<std::int64_t>(st.st_mtim.tv_sec) * 1'000'000'000 + st.st_mtim.tv_nsec;
    Entry& entry = files[hostPath];
    entry.lastUse = ++uses;
    const bool same = entry.size == static_cast<std::int64_t>(st.st_size) &&
                      entry.device == static_cast<std::uint64_t>(st.st_dev) &&
                      entry.inode == static_cast<std::uint64_t>(st.st_ino) &&
                      entry.mtimeNs == mtimeNs;
    if (same && entry.settled) {
      opened = true;
      return &entry.profile;
    }
    std::string bytes;
    int error = 0;
    if (!ReadHostFile(hostPath, bytes, error, st.st_size)) {
      files.erase(hostPath);
      return nullptr;
    }
    const std::size_t hash = std::hash<std::string>{}(bytes);
    if (!same || hash != entry.hash)
      Parse(bytes, entry.profile);
    entry.bytesKept = bytes.size() <= kMaxBytesKept;
    if (entry.bytesKept)
      entry.bytes = std::move(bytes);
    else
      entry.bytes.clear();
    entry.device = static_cast<std::uint64_t>(st.st_dev);
    entry.inode = static_cast<std::uint64_t>(st.st_ino);
    entry.size = static_cast<std::int64_t>(st.st_size);
    entry.mtimeNs = mtimeNs;
    entry.hash = hash;
    entry.settled = mtimeNs + kTimeGrainNs < Now();
    opened = true;
    const Profile* profile = &entry.profile;
    Evict();  // never the entry just used: it is the newest
    return profile;
  }
};

CProfileCache::CProfileCache() : impl_(std::make_unique<Impl>()) {}
CProfileCache::~CProfileCache() = default;

const std::string* CProfileCache::Bytes(const std::string& hostPath) const {
  const auto it = impl_->files.find(hostPath);
  return it != impl_->files.end() && it->second.bytesKept ? &it->second.bytes : nullptr;
}

win::DWORD CProfileCache::GetString(const char* section, const char* key, const char* defaultValue,
                                    char* buffer, win::DWORD size, const std::string& hostPath) {
  return GetString(section, key, defaultValue, buffer, size, hostPath, CKnown());
}

win::UINT CProfileCache::GetInt(const char* section, const char* key, int defaultValue,
                                const std::string& hostPath) {
  return GetInt(section, key, defaultValue, hostPath, CKnown());
}

win::DWORD CProfileCache::GetString(const char* section, const char* key, const char* defaultValue,
                                    char* buffer, win::DWORD size, const std::string& hostPath,
                                    const CKnown& known) {
  if (buffer == nullptr || size == 0)
    return 0;
  bool opened = false;
  const Profile* profile = impl_->Load(hostPath, known, opened);
  FromAnsi(defaultValue != nullptr ? defaultValue : "", impl_->scratch.defaultValue);
  const WView text =
      QueryString(profile, opened, section, key, impl_->scratch.defaultValue, size, impl_->scratch);
  // Every UTF-16 unit becomes one byte of the ANSI code page; the text never fills the buffer.
  const std::size_t count = std::min<std::size_t>(text.size(), size - 1);
  for (std::size_t i = 0; i < count; ++i)
    buffer[i] = WideToAnsi(text[i]);
  buffer[count] = '\0';
  return static_cast<win::DWORD>(count);
}

win::UINT CProfileCache::GetInt(const char* section, const char* key, int defaultValue,
                                const std::string& hostPath, const CKnown& known) {
  bool opened = false;
  const Profile* profile = impl_->Load(hostPath, known, opened);
  // The value is read into a buffer of 30 characters, as the reference does.
  const WView text = QueryString(profile, opened, section, key, WView(), 30, impl_->scratch);
  if (text.empty() || text[0] == u'\0')
    return static_cast<win::UINT>(defaultValue);
  return ParseInteger(text.substr(0, text.find(u'\0')));
}
