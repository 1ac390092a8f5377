#include "profile/backup.h"

#include <algorithm>

#include "app/error_text.h"
#include "platform/ansi_text.h"
#include "profile/file_names.h"
#include "profile/registry_copy.h"
#include "resource.h"

namespace {

// The longest name NTFS and FAT keep, and the longest path the ANSI file functions take
// (MAX_PATH without its NUL).
constexpr size_t kMaxNameLength = 255;
constexpr size_t kMaxPathLength = 259;

// name cut to at most limit characters, in the form Windows stores (no trailing dots or blanks),
// never empty and never a device name.
std::string Bounded(const std::string& name, size_t limit) {
  std::string bounded = name.substr(0, std::max<size_t>(limit, 1));
  bounded = StoredFileName(bounded);
  if (bounded.empty() || IsDeviceName(bounded)) {
    bounded = "_" + bounded.substr(0, limit > 1 ? limit - 1 : 0);
  }
  return bounded;
}

}  // namespace

bool IsTemporaryName(const std::string& name) {
  const std::string folded = FoldCase(name);
  constexpr std::string_view kStem = "~CHECKVELA.";
  constexpr std::string_view kExtension = "TMP";
  if (folded.size() < kStem.size() + kExtension.size() ||
      folded.compare(0, kStem.size(), kStem) != 0 ||
      folded.compare(folded.size() - kExtension.size(), kExtension.size(), kExtension) != 0) {
    return false;
  }
  // ~CheckVela.tmp, or ~CheckVela.<digits>.tmp
  const std::string middle =
      folded.substr(kStem.size(), folded.size() - kStem.size() - kExtension.size());
  return middle.empty() || (middle.size() > 1 && middle.back() == '.' &&
                            IsAllDigits(middle.substr(0, middle.size() - 1)));
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

bool CreateDurableDirectory(CPlatform& platform, const std::string& path) {
  if (platform.CreateDirectoryA(path.c_str())) {
    // A new directory's name is an entry of its parent, which a power cut may take back.
    const std::string parent = DirectoryOf(FullPath(platform, path));
    return parent.empty() || platform.FlushFiles({DirectoryPath(parent)});
  }
  const win::DWORD error = platform.GetLastError();
  const win::DWORD attributes = platform.GetFileAttributesA(path.c_str());
  if (attributes == win::kInvalidFileAttributes ||
      (attributes & win::kFileAttributeDirectory) == 0) {
    platform.SetLastError(error);
    return false;
  }
  return true;
}

CBackupStore::CBackupStore(CPlatform& platform, CProgress& progress)
    : platform_(platform), progress_(progress), journal_(platform) {}

bool CBackupStore::Open(const std::string& directory, bool resumeEnded) {
  directory_ = directory;
  grouped_ = false;
  pending_.clear();
  temporaries_ = 0;
  moved_.clear();
  deletedIn_.clear();
  usedNames_.clear();
  for (const char* reserved : {"restore.bat", "restore.reg"}) {
    usedNames_.insert(FoldCase(reserved));
  }
  if (!CreateDurableDirectory(platform_, directory_)) {
    progress_.ShowMessage(ResourceMessageWithError(platform_, IDS_RESTORE_SCRIPT_CREATE_FAILED,
                                                   directory_.c_str(), platform_.GetLastError()),
                          win::kMbOk);
    return false;
  }
  RemoveTemporariesIn(directory_);
  // Every name in Backup is taken: no backup replaces another, from this run or an earlier one.
  {
    CFindHandle find(platform_);
    win::FindData data;
    for (bool found = find.First(directory_ + "\\*", data); found; found = find.Next(data)) {
      usedNames_.insert(FoldCase(data.name));
    }
  }
  const std::string scriptPath = ScriptPath();
  if (!journal_.Open(scriptPath, resumeEnded)) {
    progress_.ShowMessage(ResourceMessageWithError(platform_, IDS_RESTORE_SCRIPT_CREATE_FAILED,
                                                   scriptPath.c_str(), platform_.GetLastError()),
                          win::kMbOk);
    return false;
  }
  // So is every name a line gives, also when its copy is missing.
  usedNames_.insert(journal_.ClaimedNames().begin(), journal_.ClaimedNames().end());
  return true;
}

bool CBackupStore::Close() {
  return journal_.Close();
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

const CJournal::Backup* CBackupStore::FindBackup(const std::string& oldPath) {
  // A line of an earlier version may give the path in short form, without its long one, when
  // the OEM code page could not spell the long one.
  const std::string name = "\\" + FoldPath(NameOf(oldPath));
  for (std::string directory : FoldedDirectoryForms(DirectoryOf(oldPath))) {
    if (const CJournal::Backup* backup = journal_.FindBackup(directory.append(name))) {
      return backup;
    }
  }
  if (!Spellable(oldPath)) {
    const std::string shortPath = ShortPath(platform_, oldPath);
    if (!shortPath.empty()) {
      return journal_.FindBackup(FoldPath(shortPath));
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
  if (moved_.count(FoldPath(oldPath)) != 0) {
    return path;
  }
  if (const CJournal::Backup* backup = FindBackup(oldPath); backup != nullptr && backup->current) {
    std::string copy = directory_ + "\\" + backup->name;
    if (platform_.GetFileAttributesA(copy.c_str()) != win::kInvalidFileAttributes) {
      return copy;
    }
  }
  return path;
}

std::string CBackupStore::MovedFileName(const std::string& path) {
  if (path.empty() || ReadablePath(path) == path) {
    return std::string();
  }
  const CJournal::Backup* backup = FindBackup(FullPath(platform_, path));
  return backup->foundAs.empty() ? backup->fileName : backup->foundAs;
}

std::vector<std::string> CBackupStore::MovedAway(const std::string& directory,
                                                 const std::string& pattern) {
  std::vector<std::string> moved;
  std::unordered_set<std::string> seen;
  for (const std::string& folded : FoldedDirectoryForms(FullPath(platform_, directory))) {
    for (const CJournal::Backup* backup : journal_.CurrentBackupsIn(folded)) {
      const std::string& name = backup->fileName;
      if (!ansi::WildcardMatch(pattern, name)) {
        continue;
      }
      std::string original = directory;
      original.append("\\").append(name);
      std::string copy = directory_;
      copy.append("\\").append(backup->name);
      const std::string foldedOriginal = FoldPath(FullPath(platform_, original));
      if (moved_.count(foldedOriginal) == 0 && seen.insert(foldedOriginal).second &&
          platform_.GetFileAttributesA(original.c_str()) == win::kInvalidFileAttributes &&
          platform_.GetFileAttributesA(copy.c_str()) != win::kInvalidFileAttributes) {
        moved.push_back(original);
      }
    }
  }
  return moved;
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
  // The name must fit the file system, and the copy's path the ANSI file functions: a line
  // naming a copy that can never be made would be a line without a file.
  const size_t room = directory_.size() + 1 < kMaxPathLength
                          ? std::min(kMaxNameLength, kMaxPathLength - directory_.size() - 1)
                          : 1;
  std::string name = Bounded(safe, room);
  for (unsigned n = 1; usedNames_.count(FoldCase(name)) != 0 || IsTemporaryName(name); ++n) {
    const std::string suffix = "." + std::to_string(n);
    name = Bounded(safe, room > suffix.size() ? room - suffix.size() : 1) + suffix;
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

std::string CBackupStore::BackupLines(const std::string& name, const std::string& spelled,
                                      const std::string& oldPath, const std::string& foundAs) {
  std::string lines = BackupRestoreLine(name, spelled);
  // A later run looks the file up by its long path, and the previous configuration directory
  // by the name the file system gave the main INI.
  if (spelled != oldPath) {
    lines += LongPathLine(oldPath);
  }
  if (!foundAs.empty()) {
    lines += FoundAsLine(foundAs);
  }
  return lines;
}

std::string CBackupStore::NextTemporary(const std::string& directory) {
  const unsigned n = temporaries_++;
  return directory + "\\" +
         (n == 0 ? std::string(kTemporaryFileName) : "~CheckVela." + std::to_string(n) + ".tmp");
}

win::DWORD CBackupStore::ReadOnlyOf(const std::string& path) {
  const win::DWORD attributes = platform_.GetFileAttributesA(path.c_str());
  return attributes != win::kInvalidFileAttributes &&
                 (attributes & win::kFileAttributeReadOnly) != 0
             ? attributes
             : 0;
}

void CBackupStore::MakeWritable(const std::string& path, win::DWORD attributes) {
  const win::DWORD writable = attributes & ~win::kFileAttributeReadOnly;
  platform_.SetFileAttributesA(path.c_str(), writable == 0 ? win::kFileAttributeNormal : writable);
}

bool CBackupStore::SameBytes(const std::string& a, const std::string& b) {
  std::string first;
  std::string second;
  return platform_.ReadWholeFile(a.c_str(), first) && platform_.ReadWholeFile(b.c_str(), second) &&
         first == second;
}

std::string CBackupStore::PrepareCopy(const std::string& source, const std::string& directory,
                                      bool check) {
  std::string temporary = NextTemporary(directory);
  if (!platform_.CopyFileA(source.c_str(), temporary.c_str(), false)) {
    const win::DWORD error = platform_.GetLastError();
    RemoveTemporary(temporary);
    platform_.SetLastError(error);
    return std::string();
  }
  // A copy of a read-only file is read-only too, and a read-only file cannot be opened for the
  // flush; a backup gets the attribute back once it has its name.
  if (const win::DWORD attributes = ReadOnlyOf(temporary); attributes != 0) {
    MakeWritable(temporary, attributes);
  }
  if (check) {
    std::string original;
    std::string copy;
    if (!platform_.ReadWholeFile(source.c_str(), original) ||
        !platform_.ReadWholeFile(temporary.c_str(), copy)) {
      const win::DWORD error = platform_.GetLastError();
      RemoveTemporary(temporary);
      platform_.SetLastError(error);
      return std::string();
    }
    if (original != copy) {
      RemoveTemporary(temporary);
      platform_.SetLastError(win::kErrorWriteFault);
      return std::string();
    }
  }
  return temporary;
}

void CBackupStore::BackupFailed(const std::string& filePath, const std::string& temporary) {
  const win::DWORD error = platform_.GetLastError();
  RemoveTemporary(temporary);
  progress_.ShowMessage(
      ResourceMessageWithError(platform_, IDS_BACKUP_FAILED, filePath.c_str(), error), win::kMbOk);
}

void CBackupStore::RemoveTemporary(const std::string& path) {
  // A copy of a read-only file is read-only too.
  if (!path.empty() && platform_.GetFileAttributesA(path.c_str()) != win::kInvalidFileAttributes) {
    platform_.SetFileAttributesA(path.c_str(), win::kFileAttributeNormal);
    platform_.DeleteFileA(path.c_str());
  }
}

void CBackupStore::RemoveTemporariesIn(const std::string& directory) {
  std::vector<std::string> left;
  {
    CFindHandle find(platform_);
    win::FindData data;
    for (bool found = find.First(directory + "\\~CheckVela*.tmp", data); found;
         found = find.Next(data)) {
      if ((data.attributes & win::kFileAttributeDirectory) == 0 && IsTemporaryName(data.name)) {
        left.push_back(directory + "\\" + data.name);
      }
    }
  }
  for (const std::string& path : left) {
    RemoveTemporary(path);
  }
}

void CBackupStore::Stage(Pending pending) {
  if (pending.temporary.empty() && pending.attributes != 0) {
    // A read-only copy in place cannot be opened for the flush: writable until it is done.
    MakeWritable(pending.target, pending.attributes);
  }
  pending_.push_back(std::move(pending));
  if (!grouped_) {
    Commit();
  }
}

void CBackupStore::AbandonPending() {
  for (const Pending& pending : pending_) {
    RemoveTemporary(pending.temporary);
  }
  pending_.clear();
  temporaries_ = 0;
}

void CBackupStore::DiskFailed(const std::string& where) {
  const win::DWORD error = platform_.GetLastError();
  AbandonPending();
  throw CRestoreScriptError(where, error, IDS_DISK_WRITE_FAILED);
}

void CBackupStore::BackupFile(const std::string& filePath, const std::string& backupName) {
  // The line names the old place in full, so it restores whatever the current directory.
  const std::string oldPath = FullPath(platform_, filePath);
  const std::string folded = FoldPath(oldPath);
  if (moved_.count(folded) != 0) {
    return;
  }
  const win::DWORD attributes = platform_.GetFileAttributesA(filePath.c_str());
  if (attributes == win::kInvalidFileAttributes) {
    const win::DWORD error = platform_.GetLastError();
    if (filePath.empty() || error == win::kErrorFileNotFound || error == win::kErrorPathNotFound) {
      // Nothing there: nothing to move, or an earlier run has moved it already and written its
      // line. Either way it is gone for the rest of this run.
      if (!filePath.empty()) {
        moved_.insert(folded);
      }
      return;
    }
  }
  const win::DWORD restoredAttributes =
      attributes != win::kInvalidFileAttributes && (attributes & win::kFileAttributeReadOnly) != 0
          ? attributes & ~win::kFileAttributeDirectory
          : 0;
  const CJournal::Backup* earlier = FindBackup(oldPath);
  const std::string copy = earlier != nullptr ? directory_ + "\\" + earlier->name : std::string();
  const bool copyThere = earlier != nullptr &&
                         platform_.GetFileAttributesA(copy.c_str()) != win::kInvalidFileAttributes;
  if (earlier != nullptr && earlier->current) {
    if (copyThere && SameBytes(filePath, copy)) {
      // Backup holds this very file with the line of the run being finished: only the delete
      // is left to do.
      moved_.insert(folded);
      Stage({std::string(), copy, std::string(), filePath, folded, ReadOnlyOf(copy), false});
      return;
    }
    if (!copyThere && !journal_.NameContested(FoldCase(earlier->name))) {
      // The run being finished wrote the line and stopped before its copy got its name: finish
      // that move under that name.
      const std::string temporary = PrepareCopy(filePath, directory_, true);
      if (temporary.empty()) {
        BackupFailed(filePath, temporary);
        return;
      }
      moved_.insert(folded);
      Stage({temporary, copy, std::string(), filePath, folded, restoredAttributes, false});
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
  // The name the file system gives the file, when its path spells it otherwise (another case,
  // a short name): a later run needs it where this one looked for it.
  std::string foundAs;
  if (NameOf(oldPath).find_first_of("*?") == std::string::npos) {
    CFindHandle find(platform_);
    win::FindData data;
    if (find.First(filePath, data) && data.name != NameOf(oldPath)) {
      foundAs = data.name;
    }
  }
  if (earlier != nullptr && !earlier->current && copyThere && SameBytes(filePath, copy)) {
    // An earlier, finished run left this very file in Backup: it is taken from there, with a
    // line of this run.
    moved_.insert(folded);
    Stage({std::string(), copy, BackupLines(earlier->name, spelled, oldPath, foundAs), filePath,
           folded, ReadOnlyOf(copy), false});
    return;
  }

  const std::string name = ClaimName(backupName);
  const std::string temporary = PrepareCopy(filePath, directory_, true);
  if (temporary.empty()) {
    BackupFailed(filePath, temporary);
    return;
  }
  moved_.insert(folded);
  Stage({temporary, directory_ + "\\" + name, BackupLines(name, spelled, oldPath, foundAs),
         filePath, folded, restoredAttributes, false});
}

bool CBackupStore::CopyToSpool(const std::string& source, const std::string& target) {
  const std::string oldPath = FullPath(platform_, source);
  const std::string folded = FoldPath(oldPath);
  if (moved_.count(folded) != 0) {
    return false;  // an old file that this run moves into Backup
  }
  const std::string* earlier = journal_.CurrentSpoolSource(FoldPath(target));
  const bool ours = earlier != nullptr;
  if (ours && *earlier != folded) {
    return false;  // the copy of another data file
  }
  bool replace = false;
  const win::DWORD attributes = platform_.GetFileAttributesA(target.c_str());
  if (attributes != win::kInvalidFileAttributes) {
    if ((attributes & win::kFileAttributeDirectory) != 0) {
      return false;
    }
    if (!ours && !SameBytes(source, target)) {
      return false;  // a file that the migration did not make, or not this data file's copy
    }
    if ((attributes & win::kFileAttributeReadOnly) != 0) {
      platform_.SetFileAttributesA(target.c_str(), win::kFileAttributeNormal);
    }
    replace = true;
  } else if (platform_.GetLastError() != win::kErrorFileNotFound) {
    return false;
  }

  std::string lines;
  if (!ours) {
    std::string spelled;
    if (Spellable(target) && SpellForScript(oldPath, spelled)) {
      lines = SpoolRestoreLine(target, spelled);
      if (spelled != oldPath) {
        lines += LongPathLine(oldPath);
      }
    } else {
      // cmd could not spell the line; the data file stays in its place anyway.
      lines = SpoolRecordLine(target, oldPath);
    }
  }
  if (replace && !ours) {
    // An earlier, finished run left this very copy: it is taken as it is, with a line of this
    // run.
    Stage({std::string(), target, lines, std::string(), std::string(), 0, false});
    return true;
  }
  const std::string temporary = PrepareCopy(source, DirectoryOf(target), false);
  if (temporary.empty()) {
    return false;
  }
  Stage({temporary, target, lines, std::string(), std::string(), 0, replace});
  return true;
}

void CBackupStore::Commit() {
  grouped_ = false;
  if (pending_.empty()) {
    return;
  }
  // 1. The copies' data on the disk.
  std::vector<std::string> files;
  files.reserve(pending_.size());
  std::string lines;
  for (const Pending& pending : pending_) {
    files.push_back(pending.temporary.empty() ? pending.target : pending.temporary);
    lines += pending.lines;
  }
  if (!platform_.FlushFiles(files)) {
    DiskFailed(DirectoryOf(pending_.front().target));
  }
  // 2. Their lines, before any copy has its name: every name in Backup and Spool has its line,
  // and a run that stops in between leaves lines that the next run completes.
  if (!lines.empty()) {
    try {
      journal_.Append(lines);
      journal_.Flush();
    } catch (const CRestoreScriptError&) {
      AbandonPending();
      throw;
    }
  }
  // 3. The copies under their names, and the names on the disk.
  std::vector<Pending> batch;
  batch.swap(pending_);
  temporaries_ = 0;
  std::vector<std::string> directories;
  std::vector<bool> placed(batch.size(), true);
  for (size_t i = 0; i < batch.size(); ++i) {
    const Pending& pending = batch[i];
    const std::string directory = DirectoryOf(pending.target);
    // A copy in place already may have got its name in a run that stopped before flushing it.
    if (std::find(directories.begin(), directories.end(), directory) == directories.end()) {
      directories.push_back(directory);
    }
    if (!pending.temporary.empty() &&
        !platform_.MoveFileExA(pending.temporary.c_str(), pending.target.c_str(),
                               pending.replace)) {
      if (pending.original.empty()) {
        const win::DWORD error = platform_.GetLastError();
        for (size_t j = i; j < batch.size(); ++j) {
          RemoveTemporary(batch[j].temporary);
        }
        throw CRestoreScriptError(pending.target, error, IDS_DISK_WRITE_FAILED);
      }
      BackupFailed(pending.original, pending.temporary);
      placed[i] = false;
      continue;
    }
    if (pending.attributes != 0) {
      platform_.SetFileAttributesA(pending.target.c_str(), pending.attributes);
    }
  }
  if (!directories.empty() && !platform_.FlushFiles(directories)) {
    throw CRestoreScriptError(directories.front(), platform_.GetLastError(), IDS_DISK_WRITE_FAILED);
  }
  // 4. Only now the originals go.
  for (size_t i = 0; i < batch.size(); ++i) {
    const Pending& pending = batch[i];
    if (pending.original.empty() || !placed[i]) {
      continue;
    }
    if (platform_.DeleteFileA(pending.original.c_str())) {
      deletedIn_.insert(DirectoryOf(FullPath(platform_, pending.original)));
    } else if (const win::DWORD error = platform_.GetLastError();
               error != win::kErrorFileNotFound && error != win::kErrorPathNotFound) {
      // A file that cannot be deleted (read-only, in use) stays; its copy and line are in
      // place, and it can still be read where it is. The old server would find it there.
      progress_.ShowMessage(ResourceMessageWithError(platform_, IDS_ORIGINAL_NOT_REMOVED,
                                                     pending.original.c_str(), error),
                            win::kMbOk);
    }
  }
}

void CBackupStore::FlushDeletions() {
  Commit();
  if (deletedIn_.empty()) {
    return;
  }
  std::vector<std::string> directories;
  directories.reserve(deletedIn_.size());
  for (const std::string& directory : deletedIn_) {
    directories.push_back(DirectoryPath(directory));
  }
  std::sort(directories.begin(), directories.end());
  if (!platform_.FlushFiles(directories)) {
    throw CRestoreScriptError(directories.front(), platform_.GetLastError(), IDS_DISK_WRITE_FAILED);
  }
  deletedIn_.clear();
}
