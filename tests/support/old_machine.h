// A realistic old installation on an emulated machine, and the checks that a run of the
// program, finished, killed or failed, lost no file: every old file is in its old place or in
// Backup with its restore line, and running the restore lines brings every moved file back.
#pragma once

#include <map>
#include <memory>
#include <ostream>
#include <sstream>
#include <string>
#include <string_view>
#include <vector>

#include "platform/emulated/emulated_platform.h"

// Windows path (as the file system spells it) -> bytes.
using CMachineFiles = std::map<std::string, std::string>;

// One line of restore.bat that cmd runs: copy/y "from" "to", or if not exist "to" copy/y
// "from" "to" (guarded), with %% read back as % and OEM text as ANSI.
struct CScriptLine {
  std::string from;
  std::string to;
  bool guarded = false;  // copies only when nothing lies at to
};

struct CRestoreScript {
  std::vector<CScriptLine> lines;      // complete lines that copy, in order
  std::vector<std::string> remarks;    // complete lines that cmd skips (rem ...)
  std::vector<std::string> malformed;  // complete lines that are neither
  std::string torn;                    // a last line without its CR LF (absent for cmd's user)
};

// Code page 437 back to Windows-1252, for the characters both hold.
std::string OemToAnsi(std::string_view oem);
CRestoreScript ParseRestoreScript(const std::string& oemBytes);

// What a finished run leaves behind, for comparing two runs.
struct CRunResult {
  std::string registry;  // registry.reg
  CMachineFiles backup;  // the files in Backup, restore.bat included
  CMachineFiles spool;
  CMachineFiles elsewhere;  // every other file on drive C: (the old installation's that stay)
  std::vector<std::string> messages;
  int endResult = 0;
  bool operator==(const CRunResult&) const = default;
};
std::ostream& operator<<(std::ostream& out, const CRunResult& result);

class COldMachine {
 public:
  static constexpr const char* kProgram = "C:\\Program Files\\Vela\\";
  static constexpr const char* kBackup = "C:\\Program Files\\Vela\\Backup";
  static constexpr const char* kSpool = "C:\\Program Files\\Vela\\Spool";
  static constexpr const char* kScript = "C:\\Program Files\\Vela\\Backup\\restore.bat";

  // A fresh machine holding the old installation; removed again by the destructor.
  COldMachine();
  // A fresh machine holding a copy of another machine's files.
  explicit COldMachine(const COldMachine& source);
  ~COldMachine();
  COldMachine& operator=(const COldMachine&) = delete;

  const std::string& Root() const { return root_; }
  // A new platform on this machine, as a new process would have it; the registry is loaded.
  std::unique_ptr<CEmulatedPlatform> NewPlatform();
  // From now on the machine is a volume with 8.3 names and another search order
  // (CShortNamePlatform): the program and the checks below see it through that double.
  void UseShortNames() { shortNames_ = true; }
  bool ShortNames() const { return shortNames_; }
  // What the program is to run on: platform itself, or the double over it.
  std::unique_ptr<CPlatform> Through(CPlatform& platform) const;
  // Writes a file of the machine (its directory must exist) or removes one.
  void Write(const std::string& windowsPath, const std::string& bytes);
  void Remove(const std::string& windowsPath);

  // Every file on drive C:.
  CMachineFiles Files();
  std::string RegistryFile();
  bool Exists(const std::string& hostRelative) const;

  // The restore script as it is on disk now (empty when missing).
  CRestoreScript RestoreScript();
  // The old files that are neither in their old place with the same bytes nor in Backup with
  // a complete restore line; one readable entry each.
  std::vector<std::string> LostFiles(const CMachineFiles& original);
  // Runs the complete restore lines through a new platform, as cmd would from Backup; returns
  // the lines that failed.
  std::vector<std::string> RunRestoreLines();
  // The old files not back in their place byte for byte.
  std::vector<std::string> NotRestored(const CMachineFiles& original);

  // Runs the whole program as the POSIX build does: load the registry, run, save it.
  CRunResult RunProgram();

  std::ostringstream out;
  std::ostringstream err;

 private:
  void LayOut();
  std::string root_;
  bool shortNames_ = false;
};

// Readable list for failure messages.
std::string Join(const std::vector<std::string>& items);
