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

TEST(RestoreLine, QuotesBothPathsAndDoublesPercent) {
  EXPECT_EQ(RestoreLine("vela.ini", "C:\\OLD\\vela.ini"),
            "copy/y \"vela.ini\" \"C:\\OLD\\vela.ini\"\r\n");
  EXPECT_EQ(RestoreLine("a%b", "C:\\my dir\\%PATH%&x+^y"),
            "copy/y \"a%%b\" \"C:\\my dir\\%%PATH%%&x+^y\"\r\n");
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
  EXPECT_EQ(SafeFileName("COM0"), "_COM0");
  EXPECT_EQ(SafeFileName("lpt0.txt"), "_lpt0.txt");
  EXPECT_EQ(SafeFileName("COM\xB9"), "_COM\xB9");
  EXPECT_EQ(SafeFileName("lpt\xB2.prn"), "_lpt\xB2.prn");
  EXPECT_EQ(SafeFileName("LPT\xB3"), "_LPT\xB3");
  EXPECT_EQ(SafeFileName("COM\xB4"), "COM\xB4");
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
  EXPECT_FALSE(IsPlainFileName("com0.prn"));
  EXPECT_FALSE(IsPlainFileName("LPT\xB9"));
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
  EXPECT_EQ(Script(), "copy/y \"vela.ini\" \"C:\\OLD\\vela.ini\"\r\n");
  EXPECT_TRUE(progress.messages.empty());
}

TEST_F(BackupTest, AnEarlierRunsBackupIsReplacedAndTheScriptEmptied) {
  m.MakeDir(kBackupDir);
  m.WriteFile(std::string(kBackupDir) + "\\vela.ini", "old backup");
  m.WriteFile(std::string(kBackupDir) + "\\other", "kept");
  m.WriteFile(std::string(kBackupDir) + "\\restore.bat", "copy/y old lines\r\n");
  m.WriteFile("C:\\OLD\\vela.ini", "new");
  CBackupStore store(m.Platform(), progress);
  ASSERT_TRUE(store.Open(kBackupDir));
  store.BackupFile("C:\\OLD\\vela.ini", "vela.ini");
  store.Close();
  EXPECT_EQ(m.ReadFile(std::string(kBackupDir) + "\\vela.ini"), "new");
  EXPECT_EQ(m.ReadFile(std::string(kBackupDir) + "\\other"), "kept");
  EXPECT_EQ(Script(), "copy/y \"vela.ini\" \"C:\\OLD\\vela.ini\"\r\n");
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
  EXPECT_EQ(Script(), "copy/y \"ro.ini\" \"C:\\OLD\\ro.ini\"\r\n");
}

TEST_F(BackupTest, FailedCopyLeavesTheFileAndIsReported) {
  m.WriteFile("C:\\OLD\\vela.ini", "keep me");
  CFaultyPlatform platform(m.Platform());
  platform.failCopyTo = EndsWith("\\vela.ini");
  CBackupStore store(platform, progress);
  ASSERT_TRUE(store.Open(kBackupDir));
  store.BackupFile("C:\\OLD\\vela.ini", "vela.ini");
  store.Close();
  EXPECT_EQ(m.ReadFile("C:\\OLD\\vela.ini"), "keep me");
  EXPECT_EQ(Script(), "");
  ASSERT_EQ(progress.messages.size(), 1U);
  EXPECT_NE(progress.messages[0].find("C:\\OLD\\vela.ini"), std::string::npos);
  std::string denied;
  m.Platform().FormatSystemMessage(win::kErrorAccessDenied, win::kLangSystemDefault, denied);
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

// A copy of the right length can still be wrong: the check compares bytes, not sizes.
TEST_F(BackupTest, ACopyWithOneByteChangedStopsTheDelete) {
  m.WriteFile("C:\\OLD\\vela.ini", "the real bytes");
  class COneByteFlipped : public CPlatformProxy {
   public:
    using CPlatformProxy::CPlatformProxy;
    bool CopyFileA(const char* existing, const char* target, bool failIfExists) override {
      std::string bytes;
      if (!CPlatformProxy::CopyFileA(existing, target, failIfExists) ||
          !ReadWholeFile(target, bytes) || bytes.empty()) {
        return false;
      }
      bytes[bytes.size() / 2] ^= 0x01;
      auto file = CreateWriteFile(target);
      return file && file->Write(bytes.data(), static_cast<win::DWORD>(bytes.size())) &&
             file->Close();
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
            "copy/y \"lp\" \"C:\\OLD\\file0.ini\"\r\n"
            "copy/y \"LP.1\" \"C:\\OLD\\file1.ini\"\r\n"
            "copy/y \".._.._x\" \"C:\\OLD\\file2.ini\"\r\n"
            "copy/y \"_CON\" \"C:\\OLD\\file3.ini\"\r\n"
            "copy/y \"restore.bat.1\" \"C:\\OLD\\file4.ini\"\r\n");
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
            "copy/y \"lp-0_1\" \"C:\\OLD\\cf1.ini\"\r\n"
            "copy/y \"caf\x82-2\" \"C:\\OLD\\cf2.ini\"\r\n");
}

}  // namespace
