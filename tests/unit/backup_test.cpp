// Backup copies and restore lines: nothing is deleted before it is safe, every path restores.
#include <gtest/gtest.h>

#include "profile/backup.h"
#include "profile/file_names.h"
#include "support/faults.h"
#include "support/recording_progress.h"
#include "support/test_machine.h"

namespace {

constexpr const char* kBackupDir = "C:\\Program Files\\Vela\\Backup";

class BackupTest : public ::testing::Test {
 protected:
  void SetUp() override {
    m.MakeDir("C:\\Program Files");
    m.MakeDir("C:\\Program Files\\Vela");
    m.MakeDir("C:\\OLD");
  }
  std::string Script() { return m.ReadFile(std::string(kBackupDir) + "\\restore.bat"); }

  CTestMachine m;
  CRecordingProgress progress;
};

TEST(RestoreLine, QuotesBothPathsAndDoublesPercentButThatOfTheScriptsFolder) {
  EXPECT_EQ(BackupRestoreLine("vela.ini", "C:\\OLD\\vela.ini"),
            "copy/y \"%~dp0vela.ini\" \"C:\\OLD\\vela.ini\"\r\n");
  EXPECT_EQ(BackupRestoreLine("a%b", "C:\\my dir\\%PATH%&x+^y"),
            "copy/y \"%~dp0a%%b\" \"C:\\my dir\\%%PATH%%&x+^y\"\r\n");
  EXPECT_EQ(SpoolRestoreLine("C:\\Spool\\100%", "C:\\d\\100%"),
            "copy/y \"C:\\Spool\\100%%\" \"C:\\d\\100%%\"\r\n");
}

TEST(RestoreLine, ReadsBackEveryFormItWritesAndNothingElse) {
  CRestoreLine line;
  ASSERT_TRUE(ParseRestoreLine("copy/y \"%~dp0a%%b\" \"C:\\my dir\\%%PATH%%\"", line));
  EXPECT_TRUE(line.backup);
  EXPECT_EQ(line.from, "a%b");
  EXPECT_EQ(line.to, "C:\\my dir\\%PATH%");
  ASSERT_TRUE(ParseRestoreLine("copy/y \"C:\\Spool\\df\" \"C:\\d\\df\"", line));
  EXPECT_FALSE(line.backup);
  EXPECT_EQ(line.from, "C:\\Spool\\df");
  // Earlier versions named the copy bare, relative to the folder cmd was started in.
  ASSERT_TRUE(ParseRestoreLine("copy/y \"lp\" \"C:\\q\\lp\\queue.ini\"", line));
  EXPECT_TRUE(line.backup);
  EXPECT_EQ(line.from, "lp");
  for (const char* other : {"", "@echo off", "copy/y \"%~dp0lp\" \"C:\\q\\que", "copy/y \"lp\"",
                            "copy/y \"\" \"C:\\x\"", "copy/y \"%~dp0\" \"C:\\x\"",
                            "copy/y \"a\" \"b\"c\"", "copy /y \"a\" \"b\""}) {
    EXPECT_FALSE(ParseRestoreLine(other, line)) << other;
  }
}

TEST(FileNames, UnsafeBackupNamesStayInsideTheDirectory) {
  EXPECT_EQ(SafeFileName("..\\..\\x"), ".._.._x");
  EXPECT_EQ(SafeFileName("C:/evil"), "C__evil");
  EXPECT_EQ(SafeFileName("a*b?c\"d<e>f|g"), "a_b_c_d_e_f_g");
  EXPECT_EQ(SafeFileName(std::string("tab\there")), "tab_here");
  EXPECT_EQ(SafeFileName("CON"), "_CON");
  EXPECT_EQ(SafeFileName("con.txt"), "_con.txt");
  EXPECT_EQ(SafeFileName("LPT1"), "_LPT1");
  EXPECT_EQ(SafeFileName("COM10"), "COM10");
  EXPECT_EQ(SafeFileName("CONSOLE"), "CONSOLE");
  EXPECT_EQ(SafeFileName("queue. . "), "queue");
  EXPECT_EQ(SafeFileName(""), "_");
  EXPECT_EQ(SafeFileName("."), "_");
  EXPECT_EQ(SafeFileName(".."), "_");
  EXPECT_EQ(SafeFileName("lp-001"), "lp-001");
  EXPECT_EQ(SafeFileName("caf\xE9"), "caf\xE9");
}

TEST(FileNames, PlainNamesAndCaseFolding) {
  EXPECT_TRUE(IsPlainFileName("data 1.prn"));
  EXPECT_FALSE(IsPlainFileName(""));
  EXPECT_FALSE(IsPlainFileName(".."));
  EXPECT_FALSE(IsPlainFileName("..\\x"));
  EXPECT_FALSE(IsPlainFileName("a/b"));
  EXPECT_FALSE(IsPlainFileName("c:x"));
  EXPECT_FALSE(IsPlainFileName("nul.prn"));
  EXPECT_EQ(FoldCase("Caf\xE9"), "CAF\xC9");
  EXPECT_EQ(StoredFileName("a. "), "a");
}

TEST_F(BackupTest, ClaimedNamesNeverRepeatWithinARun) {
  CBackupStore store(m.Platform(), progress);
  ASSERT_TRUE(store.Open(kBackupDir));
  EXPECT_EQ(store.ClaimName("restore.bat"), "restore.bat.1");
  EXPECT_EQ(store.ClaimName("lp"), "lp");
  EXPECT_EQ(store.ClaimName("LP"), "LP.1");
  EXPECT_EQ(store.ClaimName("lp"), "lp.2");
  EXPECT_EQ(store.ClaimName("lp.1"), "lp.1.1");
}

TEST_F(BackupTest, MovesTheFileAndWritesItsLine) {
  m.WriteFile("C:\\OLD\\vela.ini", "[Settings]\r\n");
  CBackupStore store(m.Platform(), progress);
  ASSERT_TRUE(store.Open(kBackupDir));
  store.BackupFile("C:\\OLD\\vela.ini", "vela.ini");
  ASSERT_TRUE(store.Close());
  EXPECT_FALSE(m.Exists("C:\\OLD\\vela.ini"));
  EXPECT_EQ(m.ReadFile(std::string(kBackupDir) + "\\vela.ini"), "[Settings]\r\n");
  EXPECT_EQ(Script(), "copy/y \"%~dp0vela.ini\" \"C:\\OLD\\vela.ini\"\r\n");
  EXPECT_TRUE(progress.messages.empty());
}

TEST_F(BackupTest, AnEarlierRunsBackupsAndLinesStay) {
  m.MakeDir(kBackupDir);
  m.WriteFile(std::string(kBackupDir) + "\\vela.ini", "old backup");
  m.WriteFile(std::string(kBackupDir) + "\\other", "kept");
  m.WriteFile(std::string(kBackupDir) + "\\restore.bat", "@rem an earlier run\r\n");
  m.WriteFile("C:\\OLD\\vela.ini", "new");
  CBackupStore store(m.Platform(), progress);
  ASSERT_TRUE(store.Open(kBackupDir));
  store.BackupFile("C:\\OLD\\vela.ini", "vela.ini");
  store.Close();
  EXPECT_EQ(m.ReadFile(std::string(kBackupDir) + "\\vela.ini"), "old backup");
  EXPECT_EQ(m.ReadFile(std::string(kBackupDir) + "\\vela.ini.1"), "new");
  EXPECT_EQ(m.ReadFile(std::string(kBackupDir) + "\\other"), "kept");
  EXPECT_EQ(Script(),
            "@rem an earlier run\r\n"
            "copy/y \"%~dp0vela.ini.1\" \"C:\\OLD\\vela.ini\"\r\n");
}

TEST_F(BackupTest, MissingSourceWritesNoLine) {
  CBackupStore store(m.Platform(), progress);
  ASSERT_TRUE(store.Open(kBackupDir));
  store.BackupFile("C:\\OLD\\missing.ini", "missing.ini");
  store.BackupFile("", "vela.ini");
  store.Close();
  EXPECT_EQ(Script(), "");
  EXPECT_TRUE(progress.messages.empty());
}

TEST_F(BackupTest, ReadOnlyFileStaysWithItsCopyAndLine) {
  m.WriteFile("C:\\OLD\\ro.ini", "read only");
  ASSERT_TRUE(m.Platform().SetFileAttributesA("C:\\OLD\\ro.ini", win::kFileAttributeReadOnly));
  CBackupStore store(m.Platform(), progress);
  ASSERT_TRUE(store.Open(kBackupDir));
  store.BackupFile("C:\\OLD\\ro.ini", "ro.ini");
  store.Close();
  EXPECT_EQ(m.ReadFile("C:\\OLD\\ro.ini"), "read only");
  EXPECT_EQ(m.ReadFile(std::string(kBackupDir) + "\\ro.ini"), "read only");
  EXPECT_EQ(Script(), "copy/y \"%~dp0ro.ini\" \"C:\\OLD\\ro.ini\"\r\n");
}

TEST_F(BackupTest, FailedCopyLeavesTheFileAndIsReported) {
  m.WriteFile("C:\\OLD\\vela.ini", "keep me");
  CFaultyPlatform platform(m.Platform());
  platform.failCopyFrom = EndsWith("\\vela.ini");
  CBackupStore store(platform, progress);
  ASSERT_TRUE(store.Open(kBackupDir));
  store.BackupFile("C:\\OLD\\vela.ini", "vela.ini");
  store.Close();
  EXPECT_EQ(m.ReadFile("C:\\OLD\\vela.ini"), "keep me");
  EXPECT_EQ(Script(), "");
  ASSERT_EQ(progress.messages.size(), 1U);
  EXPECT_NE(progress.messages[0].find("C:\\OLD\\vela.ini"), std::string::npos);
  std::string denied;
  m.Platform().FormatSystemMessage(win::kErrorAccessDenied, denied);
  EXPECT_NE(progress.messages[0].find(denied.substr(0, denied.find('\r'))), std::string::npos);
}

TEST_F(BackupTest, CorruptCopyIsDetectedBeforeAnythingIsDeleted) {
  m.WriteFile("C:\\OLD\\vela.ini", "the real bytes");
  class CCorruptingCopy : public CPlatformProxy {
   public:
    using CPlatformProxy::CPlatformProxy;
    bool CopyFileA(const char* existing, const char* target, bool failIfExists) override {
      if (!CPlatformProxy::CopyFileA(existing, target, failIfExists)) {
        return false;
      }
      auto file = CreateWriteFile(target);
      return file && file->Write("garbage", 7) && file->Close();
    }
  } platform(m.Platform());
  CBackupStore store(platform, progress);
  ASSERT_TRUE(store.Open(kBackupDir));
  store.BackupFile("C:\\OLD\\vela.ini", "vela.ini");
  store.Close();
  EXPECT_EQ(m.ReadFile("C:\\OLD\\vela.ini"), "the real bytes");
  EXPECT_EQ(Script(), "");
  EXPECT_EQ(progress.messages.size(), 1U);
}

TEST_F(BackupTest, FullDiskOnTheScriptStopsWithTheFileInPlace) {
  m.WriteFile("C:\\OLD\\vela.ini", "precious");
  CFaultyPlatform platform(m.Platform());
  platform.scriptRoom = 10;
  platform.error = win::kErrorDiskFull;
  CBackupStore store(platform, progress);
  ASSERT_TRUE(store.Open(kBackupDir));
  try {
    store.BackupFile("C:\\OLD\\vela.ini", "vela.ini");
    FAIL() << "a failed restore line must stop the migration";
  } catch (const CRestoreScriptError& error) {
    EXPECT_EQ(error.Code(), win::kErrorDiskFull);
    EXPECT_EQ(error.Path(), std::string(kBackupDir) + "\\restore.bat");
  }
  EXPECT_EQ(m.ReadFile("C:\\OLD\\vela.ini"), "precious");
}

TEST_F(BackupTest, UncreatableDirectoryOrScriptIsReportedAndRefused) {
  {
    CFaultyPlatform platform(m.Platform());
    platform.failCreateDirectory = EndsWith("\\Backup");
    CBackupStore store(platform, progress);
    EXPECT_FALSE(store.Open(kBackupDir));
    ASSERT_EQ(progress.messages.size(), 1U);
    EXPECT_NE(progress.messages[0].find(kBackupDir), std::string::npos);
  }
  {
    // A file where the directory should be.
    m.WriteFile("C:\\Program Files\\Vela\\Backup2", "not a directory");
    CBackupStore store(m.Platform(), progress);
    EXPECT_FALSE(store.Open("C:\\Program Files\\Vela\\Backup2"));
    EXPECT_EQ(progress.messages.size(), 2U);
  }
  {
    m.MakeDir(kBackupDir);
    m.MakeDir(std::string(kBackupDir) + "\\restore.bat");
    CBackupStore store(m.Platform(), progress);
    EXPECT_FALSE(store.Open(kBackupDir));
    ASSERT_EQ(progress.messages.size(), 3U);
    EXPECT_NE(progress.messages[2].find("restore.bat"), std::string::npos);
  }
}

TEST_F(BackupTest, CollidingAndHostileNamesAllSurvive) {
  CBackupStore store(m.Platform(), progress);
  ASSERT_TRUE(store.Open(kBackupDir));
  const char* const names[] = {"lp", "LP", "..\\..\\x", "CON", "restore.bat"};
  int n = 0;
  for (const char* name : names) {
    const std::string path = "C:\\OLD\\file" + std::to_string(n++) + ".ini";
    m.WriteFile(path, path);
    store.BackupFile(path, name);
  }
  store.Close();
  EXPECT_EQ(m.ReadFile(std::string(kBackupDir) + "\\lp"), "C:\\OLD\\file0.ini");
  EXPECT_EQ(m.ReadFile(std::string(kBackupDir) + "\\LP.1"), "C:\\OLD\\file1.ini");
  EXPECT_EQ(m.ReadFile(std::string(kBackupDir) + "\\.._.._x"), "C:\\OLD\\file2.ini");
  EXPECT_EQ(m.ReadFile(std::string(kBackupDir) + "\\_CON"), "C:\\OLD\\file3.ini");
  EXPECT_EQ(m.ReadFile(std::string(kBackupDir) + "\\restore.bat.1"), "C:\\OLD\\file4.ini");
  EXPECT_EQ(Script(),
            "copy/y \"%~dp0lp\" \"C:\\OLD\\file0.ini\"\r\n"
            "copy/y \"%~dp0LP.1\" \"C:\\OLD\\file1.ini\"\r\n"
            "copy/y \"%~dp0.._.._x\" \"C:\\OLD\\file2.ini\"\r\n"
            "copy/y \"%~dp0_CON\" \"C:\\OLD\\file3.ini\"\r\n"
            "copy/y \"%~dp0restore.bat.1\" \"C:\\OLD\\file4.ini\"\r\n");
}

// restore.bat is in the OEM code page: a backup name holding a character that code page lacks
// would be written as '?' and name no file when the script runs, so the file could not come
// back. Such characters become '_'; characters the OEM code page holds stay.
TEST_F(BackupTest, BackupNamesSurviveTheOemCodePage) {
  CBackupStore store(m.Platform(), progress);
  ASSERT_TRUE(store.Open(kBackupDir));
  m.WriteFile("C:\\OLD\\cf1.ini", "one");
  m.WriteFile("C:\\OLD\\cf2.ini", "two");
  store.BackupFile("C:\\OLD\\cf1.ini",
                   "lp-0\x80"
                   "1");                              // euro sign: not in code page 437
  store.BackupFile("C:\\OLD\\cf2.ini", "caf\xE9-2");  // e acute: in code page 437
  store.Close();
  EXPECT_EQ(m.ReadFile(std::string(kBackupDir) + "\\lp-0_1"), "one");
  EXPECT_EQ(m.ReadFile(std::string(kBackupDir) + "\\caf\xE9-2"), "two");
  EXPECT_EQ(Script(),
            "copy/y \"%~dp0lp-0_1\" \"C:\\OLD\\cf1.ini\"\r\n"
            "copy/y \"%~dp0caf\x82-2\" \"C:\\OLD\\cf2.ini\"\r\n");
}

}  // namespace
