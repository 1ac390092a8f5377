// The backup directory and the restore script: every file the migration moves goes into
// Backup, and restore.bat gets a line that copies it back.
#pragma once

#include <memory>
#include <set>
#include <stdexcept>
#include <string>

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

// One restore line: copy/y "from" "to" with CR LF, both paths quoted and % doubled, so that
// cmd copies every path back exactly as it was. The text is still in the ANSI code page.
std::string RestoreLine(const std::string& from, const std::string& to);

// The absolute form of path (the path itself when the system cannot give one).
std::string FullPath(CPlatform& platform, const std::string& path);

class CBackupStore {
 public:
  CBackupStore(CPlatform& platform, CProgress& progress);

  // Creates the backup directory (an existing one is used as it is) and creates or empties
  // restore.bat in it. On failure shows a message with the path and the Windows error text
  // and returns false; then nothing may be moved.
  bool Open(const std::string& directory);
  // Closes the restore script (false with the last error when that failed).
  bool Close();
  bool IsOpen() const { return script_ != nullptr; }
  const std::string& Directory() const { return directory_; }
  std::string ScriptPath() const { return directory_ + "\\restore.bat"; }

  // Moves filePath into the backup directory under backupName, made safe and unique within
  // this run. The old file is deleted only after its copy has been checked byte for byte and
  // its restore line written. A missing source is skipped silently; a failed copy is reported
  // and leaves the file in place. Throws CRestoreScriptError when the line cannot be written.
  void BackupFile(const std::string& filePath, const std::string& backupName);

  // Appends the line that copies `from` back to `to`. Throws CRestoreScriptError on failure.
  void AppendRestoreLine(const std::string& from, const std::string& to);

  // A safe form of wanted that no other backup of this run uses; marks it as used.
  std::string ClaimName(const std::string& wanted);

 private:
  bool CopyAndCheck(const std::string& source, const std::string& target);

  CPlatform& platform_;
  CProgress& progress_;
  std::string directory_;
  std::unique_ptr<CWriteFile> script_;
  std::set<std::string> usedNames_;  // folded to upper case
};
