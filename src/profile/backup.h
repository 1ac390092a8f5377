// The backup directory and its journal, restore.bat: every file the migration moves goes into
// Backup, and restore.bat gets a line that copies it back. restore.bat is only ever appended to,
// so it also tells a later run which old file sits in Backup under which name and which Spool
// copies an earlier run made: a run that was cut short can be finished, and running the program
// again loses nothing.
#pragma once

#include <map>
#include <memory>
#include <stdexcept>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "platform/platform.h"
#include "profile/progress.h"

// A line could not be written to the restore script. The migration stops where this is
// thrown; the file being moved is still in its place.
class CRestoreScriptError : public std::runtime_error {
 public:
  CRestoreScriptError(std::string path, win::DWORD code)
      : std::runtime_error("restore script write failed"), path_(std::move(path)), code_(code) {}
  const std::string& Path() const { return path_; }
  win::DWORD Code() const { return code_; }

 private:
  std::string path_;
  win::DWORD code_;
};

// The name of the migration's own temporary file in Backup and in Spool: a copy is made under
// it and renamed into place only when complete. A run removes one that a killed run left.
inline constexpr const char* kTemporaryFileName = "~CheckVela.tmp";

// The restore line of a backup copy: copy/y "%~dp0name" "oldPath" with CR LF. The copy is
// named through %~dp0, the script's own folder, so the line works from any current directory
// (an elevated cmd starts in System32) and after the whole folder has been copied elsewhere.
// Every other % is doubled. The text is still in the ANSI code page.
std::string BackupRestoreLine(const std::string& backupName, const std::string& oldPath);
// The restore line of a Spool copy: copy/y "copyPath" "oldPath" with CR LF, % doubled.
std::string SpoolRestoreLine(const std::string& copyPath, const std::string& oldPath);

// One line of restore.bat, read back (ANSI, % undoubled).
struct CRestoreLine {
  bool backup = false;  // the copy is a backup, named by from; else from is a full path
  std::string from;
  std::string to;
};
// Reads a line in either form (and a backup line of earlier versions, whose copy was named
// bare, without %~dp0); false for any other text.
bool ParseRestoreLine(const std::string& line, CRestoreLine& parsed);

// The absolute form of path (the path itself when the system cannot give one).
std::string FullPath(CPlatform& platform, const std::string& path);
// The short (8.3) form of an existing path; empty when the system cannot give one.
std::string ShortPath(CPlatform& platform, const std::string& path);

class CBackupStore {
 public:
  CBackupStore(CPlatform& platform, CProgress& progress);

  // Creates the backup directory (an existing one is used as it is), removes a temporary file
  // that a killed run left there, reads what restore.bat records (cutting a last line that a
  // killed run left without its CR LF) and opens it for appending. On failure shows a message
  // with the path and the Windows error text and returns false; then nothing may be moved.
  bool Open(const std::string& directory);
  // Closes the restore script (false with the last error when that failed).
  bool Close();
  bool IsOpen() const { return script_ != nullptr; }
  const std::string& Directory() const { return directory_; }
  std::string ScriptPath() const { return directory_ + "\\restore.bat"; }

  // The file to read for the old file at path: the file itself while it is in its place, else
  // its copy in Backup when an earlier run moved it there, else path. A file that this run has
  // backed up is gone for the rest of the run, wherever an earlier run put it, so that a run
  // that finishes an interrupted one reads what one uninterrupted run reads.
  std::string ReadablePath(const std::string& path);
  // The old files of directory whose names match pattern (wildcards * and ?, without regard to
  // case) that an earlier run has moved into Backup and that are no longer in their place.
  std::vector<std::string> MovedAway(const std::string& directory, const std::string& pattern);

  // Moves filePath into the backup directory under backupName, made safe and unique among
  // every backup there. The copy is made under the temporary name, checked byte for byte, its
  // restore line written, and only then renamed into place and the old file deleted. A file
  // that an earlier run has moved already is not moved again. A missing source is skipped
  // silently; a failed copy, or an old path that restore.bat cannot spell, is reported and
  // leaves the file in place. Throws CRestoreScriptError when the line cannot be written.
  void BackupFile(const std::string& filePath, const std::string& backupName);

  // Copies the data file source to target, a path in Spool, so that target shows only the
  // whole copy, and writes its restore line. Not copied (false) when target is a file that
  // the migration did not make (here or in a run whose restore line names that copy) or the
  // copy fails. Throws CRestoreScriptError when the line cannot be written.
  bool CopyToSpool(const std::string& source, const std::string& target);

  // Removes the temporary file that a killed copy may have left in directory.
  void RemoveTemporaryIn(const std::string& directory) {
    RemoveTemporary(directory + "\\" + kTemporaryFileName);
  }

  // A safe form of wanted that no backup in the directory, no line of restore.bat and no other
  // backup of this run uses; marks it as used.
  std::string ClaimName(const std::string& wanted);

 private:
  // A backup copy that restore.bat records.
  struct Backup {
    std::string name;     // in the backup directory
    std::string oldPath;  // as the line gives it
  };
  // What restore.bat records, by folded path. Only backups is walked in order (by directory);
  // the others are looked up by name alone, in tables of thousands of names.
  struct Journal {
    std::map<std::string, Backup> backups;                      // old path -> its latest backup
    std::unordered_map<std::string, std::string> nameOwners;    // name -> latest old path
    std::unordered_map<std::string, std::string> spoolSources;  // Spool copy -> its old path
  };

  // Reads restore.bat into the journal. scriptSize_ becomes the size of its lines that end in a
  // line break; lastLineWhole tells whether a last line without one is a whole restore line.
  // False when the script exists but cannot be read.
  bool ReadJournal(std::string& scriptBytes, bool& lastLineWhole);
  void Record(const CRestoreLine& line);
  // The backup that restore.bat gives the old file at oldPath (a full path); null when none.
  const Backup* FindBackup(const std::string& oldPath);
  // The folded forms under which restore.bat may name the directory: its full path and, when
  // the OEM code page cannot spell that, its short path.
  std::vector<std::string> FoldedDirectoryForms(const std::string& directory);
  // oldPath as restore.bat can carry it in the OEM code page: itself, or its short form;
  // false when neither can be spelled.
  bool SpellForScript(const std::string& oldPath, std::string& spelled);
  bool Spellable(const std::string& text);
  void AppendRestoreLine(const std::string& line);
  // Deletes the old file whose copy and line are in place; it is gone for the rest of the run.
  void Deleted(const std::string& filePath, const std::string& oldPath);
  bool CopyAndCheck(const std::string& source, const std::string& target);
  // filePath stays where it is: the temporary copy goes and a message says why, with the
  // error that stopped the backup.
  void BackupFailed(const std::string& filePath, const std::string& temporary);
  void RemoveTemporary(const std::string& path);
  std::string TemporaryPath() const { return directory_ + "\\" + kTemporaryFileName; }

  CPlatform& platform_;
  CProgress& progress_;
  std::string directory_;
  std::unique_ptr<CWriteFile> script_;
  std::uint64_t scriptSize_ = 0;  // bytes of whole lines in restore.bat
  Journal journal_;
  std::unordered_set<std::string> backedUp_;   // folded full paths of the files backed up here
  std::unordered_set<std::string> usedNames_;  // folded to upper case
};
