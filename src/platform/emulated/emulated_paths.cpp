// Path mapping of the emulated machine: Windows paths to host paths and back.
#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <cctype>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <filesystem>

#include "platform/emulated/codepage.h"
#include "platform/emulated/directory_index.h"
#include "platform/emulated/emulated_platform.h"

namespace {

bool IsSeparator(char c) {
  return c == '\\' || c == '/';
}

// Drive letters are ASCII letters, whatever the locale.
bool IsDriveLetter(char c) {
  return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z');
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
bool HasForbiddenCharacter(std::string_view name) {
  static constexpr auto kForbidden = [] {
    std::array<bool, 256> forbidden{};
    for (int c = 0; c < 0x20; ++c) {
      forbidden[c] = true;
    }
    for (const unsigned char c : {'<', '>', ':', '"', '|', '?', '*'}) {
      forbidden[c] = true;
    }
    return forbidden;
  }();
  for (const char c : name) {
    if (kForbidden[static_cast<unsigned char>(c)]) {
      return true;
    }
  }
  return false;
}

// Appends the ANSI name to a host path as one more component.
void AppendName(std::string& host, std::string_view ansiName) {
  if (host.size() != 1 || host[0] != '/') {
    host += '/';
  }
  codepage::AppendAnsiAsUtf8(host, ansiName);
}

// The host entry of directory that matches the ANSI name without regard to case; the exact
// spelling wins. Empty when there is none. Without indexes (posixOnly) the directory is read.
std::string FindEntry(const std::string& directory, std::string_view ansiName, bool& changesRead,
                      bool indexes) {
  std::string exact = directory;
  AppendName(exact, ansiName);
  if (Exists(exact)) {
    return exact.substr(directory == "/" ? 1 : directory.size() + 1);
  }
  struct stat st;
  if (::stat(directory.c_str(), &st) != 0) {
    return {};
  }
  std::string found;
  if (indexes && directory_index::Find(directory, st, ansiName, found, changesRead) !=
                     directory_index::EAnswer::kNotIndexed) {
    return found;
  }
  return directory_index::Scan(directory, ansiName, indexes);
}

std::string HostCurrentDirectory() {
  char buffer[PATH_MAX];
  if (::getcwd(buffer, sizeof buffer) == nullptr) {
    return "/";
  }
  return buffer;
}

}  // namespace

bool CEmulatedPlatform::ParseWindowsPath(std::string_view path, ParsedPath& parsed) const {
  parsed.drive = 0;
  parsed.components.clear();
  parsed.trailingSeparator = false;
  if (path.empty() || (path.size() >= 2 && IsSeparator(path[0]) && IsSeparator(path[1]))) {
    return false;  // no path, or a UNC path: no drive of this machine
  }
  size_t pos = 0;
  bool absolute = false;
  if (path.size() >= 2 && IsDriveLetter(path[0]) && path[1] == ':') {
    parsed.drive = static_cast<char>(path[0] & ~0x20);
    pos = 2;
    // "X:name" is relative to the current directory when that is on X:, else to X:'s root.
    absolute =
        (pos < path.size() && IsSeparator(path[pos])) || parsed.drive != currentDirectory_.drive;
  } else {
    parsed.drive = currentDirectory_.drive;
    absolute = IsSeparator(path[0]);
  }
  parsed.components.reserve(16);
  if (!absolute) {
    parsed.components = currentDirectory_.components;
  }
  parsed.trailingSeparator = IsSeparator(path.back());
  while (pos <= path.size()) {
    size_t end = pos;
    while (end < path.size() && !IsSeparator(path[end])) {
      ++end;
    }
    std::string_view name = path.substr(pos, end - pos);
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
      name.remove_suffix(1);
    }
    if (!name.empty()) {
      parsed.components.push_back(name);
    }
  }
  return parsed.drive != 0;
}

const CEmulatedPlatform::DirectoryText* CEmulatedPlatform::KnownDirectory(
    std::string_view path, std::string_view& name) const {
  size_t separator = path.size();
  while (separator > 0 && !IsSeparator(path[separator - 1])) {
    --separator;
  }
  if (separator == 0) {
    return nullptr;
  }
  --separator;
  name = path.substr(separator + 1);
  // Windows drops trailing dots and spaces from a name; "." and ".." (and a name of dots) are
  // no name in the directory, and a path that ends in a separator names the directory itself.
  while (!name.empty() && (name.back() == '.' || name.back() == ' ')) {
    name.remove_suffix(1);
  }
  if (name.empty()) {
    return nullptr;
  }
  const std::string_view text = path.substr(0, separator + 1);
  if (const auto known = directories_.find(text); known != directories_.end()) {
    return &known->second;
  }
  ParsedPath parsed;
  if (!ParseWindowsPath(text, parsed)) {
    return nullptr;
  }
  if (directories_.size() >= kMaxDirectories) {
    directories_.clear();
  }
  DirectoryText directory;
  std::string& host = directory.host;
  if (parsed.drive == 'Z') {
    host = "/";
  } else {
    host = options_.root;
    host += "/drive_";
    host += static_cast<char>(parsed.drive | 0x20);
  }
  directory.rootLength = host.size();
  for (const std::string_view component : parsed.components) {
    directory.allowed = directory.allowed && !HasForbiddenCharacter(component);
    AppendName(host, component);
  }
  return &directories_.emplace(std::string(text), std::move(directory)).first->second;
}

CEmulatedPlatform::HostTarget CEmulatedPlatform::Resolve(const char* windowsPath, bool lastLink,
                                                         bool* changesRead, bool trustMade) const {
  // The changes to indexed directories are read once per call of the program.
  bool ownChangesRead = false;
  bool& read = changesRead != nullptr ? *changesRead : ownChangesRead;
  HostTarget target;
  if (windowsPath == nullptr) {
    target.error = win::kErrorPathNotFound;
    return target;
  }
  ParsedPath& parsed = resolveParsed_;
  std::string& host = target.host;
  size_t rootLength = 0;
  size_t parentLength = 0;
  bool allowed = true;
  // The last name, and whether there is one (a drive's root has none).
  std::string_view lastName;
  bool hasName = false;
  // A path in a directory resolved before: its host text is known, and only the name is new.
  // Otherwise the whole path is parsed here; the walk below needs it parsed in any case.
  bool parsedWhole = false;
  if (const DirectoryText* directory = KnownDirectory(windowsPath, lastName)) {
    host.reserve(directory->host.size() + 2 * lastName.size() + 1);
    host = directory->host;
    rootLength = directory->rootLength;
    parentLength = host.size();
    AppendName(host, lastName);
    allowed = directory->allowed && !HasForbiddenCharacter(lastName);
    hasName = true;
  } else {
    if (!ParseWindowsPath(windowsPath, parsed)) {
      target.error = win::kErrorPathNotFound;
      return target;
    }
    parsedWhole = true;
    target.trailingSeparator = parsed.trailingSeparator;
    if (parsed.drive == 'Z') {
      host = "/";
    } else {
      host.reserve(options_.root.size() + 8 + std::strlen(windowsPath));
      host = options_.root;
      host += "/drive_";
      host += static_cast<char>(parsed.drive | 0x20);
    }
    rootLength = host.size();
    parentLength = host.size();
    for (const std::string_view name : parsed.components) {
      allowed = allowed && !HasForbiddenCharacter(name);
      parentLength = host.size();
      AppendName(host, name);
    }
    hasName = !parsed.components.empty();
    if (hasName) {
      lastName = parsed.components.back();
    }
  }
  if (allowed && trustMade) {
    if (const auto made = made_.find(host); made != made_.end()) {
      target.found = EFound::kExists;
      target.status = made->second;
      target.made = true;
      return target;
    }
  }
  // The profile file read last is trusted until this process changes it (ProfileFile), and so
  // is the status its read looked at: the job's later looks at its control file (its
  // attributes, a search for it, the copy's source) take it from there. A call that reads the
  // file's bytes opens it and takes its size and times from the open file.
  if (allowed && !lastLink && trustedProfile_.valid && host == trustedProfile_.host) {
    target.found = EFound::kExists;
    target.status = trustedProfile_.status;
    target.trusted = true;
    return target;
  }
  if (allowed) {
    struct stat& st = target.status;
    const auto look = [&](const std::string& path) {
      return (lastLink ? ::lstat(path.c_str(), &st) : ::stat(path.c_str(), &st)) == 0;
    };
    // The directory is the text before the last name (before its separator, or the "/" of
    // drive Z:'s root).
    const size_t nameStart = parentLength == 1 && host[0] == '/' ? 1 : parentLength + 1;
    // The two answers of a lookup in the directory: the name is not there, or it is there
    // spelled as other.
    const auto missingFromDirectory = [&] {
      target.found = EFound::kMissing;
      target.directoryExists = true;
    };
    const auto spelledAs = [&](const std::string& other) {
      host.resize(nameStart);
      host += other;
      if (look(host)) {
        target.found = EFound::kExists;
      }
    };
    // A name in an indexed directory whose path is watched: the index tells at once that it is
    // new, or how it is spelled. Only a name that it holds as spelled is looked at first.
    // A machine that keeps to POSIX has no indexes (they need inotify).
    const bool indexes = !options_.posixOnly;
    if (indexes && hasName) {
      std::string other;
      switch (directory_index::Look(std::string_view(host).substr(0, parentLength), lastName,
                                    std::string_view(host).substr(nameStart), other, read)) {
        case directory_index::EAnswer::kAbsent:
          missingFromDirectory();
          return target;
        case directory_index::EAnswer::kFound:
          spelledAs(other);
          return target;
        case directory_index::EAnswer::kHeld:
        case directory_index::EAnswer::kNotIndexed:
          break;
      }
    }
    // The common case: the path exists exactly as spelled, and one call resolves it; its
    // status goes to the caller. The walk below would find the same names, since an exact
    // spelling wins at every level.
    if (look(host)) {
      target.found = EFound::kExists;
      return target;
    }
    // A new name, or one spelled in another case: when the directory exists as spelled, only
    // the last name needs looking up.
    if ((errno == ENOENT || errno == ENOTDIR) && hasName) {
      // Cut the text at the directory's end for a moment rather than copy it.
      const char cut = host[parentLength];
      host[parentLength] = '\0';
      struct stat directory;
      const bool directoryFound = ::stat(host.c_str(), &directory) == 0;
      host[parentLength] = cut;
      if (directoryFound) {
        if (!S_ISDIR(directory.st_mode)) {
          target.found = EFound::kMissing;  // a file stands where a directory should be
          return target;
        }
        const std::string parent = host.substr(0, parentLength);
        std::string other;
        if (!indexes || directory_index::Find(parent, directory, lastName, other, read) ==
                            directory_index::EAnswer::kNotIndexed) {
          other = directory_index::Scan(parent, lastName, indexes);
        }
        if (other.empty()) {
          missingFromDirectory();
        } else {
          spelledAs(other);
        }
        return target;
      }
    }
  }
  // Component by component: a directory spelled in another case, a forbidden character.
  if (!parsedWhole) {
    ParseWindowsPath(windowsPath, parsed);
  }
  host.resize(rootLength);
  bool lookUp = IsDirectory(host);
  for (const std::string_view name : parsed.components) {
    if (target.error == 0 && HasForbiddenCharacter(name)) {
      target.error = win::kErrorInvalidName;
    }
    std::string hostName;
    if (lookUp) {
      hostName = FindEntry(host, name, read, !options_.posixOnly);
    }
    if (hostName.empty()) {
      lookUp = false;
      AppendName(host, name);
    } else {
      host += (host == "/" ? "" : "/");
      host += hostName;
    }
    lookUp = lookUp && IsDirectory(host);
  }
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
