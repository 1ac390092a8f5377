// The backup directory: every file the migration moves goes into Backup with a line in
// restore.bat (the journal, profile/journal.h) that copies it back, and every data file it copies
// into Spool gets one too. Nothing is deleted before its copy is checked and, with its name and
// its line, on the disk.
#pragma once

#include <memory>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "platform/platform.h"
#include "profile/journal.h"
#include "profile/progress.h"

// The name of the migration's own temporary files in Backup and in Spool: a copy is made under
// ~CheckVela.tmp (or ~CheckVela.<n>.tmp, when several wait to be made durable together) and
// renamed into place only when complete. A run removes those that a killed run left.
inline constexpr const char* kTemporaryFileName = "~CheckVela.tmp";
// True for a name of the temporary files, in any case.
bool IsTemporaryName(const std::string& name);

// The absolute form of path (the path itself when the system cannot give one).
std::string FullPath(CPlatform& platform, const std::string& path);
// The short (8.3) form of an existing path; empty when the system cannot give one.
std::string ShortPath(CPlatform& platform, const std::string& path);
// Creates a directory and makes its name durable in its parent; true when it is there. False,
// with the last error set, when it cannot be made or its name cannot be flushed.
bool CreateDurableDirectory(CPlatform& platform, const std::string& path);

class CBackupStore {
 public:
  CBackupStore(CPlatform& platform, CProgress& progress);

  // Creates the backup directory (an existing one is used as it is), removes the temporary
  // files that a killed run left there, reads restore.bat (CJournal::Open, with resumeEnded)
  // and opens it for appending. On failure shows a message with the path and the Windows error
  // text and returns false; then nothing may be moved.
  bool Open(const std::string& directory, bool resumeEnded = false);
  // Closes the restore script (false with the last error when that failed).
  bool Close();
  bool IsOpen() const { return journal_.IsOpen(); }
  const std::string& Directory() const { return directory_; }
  std::string ScriptPath() const { return directory_ + "\\restore.bat"; }
  // True when restore.bat holds lines of the program's forms: earlier runs moved something.
  bool HasJournal() const { return journal_.HasLines(); }

  // The file to read for the old file at path: the file itself while it is in its place, else
  // its copy in Backup when the run being finished moved it there, else path. A file that this
  // run has backed up is gone for the rest of the run, wherever an earlier run put it, so that
  // a run that finishes an interrupted one reads what one uninterrupted run reads.
  std::string ReadablePath(const std::string& path);
  // The name under which the file at path lay in its directory, when it is no longer there and
  // the run being finished moved it into Backup; empty otherwise.
  std::string MovedFileName(const std::string& path);
  // The old files of directory whose names match pattern (wildcards * and ?, without regard to
  // case) that the run being finished has moved into Backup and that are no longer in their
  // place.
  std::vector<std::string> MovedAway(const std::string& directory, const std::string& pattern);

  // Until Commit, the moves and Spool copies asked for are prepared (copied and checked) and
  // then made durable together: one flush of the copies, one of restore.bat, one of the
  // directories, then the deletes. Outside a group each is committed at once.
  void BeginGroup() { grouped_ = true; }
  // Makes what the group prepared durable and deletes the originals: copies flushed, their lines
  // appended and flushed, the copies renamed into place and their directories flushed, then each
  // original deleted (a message names one that cannot be). Throws CRestoreScriptError when a
  // line cannot be written or something cannot be made durable: the originals then stay.
  void Commit();

  // Moves filePath into the backup directory under backupName, made safe and unique among
  // every backup there. The copy is made under a temporary name and checked byte for byte; then
  // (Commit) it is flushed, its line written and flushed, the copy renamed into place, and the
  // old file deleted. A file that the run being finished has moved already is not moved again;
  // one that an earlier run left in Backup byte for byte is taken from there. A missing source
  // is skipped silently; a failed copy, or an old path that restore.bat cannot spell, is
  // reported and leaves the file in place. Throws CRestoreScriptError as Commit does.
  void BackupFile(const std::string& filePath, const std::string& backupName);

  // Copies the data file source to target, a path in Spool, so that target shows only the
  // whole copy, durable, with its line (a record that cmd skips where cmd could not spell the
  // line). The copy loses the read-only attribute: the new server deletes it after printing.
  // Not copied (false) when target is a file that the migration did not make in the run being
  // finished and that does not hold the data file's bytes, or the source is an old file this
  // run has moved, or the copy fails. Throws CRestoreScriptError as Commit does.
  bool CopyToSpool(const std::string& source, const std::string& target);

  // After the last Commit: makes the deletes durable (the directories of the originals).
  // Throws CRestoreScriptError when that fails.
  void FlushDeletions();
  // Ends the run in restore.bat (CJournal::EndRun).
  void EndRun() { journal_.EndRun(); }

  // Removes the temporary files that a killed copy may have left in directory.
  void RemoveTemporariesIn(const std::string& directory);

  // A safe form of wanted that no backup in the directory, no line of restore.bat and no other
  // backup of this run uses, short enough for the file system; marks it as used.
  std::string ClaimName(const std::string& wanted);

 private:
  // A copy waiting for Commit.
  struct Pending {
    std::string temporary;      // the copy under its temporary name; empty when in place already
    std::string target;         // where the copy goes
    std::string lines;          // what restore.bat gets for it
    std::string original;       // the old file to delete; empty for a Spool copy
    std::string oldPath;        // folded, for a backup
    win::DWORD attributes = 0;  // the backup's attributes, set again after the rename
    bool replace = false;       // the target may be replaced (the run's own Spool copy)
  };

  // The backup that the journal gives the old file at oldPath (a full path), also under the
  // short forms the script may have used; null when none.
  const CJournal::Backup* FindBackup(const std::string& oldPath);
  // The folded forms under which restore.bat may name the directory: its full path and, when
  // the OEM code page cannot spell that, its short path.
  std::vector<std::string> FoldedDirectoryForms(const std::string& directory);
  // oldPath as restore.bat can carry it in the OEM code page: itself, or its short form;
  // false when neither can be spelled.
  bool SpellForScript(const std::string& oldPath, std::string& spelled);
  bool Spellable(const std::string& text);
  // The lines that restore a backup named name of the file at oldPath, spelled as the script
  // can carry it, with what later runs need to find it again.
  std::string BackupLines(const std::string& name, const std::string& spelled,
                          const std::string& oldPath, const std::string& foundAs);
  // Copies source to a new temporary file in directory, checked byte for byte, writable; its
  // path, or empty with the last error set.
  std::string PrepareCopy(const std::string& source, const std::string& directory, bool check);
  std::string NextTemporary(const std::string& directory);
  bool SameBytes(const std::string& a, const std::string& b);
  // The attributes of a read-only file, which it gets back after its flush; 0 for any other.
  win::DWORD ReadOnlyOf(const std::string& path);
  // Clears the read-only attribute of path, whose attributes are given, keeping the others.
  void MakeWritable(const std::string& path, win::DWORD attributes);
  // filePath stays where it is: the temporary copy goes and a message says why, with the
  // error that stopped the backup.
  void BackupFailed(const std::string& filePath, const std::string& temporary);
  void RemoveTemporary(const std::string& path);
  void Stage(Pending pending);
  void AbandonPending();
  [[noreturn]] void DiskFailed(const std::string& where);

  CPlatform& platform_;
  CProgress& progress_;
  std::string directory_;
  CJournal journal_;
  bool grouped_ = false;
  std::vector<Pending> pending_;
  unsigned temporaries_ = 0;  // temporary names handed out since the last Commit
  // Folded full paths of the old files that this run has moved (or is moving): gone for the
  // rest of the run.
  std::unordered_set<std::string> moved_;
  std::unordered_set<std::string> usedNames_;  // folded to upper case
  std::unordered_set<std::string> deletedIn_;  // directories of deleted originals, not flushed
};
