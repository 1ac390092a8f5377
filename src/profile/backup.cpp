#include "profile/backup.h"

#include "app/error_text.h"
#include "platform/ansi_text.h"
#include "profile/file_names.h"
#include "resource.h"

namespace {

constexpr const char* kBackupLinePrefix = "%~dp0";

// A path quoted for cmd, with % doubled so that cmd reads it as it is.
std::string Quoted(const std::string& path) {
  std::string quoted;
  quoted.reserve(path.size() + 2);
  quoted += '"';
  size_t start = 0;
  for (size_t percent = path.find('%'); percent != std::string::npos;
       percent = path.find('%', start)) {
    quoted.append(path, start, percent + 1 - start);
    quoted += '%';
    start = percent + 1;
  }
  quoted.append(path, start);
  quoted += '"';
  return quoted;
}

std::string Undoubled(const std::string& text) {
  std::string result;
  for (size_t i = 0; i < text.size(); ++i) {
    result += text[i];
    if (text[i] == '%' && i + 1 < text.size() && text[i + 1] == '%') {
      ++i;
    }
  }
  return result;
}

// A path folded as Windows compares paths: upper case, one kind of separator.
std::string FoldPath(const std::string& path) {
  std::string folded = ansi::Fold(path);
  for (char& c : folded) {
    if (c == '/') {
      c = '\\';
    }
  }
  return folded;
}

// The directory part of a path, without its last separator; empty when there is none.
std::string DirectoryOf(const std::string& path) {
  const size_t separator = path.find_last_of("\\/");
  return separator == std::string::npos ? std::string() : path.substr(0, separator);
}

std::string NameOf(const std::string& path) {
  const size_t separator = path.find_last_of("\\/");
  return separator == std::string::npos ? path : path.substr(separator + 1);
}

// True for a bare file name: no drive and no separator.
bool IsBareName(const std::string& name) {
  return !name.empty() && name.find_first_of("\\/:") == std::string::npos;
}

}  // namespace

std::string BackupRestoreLine(const std::string& backupName, const std::string& oldPath) {
  return "copy/y \"" + std::string(kBackupLinePrefix) + Quoted(backupName).substr(1) + " " +
         Quoted(oldPath) + "\r\n";
}

std::string SpoolRestoreLine(const std::string& copyPath, const std::string& oldPath) {
  return "copy/y " + Quoted(copyPath) + " " + Quoted(oldPath) + "\r\n";
}

bool ParseRestoreLine(const std::string& line, CRestoreLine& parsed) {
  // copy/y "from" "to": file names hold no quote, so the quotes delimit both paths.
  const std::string prefix = "copy/y \"";
  const size_t middle = line.find("\" \"");
  if (line.compare(0, prefix.size(), prefix) != 0 || middle == std::string::npos ||
      middle <= prefix.size() || line.size() < middle + 5 || line.back() != '"' ||
      line.find('"', middle + 3) != line.size() - 1) {
    return false;
  }
  std::string from = line.substr(prefix.size(), middle - prefix.size());
  parsed.to = Undoubled(line.substr(middle + 3, line.size() - 1 - (middle + 3)));
  if (from.compare(0, 5, kBackupLinePrefix) == 0) {
    parsed.backup = true;
    parsed.from = Undoubled(from.substr(5));
  } else {
    parsed.from = Undoubled(from);
    parsed.backup = IsBareName(parsed.from);
  }
  return !parsed.from.empty() && !parsed.to.empty();
}

std::string FullPath(CPlatform& platform, const std::string& path) {
  std::string full = PathFromSystem([&](char* buffer, win::DWORD size) {
    return platform.GetFullPathNameA(path.c_str(), buffer, size);
  });
  return full.empty() ? path : full;
}

std::string ShortPath(CPlatform& platform, const std::string& path) {
  return PathFromSystem([&](char* buffer, win::DWORD size) {
    return platform.GetShortPathNameA(path.c_str(), buffer, size);
  });
}

CBackupStore::CBackupStore(CPlatform& platform, CProgress& progress)
    : platform_(platform), progress_(progress) {}

bool CBackupStore::Open(const std::string& directory) {
  directory_ = directory;
  journal_ = Journal();
  backedUp_.clear();
  usedNames_.clear();
  for (const char* reserved : {"restore.bat", "restore.reg", kTemporaryFileName}) {
    usedNames_.insert(FoldCase(reserved));
  }
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
  RemoveTemporary(TemporaryPath());
  // Every name in Backup is taken: no backup replaces another, from this run or an earlier one.
  {
    CFindHandle find(platform_);
    win::FindData data;
    for (bool found = find.First(directory_ + "\\*", data); found; found = find.Next(data)) {
      usedNames_.insert(FoldCase(data.name));
    }
  }

  const std::string scriptPath = ScriptPath();
  std::string scriptBytes;
  bool lastLineWhole = false;
  if (!ReadJournal(scriptBytes, lastLineWhole)) {
    const win::DWORD error = platform_.GetLastError();
    progress_.ShowMessage(ResourceMessageWithError(platform_, IDS_RESTORE_SCRIPT_CREATE_FAILED,
                                                   scriptPath.c_str(), error),
                          win::kMbOk);
    return false;
  }
  script_ = platform_.OpenAppendFile(scriptPath.c_str());
  bool ready = script_ != nullptr;
  if (ready && scriptBytes.size() > scriptSize_) {
    if (lastLineWhole) {
      // A whole line that only lacks its line break gets one.
      const std::string lineBreak = scriptBytes.back() == '\r' ? "\n" : "\r\n";
      ready = script_->Write(lineBreak.data(), static_cast<win::DWORD>(lineBreak.size()));
      scriptSize_ = scriptBytes.size() + lineBreak.size();
    } else {
      // A killed run's torn last line goes: its file was never moved.
      ready = script_->Truncate(scriptSize_);
    }
  }
  if (!ready) {
    const win::DWORD error = platform_.GetLastError();
    script_.reset();
    progress_.ShowMessage(ResourceMessageWithError(platform_, IDS_RESTORE_SCRIPT_CREATE_FAILED,
                                                   scriptPath.c_str(), error),
                          win::kMbOk);
    return false;
  }
  return true;
}

bool CBackupStore::ReadJournal(std::string& scriptBytes, bool& lastLineWhole) {
  scriptBytes.clear();
  scriptSize_ = 0;
  lastLineWhole = false;
  if (!platform_.ReadWholeFile(ScriptPath().c_str(), scriptBytes)) {
    const win::DWORD error = platform_.GetLastError();
    scriptBytes.clear();
    return error == win::kErrorFileNotFound;
  }
  size_t start = 0;
  while (start < scriptBytes.size()) {
    const size_t end = scriptBytes.find('\n', start);
    std::string line = scriptBytes.substr(start, end == std::string::npos ? end : end - start);
    if (!line.empty() && line.back() == '\r') {
      line.pop_back();
    }
    CRestoreLine parsed;
    const bool valid = ParseRestoreLine(platform_.OemToAnsi(line), parsed);
    if (valid) {
      Record(parsed);
    }
    if (end == std::string::npos) {
      lastLineWhole = valid;
      break;
    }
    start = end + 1;
    scriptSize_ = start;
  }
  return true;
}

void CBackupStore::Record(const CRestoreLine& line) {
  const std::string oldPath = FoldPath(line.to);
  if (line.backup) {
    const std::string name = FoldCase(line.from);
    journal_.backups[oldPath] = Backup{line.from, line.to};
    journal_.nameOwners[name] = oldPath;
    usedNames_.insert(name);
  } else {
    journal_.spoolSources[FoldPath(line.from)] = oldPath;
  }
}

std::vector<std::string> CBackupStore::FoldedDirectoryForms(const std::string& directory) {
  std::vector<std::string> forms = {FoldPath(directory)};
  if (!Spellable(directory)) {
    const std::string shortPath = ShortPath(platform_, directory);
    if (!shortPath.empty()) {
      forms.push_back(FoldPath(shortPath));
    }
  }
  return forms;
}

const CBackupStore::Backup* CBackupStore::FindBackup(const std::string& oldPath) {
  // A line may give the path with its directory in short form, when the OEM code page could
  // not spell the long one.
  const std::string name = "\\" + FoldPath(NameOf(oldPath));
  for (std::string directory : FoldedDirectoryForms(DirectoryOf(oldPath))) {
    const auto entry = journal_.backups.find(directory.append(name));
    if (entry != journal_.backups.end()) {
      return &entry->second;
    }
  }
  return nullptr;
}

std::string CBackupStore::ReadablePath(const std::string& path) {
  if (path.empty()) {
    return path;
  }
  const win::DWORD attributes = platform_.GetFileAttributesA(path.c_str());
  if (attributes != win::kInvalidFileAttributes &&
      (attributes & win::kFileAttributeDirectory) == 0) {
    return path;
  }
  const std::string oldPath = FullPath(platform_, path);
  if (backedUp_.count(FoldPath(oldPath)) != 0) {
    return path;
  }
  if (const Backup* backup = FindBackup(oldPath)) {
    std::string copy = directory_ + "\\" + backup->name;
    if (platform_.GetFileAttributesA(copy.c_str()) != win::kInvalidFileAttributes) {
      return copy;
    }
  }
  return path;
}

std::vector<std::string> CBackupStore::MovedAway(const std::string& directory,
                                                 const std::string& pattern) {
  std::vector<std::string> moved;
  for (const std::string& folded : FoldedDirectoryForms(FullPath(platform_, directory))) {
    const std::string prefix = folded + "\\";
    for (auto entry = journal_.backups.lower_bound(prefix);
         entry != journal_.backups.end() && entry->first.compare(0, prefix.size(), prefix) == 0;
         ++entry) {
      const std::string name = NameOf(entry->second.oldPath);
      if (DirectoryOf(entry->first) != folded || !ansi::WildcardMatch(pattern, name)) {
        continue;
      }
      std::string original = directory;
      original.append("\\").append(name);
      std::string copy = directory_;
      copy.append("\\").append(entry->second.name);
      if (backedUp_.count(FoldPath(FullPath(platform_, original))) == 0 &&
          platform_.GetFileAttributesA(original.c_str()) == win::kInvalidFileAttributes &&
          platform_.GetFileAttributesA(copy.c_str()) != win::kInvalidFileAttributes) {
        moved.push_back(original);
      }
    }
  }
  return moved;
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
    if (static_cast<unsigned char>(c) >= 0x80 && !Spellable(std::string(1, c))) {
      c = '_';
    }
  }
  std::string name = safe;
  for (unsigned n = 1; usedNames_.count(FoldCase(name)) != 0; ++n) {
    name = safe + "." + std::to_string(n);
  }
  usedNames_.insert(FoldCase(name));
  return name;
}

bool CBackupStore::Spellable(const std::string& text) {
  return platform_.OemToAnsi(platform_.AnsiToOem(text)) == text;
}

bool CBackupStore::SpellForScript(const std::string& oldPath, std::string& spelled) {
  if (Spellable(oldPath)) {
    spelled = oldPath;
    return true;
  }
  const std::string shortPath = ShortPath(platform_, oldPath);
  if (shortPath.empty() || !Spellable(shortPath)) {
    return false;
  }
  spelled = shortPath;
  return true;
}

void CBackupStore::AppendRestoreLine(const std::string& line) {
  const std::string oem = platform_.AnsiToOem(line);
  if (!script_) {
    throw CRestoreScriptError(ScriptPath(), win::kErrorInvalidHandle);
  }
  if (!script_->Write(oem.data(), static_cast<win::DWORD>(oem.size()))) {
    const win::DWORD error = platform_.GetLastError();
    // What was written of the line goes again: the script always ends at a whole line.
    script_->Truncate(scriptSize_);
    throw CRestoreScriptError(ScriptPath(), error);
  }
  scriptSize_ += oem.size();
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

void CBackupStore::BackupFailed(const std::string& filePath, const std::string& temporary) {
  const win::DWORD error = platform_.GetLastError();
  RemoveTemporary(temporary);
  progress_.ShowMessage(
      ResourceMessageWithError(platform_, IDS_BACKUP_FAILED, filePath.c_str(), error), win::kMbOk);
}

void CBackupStore::RemoveTemporary(const std::string& path) {
  // A copy of a read-only file is read-only too.
  if (platform_.GetFileAttributesA(path.c_str()) != win::kInvalidFileAttributes) {
    platform_.SetFileAttributesA(path.c_str(), win::kFileAttributeNormal);
    platform_.DeleteFileA(path.c_str());
  }
}

void CBackupStore::BackupFile(const std::string& filePath, const std::string& backupName) {
  // The line names the old place in full, so it restores whatever the current directory.
  const std::string oldPath = FullPath(platform_, filePath);
  const win::DWORD attributes = platform_.GetFileAttributesA(filePath.c_str());
  if (attributes == win::kInvalidFileAttributes) {
    const win::DWORD error = platform_.GetLastError();
    if (filePath.empty() || error == win::kErrorFileNotFound || error == win::kErrorPathNotFound) {
      // Nothing there: nothing to move, or an earlier run has moved it already and written its
      // line. Either way it is gone for the rest of this run.
      if (!filePath.empty()) {
        backedUp_.insert(FoldPath(oldPath));
      }
      return;
    }
  }
  std::string spelled;
  if (!SpellForScript(oldPath, spelled)) {
    std::string message;
    FormatResourceMessage(platform_, message, IDS_BACKUP_PATH_UNSPELLABLE, oldPath.c_str());
    progress_.ShowMessage(message, win::kMbOk);
    return;
  }

  if (const Backup* earlier = FindBackup(oldPath)) {
    const std::string name = earlier->name;
    const std::string copy = directory_ + "\\" + name;
    std::string original;
    std::string saved;
    if (platform_.ReadWholeFile(filePath.c_str(), original) &&
        platform_.ReadWholeFile(copy.c_str(), saved) && original == saved) {
      // Backup holds this very file with its line already: only the delete is left to do.
      Deleted(filePath, oldPath);
      return;
    }
    const auto owner = journal_.nameOwners.find(FoldCase(name));
    if (platform_.GetFileAttributesA(copy.c_str()) == win::kInvalidFileAttributes &&
        owner != journal_.nameOwners.end() && owner->second == FoldPath(oldPath)) {
      // A run wrote the line and died before its copy got its name: finish that move.
      const std::string temporary = TemporaryPath();
      if (!CopyAndCheck(filePath, temporary) ||
          !platform_.MoveFileExA(temporary.c_str(), copy.c_str(), false)) {
        BackupFailed(filePath, temporary);
        return;
      }
      Deleted(filePath, oldPath);
      return;
    }
  }

  const std::string name = ClaimName(backupName);
  const std::string target = directory_ + "\\" + name;
  const std::string temporary = TemporaryPath();
  if (!CopyAndCheck(filePath, temporary)) {
    BackupFailed(filePath, temporary);
    return;
  }
  // The line comes before the copy's name: every name in Backup has its line, and a run that
  // dies in between leaves a line that the next run completes.
  try {
    AppendRestoreLine(BackupRestoreLine(name, spelled));
  } catch (const CRestoreScriptError&) {
    RemoveTemporary(temporary);
    throw;
  }
  Record({true, name, spelled});
  if (spelled != oldPath) {
    journal_.backups[FoldPath(oldPath)] = Backup{name, oldPath};
  }
  if (!platform_.MoveFileExA(temporary.c_str(), target.c_str(), false)) {
    BackupFailed(filePath, temporary);
    return;
  }
  Deleted(filePath, oldPath);
}

void CBackupStore::Deleted(const std::string& filePath, const std::string& oldPath) {
  // A file that cannot be deleted (read-only, in use) stays; its copy and line are in place,
  // and it can still be read where it is.
  if (platform_.DeleteFileA(filePath.c_str())) {
    backedUp_.insert(FoldPath(oldPath));
  }
}

bool CBackupStore::CopyToSpool(const std::string& source, const std::string& target) {
  const std::string oldPath = FullPath(platform_, source);
  const auto earlier = journal_.spoolSources.find(FoldPath(target));
  const bool ours = earlier != journal_.spoolSources.end();
  if (ours && earlier->second != FoldPath(oldPath)) {
    return false;  // the copy of another data file
  }
  const win::DWORD attributes = platform_.GetFileAttributesA(target.c_str());
  if (attributes != win::kInvalidFileAttributes) {
    if (!ours || (attributes & win::kFileAttributeDirectory) != 0) {
      return false;  // a file that the migration did not make
    }
    if ((attributes & win::kFileAttributeReadOnly) != 0) {
      platform_.SetFileAttributesA(target.c_str(), win::kFileAttributeNormal);
    }
  } else if (platform_.GetLastError() != win::kErrorFileNotFound) {
    return false;
  }
  const std::string temporary = DirectoryOf(target) + "\\" + kTemporaryFileName;
  if (!platform_.CopyFileA(source.c_str(), temporary.c_str(), false)) {
    RemoveTemporary(temporary);
    return false;
  }
  std::string spelledSource;
  if (!ours && Spellable(target) && SpellForScript(oldPath, spelledSource)) {
    try {
      AppendRestoreLine(SpoolRestoreLine(target, spelledSource));
    } catch (const CRestoreScriptError&) {
      RemoveTemporary(temporary);
      throw;
    }
    journal_.spoolSources[FoldPath(target)] = FoldPath(oldPath);
  }
  // A line that restore.bat cannot spell is left out: the data file stays in its place anyway.
  if (!platform_.MoveFileExA(temporary.c_str(), target.c_str(), ours)) {
    RemoveTemporary(temporary);
    return false;
  }
  return true;
}
