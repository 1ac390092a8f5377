// Program-wide settings and the list of current jobs, from the main INI.
#include "migrate/migration.h"
#include "profile/registry_copy.h"

void CMigration::MigrateProgramSettings() {
  CMapStringToString settings;
  mainIni_.GetSection("LogOptions", settings);
  mainIni_.GetSection("Security", settings);
  mainIni_.GetSection("Settings", settings);
  // Set even when empty, so that an entry of the same name from the sections above goes; in any
  // spelling, since the registry compares value names without case and another spelling written
  // later would otherwise override the window position.
  SetEntryNoCase(settings, "Desktop size", mainIni_.GetString("WindowPos", "Desktop size"));
  SetEntryNoCase(settings, "Main", mainIni_.GetString("WindowPos", "Main"));
  for (const auto& [name, value] : settings) {
    SetValueByDigitsRule(platform_, productKey_.Get(), name, value, false);
  }
}

bool CMigration::MigrateCurrentJobs() {
  CStringArray controlFiles;
  mainIni_.GetSectionKeys("CurrentJobs", controlFiles);
  CRegKey currentJobs(platform_);
  if (currentJobs.Create(productKey_.Get(), "CurrentJobs") != win::kErrorSuccess) {
    return false;
  }
  for (size_t n = 0; n < controlFiles.size(); ++n) {
    const CIni controlFile(platform_, backup_.ReadablePath(ProfileFilePath(controlFiles[n])));
    SetDwordValue(platform_, currentJobs.Get(),
                  controlFile.GetString("Settings", "ControlFileName"), static_cast<win::DWORD>(n));
  }
  return true;
}
