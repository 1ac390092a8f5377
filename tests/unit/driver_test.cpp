// The migration driver: when it runs, what it finds, what it moves, how it stops.
#include <gtest/gtest.h>

#include <cstring>

#include "app/dialog.h"
#include "support/faults.h"
#include "support/migration_fixture.h"

namespace {

using DriverTest = MigrationTest;

TEST_F(DriverTest, MovesBothIniFilesAndCreatesTheDirectories) {
  WriteOldInstallation("[Settings]\r\nLevel=3\r\n");
  EXPECT_TRUE(Migrate());
  EXPECT_EQ(progress.status, "Importing file");
  EXPECT_EQ(progress.details,
            (std::vector<std::string>{"C:\\windows\\vela.ini", "C:\\OLD\\vela.ini"}));
  EXPECT_TRUE(m.Exists(std::string(kProgram) + "Spool"));
  EXPECT_FALSE(m.Exists(kWindowsIni));
  EXPECT_FALSE(m.Exists("C:\\OLD\\vela.ini"));
  EXPECT_EQ(m.ReadFile(std::string(kBackup) + "winvela.ini"),
            "[Settings]\r\nIni=C:\\OLD\\vela.ini\r\n");
  EXPECT_EQ(m.ReadFile(std::string(kBackup) + "vela.ini"), "[Settings]\r\nLevel=3\r\n");
  EXPECT_EQ(RestoreScript(),
            "copy/y \"%~dp0winvela.ini\" \"C:\\windows\\vela.ini\"\r\n"
            "copy/y \"%~dp0vela.ini\" \"C:\\OLD\\vela.ini\"\r\n"
            "rem CheckVela: migration finished\r\n");
  EXPECT_EQ(Value("", "Level"), Dword(3));
  EXPECT_TRUE(Key("CurrentJobs"));
  EXPECT_TRUE(progress.messages.empty());
}

TEST_F(DriverTest, AnEarlierMigrationStopsEverything) {
  WriteOldInstallation("[Settings]\r\nLevel=3\r\n");
  CRegKey queue(m.Platform());
  ASSERT_EQ(queue.Create(win::kHkeyLocalMachine, "SOFTWARE\\Quillon\\Vela\\Queues\\lp"), 0);
  queue.Close();
  m.MakeDir(std::string(kProgram) + "Backup");
  m.WriteFile(std::string(kBackup) + "restore.bat", "copy/y \"%~dp0x\" \"C:\\x\"\r\n");
  EXPECT_FALSE(Migrate());
  EXPECT_EQ(progress.status, "Importing file");
  EXPECT_FALSE(m.Exists(std::string(kProgram) + "Spool"));
  EXPECT_EQ(RestoreScript(), "copy/y \"%~dp0x\" \"C:\\x\"\r\n");
  EXPECT_TRUE(m.Exists(kWindowsIni));
  EXPECT_TRUE(m.Exists("C:\\OLD\\vela.ini"));
  EXPECT_FALSE(Value("", "Level"));
}

TEST_F(DriverTest, TheRegistryHookRunsBeforeTheProductKeyIsMadeAndNotWhenMigratedBefore) {
  WriteOldInstallation("[Settings]\r\nLevel=3\r\n");
  CMigration migration(m.Platform(), progress);
  std::vector<bool> productKeyAtHook;
  migration.SetBeforeRegistryChange([&] {
    productKeyAtHook.push_back(KeyExists(m.Platform(), kProduct));
    return true;
  });
  EXPECT_TRUE(migration.MigrateConfiguration(kProgram));
  // Before the product key is created, and again once the already-migrated test has passed.
  EXPECT_EQ(productKeyAtHook, (std::vector<bool>{false, true}));
  CRegKey(m.Platform()).Create(win::kHkeyLocalMachine, "SOFTWARE\\Quillon\\Vela\\Queues\\lp");
  productKeyAtHook.clear();
  EXPECT_FALSE(migration.MigrateConfiguration(kProgram));
  EXPECT_TRUE(productKeyAtHook.empty());
}

// Without its way back (restore.reg could not be written) the migration changes nothing at
// all: no key, no value, no file moved, no Spool or Backup made by it.
TEST_F(DriverTest, WithoutItsWayBackNothingChanges) {
  WriteOldInstallation("[Settings]\r\nLevel=3\r\n");
  for (const bool productKeyThere : {false, true}) {
    SCOPED_TRACE(productKeyThere ? "product key there" : "no product key");
    if (productKeyThere) {
      CRegKey(m.Platform()).Create(win::kHkeyLocalMachine, kProduct);
    }
    CMigration migration(m.Platform(), progress);
    int asked = 0;
    migration.SetBeforeRegistryChange([&] {
      ++asked;
      return false;
    });
    EXPECT_FALSE(migration.MigrateConfiguration(kProgram));
    EXPECT_EQ(asked, 1);
    EXPECT_EQ(KeyExists(m.Platform(), kProduct), productKeyThere);
    EXPECT_FALSE(Key("MigrationInProgress"));
    EXPECT_FALSE(Key("CurrentJobs"));
    EXPECT_TRUE(m.Exists(kWindowsIni));
    EXPECT_TRUE(m.Exists("C:\\OLD\\vela.ini"));
    EXPECT_FALSE(m.Exists(std::string(kProgram) + "Backup"));
    EXPECT_FALSE(m.Exists(std::string(kProgram) + "Spool"));
  }
}

TEST_F(DriverTest, QueuesWithValuesButNoSubkeysStillMigrates) {
  WriteOldInstallation("[Settings]\r\nLevel=3\r\n");
  CRegKey queues(m.Platform());
  ASSERT_EQ(queues.Create(win::kHkeyLocalMachine, "SOFTWARE\\Quillon\\Vela\\Queues"), 0);
  const unsigned char one[4] = {1, 0, 0, 0};
  m.Platform().RegSetValueExA(queues.Get(), "x", win::kRegDword, one, 4);
  queues.Close();
  EXPECT_TRUE(Migrate());
  EXPECT_FALSE(m.Exists(kWindowsIni));
}

TEST_F(DriverTest, RootWindowsDirectoryGivesOneBackslash) {
  class CRootWindows : public CPlatformProxy {
   public:
    using CPlatformProxy::CPlatformProxy;
    win::UINT GetWindowsDirectoryA(char* buffer, win::UINT size) override {
      if (size < 4) {
        return 4;
      }
      std::memcpy(buffer, "C:\\", 4);
      return 3;
    }
  } platform(m.Platform());
  m.WriteFile("C:\\vela.ini", "[Settings]\r\nIni=C:\\OLD\\vela.ini\r\n");
  m.MakeDir("C:\\OLD");
  m.WriteFile("C:\\OLD\\vela.ini", "[Settings]\r\n");
  EXPECT_TRUE(Migrate(platform));
  ASSERT_FALSE(progress.details.empty());
  EXPECT_EQ(progress.details[0], "C:\\vela.ini");
  EXPECT_FALSE(m.Exists("C:\\vela.ini"));
}

// The directory in which the auxiliary files are looked for, given the main INI path.
class PreviousDirectoryTest : public MigrationTest {
 protected:
  std::string DirectoryFor(const std::string& iniValue) {
    m.WriteFile(kWindowsIni, "[Settings]\r\nIni=" + iniValue + "\r\n");
    CMigration migration(m.Platform(), progress);
    EXPECT_TRUE(migration.MigrateConfiguration(kProgram));
    return migration.PreviousConfigDirectory();
  }
};

TEST_F(PreviousDirectoryTest, FollowsTheNameTheFileSystemReports) {
  m.MakeDir("C:\\OLD");
  m.WriteFile("C:\\OLD\\vela.ini", "");
  EXPECT_EQ(DirectoryFor("C:\\OLD\\vela.ini"), "C:\\OLD\\");
}

TEST_F(PreviousDirectoryTest, OtherLetterCaseFallsBackToTheLastBackslash) {
  m.MakeDir("C:\\Old Dir");
  m.WriteFile("C:\\Old Dir\\vela.ini", "");
  EXPECT_EQ(DirectoryFor("c:\\old dir\\VELA.INI"), "c:\\old dir\\");
}

TEST_F(PreviousDirectoryTest, MissingFileFallsBackToTheLastBackslash) {
  EXPECT_EQ(DirectoryFor("C:\\NOWHERE\\vela.ini"), "C:\\NOWHERE\\");
}

TEST_F(PreviousDirectoryTest, ForwardSlashesAreKept) {
  m.MakeDir("C:\\OLD");
  m.WriteFile("C:\\OLD\\vela.ini", "");
  m.WriteFile("C:\\OLD\\access.ini", "[Settings]\r\nOpen=1\r\n");
  EXPECT_EQ(DirectoryFor("C:/OLD/vela.ini"), "C:/OLD/");
  EXPECT_EQ(Value("Access", "Open"), Dword(1));
  EXPECT_FALSE(m.Exists("C:\\OLD\\access.ini"));
}

TEST_F(DriverTest, WithoutIniTheAuxiliaryFilesAreLookedForInTheCurrentDirectory) {
  m.WriteFile(kWindowsIni, "[Other]\r\nx=1\r\n");
  m.WriteFile("C:\\access.ini", "[Settings]\r\nOpen=1\r\n");
  CMigration migration(m.Platform(), progress);
  EXPECT_TRUE(migration.MigrateConfiguration(kProgram));
  EXPECT_EQ(migration.MainIniPath(), "");
  EXPECT_EQ(migration.PreviousConfigDirectory(), "");
  EXPECT_FALSE(m.Exists(kWindowsIni));
  EXPECT_TRUE(Key("CurrentJobs"));
  EXPECT_EQ(Value("Access", "Open"), Dword(1));
  EXPECT_EQ(RestoreScript(),
            "copy/y \"%~dp0winvela.ini\" \"C:\\windows\\vela.ini\"\r\n"
            "copy/y \"%~dp0access.ini\" \"C:\\access.ini\"\r\n"
            "rem CheckVela: migration finished\r\n");
}

TEST_F(DriverTest, IniNamingTheWindowsFileItselfMigratesNothingMore) {
  m.WriteFile(kWindowsIni,
              "[Settings]\r\nIni=C:\\windows\\vela.ini\r\nLevel=3\r\n[Queues]\r\n1=lp\r\n");
  EXPECT_TRUE(Migrate());
  EXPECT_FALSE(m.Exists(kWindowsIni));
  EXPECT_FALSE(Value("", "Level"));
  EXPECT_EQ(RestoreScript(),
            "copy/y \"%~dp0winvela.ini\" \"C:\\windows\\vela.ini\"\r\nrem CheckVela: migration "
            "finished\r\n");
  EXPECT_TRUE(progress.messages.empty());
}

TEST_F(DriverTest, UncreatableCurrentJobsStopsWithTheMainIniInPlace) {
  WriteOldInstallation("[Settings]\r\nLevel=3\r\n");
  CFaultyPlatform platform(m.Platform());
  platform.failCreateKey = [](const std::string& path) { return path == "CurrentJobs"; };
  EXPECT_FALSE(Migrate(platform));
  EXPECT_FALSE(m.Exists(kWindowsIni));
  EXPECT_TRUE(m.Exists("C:\\OLD\\vela.ini"));
  EXPECT_EQ(Value("", "Level"), Dword(3));
  EXPECT_EQ(RestoreScript(), "copy/y \"%~dp0winvela.ini\" \"C:\\windows\\vela.ini\"\r\n");
}

TEST_F(DriverTest, UncreatableProductKeyChangesNothing) {
  WriteOldInstallation("[Settings]\r\nLevel=3\r\n");
  CFaultyPlatform platform(m.Platform());
  platform.failCreateKey = [](const std::string& path) { return path == kProduct; };
  EXPECT_FALSE(Migrate(platform));
  EXPECT_TRUE(m.Exists(kWindowsIni));
  EXPECT_FALSE(m.Exists(std::string(kProgram) + "Backup"));
  EXPECT_EQ(progress.status, "");
}

TEST_F(DriverTest, UncreatableBackupMovesNothing) {
  WriteOldInstallation("[Settings]\r\nLevel=3\r\n");
  CFaultyPlatform platform(m.Platform());
  platform.failCreateDirectory = EndsWith("Backup");
  EXPECT_FALSE(Migrate(platform));
  EXPECT_TRUE(m.Exists(kWindowsIni));
  EXPECT_TRUE(m.Exists("C:\\OLD\\vela.ini"));
  EXPECT_EQ(progress.messages.size(), 1U);
}

TEST_F(DriverTest, FullDiskOnRestoreScriptClosesTheDialogWithCancelAndLosesNothing) {
  WriteOldInstallation("[Settings]\r\nLevel=3\r\n");
  CFaultyPlatform platform(m.Platform());
  platform.scriptRoom = 60;  // room for the first line only
  platform.error = win::kErrorDiskFull;
  CCheckVelaDlg dialog(platform);
  EXPECT_EQ(dialog.DoModal(), win::kIdCancel);
  ASSERT_EQ(platform.Messages().size(), 1U);
  EXPECT_EQ(platform.MessageTypes()[0], win::kMbIconStop);
  EXPECT_NE(platform.Messages()[0].find("restore.bat"), std::string::npos);
  EXPECT_FALSE(m.Exists(kWindowsIni));
  EXPECT_EQ(m.ReadFile("C:\\OLD\\vela.ini"), "[Settings]\r\nLevel=3\r\n");
  EXPECT_EQ(RestoreScript(), "copy/y \"%~dp0winvela.ini\" \"C:\\windows\\vela.ini\"\r\n");
}

TEST_F(DriverTest, ASecondRunStopsOnceQueuesExist) {
  m.MakeDir("C:\\OLD");
  m.MakeDir("C:\\OLD\\lp");
  m.WriteFile("C:\\OLD\\lp\\queue.ini", "[Settings]\r\nCopies=1\r\n");
  WriteOldInstallation("[Queues]\r\n1=lp\r\n[lp]\r\nqueuedir=C:\\OLD\\lp\r\n");
  EXPECT_TRUE(Migrate());
  const std::string script = RestoreScript();
  WriteOldInstallation("[Settings]\r\nLevel=3\r\n");
  EXPECT_FALSE(Migrate());
  EXPECT_EQ(RestoreScript(), script);
  EXPECT_TRUE(m.Exists(kWindowsIni));
}

// A journal of the first version, which wrote its lines unquoted, tells where the files went:
// the migration reads them from Backup. Where earlier runs moved files but nothing says where
// the Windows-directory vela.ini went, migrating nothing would pass for a finished migration:
// the run stops with a message and changes nothing more.
TEST_F(DriverTest, TheWindowsDirectoryIniIsFoundThroughAnyJournalOrNothingIsMigrated) {
  m.MakeDir("C:\\OLD");
  m.MakeDir(std::string(kProgram) + "Backup");
  m.WriteFile(std::string(kBackup) + "winvela.ini", "[Settings]\r\nIni=C:\\OLD\\vela.ini\r\n");
  m.WriteFile(std::string(kBackup) + "vela.ini", "[Settings]\r\nLevel=3\r\n");
  const std::string journal =
      "copy/y winvela.ini C:\\windows\\vela.ini\r\ncopy/y vela.ini C:\\OLD\\vela.ini\r\n";
  m.WriteFile(std::string(kBackup) + "restore.bat", journal);
  EXPECT_TRUE(Migrate());
  EXPECT_EQ(Value("", "Level"), Dword(3));
  EXPECT_EQ(RestoreScript(), journal + RunEndedLine());

  CRegKey(m.Platform()).Create(win::kHkeyLocalMachine, kProduct);
  m.Platform().RegDeleteKeyA(win::kHkeyLocalMachine, "SOFTWARE\\Quillon\\Vela\\CurrentJobs");
  m.Platform().DeleteFileA((std::string(kBackup) + "winvela.ini").c_str());
  progress.messages.clear();
  const std::string script = RestoreScript();
  EXPECT_FALSE(Migrate());
  ASSERT_EQ(progress.messages.size(), 1U);
  EXPECT_EQ(progress.messages[0].rfind("C:\\windows\\vela.ini is missing", 0), 0U);
  EXPECT_FALSE(Key("CurrentJobs"));
  EXPECT_FALSE(Key("MigrationInProgress"));
  EXPECT_EQ(RestoreScript(), script);
}

// An Ini written with forward slashes, or naming a file whose name also begins a directory of
// its path, gives the configuration directory that one run finds also to a run that finishes
// an interrupted one, whose main INI lies in Backup by then.
TEST_F(DriverTest, AResumedRunFindsTheConfigurationDirectoryOneRunFinds) {
  for (const char* ini : {"C:/OLD/vela.ini", "C:\\OLD\\vela.ini.d\\vela.ini"}) {
    SCOPED_TRACE(ini);
    CTestMachine fresh;
    fresh.MakeDir("C:\\Program Files");
    fresh.MakeDir("C:\\Program Files\\Vela");
    fresh.MakeDir("C:\\OLD");
    fresh.MakeDir("C:\\OLD\\vela.ini.d");
    fresh.WriteFile(kWindowsIni, std::string("[Settings]\r\nIni=") + ini + "\r\n");
    fresh.WriteFile(ini, "[Settings]\r\nLevel=3\r\n");
    CMigration one(fresh.Platform(), progress);
    ASSERT_TRUE(one.MigrateConfiguration(kProgram));
    const std::string directory = one.PreviousConfigDirectory();
    EXPECT_EQ(directory, std::string(ini).substr(0, 7));
    // As a run killed after the main INI moved leaves it: the registry without the migration.
    fresh.Platform().RegDeleteKeyA(win::kHkeyLocalMachine, "SOFTWARE\\Quillon\\Vela\\CurrentJobs");
    std::string script = fresh.ReadFile(std::string(kBackup) + "restore.bat");
    script.erase(script.size() - RunEndedLine().size());
    fresh.WriteFile(std::string(kBackup) + "restore.bat", script);
    CMigration resumed(fresh.Platform(), progress);
    ASSERT_TRUE(resumed.MigrateConfiguration(kProgram));
    EXPECT_EQ(resumed.PreviousConfigDirectory(), directory);
  }
}

// A registry that cannot be written to the disk leaves the migration unfinished, and says so:
// restore.bat does not say that the run ended, and the marker stays for the next run.
TEST_F(DriverTest, ARegistryThatCannotBeFlushedLeavesTheMigrationUnfinished) {
  WriteOldInstallation("[Settings]\r\nLevel=3\r\n");
  class CUnflushable : public CPlatformProxy {
   public:
    using CPlatformProxy::CPlatformProxy;
    win::LONG RegFlushKey(win::HKEY /*key*/) override {
      return static_cast<win::LONG>(win::kErrorRegistryIoFailed);
    }
  } platform(m.Platform());
  EXPECT_FALSE(Migrate(platform));
  ASSERT_EQ(progress.messages.size(), 1U);
  EXPECT_EQ(progress.messages[0].rfind("Could not write the registry key SOFTWARE\\Quillon\\Vela "
                                       "to the disk",
                                       0),
            0U);
  EXPECT_TRUE(Key("MigrationInProgress"));
  EXPECT_EQ(RestoreScript().find("rem CheckVela"), std::string::npos);
  // The next run finishes it.
  progress.messages.clear();
  EXPECT_TRUE(Migrate());
  EXPECT_FALSE(Key("MigrationInProgress"));
  EXPECT_NE(RestoreScript().find(RunEndedLine()), std::string::npos);
}
}  // namespace
