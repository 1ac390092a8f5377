#include "profile/file_names.h"

#include "platform/ansi_text.h"

#include <array>
#include <string_view>

namespace {

bool IsForbiddenCharacter(unsigned char c) {
  return c < 0x20 ||
         std::string_view("\\/:*?\"<>|").find(static_cast<char>(c)) != std::string_view::npos;
}

}  // namespace

std::string FoldCase(const std::string& name) {
  return ansi::Fold(name);
}

bool IsDeviceName(const std::string& name) {
  // Windows ignores an extension and blanks before it when it recognises a device name.
  std::string base = FoldCase(name.substr(0, name.find('.')));
  while (!base.empty() && base.back() == ' ') {
    base.pop_back();
  }
  static constexpr std::array<std::string_view, 4> kPlain = {"CON", "PRN", "AUX", "NUL"};
  for (const std::string_view device : kPlain) {
    if (base == device) {
      return true;
    }
  }
  if (base.size() != 4 || (base.compare(0, 3, "COM") != 0 && base.compare(0, 3, "LPT") != 0)) {
    return false;
  }
  // COM0 to COM9 and LPT0 to LPT9, and the superscript digits 1 to 3 of Windows-1252.
  const auto digit = static_cast<unsigned char>(base[3]);
  return (digit >= '0' && digit <= '9') || digit == 0xB9 || digit == 0xB2 || digit == 0xB3;
}

bool IsPlainFileName(const std::string& name) {
  const std::string stored = StoredFileName(name);
  if (stored.empty() || IsDeviceName(stored)) {
    return false;
  }
  for (const char c : name) {
    if (IsForbiddenCharacter(static_cast<unsigned char>(c))) {
      return false;
    }
  }
  return true;
}

std::string StoredFileName(const std::string& name) {
  const size_t end = name.find_last_not_of(". ");
  return end == std::string::npos ? std::string() : name.substr(0, end + 1);
}

std::string SafeFileName(const std::string& name) {
  std::string safe(name);
  for (char& c : safe) {
    if (IsForbiddenCharacter(static_cast<unsigned char>(c))) {
      c = '_';
    }
  }
  safe = StoredFileName(safe);
  if (safe.empty() || IsDeviceName(safe)) {
    return "_" + safe;
  }
  return safe;
}
