#include "profile/registry_restore.h"

#include <memory>
#include <utility>

#include "platform/ansi_text.h"
#include "platform/reg_text.h"
#include "profile/backup.h"
#include "profile/registry_copy.h"

namespace {

// Registry value names hold at most 16383 characters; the buffer grows for longer ones anyway.
constexpr win::DWORD kValueNameBuffer = 16384;
constexpr win::DWORD kLargestBuffer = 1U << 24;

constexpr const char* kSoftware = "SOFTWARE";
constexpr const char* kCommandName = "UninstallString";

// The key path made of the first count components of path.
std::string Prefix(const std::string& path, std::size_t count) {
  std::size_t end = 0;
  for (std::size_t i = 0; i < count; ++i) {
    end = path.find('\\', i == 0 ? 0 : end + 1);
    if (end == std::string::npos) {
      return path;
    }
  }
  return path.substr(0, end);
}

std::size_t ComponentCount(const std::string& path) {
  std::size_t count = 1;
  for (const char c : path) {
    count += c == '\\' ? 1 : 0;
  }
  return count;
}

}  // namespace

CRegistryRestore::CRegistryRestore(CPlatform& platform) : platform_(platform) {}

void CRegistryRestore::TakeSnapshot(const std::string& backupDirectory,
                                    const std::string& uninstallEntry) {
  pending_ = true;
  complete_ = false;
  ready_ = false;
  failedPath_.clear();
  failedError_ = 0;
  backupDirectory_ = backupDirectory;
  is64Bit_ = platform_.Is64BitWindows();
  deletedKey_.clear();
  productTree_.clear();
  entryPath_.clear();
  entryHasCommand_ = false;
  entryCommand_ = Value();

  // The product key: its subtree, or the first key of its path that is missing (on 64-bit
  // Windows never SOFTWARE itself, which there always exists and holds the 32-bit view).
  const std::string productPath = kProductKeyPath;
  const std::size_t depth = ComponentCount(productPath);
  for (std::size_t count = is64Bit_ ? 2 : 1; count <= depth; ++count) {
    const std::string path = Prefix(productPath, count);
    CRegKey key(platform_);
    const win::LONG result = key.Open(win::kHkeyLocalMachine, path.c_str());
    if (result == static_cast<win::LONG>(win::kErrorFileNotFound)) {
      deletedKey_ = path;
      break;
    }
    if (result != win::kErrorSuccess) {
      return;  // what cannot be read cannot be put back
    }
    if (count == depth) {
      // The key keeps the spelling it has: it is re-created from the file.
      deletedKey_ = AsSpelled(productPath);
      if (!ReadTree(key.Get(), deletedKey_)) {
        return;
      }
    }
  }

  // The uninstall entry's command, or that it has none.
  if (!uninstallEntry.empty()) {
    CRegKey entry(platform_);
    if (entry.Open(win::kHkeyLocalMachine, uninstallEntry.c_str()) == win::kErrorSuccess) {
      entryPath_ = uninstallEntry;
      win::DWORD type = 0;
      win::DWORD size = 0;
      const win::LONG result =
          platform_.RegQueryValueExA(entry.Get(), kCommandName, &type, nullptr, &size);
      if (result == win::kErrorSuccess) {
        if (!ReadValue(entry.Get(), kCommandName, entryCommand_)) {
          return;
        }
        entryHasCommand_ = true;
      } else if (result != static_cast<win::LONG>(win::kErrorFileNotFound)) {
        return;
      }
    }
  }
  complete_ = true;
}

bool CRegistryRestore::ReadTree(win::HKEY key, const std::string& path) {
  Key node;
  node.path = path;
  if (!ReadValues(key, node.values)) {
    return false;
  }
  productTree_.push_back(std::move(node));

  std::vector<std::string> names;
  if (!ReadSubkeyNames(key, names)) {
    return false;
  }
  for (const std::string& name : names) {
    std::string childPath = path;
    childPath += '\\';
    childPath += name;
    CRegKey child(platform_);
    if (child.Open(key, name.c_str()) != win::kErrorSuccess || !ReadTree(child.Get(), childPath)) {
      return false;
    }
  }
  return true;
}

bool CRegistryRestore::ReadSubkeyNames(win::HKEY key, std::vector<std::string>& names) {
  win::DWORD subKeys = 0;
  win::DWORD longest = 0;
  if (platform_.RegQueryInfoKeyA(key, &subKeys, &longest) != win::kErrorSuccess) {
    return false;
  }
  std::vector<char> buffer(longest + 1);
  for (win::DWORD index = 0; index < subKeys; ++index) {
    win::DWORD length = 0;
    win::LONG result = 0;
    do {
      length = static_cast<win::DWORD>(buffer.size());
      result = platform_.RegEnumKeyExA(key, index, buffer.data(), &length);
      if (result == static_cast<win::LONG>(win::kErrorMoreData)) {
        buffer.resize(buffer.size() * 2 + 256);
      }
    } while (result == static_cast<win::LONG>(win::kErrorMoreData) &&
             buffer.size() < kLargestBuffer);
    if (result != win::kErrorSuccess) {
      return false;
    }
    names.emplace_back(buffer.data(), length);
  }
  return true;
}

std::string CRegistryRestore::AsSpelled(const std::string& path) {
  const std::size_t slash = path.rfind('\\');
  const std::string parentPath = path.substr(0, slash);
  const std::string name = path.substr(slash + 1);
  CRegKey parent(platform_);
  std::vector<std::string> names;
  if (parent.Open(win::kHkeyLocalMachine, parentPath.c_str()) == win::kErrorSuccess) {
    ReadSubkeyNames(parent.Get(), names);  // the names read before a failure count too
  }
  for (const std::string& existing : names) {
    if (ansi::EqualNoCase(existing, name)) {
      std::string spelled = parentPath;
      spelled += '\\';
      spelled += existing;
      return spelled;
    }
  }
  return path;
}

bool CRegistryRestore::ReadValues(win::HKEY key, std::vector<Value>& values) {
  std::vector<char> name(kValueNameBuffer);
  for (win::DWORD index = 0;; ++index) {
    win::DWORD length = 0;
    win::LONG result = 0;
    do {
      length = static_cast<win::DWORD>(name.size());
      win::DWORD type = 0;
      result = platform_.RegEnumValueA(key, index, name.data(), &length, &type, nullptr, nullptr);
      if (result == static_cast<win::LONG>(win::kErrorMoreData)) {
        name.resize(name.size() * 2);
      }
    } while (result == static_cast<win::LONG>(win::kErrorMoreData) && name.size() < kLargestBuffer);
    if (result == static_cast<win::LONG>(win::kErrorNoMoreItems)) {
      return true;
    }
    if (result != win::kErrorSuccess) {
      return false;
    }
    Value value;
    if (!ReadValue(key, std::string(name.data(), length), value)) {
      return false;
    }
    values.push_back(std::move(value));
  }
}

bool CRegistryRestore::ReadValue(win::HKEY key, const std::string& name, Value& value) {
  value.name = name;
  // Asked by name: the bytes and size that RegQueryValueExA gives are the ones the program sees.
  win::DWORD size = 0;
  if (platform_.RegQueryValueExA(key, name.c_str(), &value.type, nullptr, &size) !=
      win::kErrorSuccess) {
    return false;
  }
  while (true) {
    std::string data(size + 1, '\0');
    win::DWORD got = size + 1;
    const win::LONG result = platform_.RegQueryValueExA(
        key, name.c_str(), &value.type, reinterpret_cast<unsigned char*>(data.data()), &got);
    if (result == static_cast<win::LONG>(win::kErrorMoreData) && got > size &&
        got < kLargestBuffer) {
      size = got;
      continue;
    }
    if (result != win::kErrorSuccess || got > data.size()) {
      return false;
    }
    data.resize(got);
    value.data = std::move(data);
    return true;
  }
}

std::string CRegistryRestore::FileKeyName(const std::string& path) const {
  std::string name = "HKEY_LOCAL_MACHINE\\";
  const std::string software = std::string(kSoftware) + "\\";
  if (is64Bit_ && ansi::StartsWithNoCase(path, software)) {
    name += path.substr(0, software.size()) + "WOW6432Node\\" + path.substr(software.size());
  } else {
    name += path;
  }
  return name;
}

std::string CRegistryRestore::Text() const {
  std::string out(regtext::kHeader);
  if (!deletedKey_.empty()) {
    regtext::AppendKeyLine(out, FileKeyName(deletedKey_), true);
  }
  for (const Key& key : productTree_) {
    regtext::AppendKeyLine(out, FileKeyName(key.path));
    for (const Value& value : key.values) {
      regtext::AppendValueLine(out, value.name, value.type, value.data);
    }
  }
  if (!entryPath_.empty()) {
    regtext::AppendKeyLine(out, FileKeyName(entryPath_));
    if (entryHasCommand_) {
      regtext::AppendValueLine(out, entryCommand_.name, entryCommand_.type, entryCommand_.data);
    } else {
      out += "\"";
      out += kCommandName;
      out += "\"=-\r\n";
    }
  }
  out += "\r\n";
  return out;
}

bool CRegistryRestore::BeforeRegistryChange() {
  if (!pending_) {
    return ready_;
  }
  pending_ = false;
  ready_ = Write();
  return ready_;
}

bool CRegistryRestore::Fail(const std::string& path, win::DWORD error) {
  failedPath_ = path;
  failedError_ = error;
  return false;
}

bool CRegistryRestore::Write() {
  const std::string& directory = backupDirectory_;
  if (directory.empty()) {
    return Fail(kFileName, win::kErrorPathNotFound);
  }
  // Backup and its name in the program directory, on the disk.
  if (!CreateDurableDirectory(platform_, directory)) {
    return Fail(directory, platform_.GetLastError());
  }
  // Written once: it always holds the registry as it was before the first run.
  const std::string target = directory + "\\" + kFileName;
  if (platform_.GetFileAttributesA(target.c_str()) != win::kInvalidFileAttributes) {
    return true;
  }
  if (!complete_) {
    return Fail(target, win::kErrorRegistryCorrupt);  // what cannot be read cannot be put back
  }
  // The migration's own temporary file, which a later run removes when it is left over. The
  // text is on the disk before the file has its name, and the name before the first change.
  const std::string temporary = directory + "\\" + kTemporaryFileName;
  const std::string text = Text();
  std::unique_ptr<CWriteFile> file = platform_.CreateWriteFile(temporary.c_str());
  if (!file) {
    return Fail(target, platform_.GetLastError());
  }
  const bool written =
      file->Write(text.data(), static_cast<win::DWORD>(text.size())) && file->Flush();
  const win::DWORD writeError = platform_.GetLastError();
  const bool closed = file->Close();
  file.reset();
  // Without replacing: a restore.reg that appeared meanwhile stays as it is.
  if (!written || !closed || !platform_.MoveFileExA(temporary.c_str(), target.c_str(), false)) {
    const win::DWORD error = written && closed ? platform_.GetLastError() : writeError;
    platform_.DeleteFileA(temporary.c_str());
    return Fail(target, error);
  }
  if (!platform_.FlushFiles({directory})) {
    return Fail(target, platform_.GetLastError());
  }
  return true;
}
