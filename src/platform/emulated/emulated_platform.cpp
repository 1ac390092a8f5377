// The emulated machine: construction, errors and texts, locations, and the registry and profile
// functions, which forward to the in-memory registry and the profile cache.
#include "platform/emulated/emulated_platform.h"

#include "platform/emulated/host_io.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <iostream>

#include "platform/emulated/codepage.h"
#include "platform/emulated/profile.h"
#include "platform/emulated/registry.h"
#include "platform/emulated/system_messages.h"
#include "string_table.h"

namespace {

constexpr char kWindowsDirectory[] = "C:\\windows";

// Copies text into a Win32 buffer: the length without the NUL, or the size needed including the
// NUL when the buffer is too small (the buffer is then left alone).
win::DWORD CopyToBuffer(const std::string& text, char* buffer, win::DWORD size) {
  if (buffer == nullptr || size <= text.size()) {
    return static_cast<win::DWORD>(text.size() + 1);
  }
  std::memcpy(buffer, text.data(), text.size());
  buffer[text.size()] = '\0';
  return static_cast<win::DWORD>(text.size());
}

}  // namespace

CEmulatedPlatform::CEmulatedPlatform(CEmulatedMachineOptions options)
    : options_(std::move(options)),
      registry_(std::make_unique<CEmulatedRegistry>()),
      profiles_(std::make_unique<CProfileCache>()) {
  namespace fs = std::filesystem;
  const char* posixOnly = std::getenv("CHECKVELA_POSIX_ONLY");
  if (posixOnly != nullptr && std::strcmp(posixOnly, "1") == 0) {
    options_.posixOnly = true;
  }
  while (options_.root.size() > 1 && options_.root.back() == '/') {
    options_.root.pop_back();
  }
  std::error_code ignored;
  const fs::path absolute = fs::absolute(options_.root, ignored);
  rootAliases_.push_back(absolute.lexically_normal().string());
  const fs::path canonical = fs::weakly_canonical(absolute, ignored);
  if (!ignored && canonical.string() != rootAliases_.front()) {
    rootAliases_.push_back(canonical.string());
  }
  for (std::string& alias : rootAliases_) {
    while (alias.size() > 1 && alias.back() == '/') {
      alias.pop_back();
    }
  }
  std::string current = options_.currentDirectory;
  if (current.empty()) {
    char buffer[PATH_MAX];
    current = WindowsPath(::getcwd(buffer, sizeof buffer) != nullptr ? buffer : "/");
  }
  // The current directory is absolute; one without a drive stands for C:\. Its components
  // point into a text of its own, which lives as long as the platform.
  ParsedPath parsed;
  currentDirectoryText_ = "C:\\";
  if (ParseWindowsPath(current, parsed)) {
    parsed.trailingSeparator = false;
    currentDirectoryText_ = FullPathText(parsed);
  }
  ParseWindowsPath(currentDirectoryText_, parsed);
  currentDirectory_ = std::move(parsed);
  currentDirectory_.trailingSeparator = false;
}

CEmulatedPlatform::~CEmulatedPlatform() = default;

// ---- Registry file

bool CEmulatedPlatform::LoadRegistry(std::string& error) {
  const std::string path = options_.root + "/registry.reg";
  registry_ = std::make_unique<CEmulatedRegistry>();
  registryLoadFailed_ = false;
  registryChanged_ = false;
  registryFileRead_ = false;
  std::string bytes;
  int readError = 0;
  if (!ReadHostFile(path, bytes, readError)) {
    if (readError == ENOENT) {
      return true;
    }
    registryLoadFailed_ = true;
    error = path + ": " + std::strerror(readError);
    return false;
  }
  std::string parseError;
  if (!registry_->Load(bytes, parseError)) {
    registry_ = std::make_unique<CEmulatedRegistry>();
    registryLoadFailed_ = true;
    error = path + ": " + parseError;
    return false;
  }
  registryFileRead_ = true;
  return true;
}

bool CEmulatedPlatform::SaveRegistry(std::string& error) {
  const std::string path = options_.root + "/registry.reg";
  if (registryLoadFailed_) {
    error = path + ": not saved, because it could not be read";
    return false;
  }
  const std::string temp = path + ".tmp";
  Changed(path, nullptr);
  const int fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
  if (fd < 0) {
    error = temp + ": " + std::strerror(errno);
    return false;
  }
  // The text goes to the file in pieces as it is made: no copy of the whole registry as text.
  const bool written = registry_->Save([&](std::string_view piece) {
    size_t done = 0;
    while (done < piece.size()) {
      const ssize_t n = ::write(fd, piece.data() + done, piece.size() - done);
      if (n < 0 && errno == EINTR) {
        continue;
      }
      if (n <= 0) {
        error = temp + ": " + std::strerror(n < 0 ? errno : ENOSPC);
        return false;
      }
      done += static_cast<size_t>(n);
    }
    return true;
  });
  if (!written) {
    ::close(fd);
    ::unlink(temp.c_str());
    return false;
  }
  if (::fsync(fd) != 0 || ::close(fd) != 0) {
    error = temp + ": " + std::strerror(errno);
    ::unlink(temp.c_str());
    return false;
  }
  if (::rename(temp.c_str(), path.c_str()) != 0) {
    error = path + ": " + std::strerror(errno);
    ::unlink(temp.c_str());
    return false;
  }
  // Make the rename itself durable.
  const int dir = ::open(options_.root.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (dir >= 0) {
    ::fsync(dir);
    ::close(dir);
  }
  registryChanged_ = false;
  registryFileRead_ = true;
  return true;
}

bool CEmulatedPlatform::SaveRegistryIfChanged(std::string& error) {
  if (!registryChanged_ && registryFileRead_ && !registryLoadFailed_) {
    return true;
  }
  return SaveRegistry(error);
}

bool CEmulatedPlatform::ImportRegistry(const std::string& fileBytes, std::string& error) {
  registryChanged_ = true;
  return registry_->Import(fileBytes, error);
}

// ---- Errors and texts

win::DWORD CEmulatedPlatform::GetLastError() {
  return lastError_;
}

void CEmulatedPlatform::SetLastError(win::DWORD code) {
  lastError_ = code;
}

bool CEmulatedPlatform::Fail(win::DWORD code) {
  lastError_ = code;
  return false;
}

bool CEmulatedPlatform::FormatSystemMessage(win::DWORD code, win::DWORD languageId,
                                            std::string& text) {
  // The machine is an English Windows: its message table is English, which the system default
  // language and the search order both reach; any other language has no table.
  if (!IsEnglishMessageLanguage(languageId)) {
    return Fail(win::kErrorResourceLangNotFound);
  }
  if (!SystemMessageText(code, text)) {
    return Fail(win::kErrorMrMidNotFound);
  }
  return true;
}

std::string CEmulatedPlatform::LoadStringA(win::UINT id) {
  for (const CStringResource& entry : kStringTable) {
    if (entry.id == id) {
      return entry.text;
    }
  }
  return {};
}

std::string CEmulatedPlatform::AnsiToOem(std::string_view text) {
  return codepage::AnsiToOem(text);
}

std::string CEmulatedPlatform::OemToAnsi(std::string_view text) {
  return codepage::OemToAnsi(text);
}

// The emulated machine is a 32-bit Windows: its registry has no 64-bit view.
bool CEmulatedPlatform::Is64BitWindows() {
  return false;
}

// ---- Locations

win::UINT CEmulatedPlatform::GetWindowsDirectoryA(char* buffer, win::UINT size) {
  return CopyToBuffer(kWindowsDirectory, buffer, size);
}

win::DWORD CEmulatedPlatform::GetModuleFileNameA(char* buffer, win::DWORD size) {
  std::string path = options_.modulePath;
  if (path.empty()) {
    std::error_code ignored;
    path = WindowsPath(std::filesystem::read_symlink("/proc/self/exe", ignored).string());
  }
  if (buffer == nullptr || size == 0) {
    lastError_ = win::kErrorInsufficientBuffer;
    return 0;
  }
  if (path.size() >= size) {
    // Truncated and terminated, as Windows since Vista does.
    std::memcpy(buffer, path.data(), size - 1);
    buffer[size - 1] = '\0';
    lastError_ = win::kErrorInsufficientBuffer;
    return size;
  }
  std::memcpy(buffer, path.data(), path.size());
  buffer[path.size()] = '\0';
  return static_cast<win::DWORD>(path.size());
}

win::DWORD CEmulatedPlatform::GetShortPathNameA(const char* longPath, char* buffer,
                                                win::DWORD size) {
  if (longPath == nullptr) {
    lastError_ = win::kErrorInvalidParameter;
    return 0;
  }
  const HostTarget target = Resolve(longPath);
  struct stat st;
  if (target.error != 0 || target.host.empty() || ::stat(target.host.c_str(), &st) != 0 ||
      (target.trailingSeparator && !S_ISDIR(st.st_mode))) {
    lastError_ = win::kErrorFileNotFound;
    return 0;
  }
  // The volume keeps no 8.3 names: the path keeps its long names, each existing component in
  // the spelling of the file system, the drive and separators as given.
  const std::string input = longPath;
  std::string result;
  const std::string windows = WindowsPath(target.host);
  const bool sameDrive = input.size() >= 2 && input[1] == ':' && windows.size() >= 2 &&
                         std::toupper(static_cast<unsigned char>(input[0])) == windows[0];
  const bool hasDots =
      input.find("\\.") != std::string::npos || input.find("/.") != std::string::npos;
  if (sameDrive && !hasDots && input.size() == windows.size()) {
    result = input.substr(0, 2) + windows.substr(2);
    for (size_t i = 2; i < input.size(); ++i) {
      if (input[i] == '/') {
        result[i] = '/';
      }
    }
  } else {
    result = input;
  }
  return CopyToBuffer(result, buffer, size);
}

win::DWORD CEmulatedPlatform::GetFullPathNameA(const char* path, char* buffer, win::DWORD size) {
  ParsedPath parsed;
  if (path == nullptr || !ParseWindowsPath(path, parsed)) {
    lastError_ = win::kErrorInvalidName;
    return 0;
  }
  return CopyToBuffer(FullPathText(parsed), buffer, size);
}

std::string CEmulatedPlatform::FullPathText(const ParsedPath& parsed) {
  std::string text = std::string(1, parsed.drive) + ":";
  for (const std::string_view component : parsed.components) {
    text += '\\';
    text += component;
  }
  if (parsed.components.empty() || parsed.trailingSeparator) {
    text += '\\';
  }
  return text;
}

// ---- Registry

win::LONG CEmulatedPlatform::RegCreateKeyExA(win::HKEY key, const char* subKey, win::HKEY* result) {
  registryChanged_ = true;  // when the key exists already, a flush only saves it once more
  return registry_->CreateKey(key, subKey, result);
}

win::LONG CEmulatedPlatform::RegOpenKeyExA(win::HKEY key, const char* subKey, win::HKEY* result) {
  return registry_->OpenKey(key, subKey, result);
}

win::LONG CEmulatedPlatform::RegQueryInfoKeyA(win::HKEY key, win::DWORD* subKeys,
                                              win::DWORD* maxSubKeyLen) {
  return registry_->QueryInfoKey(key, subKeys, maxSubKeyLen);
}

win::LONG CEmulatedPlatform::RegEnumKeyExA(win::HKEY key, win::DWORD index, char* name,
                                           win::DWORD* nameLength) {
  return registry_->EnumKey(key, index, name, nameLength);
}

win::LONG CEmulatedPlatform::RegQueryValueExA(win::HKEY key, const char* valueName,
                                              win::DWORD* type, unsigned char* data,
                                              win::DWORD* dataSize) {
  return registry_->QueryValue(key, valueName, type, data, dataSize);
}

win::LONG CEmulatedPlatform::RegSetValueExA(win::HKEY key, const char* valueName, win::DWORD type,
                                            const unsigned char* data, win::DWORD dataSize) {
  registryChanged_ = true;
  return registry_->SetValue(key, valueName, type, data, dataSize);
}

win::LONG CEmulatedPlatform::RegEnumValueA(win::HKEY key, win::DWORD index, char* name,
                                           win::DWORD* nameLength, win::DWORD* type,
                                           unsigned char* data, win::DWORD* dataSize) {
  return registry_->EnumValue(key, index, name, nameLength, type, data, dataSize);
}

win::LONG CEmulatedPlatform::RegDeleteKeyA(win::HKEY key, const char* subKey) {
  registryChanged_ = true;
  return registry_->DeleteKey(key, subKey);
}

win::LONG CEmulatedPlatform::RegFlushKey(win::HKEY key) {
  if (registry_->QueryInfoKey(key, nullptr, nullptr) != win::kErrorSuccess) {
    return static_cast<win::LONG>(win::kErrorInvalidHandle);
  }
  std::string error;
  if (registryChanged_ && !SaveRegistry(error)) {
    return static_cast<win::LONG>(win::kErrorRegistryIoFailed);
  }
  return static_cast<win::LONG>(win::kErrorSuccess);
}

win::LONG CEmulatedPlatform::RegCloseKey(win::HKEY key) {
  return registry_->CloseKey(key);
}

// ---- Profiles

// A run reads each file with one call after another (a control file twenty times for its
// job). The file read last is trusted between them: later reads of the same name are served
// from its parse without looking at the disk, until this process changes that file through
// this platform (Changed), or reads another one. So a change that another process makes to the
// file while the program reads it can go unseen until then; every run starts with nothing
// trusted, so a file changed between two runs is always read again.
const std::string& CEmulatedPlatform::ProfileFile(const char* fileName,
                                                  CProfileCache::CKnown& known) {
  using EWhat = CProfileCache::CKnown::EWhat;
  const char* given = fileName != nullptr ? fileName : "win.ini";
  if (trustedProfile_.valid && trustedProfile_.fileName == given) {
    known.what = EWhat::kTrusted;
    return trustedProfile_.host;
  }
  trustedProfile_.valid = false;
  profileHost_.clear();
  std::string name = given;
  // A bare name lives in the Windows directory.
  if (name.find_first_of("\\/:") == std::string::npos) {
    name = std::string(kWindowsDirectory) + "\\" + name;
  }
  // The cache itself tells a missing file from one that cannot be opened (a directory, a
  // missing directory), as Windows does; only a path that names no file at all gives none.
  HostTarget target = Resolve(name.c_str());
  if (target.error != 0 || target.trailingSeparator) {
    return profileHost_;
  }
  if (target.found == EFound::kExists) {
    known.what = EWhat::kStatus;
    known.status = target.status;
    if (S_ISREG(target.status.st_mode)) {
      trustedProfile_.valid = true;
      trustedProfile_.fileName = given;
      trustedProfile_.path = name;
      trustedProfile_.host = target.host;
      trustedProfile_.status = target.status;
    }
  } else if (target.found == EFound::kMissing) {
    known.what = EWhat::kMissing;
    known.directoryExists = target.directoryExists;
  }
  profileHost_ = std::move(target.host);
  return profileHost_;
}

bool CEmulatedPlatform::SyncedSince(dev_t device, std::uint64_t change) const {
  for (const auto& [synced, at] : syncs_) {
    if (synced == device) {
      return at >= change;
    }
  }
  return false;
}

void CEmulatedPlatform::Changed(const std::string& host, const struct stat* st) {
  ++changes_;
  if (!made_.empty()) {
    made_.erase(host);
  }
  if (trustedProfile_.valid && (host == trustedProfile_.host ||
                                (st != nullptr && st->st_dev == trustedProfile_.status.st_dev &&
                                 st->st_ino == trustedProfile_.status.st_ino))) {
    trustedProfile_.valid = false;
  }
}

win::DWORD CEmulatedPlatform::GetPrivateProfileStringA(const char* section, const char* key,
                                                       const char* defaultValue, char* buffer,
                                                       win::DWORD size, const char* fileName) {
  CProfileCache::CKnown known;
  const std::string& host = ProfileFile(fileName, known);
  return profiles_->GetString(section, key, defaultValue, buffer, size, host, known);
}

win::UINT CEmulatedPlatform::GetPrivateProfileIntA(const char* section, const char* key,
                                                   int defaultValue, const char* fileName) {
  CProfileCache::CKnown known;
  const std::string& host = ProfileFile(fileName, known);
  return profiles_->GetInt(section, key, defaultValue, host, known);
}
