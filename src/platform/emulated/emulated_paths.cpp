// Path mapping of the emulated machine: Windows paths to host paths and back.
#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <climits>
#include <cstdlib>
#include <filesystem>

#include "platform/emulated/codepage.h"
#include "platform/emulated/directory_index.h"
#include "platform/emulated/emulated_platform.h"

namespace {

bool IsSeparator(char c) {
  return c == '\\' || c == '/';
}

bool IsDirectory(const std::string& host) {
  struct stat st;
  return ::stat(host.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

bool Exists(const std::string& host) {
  struct stat st;
  return ::stat(host.c_str(), &st) == 0;
}

// Characters that Windows does not allow in a file name.
bool HasForbiddenCharacter(const std::string& name) {
  for (char c : name) {
    const auto u = static_cast<unsigned char>(c);
    if (u < 0x20 || c == '<' || c == '>' || c == ':' || c == '"' || c == '|' || c == '?' ||
        c == '*') {
      return true;
    }
  }
  return false;
}

// The host entry of directory that matches the ANSI name without regard to case; the exact
// spelling wins. Empty when there is none.
std::string FindEntry(const std::string& directory, const std::string& ansiName) {
  std::string exact = codepage::AnsiToUtf8(ansiName);
  const std::string base = directory == "/" ? "" : directory;
  if (Exists(base + "/" + exact)) {
    return exact;
  }
  std::string found;
  if (directory_index::Find(directory, ansiName, found)) {
    return found;
  }
  return directory_index::Scan(directory, ansiName);
}

std::string HostCurrentDirectory() {
  char buffer[PATH_MAX];
  if (::getcwd(buffer, sizeof buffer) == nullptr) {
    return "/";
  }
  return buffer;
}

}  // namespace

bool CEmulatedPlatform::ParseWindowsPath(const std::string& path, ParsedPath& parsed) const {
  parsed = ParsedPath{};
  if (path.empty() || (path.size() >= 2 && IsSeparator(path[0]) && IsSeparator(path[1]))) {
    return false;  // no path, or a UNC path: no drive of this machine
  }
  size_t pos = 0;
  bool absolute = false;
  if (path.size() >= 2 && std::isalpha(static_cast<unsigned char>(path[0])) && path[1] == ':') {
    parsed.drive = static_cast<char>(std::toupper(static_cast<unsigned char>(path[0])));
    pos = 2;
    // "X:name" is relative to the current directory when that is on X:, else to X:'s root.
    absolute =
        (pos < path.size() && IsSeparator(path[pos])) || parsed.drive != currentDirectory_.drive;
  } else {
    parsed.drive = currentDirectory_.drive;
    absolute = IsSeparator(path[0]);
  }
  if (!absolute) {
    parsed.components = currentDirectory_.components;
  }
  parsed.trailingSeparator = IsSeparator(path.back());
  while (pos <= path.size()) {
    size_t end = pos;
    while (end < path.size() && !IsSeparator(path[end])) {
      ++end;
    }
    std::string name = path.substr(pos, end - pos);
    pos = end + 1;
    if (name == ".") {
      continue;
    }
    if (name == "..") {
      if (!parsed.components.empty()) {
        parsed.components.pop_back();
      }
      continue;
    }
    // Windows drops trailing dots and spaces from a name.
    while (!name.empty() && (name.back() == '.' || name.back() == ' ')) {
      name.pop_back();
    }
    if (!name.empty()) {
      parsed.components.push_back(std::move(name));
    }
  }
  return parsed.drive != 0;
}

CEmulatedPlatform::HostTarget CEmulatedPlatform::Resolve(const char* windowsPath) const {
  HostTarget target;
  ParsedPath parsed;
  if (windowsPath == nullptr || !ParseWindowsPath(windowsPath, parsed)) {
    target.error = win::kErrorPathNotFound;
    return target;
  }
  target.trailingSeparator = parsed.trailingSeparator;
  std::string host =
      parsed.drive == 'Z'
          ? std::string("/")
          : options_.root + "/drive_" +
                static_cast<char>(std::tolower(static_cast<unsigned char>(parsed.drive)));
  // The common case: the path exists exactly as spelled, and one call resolves it. The walk
  // below would find the same names, since an exact spelling wins at every level.
  {
    std::string exact = host;
    bool allowed = true;
    for (const std::string& name : parsed.components) {
      allowed = allowed && !HasForbiddenCharacter(name);
      exact += (exact == "/" ? "" : "/") + codepage::AnsiToUtf8(name);
    }
    if (allowed && Exists(exact)) {
      target.host = std::move(exact);
      return target;
    }
  }
  bool lookUp = IsDirectory(host);
  for (const std::string& name : parsed.components) {
    if (target.error == 0 && HasForbiddenCharacter(name)) {
      target.error = win::kErrorInvalidName;
    }
    std::string hostName;
    if (lookUp) {
      hostName = FindEntry(host, name);
    }
    if (hostName.empty()) {
      lookUp = false;
      hostName = codepage::AnsiToUtf8(name);
    }
    if (host != "/") {
      host += '/';
    }
    host += hostName;
    lookUp = lookUp && IsDirectory(host);
  }
  target.host = std::move(host);
  return target;
}

std::string CEmulatedPlatform::HostPath(const std::string& windowsPath) const {
  return Resolve(windowsPath.c_str()).host;
}

std::string CEmulatedPlatform::WindowsPath(const std::string& hostPath) const {
  namespace fs = std::filesystem;
  fs::path path(hostPath);
  if (!path.is_absolute()) {
    path = fs::path(HostCurrentDirectory()) / path;
  }
  std::string normal = path.lexically_normal().string();
  while (normal.size() > 1 && normal.back() == '/') {
    normal.pop_back();
  }
  std::string windows;
  for (const std::string& root : rootAliases_) {
    const std::string prefix = root + "/drive_";
    if (normal.size() > prefix.size() && normal.compare(0, prefix.size(), prefix) == 0 &&
        std::isalpha(static_cast<unsigned char>(normal[prefix.size()])) &&
        (normal.size() == prefix.size() + 1 || normal[prefix.size() + 1] == '/')) {
      windows = std::string(1, static_cast<char>(std::toupper(
                                   static_cast<unsigned char>(normal[prefix.size()])))) +
                ":\\" + normal.substr(std::min(normal.size(), prefix.size() + 2));
      break;
    }
  }
  if (windows.empty()) {
    windows = "Z:\\" + normal.substr(1);
  }
  for (char& c : windows) {
    if (c == '/') {
      c = '\\';
    }
  }
  return codepage::Utf8ToAnsi(windows);
}
