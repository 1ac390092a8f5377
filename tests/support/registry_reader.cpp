#include "support/registry_reader.h"

#include <iomanip>
#include <ostream>

std::optional<CRegValue> ReadValue(CPlatform& platform, const std::string& keyPath,
                                   const std::string& name) {
  CRegKey key(platform);
  if (key.Open(win::kHkeyLocalMachine, keyPath.c_str()) != win::kErrorSuccess) {
    return std::nullopt;
  }
  CRegValue value;
  win::DWORD size = 0;
  if (platform.RegQueryValueExA(key.Get(), name.c_str(), &value.type, nullptr, &size) !=
      win::kErrorSuccess) {
    return std::nullopt;
  }
  std::string data(size, '\0');
  if (platform.RegQueryValueExA(key.Get(), name.c_str(), &value.type,
                                reinterpret_cast<unsigned char*>(data.data()),
                                &size) != win::kErrorSuccess) {
    return std::nullopt;
  }
  data.resize(size);
  value.data = data;
  return value;
}

bool KeyExists(CPlatform& platform, const std::string& keyPath) {
  CRegKey key(platform);
  return key.Open(win::kHkeyLocalMachine, keyPath.c_str()) == win::kErrorSuccess;
}

std::vector<std::string> SubKeys(CPlatform& platform, const std::string& keyPath) {
  std::vector<std::string> names;
  CRegKey key(platform);
  if (key.Open(win::kHkeyLocalMachine, keyPath.c_str()) != win::kErrorSuccess) {
    return names;
  }
  for (win::DWORD index = 0;; ++index) {
    char name[256];
    win::DWORD length = sizeof name;
    if (platform.RegEnumKeyExA(key.Get(), index, name, &length) != win::kErrorSuccess) {
      break;
    }
    names.emplace_back(name, length);
  }
  return names;
}

std::vector<std::string> ValueNames(CPlatform& platform, const std::string& keyPath) {
  std::vector<std::string> names;
  CRegKey key(platform);
  if (key.Open(win::kHkeyLocalMachine, keyPath.c_str()) != win::kErrorSuccess) {
    return names;
  }
  for (win::DWORD index = 0;; ++index) {
    char name[16384];
    win::DWORD length = sizeof name;
    win::DWORD type = 0;
    if (platform.RegEnumValueA(key.Get(), index, name, &length, &type, nullptr, nullptr) !=
        win::kErrorSuccess) {
      break;
    }
    names.emplace_back(name, length);
  }
  return names;
}

CRegValue Sz(const std::string& text) {
  return {win::kRegSz, text + '\0'};
}
CRegValue Dword(win::DWORD value) {
  std::string bytes(4, '\0');
  for (int i = 0; i < 4; ++i) {
    bytes[i] = static_cast<char>(value >> (8 * i));
  }
  return {win::kRegDword, bytes};
}
CRegValue Binary(const std::string& bytes) {
  return {win::kRegBinary, bytes};
}

std::ostream& operator<<(std::ostream& out, const CRegValue& value) {
  out << "type " << value.type << " [";
  for (const char c : value.data) {
    const auto byte = static_cast<unsigned char>(c);
    if (byte >= 0x20 && byte < 0x7F) {
      out << c;
    } else {
      out << "\\x" << std::hex << std::setw(2) << std::setfill('0') << static_cast<int>(byte)
          << std::dec;
    }
  }
  return out << "]";
}
