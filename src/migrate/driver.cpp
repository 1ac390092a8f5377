// The migration driver: finds the old configuration and runs the conversion steps in order.
#include <vector>

#include "migrate/migration.h"
#include "profile/registry_copy.h"
#include "resource.h"

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

  // A queue key left by an earlier run means the configuration has been migrated already.
  {
    CRegKey queues(platform_);
    if (queues.Open(productKey_.Get(), "Queues") == win::kErrorSuccess) {
      win::DWORD subKeys = 0;
      win::DWORD longest = 0;
      if (platform_.RegQueryInfoKeyA(queues.Get(), &subKeys, &longest) == win::kErrorSuccess &&
          subKeys >= 1) {
        productKey_.Close();
        return false;
      }
    }
  }
  // From here on the migration writes below the product key.
  if (beforeRegistryChange_) {
    beforeRegistryChange_();
  }

  const std::string spool = programDirectory + "Spool";
  platform_.CreateDirectoryA(spool.c_str());
  spoolDirectory_ = spool + "\\";
  spooledNames_.clear();

  std::vector<char> buffer(268);
  win::UINT length = platform_.GetWindowsDirectoryA(buffer.data(), 268);
  if (length >= buffer.size()) {
    buffer.resize(length + 1);
    length = platform_.GetWindowsDirectoryA(buffer.data(), static_cast<win::UINT>(buffer.size()));
  }
  std::string windowsIni(buffer.data(), length < buffer.size() ? length : 0);
  windowsIni += (!windowsIni.empty() && windowsIni.back() == '\\') ? "vela.ini" : "\\vela.ini";
  progress_.SetDetailLine(windowsIni);

  mainIni_.SetPath(windowsIni);
  const std::string mainIniPath = mainIni_.GetString("Settings", "Ini");
  previousConfigDirectory_ = FindPreviousConfigDirectory(mainIniPath);

  // Nothing moves until the backup directory and the restore script are known to work.
  if (!backup_.Open(programDirectory + "Backup")) {
    productKey_.Close();
    return false;
  }

  mainIni_.SetPath(mainIniPath);
  progress_.SetDetailLine(mainIniPath);

  backup_.BackupFile(windowsIni, "winvela.ini");
  MigrateProgramSettings();
  if (!MigrateCurrentJobs()) {
    productKey_.Close();
    return false;
  }
  ReadQueueList();
  backup_.BackupFile(mainIniPath, "vela.ini");
  for (const auto& [queueName, queueDirectory] : queueDirectories_) {
    MigrateQueue(queueName, queueDirectory);
  }
  MigrateAuxiliaryTables();

  backup_.Close();
  productKey_.Close();
  return true;
}
