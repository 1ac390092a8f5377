// The migration driver: finds the old configuration and runs the conversion steps in order.
#include <vector>

#include "app/error_text.h"
#include "migrate/migration.h"
#include "profile/registry_copy.h"
#include "resource.h"

namespace {

// The subkey of the product key that marks a migration under way: made before the migration's
// first change and deleted as its last step. A later run finishes a migration that still has
// it, and leaves a finished one (which never has it) alone.
constexpr const char* kMigrationMarker = "MigrationInProgress";

}  // namespace

CMigration::CMigration(CPlatform& platform, CProgress& progress)
    : platform_(platform),
      progress_(progress),
      productKey_(platform),
      mainIni_(platform, std::string()),
      backup_(platform, progress) {}

std::string CMigration::FindPreviousConfigDirectory(const std::string& mainIniPath) {
  // The name that the file system reports for the main INI; a path whose file name is
  // spelled otherwise (short name, other case) does not contain it.
  std::string reportedName;
  {
    CFindHandle find(platform_);
    win::FindData data;
    if (find.First(mainIniPath, data)) {
      reportedName = data.name;
    }
  }
  // Moved into Backup by the run being finished: the name it had there, so that the directory
  // is the one an uninterrupted run finds.
  if (reportedName.empty()) {
    reportedName = backup_.MovedFileName(mainIniPath);
  }
  if (!reportedName.empty()) {
    const size_t position = mainIniPath.find(reportedName);
    if (position != std::string::npos && position > 0) {
      return mainIniPath.substr(0, position);
    }
  }
  const size_t lastBackslash = mainIniPath.rfind('\\');
  return lastBackslash == std::string::npos ? std::string()
                                            : mainIniPath.substr(0, lastBackslash + 1);
}

bool CMigration::MigrationDue(bool& marked) {
  marked = false;
  {
    CRegKey marker(platform_);
    if (marker.Open(productKey_.Get(), kMigrationMarker) == win::kErrorSuccess) {
      marked = true;
      return true;  // an interrupted migration, to be finished
    }
  }
  // A queue key means the configuration has been migrated already; so does CurrentJobs, which
  // every migration that gets past its start makes, also one whose queues were all skipped.
  CRegKey queues(platform_);
  if (queues.Open(productKey_.Get(), "Queues") == win::kErrorSuccess) {
    win::DWORD subKeys = 0;
    win::DWORD longest = 0;
    if (platform_.RegQueryInfoKeyA(queues.Get(), &subKeys, &longest) == win::kErrorSuccess &&
        subKeys >= 1) {
      return false;
    }
  }
  CRegKey currentJobs(platform_);
  return currentJobs.Open(productKey_.Get(), "CurrentJobs") != win::kErrorSuccess;
}

std::string CMigration::ProfileFilePath(const std::string& name) const {
  // The profile functions look for a name without a directory in the Windows directory.
  if (!name.empty() && name.find_first_of("\\/:") == std::string::npos) {
    return windowsDirectory_ +
           (windowsDirectory_.empty() || windowsDirectory_.back() == '\\' ? "" : "\\") + name;
  }
  return FullPath(platform_, name);
}

bool CMigration::MigrateConfiguration(const std::string& programDirectory) {
  // Opened first and created only when missing, so that creating it counts as a change.
  if (productKey_.Open(win::kHkeyLocalMachine, kProductKeyPath) != win::kErrorSuccess) {
    if (!MayChangeRegistry() ||
        productKey_.Create(win::kHkeyLocalMachine, kProductKeyPath) != win::kErrorSuccess) {
      return false;
    }
  }
  progress_.SetStatusLine(platform_.LoadStringA(IDS_IMPORTING_FILE));

  bool marked = false;
  // From here on the migration writes below the product key, only with its way back.
  if (!MigrationDue(marked) || !MayChangeRegistry()) {
    productKey_.Close();
    return false;
  }

  const std::string spool = programDirectory + "Spool";
  CreateDurableDirectory(platform_, spool);
  spoolDirectory_ = spool + "\\";
  spooledNames_.clear();
  backup_.RemoveTemporariesIn(spool);

  // Nothing moves until the backup directory and the restore script are known to work. The
  // script also tells which old files the run being finished has moved already: they are read
  // from their copies. With the marker there, a run that restore.bat says has ended lost only
  // its last step.
  if (!backup_.Open(programDirectory + "Backup", marked)) {
    productKey_.Close();
    return false;
  }

  std::vector<char> buffer(268);
  win::UINT length = platform_.GetWindowsDirectoryA(buffer.data(), 268);
  if (length >= buffer.size()) {
    buffer.resize(length + 1);
    length = platform_.GetWindowsDirectoryA(buffer.data(), static_cast<win::UINT>(buffer.size()));
  }
  windowsDirectory_.assign(buffer.data(), length < buffer.size() ? length : 0);
  std::string windowsIni = windowsDirectory_;
  windowsIni += (!windowsIni.empty() && windowsIni.back() == '\\') ? "vela.ini" : "\\vela.ini";
  const std::string readableWindowsIni = backup_.ReadablePath(windowsIni);
  if (backup_.HasJournal() &&
      platform_.GetFileAttributesA(readableWindowsIni.c_str()) == win::kInvalidFileAttributes) {
    // Earlier runs moved files, and nothing says where the file that names the old
    // configuration went: migrating nothing now would pass for a finished migration.
    std::string message;
    FormatResourceMessage(platform_, message, IDS_WINDOWS_INI_UNACCOUNTED, windowsIni.c_str());
    progress_.ShowMessage(message, win::kMbOk);
    backup_.Close();
    productKey_.Close();
    return false;
  }
  {
    CRegKey marker(platform_);
    marker.Create(productKey_.Get(), kMigrationMarker);
  }
  progress_.SetDetailLine(windowsIni);

  mainIni_.SetPath(readableWindowsIni);
  const std::string mainIniPath = mainIni_.GetString("Settings", "Ini");
  previousConfigDirectory_ = FindPreviousConfigDirectory(mainIniPath);
  // The main INI is read through the full path of the file that is then backed up, so that a
  // bare or relative name reads and moves one and the same file.
  const std::string mainIniFile =
      mainIniPath.empty() ? mainIniPath : FullPath(platform_, mainIniPath);

  progress_.SetDetailLine(mainIniPath);

  backup_.BackupFile(windowsIni, "winvela.ini");
  // Resolved after that move: an Ini that names the Windows-directory vela.ini itself names a
  // file that is gone now.
  mainIni_.SetPath(backup_.ReadablePath(mainIniFile));
  MigrateProgramSettings();
  if (!MigrateCurrentJobs()) {
    productKey_.Close();
    return false;
  }
  ReadQueueList();
  backup_.BackupFile(mainIniFile, "vela.ini");
  for (const auto& [queueName, queueDirectory] : queueDirectories_) {
    MigrateQueue(queueName, queueDirectory);
  }
  MigrateAuxiliaryTables();
  return Finish();
}

bool CMigration::FlushRegistry() {
  const win::LONG flushed = platform_.RegFlushKey(productKey_.Get());
  if (flushed != win::kErrorSuccess) {
    progress_.ShowMessage(
        ResourceMessageWithError(platform_, IDS_REGISTRY_FLUSH_FAILED, kProductKeyPath,
                                 static_cast<win::DWORD>(flushed)),
        win::kMbOk);
  }
  return flushed == win::kErrorSuccess;
}

bool CMigration::Finish() {
  backup_.FlushDeletions();
  // restore.bat says that the run ended only once the registry it wrote is on the disk: a
  // later run takes an ended run's files as moved for good. Until then a power cut may give
  // the registry back as of any earlier flush (the system flushes it lazily, too), which is an
  // interruption like any other: the run being finished is rebuilt from restore.bat and Backup,
  // so no flush is needed before this one.
  bool finished = FlushRegistry();
  if (finished) {
    backup_.EndRun();
    // The last step: the migration is complete. A cut before its flush leaves the marker with
    // an ended run, which the next run finishes by this step alone.
    platform_.RegDeleteKeyA(productKey_.Get(), kMigrationMarker);
    finished = FlushRegistry();
  }
  backup_.Close();
  productKey_.Close();
  return finished;
}
