// The five auxiliary tables: access rules, translation tables, styles, protocols, EBCDIC.
#include "migrate/migration.h"
#include "profile/registry_copy.h"

namespace {

void MigrateAccess(CPlatform& platform, const CIni& ini) {
  CopySectionToKey(platform, ini, "Settings", "Access", false);
  CopySectionToKey(platform, ini, "Hostnames", "Access\\Hostnames", false);
  CopySectionToKey(platform, ini, "IP Rules", "Access\\IP Rules", false);
  CopySectionToKey(platform, ini, "Host Rules", "Access\\Host Rules", false);
}

void MigrateTranslations(CPlatform& platform, const CIni& ini) {
  CStringArray names;
  ini.GetSectionKeys("Tables", names);
  for (const std::string& name : names) {
    const std::string table = ini.GetString("Tables", name);
    if (!table.empty()) {  // an empty value names no section
      CopySectionToKey(platform, ini, table, "Translation\\" + table, true);
    }
  }
}

void MigrateStyles(CPlatform& platform, const CIni& ini) {
  CMapStringToString styles;
  ini.GetSection("Styles", styles);
  WriteMapToKey(platform, styles, "Styles", false);
  for (const auto& entry : styles) {
    CMapStringToString settings;
    ini.GetSection(entry.first, settings);
    WritePrintSettingsToKey(platform, settings, "Styles\\" + entry.first);
  }
}

void MigrateProtocols(CPlatform& platform, const CIni& ini) {
  CMapStringToString protocols;
  ini.GetSection("Protocols", protocols);
  for (const auto& entry : protocols) {
    if (!entry.second.empty()) {  // an empty value names no section
      CopySectionToKey(platform, ini, entry.second, "Protocols\\" + entry.second, false);
    }
  }
}

void MigrateEbcdic(CPlatform& platform, const CIni& ini) {
  CMapStringToString map;
  ini.GetSection("LangID", map);
  WriteMapToKey(platform, map, "EBCDIC\\LangID", true);
  map.clear();
  ini.GetSection("LangNames", map);
  WriteMapToKey(platform, map, "EBCDIC\\LangNames", true);
  for (const auto& entry : map) {
    CopySectionToKey(platform, ini, entry.first, "EBCDIC\\" + entry.first, true);
  }
}

}  // namespace

void CMigration::MigrateAuxiliaryTables() {
  struct Table {
    const char* fileName;
    void (*migrate)(CPlatform&, const CIni&);
  };
  static constexpr Table kTables[] = {{"access.ini", MigrateAccess},
                                      {"translat.ini", MigrateTranslations},
                                      {"styles.ini", MigrateStyles},
                                      {"protocol.ini", MigrateProtocols},
                                      {"ebcdic.ini", MigrateEbcdic}};
  // Five files of their own names: none is read after another has moved.
  backup_.BeginGroup();
  for (const Table& table : kTables) {
    // Without a configuration directory the files are looked for in the current directory;
    // their full path makes the profile functions read that file too, not one of the same
    // name in the Windows directory.
    const std::string path = previousConfigDirectory_.empty()
                                 ? FullPath(platform_, table.fileName)
                                 : previousConfigDirectory_ + table.fileName;
    CFindHandle find(platform_);
    win::FindData data;
    std::string readable = path;
    // A file that a run moved into Backup already is read from its copy.
    if (!find.First(path, data) && (readable = backup_.ReadablePath(path)) == path) {
      continue;
    }
    progress_.SetDetailLine(path);
    const CIni ini(platform_, readable);
    table.migrate(platform_, ini);
    backup_.BackupFile(path, table.fileName);
  }
  backup_.Commit();
}
