// A machine with a new installation in C:\Program Files\Vela and helpers to lay out an old one.
#pragma once

#include <gtest/gtest.h>

#include <optional>
#include <string>

#include "migrate/migration.h"
#include "support/recording_progress.h"
#include "support/registry_reader.h"
#include "support/test_machine.h"

class MigrationTest : public ::testing::Test {
 protected:
  static constexpr const char* kProgram = "C:\\Program Files\\Vela\\";
  static constexpr const char* kBackup = "C:\\Program Files\\Vela\\Backup\\";
  static constexpr const char* kSpool = "C:\\Program Files\\Vela\\Spool\\";
  static constexpr const char* kProduct = "SOFTWARE\\Quillon\\Vela";
  static constexpr const char* kWindowsIni = "C:\\windows\\vela.ini";

  void SetUp() override {
    m.MakeDir("C:\\Program Files");
    m.MakeDir("C:\\Program Files\\Vela");
  }

  // The Windows-directory vela.ini naming mainIniPath, and the main INI with mainIniText.
  void WriteOldInstallation(const std::string& mainIniText,
                            const std::string& mainIniPath = "C:\\OLD\\vela.ini") {
    m.Platform().CreateDirectoryA("C:\\OLD");
    m.WriteFile(kWindowsIni, "[Settings]\r\nIni=" + mainIniPath + "\r\n");
    m.WriteFile(mainIniPath, mainIniText);
  }

  bool Migrate(CPlatform& platform) {
    CMigration migration(platform, progress);
    return migration.MigrateConfiguration(kProgram);
  }
  bool Migrate() { return Migrate(m.Platform()); }

  std::string RestoreScript() { return m.ReadFile(std::string(kBackup) + "restore.bat"); }
  // A value below the product key (path "" for the product key itself).
  std::optional<CRegValue> Value(const std::string& path, const std::string& name) {
    return ReadValue(m.Platform(), path.empty() ? kProduct : std::string(kProduct) + "\\" + path,
                     name);
  }
  bool Key(const std::string& path) {
    return KeyExists(m.Platform(), std::string(kProduct) + "\\" + path);
  }

  CTestMachine m;
  CRecordingProgress progress;
};
