// restore.bat, read and written: the way back for the administrator and the journal for later
// runs. Every line that cmd runs is a quoted copy/y that brings one file back; the lines that
// only record something for later runs begin with "rem", which cmd skips. A run appends and
// never rewrites what is there, so the journal keeps every line of every run: which old file
// lies in Backup under which name, which Spool copies the migration made, and where each
// finished run ended.
#pragma once

#include <cstdint>
#include <memory>
#include <stdexcept>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "platform/platform.h"
#include "resource.h"

// A line could not be written to restore.bat, or what the migration wrote could not be made
// durable. The migration stops where this is thrown; the file being moved is still in its
// place. messageId is the text shown for it, with the path and the Windows error.
class CRestoreScriptError : public std::runtime_error {
 public:
  CRestoreScriptError(std::string path, win::DWORD code,
                      win::UINT messageId = IDS_RESTORE_SCRIPT_WRITE_FAILED)
      : std::runtime_error("restore script write failed"),
        path_(std::move(path)),
        code_(code),
        messageId_(messageId) {}
  const std::string& Path() const { return path_; }
  win::DWORD Code() const { return code_; }
  win::UINT MessageId() const { return messageId_; }

 private:
  std::string path_;
  win::DWORD code_;
  win::UINT messageId_;
};

// ---- The line forms (ANSI text without the line break; the file holds them in the OEM code
// page that cmd reads batch files in, each ended by CR LF).

// A backup copy: copy/y "%~dp0name" "oldPath". The copy is named through %~dp0, the script's
// own folder, so the line works from any current directory (an elevated cmd starts in System32)
// and after the whole folder has been copied elsewhere. Every other % is doubled.
std::string BackupRestoreLine(const std::string& backupName, const std::string& oldPath);
// A Spool copy: if not exist "oldPath" copy/y "copyPath" "oldPath". The data file is only ever
// copied, so it is normally still in its place, and what lies there then (also a file that the
// old server wrote since) is never replaced.
std::string SpoolRestoreLine(const std::string& copyPath, const std::string& oldPath);
// Where a finished run ended: the lines before it are history for later runs.
std::string RunEndedLine();
// The line above names its old path in a short form; this is its long form.
std::string LongPathLine(const std::string& longPath);
// The file of the line above lay in its directory under name, which its path spelled otherwise.
std::string FoundAsLine(const std::string& name);
// A Spool copy whose restore line cmd could not spell: recorded, not restored.
std::string SpoolRecordLine(const std::string& copyPath, const std::string& oldPath);

// One line read back.
struct CRestoreLine {
  enum class EKind { kBackup, kSpool, kRunEnded, kLongPath, kFoundAs };
  EKind kind = EKind::kBackup;
  std::string from;  // kBackup: the backup name; kSpool: the copy's full path
  std::string to;    // the old path; kLongPath: the long path; kFoundAs: the name
};
// Reads a line of any form that this and earlier versions wrote: the forms above, a backup
// line whose copy is named bare ("copy/y "name" "old"", relative to the folder cmd runs in)
// and the unquoted form of the first version ("copy/y name C:\old path", % not doubled).
// False for any other text.
bool ParseRestoreLine(const std::string& line, CRestoreLine& parsed);
// True when text, a last line without its line break, can be what is left of a line of one of
// the program's forms that a killed run or a power cut tore.
bool IsTornProgramLine(const std::string& text);

// Paths as Windows compares them: upper case, one kind of separator.
std::string FoldPath(const std::string& path);
// The directory part of a path, without its last separator; empty when there is none.
std::string DirectoryOf(const std::string& path);
// A directory as DirectoryOf gives it, as a path that names it: a drive's root ("C:") gets its
// separator back, since "C:" alone names the drive's current directory.
std::string DirectoryPath(const std::string& directory);
// The last component of a path.
std::string NameOf(const std::string& path);

class CJournal {
 public:
  // A backup copy that a line records, found by the folded old path, in its long form. What is
  // kept are names: a journal of many runs has tens of thousands of them.
  struct Backup {
    std::string name;      // in the backup directory
    std::string fileName;  // the old path's last component, as the line spells it
    std::string foundAs;   // the name the file system gave it, when fileName spells it otherwise
    bool current = false;  // recorded by the run that is being finished
  };

  explicit CJournal(CPlatform& platform);

  // Reads restore.bat at path (missing is empty), repairs its end and opens it for appending.
  // A tail of NUL bytes (data that a power cut lost) and a last line that can be the torn
  // remains of a program line go; any other last line without a line break gets one.
  //
  // The run being finished is what follows the last RunEndedLine: the lines of a run that
  // stopped before its end. With resumeEnded (the registry says the migration is not finished)
  // and nothing after that line, it is the run that ended there: only the registry's last step
  // was lost. False with the last error set when the file cannot be read or opened.
  bool Open(const std::string& path, bool resumeEnded);
  bool Close();
  bool IsOpen() const { return file_ != nullptr; }
  const std::string& Path() const { return path_; }

  // The latest backup that a line records for the old file at the folded full path; null when
  // none does.
  const Backup* FindBackup(const std::string& foldedPath) const;
  // The backups of the run being finished whose old file lay in the folded directory.
  std::vector<const Backup*> CurrentBackupsIn(const std::string& foldedDirectory) const;
  // The folded old path of a Spool copy that the run being finished made at the folded copy
  // path; null when it made none there.
  const std::string* CurrentSpoolSource(const std::string& foldedCopyPath) const;
  // True when the lines give the backup name (folded) to more than one old file.
  bool NameContested(const std::string& foldedName) const {
    return contested_.count(foldedName) != 0;
  }
  // Every backup name that a line gives, folded.
  const std::unordered_set<std::string>& ClaimedNames() const { return claimed_; }
  // True when the journal holds any line of the program's forms.
  bool HasLines() const { return hasLines_; }

  // Appends whole lines (ANSI, each with its CR LF). Throws CRestoreScriptError when they
  // cannot be written; the script then still ends at a whole line.
  void Append(const std::string& lines);
  // Writes everything appended through to the disk; throws CRestoreScriptError on failure.
  void Flush();
  // Appends RunEndedLine and flushes, when a run is open: lines follow the last end, or this
  // process appended some.
  void EndRun();

 private:
  void Read(const std::string& bytes, std::uint64_t& keep, bool& endWhole, bool resumeEnded);
  void Record(const CRestoreLine& line, bool current);

  CPlatform& platform_;
  std::string path_;
  std::unique_ptr<CWriteFile> file_;
  std::uint64_t size_ = 0;  // bytes of whole lines in the file
  bool hasLines_ = false;
  bool runOpen_ = false;
  std::unordered_map<std::string, Backup> backups_;  // by folded old path
  // The current run's backups by folded directory, for CurrentBackupsIn.
  std::unordered_map<std::string, std::vector<const Backup*>> currentByDirectory_;
  std::unordered_map<std::string, std::string> currentSpool_;  // folded copy -> folded old path
  std::unordered_set<std::string> claimed_;
  std::unordered_set<std::string> contested_;
};
