// Faults in the middle of a migration of a whole old installation: keys and values that cannot
// be written, full disks, a read-only old file, a queue directory that goes away. Each run ends
// as the program promises, says what it must, and loses no file.
#include <gtest/gtest.h>

#include <filesystem>

#include "app/app.h"
#include "support/faults.h"
#include "support/old_machine.h"
#include "support/registry_reader.h"

namespace {

namespace fs = std::filesystem;

constexpr const char* kProduct = "SOFTWARE\\Quillon\\Vela";
constexpr const char* kUninstallEntry =
    "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\Vela Print Server";
const std::string kArchiveMissing =
    "Queue archive: directory 'C:\\Vela\\queues\\archive' does not exist!";
const std::string kNoconfigMissing =
    "Queue noconfig: config file 'C:\\Vela\\queues\\noconfig\\queue.ini' does not exist!";
const std::string kDiskFull = "There is not enough space on the disk.";

// The old files that the migration moves to Backup, in the order it moves them.
const std::vector<std::string> kMovedFiles = {
    "C:\\windows\\vela.ini",
    "C:\\Vela\\vela.ini",
    "C:\\Vela\\queues\\B\xFCro\\queue.ini",
    "C:\\Vela\\queues\\B\xFCro\\cf00021.ini",
    "C:\\Vela\\queues\\Front Desk\\queue.ini",
    "C:\\Vela\\queues\\Front Desk\\cf00018.ini",
    // here the queue archive is reported missing
    "C:\\Vela\\queues\\lp\\queue.ini",
    "C:\\Vela\\queues\\lp\\cf00017.ini",
    "C:\\Vela\\queues\\lp\\cf00019.ini",
    // here the queue noconfig is reported without queue.ini; its job stays where it is
    "C:\\Vela\\access.ini",
    "C:\\Vela\\translat.ini",
    "C:\\Vela\\styles.ini",
    "C:\\Vela\\protocol.ini",
    "C:\\Vela\\ebcdic.ini",
};

class FaultsTest : public ::testing::Test {
 protected:
  static const COldMachine& Pristine() {
    static const COldMachine* pristine = new COldMachine;
    return *pristine;
  }

  // Runs the program through the faulty double and saves the registry, as the POSIX build
  // does; returns the dialog's result.
  int Run() {
    const int result = [&] {
      RunCheckVela(faulty);
      return faulty.EndResult();
    }();
    std::string error;
    EXPECT_TRUE(platform->SaveRegistry(error)) << error;
    return result;
  }

  // Every old file is in its place or in Backup with its line, and the restore lines bring
  // every moved one back byte for byte. Files in `gone` were taken away by someone else.
  void ExpectNothingLost(const std::vector<std::string>& gone = {},
                         const std::vector<std::string>& expectedRestoreFailures = {}) {
    CMachineFiles original = original_;
    for (const std::string& path : gone) {
      EXPECT_EQ(original.erase(path), 1U) << path;
    }
    const std::vector<std::string> lost = machine.LostFiles(original);
    EXPECT_TRUE(lost.empty()) << Join(lost);
    const CRestoreScript script = machine.RestoreScript();
    EXPECT_TRUE(script.malformed.empty()) << Join(script.malformed);
    const std::vector<std::string> failed = machine.RunRestoreLines();
    EXPECT_EQ(failed, expectedRestoreFailures) << Join(failed);
    const std::vector<std::string> missing = machine.NotRestored(original);
    EXPECT_TRUE(missing.empty()) << Join(missing);
  }

  bool InPlace(const std::string& path) {
    std::string bytes;
    return platform->ReadWholeFile(path.c_str(), bytes) && bytes == original_.at(path);
  }
  bool Key(const std::string& path) {
    return KeyExists(*platform, std::string(kProduct) + "\\" + path);
  }
  std::optional<CRegValue> Value(const std::string& path, const std::string& name) {
    return ReadValue(*platform, path.empty() ? kProduct : std::string(kProduct) + "\\" + path,
                     name);
  }
  size_t RestoreLines() { return machine.RestoreScript().lines.size(); }

  COldMachine machine{Pristine()};
  const CMachineFiles original_ = machine.Files();
  std::unique_ptr<CEmulatedPlatform> platform = machine.NewPlatform();
  CFaultyPlatform faulty{*platform};
};

TEST_F(FaultsTest, UncreatableProductKeyChangesNothing) {
  faulty.failCreateKey = [](const std::string& path) { return path == kProduct; };
  EXPECT_EQ(Run(), win::kIdCancel);
  EXPECT_TRUE(faulty.Messages().empty());
  // restore.reg is written before the first attempt to change the registry; nothing else.
  CMachineFiles files = machine.Files();
  EXPECT_EQ(files.erase(std::string(COldMachine::kBackup) + "\\restore.reg"), 1U);
  EXPECT_EQ(files, original_);
  // The uninstall entry is handed over only once its old command is kept.
  EXPECT_EQ(ReadValue(*platform, kUninstallEntry, "UninstallString"),
            Sz("C:\\Vela\\uninst.exe /remove"));
  ExpectNothingLost();
}

TEST_F(FaultsTest, UncreatableQueueKeyIsSkippedAndTheRestMigrates) {
  faulty.failCreateKey = StartsWith("Queues\\lp");
  EXPECT_EQ(Run(), win::kIdOk);
  EXPECT_EQ(faulty.Messages(), (std::vector<std::string>{kArchiveMissing, kNoconfigMissing}));
  EXPECT_FALSE(Key("Queues\\lp"));
  EXPECT_TRUE(Key("Queues\\Front Desk"));
  EXPECT_TRUE(Key("Jobs\\cfA017printhost"));
  for (const std::string& path : kMovedFiles) {
    EXPECT_FALSE(InPlace(path)) << path;
  }
  EXPECT_EQ(RestoreLines(), 19U);
  ExpectNothingLost();
}

TEST_F(FaultsTest, UncreatableCurrentJobsStopsWithCancelAndTheMainIniInPlace) {
  faulty.failCreateKey = [](const std::string& path) { return path == "CurrentJobs"; };
  EXPECT_EQ(Run(), win::kIdCancel);
  EXPECT_TRUE(faulty.Messages().empty());
  EXPECT_FALSE(InPlace("C:\\windows\\vela.ini"));
  for (size_t i = 1; i < kMovedFiles.size(); ++i) {
    EXPECT_TRUE(InPlace(kMovedFiles[i])) << kMovedFiles[i];
  }
  EXPECT_EQ(RestoreLines(), 1U);
  ExpectNothingLost();
}

TEST_F(FaultsTest, UncreatableJobKeyKeepsTheJobListEntryAndMovesTheControlFile) {
  faulty.failCreateKey = [](const std::string& path) { return path == "Jobs\\cfA019printhost"; };
  EXPECT_EQ(Run(), win::kIdOk);
  EXPECT_EQ(faulty.Messages(), (std::vector<std::string>{kArchiveMissing, kNoconfigMissing}));
  EXPECT_FALSE(Key("Jobs\\cfA019printhost"));
  EXPECT_TRUE(Key("Jobs\\cfA017printhost"));
  EXPECT_EQ(Value("Queues\\lp\\Jobs", "019"), Sz("cfA019printhost"));
  EXPECT_FALSE(InPlace("C:\\Vela\\queues\\lp\\cf00019.ini"));
  ExpectNothingLost();
}

TEST_F(FaultsTest, ValuesThatCannotBeSetAreSkippedSilently) {
  faulty.failSetValue = [](const std::string&) { return true; };
  EXPECT_EQ(Run(), win::kIdOk);
  EXPECT_EQ(faulty.Messages(), (std::vector<std::string>{kArchiveMissing, kNoconfigMissing}));
  EXPECT_TRUE(Key("Queues\\lp"));
  EXPECT_FALSE(Value("", "Level"));
  EXPECT_FALSE(Value("Queues\\lp", "Font"));
  EXPECT_EQ(ReadValue(*platform, kUninstallEntry, "UninstallString"),
            Sz("C:\\Vela\\uninst.exe /remove"));
  for (const std::string& path : kMovedFiles) {
    EXPECT_FALSE(InPlace(path)) << path;
  }
  ExpectNothingLost();
}

TEST_F(FaultsTest, OneValueThatCannotBeSetLeavesTheOthers) {
  faulty.failSetValue = [](const std::string& name) { return name == "Font"; };
  EXPECT_EQ(Run(), win::kIdOk);
  EXPECT_FALSE(Value("Queues\\lp", "Font"));
  EXPECT_EQ(Value("Queues\\lp", "Copies"), Dword(1));
  ExpectNothingLost();
}

TEST_F(FaultsTest, FullDiskInSpoolLeavesTheDataFilesAndMigratesTheRest) {
  faulty.failCopyTo = Contains("\\Spool\\");
  faulty.error = win::kErrorDiskFull;
  EXPECT_EQ(Run(), win::kIdOk);
  EXPECT_EQ(faulty.Messages(), (std::vector<std::string>{kArchiveMissing, kNoconfigMissing}));
  EXPECT_TRUE(machine.Exists("drive_c/Program Files/Vela/Spool"));
  EXPECT_TRUE(fs::is_empty(fs::path(machine.Root()) / "drive_c/Program Files/Vela/Spool"));
  EXPECT_TRUE(InPlace("C:\\Vela\\data\\dfA017printhost"));
  EXPECT_EQ(Value("Jobs\\cfA017printhost", "File1"), Sz("ldfA017printhost"));
  EXPECT_FALSE(Value("Jobs\\cfA017printhost", "Data1"));
  EXPECT_EQ(RestoreLines(), kMovedFiles.size());
  ExpectNothingLost();
}

TEST_F(FaultsTest, FullDiskInBackupNamesEachFileAndLeavesItInPlace) {
  faulty.failCopyTo = Contains("\\Backup\\");
  faulty.error = win::kErrorDiskFull;
  EXPECT_EQ(Run(), win::kIdOk);
  std::vector<std::string> expected;
  for (const std::string& path : kMovedFiles) {
    expected.push_back("Could not back up " + path + "; the file stays where it is:\n");
    expected.back() += kDiskFull;
    EXPECT_TRUE(InPlace(path)) << path;
  }
  expected.insert(expected.begin() + 6, kArchiveMissing);
  expected.insert(expected.begin() + 10, kNoconfigMissing);
  EXPECT_EQ(faulty.Messages(), expected);
  // Only the spool copies have lines: no old file moved.
  EXPECT_EQ(RestoreLines(), 5U);
  ExpectNothingLost();
}

TEST_F(FaultsTest, FullDiskForOneBackupLeavesThatFileAndMovesTheOthers) {
  faulty.failCopyFrom = EndsWith("\\lp\\cf00017.ini");
  faulty.error = win::kErrorDiskFull;
  EXPECT_EQ(Run(), win::kIdOk);
  EXPECT_EQ(faulty.Messages(),
            (std::vector<std::string>{
                kArchiveMissing,
                "Could not back up C:\\Vela\\queues\\lp\\cf00017.ini; the file stays where it "
                "is:\n" +
                    kDiskFull,
                kNoconfigMissing}));
  EXPECT_TRUE(InPlace("C:\\Vela\\queues\\lp\\cf00017.ini"));
  EXPECT_FALSE(InPlace("C:\\Vela\\queues\\lp\\cf00019.ini"));
  EXPECT_TRUE(Key("Jobs\\cfA017printhost"));
  ExpectNothingLost();
}

TEST_F(FaultsTest, UncreatableRestoreScriptMovesNothing) {
  faulty.failCreateFile = EndsWith("\\restore.bat");
  faulty.error = win::kErrorDiskFull;
  EXPECT_EQ(Run(), win::kIdCancel);
  EXPECT_EQ(faulty.Messages(),
            (std::vector<std::string>{"Could not create C:\\Program Files\\Vela\\Backup\\"
                                      "restore.bat; no file has been moved:\n" +
                                      kDiskFull}));
  for (const std::string& path : kMovedFiles) {
    EXPECT_TRUE(InPlace(path)) << path;
  }
  ExpectNothingLost();
}

// The disk fills up while restore.bat is written, after a share (per mille) of the bytes a
// complete run writes, or one byte before its end; the failing write writes nothing or as
// much as fits.
constexpr int kAllButOneByte = -1;
class FullDiskScriptTest : public FaultsTest,
                           public ::testing::WithParamInterface<std::tuple<int, bool>> {
 protected:
  static size_t CompleteScriptSize() {
    static const size_t size = [] {
      COldMachine machine(Pristine());
      machine.RunProgram();
      return fs::file_size(fs::path(machine.Root()) /
                           "drive_c/Program Files/Vela/Backup/restore.bat");
    }();
    return size;
  }
};

TEST_P(FullDiskScriptTest, StopsWithCancelAndTheFileBeingMovedInPlace) {
  const auto [share, fillUp] = GetParam();
  const size_t size = CompleteScriptSize();
  faulty.scriptRoom = share == kAllButOneByte ? size - 1 : size * share / 1000;
  faulty.scriptFillsUp = fillUp;
  EXPECT_EQ(Run(), win::kIdCancel);
  ASSERT_FALSE(faulty.Messages().empty());
  EXPECT_EQ(faulty.Messages().back(),
            "Could not write to C:\\Program Files\\Vela\\Backup\\restore.bat; the migration has "
            "stopped and the file being moved is still in its place:\n" +
                kDiskFull);
  EXPECT_EQ(faulty.MessageTypes().back(), win::kMbIconStop);
  for (size_t i = 0; i + 1 < faulty.Messages().size(); ++i) {
    EXPECT_TRUE(faulty.Messages()[i] == kArchiveMissing || faulty.Messages()[i] == kNoconfigMissing)
        << faulty.Messages()[i];
  }
  // The files before the one being moved are in Backup with their lines, the others in place.
  const size_t lines = RestoreLines();
  size_t moved = 0;
  while (moved < kMovedFiles.size() && !InPlace(kMovedFiles[moved])) {
    ++moved;
  }
  // With room for all but the last byte, what fails is the line that ends the run: every file
  // has moved, and the migration is not marked finished.
  EXPECT_TRUE(moved < kMovedFiles.size() || share == kAllButOneByte);
  EXPECT_TRUE(Key("MigrationInProgress"));
  for (size_t i = moved; i < kMovedFiles.size(); ++i) {
    EXPECT_TRUE(InPlace(kMovedFiles[i])) << kMovedFiles[i];
  }
  EXPECT_LE(moved, lines);
  // What the failing write wrote of its line is gone again: the script ends at a whole line.
  EXPECT_EQ(machine.RestoreScript().torn, "");
  ExpectNothingLost();
}

INSTANTIATE_TEST_SUITE_P(AfterSomeBytes, FullDiskScriptTest,
                         ::testing::Combine(::testing::Values(0, 30, 50, 400, 700, 950,
                                                              kAllButOneByte),
                                            ::testing::Bool()));

TEST_F(FaultsTest, ReadOnlyOldFileIsCopiedAndStaysInPlace) {
  ASSERT_TRUE(platform->SetFileAttributesA("C:\\Vela\\access.ini", win::kFileAttributeReadOnly));
  EXPECT_EQ(Run(), win::kIdOk);
  // The old server would still find it: a message names it.
  EXPECT_EQ(faulty.Messages(),
            (std::vector<std::string>{
                kArchiveMissing, kNoconfigMissing,
                "Could not remove C:\\Vela\\access.ini from its place; its copy is in Backup and "
                "restore.bat has its line, but the old server would still find it there:\n"
                "Access is denied."}));
  EXPECT_TRUE(InPlace("C:\\Vela\\access.ini"));
  std::string copy;
  EXPECT_TRUE(platform->ReadWholeFile("C:\\Program Files\\Vela\\Backup\\access.ini", copy));
  EXPECT_EQ(copy, original_.at("C:\\Vela\\access.ini"));
  EXPECT_EQ(Value("Access", "DefaultAccess"), Dword(1));
  EXPECT_FALSE(InPlace("C:\\Vela\\translat.ini"));
  // Restoring copies onto the read-only file and fails, as cmd's copy does; it is still there.
  ExpectNothingLost({}, {"C:\\Program Files\\Vela\\Backup\\access.ini -> C:\\Vela\\access.ini: "
                         "error 5"});
}

TEST_F(FaultsTest, QueueDirectoryThatVanishesAfterTheSearchLosesNothingElse) {
  const std::string lpHost = fs::path(machine.Root()) / "drive_c/Vela/queues/lp";
  faulty.afterFindFirst = [&](const std::string& pattern) {
    if (pattern == "C:\\Vela\\queues\\lp\\cf*.ini") {
      fs::remove_all(lpHost);
    }
  };
  EXPECT_EQ(Run(), win::kIdOk);
  EXPECT_EQ(faulty.Messages(), (std::vector<std::string>{kArchiveMissing, kNoconfigMissing}));
  EXPECT_FALSE(fs::exists(lpHost));
  // queue.ini went to Backup before the search; the control files went with the directory.
  EXPECT_TRUE(Key("Queues\\lp"));
  EXPECT_FALSE(Key("Jobs\\cfA019printhost"));
  EXPECT_TRUE(Key("Jobs\\cfA018reception"));
  // A control file that went away reads as an empty one: the job list gets the unnamed
  // entry, as for a control file without Seqno.
  EXPECT_EQ(SubKeys(*platform, std::string(kProduct) + "\\Queues\\lp"),
            (std::vector<std::string>{"Jobs"}));
  EXPECT_EQ(Value("Queues\\lp\\Jobs", ""), (CRegValue{win::kRegSz, ""}));
  EXPECT_FALSE(InPlace("C:\\Vela\\ebcdic.ini"));
  // Restoring needs the directory back, as cmd's copy creates no directory.
  fs::create_directory(lpHost);
  ExpectNothingLost({"C:\\Vela\\queues\\lp\\cf00017.ini", "C:\\Vela\\queues\\lp\\cf00019.ini"}, {});
}

}  // namespace
