// checkvela for POSIX hosts: runs CheckVela on an emulated Windows machine.
#include <unistd.h>

#include <climits>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <iostream>
#include <string>

#include "app/app.h"
#include "platform/emulated/emulated_platform.h"
#include "resource.h"

namespace {

// The machine root: $CHECKVELA_MACHINE, else the nearest directory above the executable that
// holds drive_c. Empty when there is none.
std::string FindMachineRoot(const std::string& executable) {
  if (const char* root = std::getenv("CHECKVELA_MACHINE"); root != nullptr && *root != '\0') {
    return root;
  }
  namespace fs = std::filesystem;
  std::error_code ignored;
  for (fs::path dir = fs::path(executable).parent_path(); !dir.empty(); dir = dir.parent_path()) {
    if (fs::is_directory(dir / "drive_c", ignored)) {
      return dir.string();
    }
    if (dir == dir.root_path()) {
      break;
    }
  }
  return {};
}

// Splits "<file>: line N: reason" as LoadRegistry reports a malformed file.
void SplitRegistryError(const std::string& error, const std::string& file, unsigned long& line,
                        std::string& reason) {
  line = 0;
  reason = error;
  std::string rest = error;
  if (rest.compare(0, file.size() + 2, file + ": ") == 0) {
    rest = rest.substr(file.size() + 2);
    reason = rest;
  }
  if (rest.compare(0, 5, "line ") == 0) {
    char* end = nullptr;
    line = std::strtoul(rest.c_str() + 5, &end, 10);
    if (end != nullptr && end[0] == ':') {
      reason = end + (end[1] == ' ' ? 2 : 1);
    }
  }
}

}  // namespace

int main() {
  std::error_code ignored;
  const std::string executable = std::filesystem::read_symlink("/proc/self/exe", ignored).string();
  const std::string root = FindMachineRoot(executable);
  if (root.empty()) {
    std::cerr << "CheckVela: no emulated machine found (set CHECKVELA_MACHINE or place the "
                 "program below a directory holding drive_c)\n";
    return 2;
  }

  // An empty module path and current directory stand for the executable's and the process's
  // own, mapped onto the machine.
  CEmulatedMachineOptions options;
  options.root = root;
  CEmulatedPlatform platform(options);

  std::string error;
  if (!platform.LoadRegistry(error)) {
    // Nothing runs and nothing is saved over a registry file that cannot be read.
    const std::string file = root + "/registry.reg";
    unsigned long line = 0;
    std::string reason;
    SplitRegistryError(error, file, line, reason);
    const std::string format = platform.LoadStringA(IDS_REGISTRY_FILE_INVALID);
    const std::string windowsFile = platform.WindowsPath(file);
    const int size =
        std::snprintf(nullptr, 0, format.c_str(), windowsFile.c_str(), line, reason.c_str());
    std::string text(size > 0 ? static_cast<size_t>(size) : 0, '\0');
    std::snprintf(text.data(), text.size() + 1, format.c_str(), windowsFile.c_str(), line,
                  reason.c_str());
    platform.MessageBoxA(text, win::kMbOk | win::kMbIconStop);
    return 0;
  }

  const int status = RunCheckVela(platform);
  // The run's flushes saved what it wrote already: only a change since then is saved here.
  if (!platform.SaveRegistryIfChanged(error)) {
    std::cerr << "CheckVela: cannot save the registry: " << error << "\n";
    return 1;
  }
  return status;
}
