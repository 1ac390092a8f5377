#include "profile/registry_copy.h"

#include <array>

#include "platform/ansi_text.h"

namespace {

// Opens the product key and then subKeyPath below it, creating what is missing. Both keys stay
// open until the object goes; Target() is 0 when either could not be had.
class CTargetKey {
 public:
  CTargetKey(CPlatform& platform, const std::string& subKeyPath)
      : product_(platform), target_(platform) {
    if (product_.Create(win::kHkeyLocalMachine, kProductKeyPath) == win::kErrorSuccess) {
      if (target_.Create(product_.Get(), subKeyPath.c_str()) != win::kErrorSuccess) {
        target_.Close();
      }
    }
  }
  win::HKEY Target() const { return target_.Get(); }

 private:
  // Declared in this order so that the subkey closes before the product key.
  CRegKey product_;
  CRegKey target_;
};

void WriteEntries(CPlatform& platform, win::HKEY key, const CMapStringToString& map, bool allText) {
  for (const auto& [name, value] : map) {
    SetValueByDigitsRule(platform, key, name, value, allText);
  }
}

}  // namespace

bool IsAllDigits(const std::string& text) {
  return !text.empty() && text.find_first_not_of("0123456789") == std::string::npos;
}

win::DWORD DigitsToDword(const std::string& digits) {
  win::DWORD value = 0;
  for (const char c : digits) {
    value = value * 10U + static_cast<win::DWORD>(c - '0');
  }
  return value;
}

win::LONG SetDwordValue(CPlatform& platform, win::HKEY key, const std::string& name,
                        win::DWORD value) {
  const std::array<unsigned char, 4> bytes = {
      static_cast<unsigned char>(value), static_cast<unsigned char>(value >> 8),
      static_cast<unsigned char>(value >> 16), static_cast<unsigned char>(value >> 24)};
  return platform.RegSetValueExA(key, name.c_str(), win::kRegDword, bytes.data(), 4);
}

win::LONG SetTextValue(CPlatform& platform, win::HKEY key, const std::string& name,
                       const std::string& text) {
  return platform.RegSetValueExA(key, name.c_str(), win::kRegSz,
                                 reinterpret_cast<const unsigned char*>(text.data()),
                                 static_cast<win::DWORD>(text.size()));
}

void SetValueByDigitsRule(CPlatform& platform, win::HKEY key, const std::string& name,
                          const std::string& value, bool allText) {
  if (value.empty()) {
    return;
  }
  if (!allText && IsAllDigits(value)) {
    SetDwordValue(platform, key, name, DigitsToDword(value));
  } else {
    SetTextValue(platform, key, name, value);
  }
}

void WriteMapToKey(CPlatform& platform, const CMapStringToString& map,
                   const std::string& subKeyPath, bool allText) {
  const CTargetKey target(platform, subKeyPath);
  if (target.Target() != 0) {
    WriteEntries(platform, target.Target(), map, allText);
  }
}

void CopySectionToKey(CPlatform& platform, const CIni& ini, const std::string& section,
                      const std::string& subKeyPath, bool allText) {
  CMapStringToString map;
  ini.GetSection(section, map);
  WriteMapToKey(platform, map, subKeyPath, allText);
}

std::string HexPairsToBytes(const std::string& text) {
  std::string bytes;
  const size_t count = text.size() / 2;
  bytes.reserve(count);
  for (size_t i = 0; i < count; ++i) {
    const char pair[2] = {text[2 * i], text[2 * i + 1]};
    size_t pos = 0;
    while (pos < 2 && pair[pos] == ' ') {
      ++pos;
    }
    // Reading stops at the first character that is no hexadecimal digit; a pair without any
    // digit gives 0.
    unsigned value = 0;
    for (; pos < 2 && ansi::HexDigit(pair[pos]) >= 0; ++pos) {
      value = value * 16U + static_cast<unsigned>(ansi::HexDigit(pair[pos]));
    }
    bytes.push_back(static_cast<char>(value));
  }
  return bytes;
}

void WritePrintSettingsToKey(CPlatform& platform, CMapStringToString& map,
                             const std::string& subKeyPath) {
  const CTargetKey target(platform, subKeyPath);
  if (target.Target() == 0) {
    return;
  }
  // The names are looked up as spelled here; where one is found, its other spellings go, so that
  // none of them replaces the converted value in the registry.
  for (const char* measure : {"Top", "Bottom", "Left", "Right", "CharsPerInch", "LinesPerInch"}) {
    const auto entry = map.find(measure);
    if (entry == map.end()) {
      continue;
    }
    std::string value = entry->second;
    if (value.find('.') == std::string::npos) {
      value += ".0";
    }
    SetEntryNoCase(map, measure, std::move(value));
  }
  for (const char* sequence : {"InsertBytes", "AppendBytes", "PageSeperator", "ModeBytes"}) {
    const auto entry = map.find(sequence);
    if (entry == map.end()) {
      continue;
    }
    if (entry->second.size() < 2) {
      SetEntryNoCase(map, sequence, entry->second);  // written below by the digits rule
      continue;
    }
    const std::string bytes = HexPairsToBytes(entry->second);
    platform.RegSetValueExA(target.Target(), sequence, win::kRegBinary,
                            reinterpret_cast<const unsigned char*>(bytes.data()),
                            static_cast<win::DWORD>(bytes.size()));
    RemoveEntryNoCase(map, sequence);
  }
  WriteEntries(platform, target.Target(), map, false);
}
