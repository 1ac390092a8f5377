// Backup\restore.reg: imported after a run, it gives back the registry as it was before.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "install/install.h"
#include "platform/emulated/registry.h"
#include "profile/registry_restore.h"
#include "support/old_machine.h"
#include "support/platform_proxy.h"

namespace {

namespace fs = std::filesystem;

constexpr const char* kEntry =
    "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\Vela Print Server";
constexpr const char* kEntrySection =
    "\r\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\Vela Print "
    "Server]\r\n\"UninstallString\"=\"C:\\\\Vela\\\\uninst.exe /remove\"\r\n\r\n";

// A product key left by a new installer, holding every kind of value, written as the emulation
// saves it. Queues has no subkey, so the migration still runs.
constexpr const char* kEveryForm =
    "\r\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\Quillon\\Vela]\r\n"
    "@=\"default\"\r\n"
    "\"Text\"=\"a \\\"quoted\\\" \\\\ B\xFCro\"\r\n"
    "\"Empty\"=\"\"\r\n"
    "\"NoBytes\"=hex(1):\r\n"
    "\"Inner\"=hex(1):61,00,62,00\r\n"
    "\"Lines\"=hex(1):61,0d,0a,00\r\n"
    "\"Expand\"=hex(2):25,54,45,4d,50,25,00\r\n"
    "\"Multi\"=hex(7):61,00,62,00,00\r\n"
    "\"Number\"=dword:0000002a\r\n"
    "\"Short\"=hex(4):01,02\r\n"
    "\"Bytes\"=hex:00,ff\r\n"
    "\"None\"=hex(0):\r\n"
    "\"Qword\"=hex(b):01,00,00,00,00,00,00,00\r\n"
    "\"UninstallString\"=\"C:\\\\Vela\\\\old.exe\"\r\n"
    "\r\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\Quillon\\Vela\\Queues]\r\n"
    "\r\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\Quillon\\Vela\\Settings]\r\n"
    "\r\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\Quillon\\Vela\\Settings\\Deep]\r\n"
    "\"Level\"=dword:00000003\r\n";

class Is64BitProxy : public CPlatformProxy {
 public:
  using CPlatformProxy::CPlatformProxy;
  bool Is64BitWindows() override { return true; }
};

class RegistryRestoreTest : public ::testing::Test {
 protected:
  std::string Host(const std::string& relative) const { return machine.Root() + "/" + relative; }
  std::string ReadHost(const std::string& relative) const {
    std::ifstream in(Host(relative), std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
  }
  void WriteHost(const std::string& relative, const std::string& bytes) const {
    std::ofstream(Host(relative), std::ios::binary) << bytes;
  }
  std::string RestoreReg() const { return ReadHost(kRestoreReg); }
  // The registry file as the emulation saves it, with text imported on top when given.
  static std::string Saved(const std::string& registry, const std::string& imported = "") {
    CEmulatedRegistry tree;
    std::string error;
    EXPECT_TRUE(tree.Load(registry, error)) << error;
    EXPECT_TRUE(imported.empty() || tree.Import(imported, error)) << error;
    return tree.Save();
  }
  // Goes back completely (restore.reg imported, restore.bat's lines run); the registry as it was.
  void GoBack(const CRunResult& run, const std::string& before) {
    const std::string restored = Saved(run.registry, RestoreReg());
    EXPECT_EQ(restored, before);
    WriteHost("registry.reg", restored);
    EXPECT_TRUE(machine.RunRestoreLines().empty());
  }

  // A run after going back completely does the same migration. Backup already holds every old
  // file byte for byte, so it makes no new copy; restore.bat gets the run's own lines, which
  // name the same copies: the first run's lines once more.
  static void ExpectTheSameMigration(CRunResult again, const CRunResult& first) {
    const std::string script = first.backup.at(COldMachine::kScript);
    EXPECT_EQ(again.backup.at(COldMachine::kScript), script + script);
    again.backup[COldMachine::kScript] = script;
    EXPECT_EQ(again, first);
  }

  static constexpr const char* kRestoreReg = "drive_c/Program Files/Vela/Backup/restore.reg";
  COldMachine machine;
};

TEST_F(RegistryRestoreTest, TheOldMachineGoesBackCompletelyAndMigratesAgain) {
  const std::string before = Saved(machine.RegistryFile());
  const CRunResult first = machine.RunProgram();
  EXPECT_EQ(RestoreReg(), "REGEDIT4\r\n\r\n[-HKEY_LOCAL_MACHINE\\SOFTWARE\\Quillon]\r\n" +
                              std::string(kEntrySection));
  GoBack(first, before);
  ExpectTheSameMigration(machine.RunProgram(), first);
}

TEST_F(RegistryRestoreTest, EveryValueOfAnExistingProductKeyComesBackExactly) {
  WriteHost("registry.reg", machine.RegistryFile() + kEveryForm);
  const std::string before = Saved(machine.RegistryFile());
  const CRunResult first = machine.RunProgram();
  EXPECT_EQ(RestoreReg(), "REGEDIT4\r\n\r\n[-HKEY_LOCAL_MACHINE\\SOFTWARE\\Quillon\\Vela]\r\n" +
                              std::string(kEveryForm) + kEntrySection);
  GoBack(first, before);
  ExpectTheSameMigration(machine.RunProgram(), first);
}

// regedit ends a string type's data with a NUL; no form of a .reg file gives it back without.
TEST_F(RegistryRestoreTest, AStringWithoutItsNulComesBackWithOneAsUnderRegedit) {
  WriteHost("registry.reg", machine.RegistryFile() +
                                "\r\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\Quillon\\Vela]\r\n"
                                "\"Raw\"=hex(1):61,62\r\n");
  const CRunResult run = machine.RunProgram();
  EXPECT_NE(RestoreReg().find("\"Raw\"=hex(1):61,62\r\n"), std::string::npos);
  EXPECT_NE(Saved(run.registry, RestoreReg()).find("\"Raw\"=\"ab\"\r\n"), std::string::npos);
}

TEST_F(RegistryRestoreTest, SixtyFourBitWindowsNamesTheKeysBelowWow6432Node) {
  auto platform = machine.NewPlatform();
  Is64BitProxy proxy(*platform);
  CRegistryRestore restore(proxy);
  restore.TakeSnapshot(COldMachine::kBackup, FindUninstallEntry(proxy));
  restore.BeforeRegistryChange();
  EXPECT_EQ(RestoreReg(),
            "REGEDIT4\r\n\r\n[-HKEY_LOCAL_MACHINE\\SOFTWARE\\WOW6432Node\\Quillon]\r\n\r\n"
            "[HKEY_LOCAL_MACHINE\\SOFTWARE\\WOW6432Node\\Microsoft\\Windows\\CurrentVersion\\"
            "Uninstall\\Vela Print Server]\r\n\"UninstallString\"=\"C:\\\\Vela\\\\uninst.exe "
            "/remove\"\r\n\r\n");
}

TEST_F(RegistryRestoreTest, AnEntryWithoutACommandGetsItsValueDeleted) {
  auto platform = machine.NewPlatform();
  ASSERT_EQ(CRegKey(*platform).Create(win::kHkeyLocalMachine, (std::string(kEntry) + " 2").c_str()),
            0);
  CRegistryRestore restore(*platform);
  restore.TakeSnapshot(COldMachine::kBackup, FindUninstallEntry(*platform));
  EXPECT_EQ(
      restore.Text(),
      "REGEDIT4\r\n\r\n[-HKEY_LOCAL_MACHINE\\SOFTWARE\\Quillon]\r\n\r\n[HKEY_LOCAL_MACHINE\\" +
          std::string(kEntry) + " 2]\r\n\"UninstallString\"=-\r\n\r\n");
}

TEST_F(RegistryRestoreTest, AnExistingFileIsNeverReplaced) {
  fs::create_directories(Host("drive_c/Program Files/Vela/Backup"));
  WriteHost(kRestoreReg, "from the first run");
  machine.RunProgram();
  EXPECT_EQ(RestoreReg(), "from the first run");
  EXPECT_FALSE(machine.Exists("drive_c/Program Files/Vela/Backup/~CheckVela.tmp"));
}

// Another writer's file that appears between the check and the rename stays; the temporary goes.
class RacingProxy : public CPlatformProxy {
 public:
  using CPlatformProxy::CPlatformProxy;
  bool MoveFileExA(const char* existing, const char* target, bool replaceExisting) override {
    auto file = CreateWriteFile(target);
    file->Write("other", 5);
    file->Close();
    return CPlatformProxy::MoveFileExA(existing, target, replaceExisting);
  }
};

TEST_F(RegistryRestoreTest, AFileThatAppearsMeanwhileStays) {
  auto platform = machine.NewPlatform();
  RacingProxy proxy(*platform);
  CRegistryRestore restore(proxy);
  restore.TakeSnapshot(COldMachine::kBackup, kEntry);
  restore.BeforeRegistryChange();
  EXPECT_EQ(RestoreReg(), "other");
  EXPECT_FALSE(machine.Exists("drive_c/Program Files/Vela/Backup/~CheckVela.tmp"));
}

// No registry change without its way back: when restore.reg cannot be written (Backup cannot
// be made, or its temporary file is in the way), the run changes nothing at all, the hand-over
// included, and one message says why. Once the obstacle is gone, a run migrates and its
// restore.reg holds the registry as it was before any run.
TEST_F(RegistryRestoreTest, WithoutItsWayBackTheRunChangesNothing) {
  const std::string before = machine.RegistryFile();
  const CMachineFiles files = machine.Files();
  for (const bool directoryInTheWay : {false, true}) {
    SCOPED_TRACE(directoryInTheWay ? "Backup\\~CheckVela.tmp in the way" : "Backup in the way");
    const std::string obstacle = directoryInTheWay
                                     ? "drive_c/Program Files/Vela/Backup/~CheckVela.tmp"
                                     : "drive_c/Program Files/Vela/Backup";
    if (directoryInTheWay) {
      fs::create_directories(Host(obstacle));
    } else {
      WriteHost(obstacle, "a file in the way");
    }
    const CRunResult run = machine.RunProgram();
    ASSERT_EQ(run.messages.size(), 1U);
    EXPECT_EQ(run.messages[0].rfind("Could not create C:\\Program Files\\Vela\\Backup", 0), 0U)
        << run.messages[0];
    EXPECT_NE(run.messages[0].find("nothing has been changed in the registry"), std::string::npos);
    EXPECT_EQ(run.endResult, 2);
    EXPECT_EQ(Saved(machine.RegistryFile()), Saved(before));
    fs::remove_all(Host(obstacle));
    EXPECT_EQ(machine.Files(), files);
  }
  const CRunResult run = machine.RunProgram();
  EXPECT_EQ(run.endResult, 1);
  GoBack(run, Saved(before));
}

// Going back completely, the old server running on and a run again: what the old server
// removed since (a printed job, a table) stays removed, a data file it rewrote is neither
// copied over its own Spool copy nor, going back again, replaced by that copy.
TEST_F(RegistryRestoreTest, AfterGoingBackWhatTheOldServerChangedStaysAsItIs) {
  const std::string before = Saved(machine.RegistryFile());
  const CRunResult first = machine.RunProgram();
  GoBack(first, before);
  machine.Remove("C:\\Vela\\queues\\Front Desk\\cf00018.ini");
  machine.Remove("C:\\Vela\\data\\df 018 letter.txt");
  machine.Remove("C:\\Vela\\protocol.ini");
  machine.Write("C:\\Vela\\data\\dfA017printhost", "the next job under the same name");
  const CRunResult again = machine.RunProgram();
  EXPECT_EQ(again.endResult, 1);
  EXPECT_EQ(again.registry.find("cfA018reception"), std::string::npos);
  EXPECT_EQ(again.registry.find("Quillon\\Vela\\Protocols"), std::string::npos);
  EXPECT_EQ(again.spool.at("C:\\Program Files\\Vela\\Spool\\dfA017printhost"),
            first.spool.at("C:\\Program Files\\Vela\\Spool\\dfA017printhost"));
  // Not copied: the job's entries name the data file where it is, as the control file does.
  EXPECT_NE(again.registry.find("\"dfA017printhost\"=\"C:\\\\Vela\\\\data\\\\dfA017printhost\""),
            std::string::npos);
  GoBack(again, before);
  std::string data;
  machine.NewPlatform()->ReadWholeFile("C:\\Vela\\data\\dfA017printhost", data);
  EXPECT_EQ(data, "the next job under the same name");
}

// A product key spelled in another case comes back with its own spelling.
TEST_F(RegistryRestoreTest, AProductKeyInAnotherCaseComesBackAsItWasSpelled) {
  WriteHost("registry.reg", machine.RegistryFile() +
                                "\r\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\quillon\\VELA]\r\n"
                                "\"Keep\"=dword:00000001\r\n");
  const std::string before = Saved(machine.RegistryFile());
  const CRunResult first = machine.RunProgram();
  EXPECT_EQ(RestoreReg().rfind("REGEDIT4\r\n\r\n[-HKEY_LOCAL_MACHINE\\SOFTWARE\\Quillon\\VELA]\r\n"
                               "\r\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\Quillon\\VELA]\r\n",
                               0),
            0U)
      << RestoreReg();
  GoBack(first, before);
}

TEST_F(RegistryRestoreTest, ARunThatChangesNothingWritesNothing) {
  machine.RunProgram();
  fs::remove_all(Host("drive_c/Program Files/Vela/Backup"));
  machine.RunProgram();
  EXPECT_FALSE(machine.Exists("drive_c/Program Files/Vela/Backup"));
}

}  // namespace
