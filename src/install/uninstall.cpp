#include <algorithm>
#include <vector>

#include "install/install.h"
#include "platform/ansi_text.h"
#include "profile/backup.h"
#include "profile/registry_copy.h"

namespace {

constexpr const char* kUninstallKeyPath = "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall";
constexpr win::DWORD kNameBufferSize = 256;

// The whole "UninstallString" of an entry, read however long it is. Empty when the value is
// missing, empty or not a string.
std::string ReadUninstallString(CPlatform& platform, win::HKEY entry) {
  win::DWORD type = 0;
  win::DWORD size = 0;
  if (platform.RegQueryValueExA(entry, "UninstallString", &type, nullptr, &size) !=
          win::kErrorSuccess ||
      (type != win::kRegSz && type != win::kRegExpandSz) || size == 0) {
    return std::string();
  }
  std::vector<unsigned char> data(size);
  if (platform.RegQueryValueExA(entry, "UninstallString", &type, data.data(), &size) !=
      win::kErrorSuccess) {
    return std::string();
  }
  std::string text(reinterpret_cast<const char*>(data.data()), size);
  return text.substr(0, text.find('\0'));
}

// Writes text as REG_SZ with its terminating NUL.
win::LONG SetCommandValue(CPlatform& platform, win::HKEY key, const std::string& text) {
  return platform.RegSetValueExA(key, "UninstallString", win::kRegSz,
                                 reinterpret_cast<const unsigned char*>(text.c_str()),
                                 static_cast<win::DWORD>(text.size() + 1));
}

// The short path of delvela.exe in the program directory, quoted when it still holds a blank;
// empty when the system cannot give it (the file is missing).
std::string NewUninstallCommand(CPlatform& platform) {
  const std::string uninstaller = GetProgramDirectory(platform) + "delvela.exe";
  std::string command = ShortPath(platform, uninstaller);
  if (command.empty()) {
    return command;
  }
  if (command.find(' ') != std::string::npos) {
    command = "\"" + command + "\"";
  }
  return command;
}

}  // namespace

std::string FindUninstallEntry(CPlatform& platform) {
  CRegKey uninstall(platform);
  if (uninstall.Open(win::kHkeyLocalMachine, kUninstallKeyPath) != win::kErrorSuccess) {
    return std::string();
  }
  win::DWORD subKeys = 0;
  win::DWORD longestName = 0;
  if (platform.RegQueryInfoKeyA(uninstall.Get(), &subKeys, &longestName) != win::kErrorSuccess) {
    return std::string();
  }
  for (win::DWORD i = 0; i < subKeys; ++i) {
    char name[kNameBufferSize] = {};
    win::DWORD nameLength = std::min<win::DWORD>(longestName + 1, kNameBufferSize);
    if (platform.RegEnumKeyExA(uninstall.Get(), subKeys - i - 1, name, &nameLength) !=
        win::kErrorSuccess) {
      continue;
    }
    const std::string entryName(name, nameLength);
    // The first such entry ends the search, whatever follows.
    if (entryName.rfind("Vela", 0) == 0) {
      return std::string(kUninstallKeyPath) + "\\" + entryName;
    }
  }
  return std::string();
}

void HandOverUninstallEntry(CPlatform& platform, const std::function<bool()>& beforeFirstChange) {
  const std::string entryPath = FindUninstallEntry(platform);
  if (entryPath.empty()) {
    return;
  }
  std::string oldCommand;
  {
    CRegKey entry(platform);
    if (entry.Open(win::kHkeyLocalMachine, entryPath.c_str()) == win::kErrorSuccess) {
      oldCommand = ReadUninstallString(platform, entry.Get());
    }
  }
  // The short path that an earlier run wrote may come back in capitals (DELVELA.EXE); writing
  // again would replace the saved old command, which is kept nowhere else.
  if (oldCommand.empty() || ansi::Fold(oldCommand).find("DELVELA.EXE") != std::string::npos) {
    return;
  }
  // Decided before anything is written: the entry is never pointed at nothing.
  const std::string newCommand = NewUninstallCommand(platform);
  if (newCommand.empty()) {
    return;
  }
  if (beforeFirstChange && !beforeFirstChange()) {
    return;
  }
  {
    CRegKey product(platform);
    if (product.Create(win::kHkeyLocalMachine, kProductKeyPath) != win::kErrorSuccess ||
        SetCommandValue(platform, product.Get(), oldCommand) != win::kErrorSuccess) {
      return;
    }
  }
  CRegKey entry(platform);
  if (entry.Open(win::kHkeyLocalMachine, entryPath.c_str()) == win::kErrorSuccess) {
    SetCommandValue(platform, entry.Get(), newCommand);
  }
}
