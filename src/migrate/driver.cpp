// The migration driver: finds the old configuration and runs the conversion steps in order.
#include <vector>

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

bool CMigration::MigrationDue() {
  {
    CRegKey marker(platform_);
    if (marker.Open(productKey_.Get(), kMigrationMarker) == win::kErrorSuccess) {
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
    if (beforeRegistryChange_) {
      beforeRegistryChange_();
    }
    if (productKey_.Create(win::kHkeyLocalMachine, kProductKeyPath) != win::kErrorSuccess) {
      return false;
    }
  }
  progress_.SetStatusLine(platform_.LoadStringA(IDS_IMPORTING_FILE));

  if (!MigrationDue()) {
    productKey_.Close();
    return false;
  }
  // From here on the migration writes below the product key.
  if (beforeRegistryChange_) {
    beforeRegistryChange_();
  }

  const std::string spool = programDirectory + "Spool";
  platform_.CreateDirectoryA(spool.c_str());
  spoolDirectory_ = spool + "\\";
  spooledNames_.clear();
  backup_.RemoveTemporaryIn(spool);

  // Nothing moves until the backup directory and the restore script are known to work. The
  // script also tells which old files earlier runs have moved already: they are read from
  // their copies.
  if (!backup_.Open(programDirectory + "Backup")) {
    productKey_.Close();
    return false;
  }
  {
    CRegKey marker(platform_);
    marker.Create(productKey_.Get(), kMigrationMarker);
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
  progress_.SetDetailLine(windowsIni);

  mainIni_.SetPath(backup_.ReadablePath(windowsIni));
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

  backup_.Close();
  // The last step: the migration is complete.
  platform_.RegDeleteKeyA(productKey_.Get(), kMigrationMarker);
  productKey_.Close();
  return true;
}
