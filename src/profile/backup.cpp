#include "profile/backup.h"

#include "app/error_text.h"
#include "profile/file_names.h"
#include "resource.h"

std::string RestoreLine(const std::string& from, const std::string& to) {
  std::string line = "copy/y \"";
  auto appendPath = [&line](const std::string& path) {
    for (const char c : path) {
      line += c;
      if (c == '%') {
        line += '%';
      }
    }
  };
  appendPath(from);
  line += "\" \"";
  appendPath(to);
  line += "\"\r\n";
  return line;
}

std::string FullPath(CPlatform& platform, const std::string& path) {
  std::string buffer(260, '\0');
  win::DWORD length = platform.GetFullPathNameA(path.c_str(), buffer.data(),
                                                static_cast<win::DWORD>(buffer.size()));
  if (length >= buffer.size()) {
    buffer.resize(length + 1);
    length = platform.GetFullPathNameA(path.c_str(), buffer.data(),
                                       static_cast<win::DWORD>(buffer.size()));
  }
  if (length == 0 || length >= buffer.size()) {
    return path;
  }
  buffer.resize(length);
  return buffer;
}

CBackupStore::CBackupStore(CPlatform& platform, CProgress& progress)
    : platform_(platform), progress_(progress) {}

bool CBackupStore::Open(const std::string& directory) {
  directory_ = directory;
  usedNames_.clear();
  usedNames_.insert(FoldCase("restore.bat"));
  usedNames_.insert(FoldCase("restore.reg"));
  if (!platform_.CreateDirectoryA(directory_.c_str())) {
    const win::DWORD error = platform_.GetLastError();
    const win::DWORD attributes = platform_.GetFileAttributesA(directory_.c_str());
    if (attributes == win::kInvalidFileAttributes ||
        (attributes & win::kFileAttributeDirectory) == 0) {
      progress_.ShowMessage(ResourceMessageWithError(platform_, IDS_RESTORE_SCRIPT_CREATE_FAILED,
                                                     directory_.c_str(), error),
                            win::kMbOk);
      return false;
    }
  }
  const std::string scriptPath = ScriptPath();
  script_ = platform_.CreateWriteFile(scriptPath.c_str());
  if (!script_) {
    const win::DWORD error = platform_.GetLastError();
    progress_.ShowMessage(ResourceMessageWithError(platform_, IDS_RESTORE_SCRIPT_CREATE_FAILED,
                                                   scriptPath.c_str(), error),
                          win::kMbOk);
    return false;
  }
  return true;
}

bool CBackupStore::Close() {
  if (!script_) {
    return true;
  }
  const bool closed = script_->Close();
  script_.reset();
  return closed;
}

std::string CBackupStore::ClaimName(const std::string& wanted) {
  std::string safe = SafeFileName(wanted);
  // restore.bat is written in the OEM code page: a character it cannot hold would come out as
  // another one there and name no file, so the backup could never be restored.
  for (char& c : safe) {
    if (static_cast<unsigned char>(c) >= 0x80) {
      const std::string oem = platform_.AnsiToOem(std::string_view(&c, 1));
      if (oem.size() != 1 || static_cast<unsigned char>(oem[0]) < 0x80) {
        c = '_';
      }
    }
  }
  std::string name = safe;
  for (unsigned n = 1; usedNames_.count(FoldCase(name)) != 0; ++n) {
    name = safe + "." + std::to_string(n);
  }
  usedNames_.insert(FoldCase(name));
  return name;
}

void CBackupStore::AppendRestoreLine(const std::string& from, const std::string& to) {
  const std::string line = platform_.AnsiToOem(RestoreLine(from, to));
  if (!script_) {
    throw CRestoreScriptError(ScriptPath(), win::kErrorInvalidHandle);
  }
  if (!script_->Write(line.data(), static_cast<win::DWORD>(line.size()))) {
    throw CRestoreScriptError(ScriptPath(), platform_.GetLastError());
  }
}

bool CBackupStore::CopyAndCheck(const std::string& source, const std::string& target) {
  if (!platform_.CopyFileA(source.c_str(), target.c_str(), false)) {
    return false;
  }
  std::string original;
  std::string copy;
  if (!platform_.ReadWholeFile(source.c_str(), original) ||
      !platform_.ReadWholeFile(target.c_str(), copy)) {
    return false;
  }
  if (original != copy) {
    platform_.SetLastError(win::kErrorWriteFault);
    return false;
  }
  return true;
}

void CBackupStore::BackupFile(const std::string& filePath, const std::string& backupName) {
  const win::DWORD attributes = platform_.GetFileAttributesA(filePath.c_str());
  if (attributes == win::kInvalidFileAttributes) {
    const win::DWORD error = platform_.GetLastError();
    if (filePath.empty() || error == win::kErrorFileNotFound || error == win::kErrorPathNotFound) {
      return;  // nothing there: nothing to move and nothing to restore
    }
  }
  const std::string name = ClaimName(backupName);
  const std::string target = directory_ + "\\" + name;
  if (!CopyAndCheck(filePath, target)) {
    const win::DWORD error = platform_.GetLastError();
    progress_.ShowMessage(
        ResourceMessageWithError(platform_, IDS_BACKUP_FAILED, filePath.c_str(), error),
        win::kMbOk);
    return;
  }
  // The line names the old place in full, so it restores whatever the current directory.
  AppendRestoreLine(name, FullPath(platform_, filePath));
  // A file that cannot be deleted (read-only, in use) stays; its copy and line are in place.
  platform_.DeleteFileA(filePath.c_str());
}
