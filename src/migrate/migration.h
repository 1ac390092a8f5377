// The migration of an old INI configuration into the registry tree below the product key.
#pragma once

#include <functional>
#include <set>
#include <string>
#include <utility>

#include "platform/platform.h"
#include "profile/backup.h"
#include "profile/ini.h"
#include "profile/progress.h"

class CMigration {
 public:
  CMigration(CPlatform& platform, CProgress& progress);

  // Runs the whole migration for the program directory (ending in a backslash). False when
  // nothing was due (already migrated), when the product key, the backup directory, the
  // restore script or CurrentJobs could not be had. Throws CRestoreScriptError when a restore
  // line cannot be written.
  bool MigrateConfiguration(const std::string& programDirectory);

  // Called right before the migration first changes the registry (see CRegistryRestore); when
  // it returns false, the migration changes nothing and returns false.
  void SetBeforeRegistryChange(std::function<bool()> hook) {
    beforeRegistryChange_ = std::move(hook);
  }

  // The steps, in the order the driver runs them.
  void MigrateProgramSettings();
  bool MigrateCurrentJobs();
  void ReadQueueList();
  void MigrateQueue(const std::string& queueName, const std::string& queueDirectory);
  void MigrateQueueJobs(const std::string& queueName, const std::string& queueDirectory);
  void MigrateJob(const std::string& queueName, const std::string& controlFilePath);
  void MigrateAuxiliaryTables();

  // State that the steps share, readable for tests.
  const std::string& SpoolDirectory() const { return spoolDirectory_; }
  const std::string& MainIniPath() const { return mainIni_.m_strPath; }
  const std::string& PreviousConfigDirectory() const { return previousConfigDirectory_; }
  const CMapStringToString& QueueDirectories() const { return queueDirectories_; }
  const CMapStringToString& ControlFileDirectories() const { return controlFileDirectories_; }
  CBackupStore& Backup() { return backup_; }

 private:
  std::string FindPreviousConfigDirectory(const std::string& mainIniPath);
  // False when a migration has finished already; true when none has run or one was cut short.
  // marked: the marker of an unfinished migration is there.
  bool MigrationDue(bool& marked);
  // True when the registry may be changed: its way back is on the disk.
  bool MayChangeRegistry() { return !beforeRegistryChange_ || beforeRegistryChange_(); }
  // The last steps: everything made durable, then the end of the run in restore.bat, then the
  // marker goes. False, after a message, when the registry cannot be written to the disk.
  bool Finish();
  // RegFlushKey of the product key; false after a message when it fails.
  bool FlushRegistry();
  // The file that the profile functions read for name: a name without a directory lies in the
  // Windows directory, any other is taken in full.
  std::string ProfileFilePath(const std::string& name) const;
  // Copies one data file of a job into the spool directory; false when it was not copied.
  bool CopyDataFile(const std::string& dataFileName, const std::string& sourcePath);

  CPlatform& platform_;
  CProgress& progress_;
  CRegKey productKey_;
  CIni mainIni_;
  CBackupStore backup_;
  std::string spoolDirectory_;
  std::string windowsDirectory_;
  std::string previousConfigDirectory_;
  CMapStringToString queueDirectories_;
  CMapStringToString controlFileDirectories_;
  std::set<std::string> spooledNames_;  // folded to upper case
  std::function<bool()> beforeRegistryChange_;
};
