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
  // Moves one file into Backup through platform, in a run of its own.
  void BackUp(CPlatform& platform, const std::string& file, const std::string& name) {
    CBackupStore store(platform, progress);
    ASSERT_TRUE(store.Open(kBackupDir));
    store.BackupFile(file, name);
    store.Close();
  }

  CTestMachine m;
  CRecordingProgress progress;
};

// Copies, then changes the copy's bytes as corrupt says.
class CCorruptingCopy : public CPlatformProxy {
 public:
  CCorruptingCopy(CPlatform& inner, std::string (*corrupt)(const std::string&))
      : CPlatformProxy(inner), corrupt_(corrupt) {}
  bool CopyFileA(const char* existing, const char* target, bool failIfExists) override {
    std::string bytes;
    if (!CPlatformProxy::CopyFileA(existing, target, failIfExists) ||
        !ReadWholeFile(target, bytes)) {
      return false;
    }
    bytes = corrupt_(bytes);
    auto file = CreateWriteFile(target);
    return file && file->Write(bytes.data(), static_cast<win::DWORD>(bytes.size())) &&
           file->Close();
  }

 private:
  std::string (*corrupt_)(const std::string&);
};

TEST(RestoreLine, QuotesBothPathsAndDoublesPercentButThatOfTheScriptsFolder) {
  EXPECT_EQ(BackupRestoreLine("vela.ini", "C:\\OLD\\vela.ini"),
            "copy/y \"%~dp0vela.ini\" \"C:\\OLD\\vela.ini\"\r\n");
  EXPECT_EQ(BackupRestoreLine("a%b", "C:\\my dir\\%PATH%&x+^y"),
            "copy/y \"%~dp0a%%b\" \"C:\\my dir\\%%PATH%%&x+^y\"\r\n");
  // A data file is only copied: its line never replaces what lies in its place.
  EXPECT_EQ(SpoolRestoreLine("C:\\Spool\\100%", "C:\\d\\100%"),
            "if not exist \"C:\\d\\100%%\" copy/y \"C:\\Spool\\100%%\" \"C:\\d\\100%%\"\r\n");
}

TEST(RestoreLine, ReadsBackEveryFormItWritesAndNothingElse) {
  CRestoreLine line;
  ASSERT_TRUE(ParseRestoreLine("copy/y \"%~dp0a%%b\" \"C:\\my dir\\%%PATH%%\"", line));
  EXPECT_EQ(line.kind, CRestoreLine::EKind::kBackup);
  EXPECT_EQ(line.from, "a%b");
  EXPECT_EQ(line.to, "C:\\my dir\\%PATH%");
  ASSERT_TRUE(ParseRestoreLine("copy/y \"C:\\Spool\\df\" \"C:\\d\\df\"", line));
  EXPECT_EQ(line.kind, CRestoreLine::EKind::kSpool);
  EXPECT_EQ(line.from, "C:\\Spool\\df");
  // Earlier versions named the copy bare, relative to the folder cmd was started in.
  ASSERT_TRUE(ParseRestoreLine("copy/y \"lp\" \"C:\\q\\lp\\queue.ini\"", line));
  EXPECT_EQ(line.kind, CRestoreLine::EKind::kBackup);
  EXPECT_EQ(line.from, "lp");
  // A data file's line, guarded by its own old path.
  ASSERT_TRUE(
      ParseRestoreLine("if not exist \"C:\\d\\1%%\" copy/y \"C:\\S\\1%%\" \"C:\\d\\1%%\"", line));
  EXPECT_EQ(line.kind, CRestoreLine::EKind::kSpool);
  EXPECT_EQ(line.from, "C:\\S\\1%");
  EXPECT_EQ(line.to, "C:\\d\\1%");
  // The first version's form: no quotes, blanks in both, % as it is.
  ASSERT_TRUE(ParseRestoreLine("copy/y Front Desk C:\\q\\Front Desk\\queue.ini", line));
  EXPECT_EQ(line.kind, CRestoreLine::EKind::kBackup);
  EXPECT_EQ(line.from, "Front Desk");
  EXPECT_EQ(line.to, "C:\\q\\Front Desk\\queue.ini");
  // The records that cmd skips read back exactly, whatever bytes they carry.
  for (const std::string& text :
       {LongPathLine("C:\\S\xE3o\\100% \"q\".ini"), FoundAsLine("VELA.INI"),
        SpoolRecordLine("C:\\Spool\\d\xE3", "C:\\d\xE3"), RunEndedLine()}) {
    ASSERT_TRUE(ParseRestoreLine(text.substr(0, text.size() - 2), line)) << text;
  }
  ParseRestoreLine("rem CheckVela: long path \"C:\\S%E3o\\100%25 %22q%22.ini\"", line);
  EXPECT_EQ(line.kind, CRestoreLine::EKind::kLongPath);
  EXPECT_EQ(line.to, "C:\\S\xE3o\\100% \"q\".ini");
  ASSERT_TRUE(ParseRestoreLine("rem CheckVela: spool copy \"C:\\S\\d\" \"C:\\%E3\"", line));
  EXPECT_EQ(line.kind, CRestoreLine::EKind::kSpool);
  EXPECT_EQ(line.to, "C:\\\xE3");
  for (const char* other :
       {"", "@echo off", "copy/y \"%~dp0lp\" \"C:\\q\\que", "copy/y \"lp\"",
        "copy/y \"\" \"C:\\x\"", "copy/y \"%~dp0\" \"C:\\x\"", "copy/y \"a\" \"b\"c\"",
        "copy /y \"a\" \"b\"", "if not exist \"C:\\other\" copy/y \"C:\\S\\1\" \"C:\\d\\1\"",
        "copy/y lp queue.ini", "rem CheckVela: long path \"C:\\%E\"",
        "rem CheckVela: migration finished!"}) {
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

// A name that spells a temporary file, in any case, would be taken for a killed copy's leftover
// and removed by the next run: it is never a backup name.
TEST_F(BackupTest, NamesThatSpellTheTemporaryFilesAreNeverClaimed) {
  CBackupStore store(m.Platform(), progress);
  ASSERT_TRUE(store.Open(kBackupDir));
  for (const char* name : {"~CheckVela.tmp", "~CHECKVELA.TMP", "~checkvela.7.Tmp"}) {
    const std::string claimed = store.ClaimName(name);
    EXPECT_FALSE(IsTemporaryName(claimed)) << claimed;
    EXPECT_EQ(claimed.rfind(name, 0), 0U) << claimed;
  }
  EXPECT_FALSE(IsTemporaryName("~CheckVela.x.tmp"));
  EXPECT_FALSE(IsTemporaryName("~CheckVela..tmp"));
  EXPECT_EQ(store.ClaimName("~CheckVela.x.tmp"), "~CheckVela.x.tmp");
}

// A copy's name and its path must fit the file system: a line naming a copy that can never be
// made would stay without its file on every run.
TEST_F(BackupTest, ABackupNameTooLongForTheFileSystemIsCutBeforeItsLine) {
  const std::string queue(300, 'q');
  m.WriteFile("C:\\OLD\\queue.ini", "long");
  CBackupStore store(m.Platform(), progress);
  ASSERT_TRUE(store.Open(kBackupDir));
  const std::string first = store.ClaimName(queue);
  const std::string second = store.ClaimName(queue + ".");
  EXPECT_EQ(std::string(kBackupDir).size() + 1 + first.size(), 259U);
  EXPECT_EQ(second, first.substr(0, first.size() - 2) + ".1");
  store.BackupFile("C:\\OLD\\queue.ini", queue);
  ASSERT_TRUE(store.Close());
  const std::string name = first.substr(0, first.size() - 2) + ".2";
  EXPECT_EQ(m.ReadFile(std::string(kBackupDir) + "\\" + name), "long");
  EXPECT_EQ(Script(), BackupRestoreLine(name, "C:\\OLD\\queue.ini"));
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
  BackUp(m.Platform(), "C:\\OLD\\vela.ini", "vela.ini");
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
  BackUp(m.Platform(), "C:\\OLD\\ro.ini", "ro.ini");
  EXPECT_EQ(m.ReadFile("C:\\OLD\\ro.ini"), "read only");
  EXPECT_EQ(m.ReadFile(std::string(kBackupDir) + "\\ro.ini"), "read only");
  EXPECT_EQ(Script(), "copy/y \"%~dp0ro.ini\" \"C:\\OLD\\ro.ini\"\r\n");
  // The old server would still find it: a message names it. The copy keeps the attribute,
  // so that going back restores it.
  ASSERT_EQ(progress.messages.size(), 1U);
  EXPECT_EQ(progress.messages[0].rfind("Could not remove C:\\OLD\\ro.ini from its place", 0), 0U);
  EXPECT_NE(m.Platform().GetFileAttributesA((std::string(kBackupDir) + "\\ro.ini").c_str()) &
                win::kFileAttributeReadOnly,
            0U);
}

TEST_F(BackupTest, FailedCopyLeavesTheFileAndIsReported) {
  m.WriteFile("C:\\OLD\\vela.ini", "keep me");
  CFaultyPlatform platform(m.Platform());
  platform.failCopyFrom = EndsWith("\\vela.ini");
  BackUp(platform, "C:\\OLD\\vela.ini", "vela.ini");
  EXPECT_EQ(m.ReadFile("C:\\OLD\\vela.ini"), "keep me");
  EXPECT_EQ(Script(), "");
  ASSERT_EQ(progress.messages.size(), 1U);
  EXPECT_NE(progress.messages[0].find("C:\\OLD\\vela.ini"), std::string::npos);
  std::string denied;
  m.Platform().FormatSystemMessage(win::kErrorAccessDenied, win::kLangSystemDefault, denied);
  EXPECT_NE(progress.messages[0].find(denied.substr(0, denied.find('\r'))), std::string::npos);
}

// A copy that does not hold the original's bytes, whatever its length, stops the delete: the
// check compares bytes, not sizes.
TEST_F(BackupTest, CorruptCopyIsDetectedBeforeAnythingIsDeleted) {
  const std::pair<const char*, std::string (*)(const std::string&)> corruptions[] = {
      {"other bytes", [](const std::string&) { return std::string("garbage"); }},
      {"the same length with one byte changed",
       [](const std::string& bytes) {
         std::string changed = bytes;
         changed[changed.size() / 2] ^= 0x01;
         return changed;
       }},
  };
  for (const auto& [what, corrupt] : corruptions) {
    SCOPED_TRACE(what);
    m.WriteFile("C:\\OLD\\vela.ini", "the real bytes");
    progress.messages.clear();
    CCorruptingCopy platform(m.Platform(), corrupt);
    BackUp(platform, "C:\\OLD\\vela.ini", "vela.ini");
    EXPECT_EQ(m.ReadFile("C:\\OLD\\vela.ini"), "the real bytes");
    EXPECT_EQ(Script(), "");
    EXPECT_EQ(progress.messages.size(), 1U);
  }
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

namespace {

// ---- restore.bat as the journal of earlier runs

constexpr const char* kSpoolDir = "C:\\Program Files\\Vela\\Spool";

class JournalTest : public BackupTest {
 protected:
  void SetUp() override {
    BackupTest::SetUp();
    m.MakeDir(kBackupDir);
    m.MakeDir(kSpoolDir);
  }
  std::string InBackup(const std::string& name) { return std::string(kBackupDir) + "\\" + name; }
  std::string InSpool(const std::string& name) { return std::string(kSpoolDir) + "\\" + name; }
};

TEST_F(JournalTest, ATornLastLineIsCutAndAWholeOneWithoutItsLineBreakCompleted) {
  const std::string whole = "copy/y \"%~dp0a\" \"C:\\OLD\\a.ini\"\r\n";
  using namespace std::string_literals;
  for (const auto& [tail, kept] : std::vector<std::pair<std::string, std::string>>{
           {"copy/y \"%~dp0b\" \"C:\\OL", ""},
           // What a power cut left of unflushed lines: zeros, or a line torn and zeros after.
           {"\0\0\0\0\0\0\0\0"s, ""},
           {"copy/y \"%~dp0b\" \"C:\\OL\0\0\0\0"s, ""},
           {"if not exist \"C:\\DATA\\d", ""},
           {"rem CheckVela: migra", ""},
           // Not the program's: kept, and ended before the next line.
           {"pause", "pause\r\n"},
           {"copy /y a b", "copy /y a b\r\n"},
           {"rem checked by the administrator", "rem checked by the administrator\r\n"},
           {"copy/y \"%~dp0b\" \"C:\\OLD\\b.ini\"", "copy/y \"%~dp0b\" \"C:\\OLD\\b.ini\"\r\n"},
           {"copy/y \"%~dp0b\" \"C:\\OLD\\b.ini\"\r",
            "copy/y \"%~dp0b\" \"C:\\OLD\\b.ini\"\r\n"}}) {
    SCOPED_TRACE(tail);
    m.WriteFile(InBackup("restore.bat"), whole + tail);
    m.WriteFile("C:\\OLD\\c.ini", "c");
    CBackupStore store(m.Platform(), progress);
    ASSERT_TRUE(store.Open(kBackupDir));
    store.BackupFile("C:\\OLD\\c.ini", "c");
    ASSERT_TRUE(store.Close());
    EXPECT_EQ(Script(), whole + kept + "copy/y \"%~dp0c\" \"C:\\OLD\\c.ini\"\r\n");
    m.Platform().DeleteFileA(InBackup("c").c_str());
  }
}

TEST_F(JournalTest, AFailedWriteLeavesTheScriptEndingAtAWholeLine) {
  m.WriteFile(InBackup("restore.bat"), "copy/y \"%~dp0a\" \"C:\\OLD\\a.ini\"\r\n");
  m.WriteFile("C:\\OLD\\vela.ini", "precious");
  CFaultyPlatform platform(m.Platform());
  platform.scriptRoom = 20;  // the line does not fit; what fits is written
  platform.scriptFillsUp = true;
  platform.error = win::kErrorDiskFull;
  CBackupStore store(platform, progress);
  ASSERT_TRUE(store.Open(kBackupDir));
  EXPECT_THROW(store.BackupFile("C:\\OLD\\vela.ini", "vela.ini"), CRestoreScriptError);
  store.Close();
  EXPECT_EQ(Script(), "copy/y \"%~dp0a\" \"C:\\OLD\\a.ini\"\r\n");
  EXPECT_EQ(m.ReadFile("C:\\OLD\\vela.ini"), "precious");
  EXPECT_FALSE(m.Exists(InBackup(kTemporaryFileName)));
}

TEST_F(JournalTest, AFileAnEarlierRunMovedIsReadFromItsCopyAndNotMovedAgain) {
  m.WriteFile(InBackup("lp"), "queue settings");
  m.WriteFile(InBackup("restore.bat"), "copy/y \"%~dp0lp\" \"C:\\OLD\\lp\\queue.ini\"\r\n");
  m.MakeDir("C:\\OLD\\lp");
  m.WriteFile(InBackup(kTemporaryFileName), "half a copy");  // left by a killed run
  CBackupStore store(m.Platform(), progress);
  ASSERT_TRUE(store.Open(kBackupDir));
  EXPECT_FALSE(m.Exists(InBackup(kTemporaryFileName)));
  EXPECT_EQ(store.ReadablePath("C:\\old\\LP\\queue.ini"), InBackup("lp"));
  EXPECT_EQ(store.ReadablePath("C:\\OLD\\lp\\other.ini"), "C:\\OLD\\lp\\other.ini");
  store.BackupFile("C:\\OLD\\lp\\queue.ini", "lp");
  // Once this run has backed it up, it is gone for the rest of the run.
  EXPECT_EQ(store.ReadablePath("C:\\OLD\\lp\\queue.ini"), "C:\\OLD\\lp\\queue.ini");
  ASSERT_TRUE(store.Close());
  EXPECT_EQ(Script(), "copy/y \"%~dp0lp\" \"C:\\OLD\\lp\\queue.ini\"\r\n");
  EXPECT_TRUE(progress.messages.empty());
}

TEST_F(JournalTest, AFileBroughtBackUnchangedIsNotCopiedAgainButAChangedOneIs) {
  m.WriteFile(InBackup("a"), "same");
  m.WriteFile(InBackup("b"), "before");
  const std::string lines =
      "copy/y \"%~dp0a\" \"C:\\OLD\\a.ini\"\r\ncopy/y \"%~dp0b\" \"C:\\OLD\\b.ini\"\r\n";
  m.WriteFile(InBackup("restore.bat"), lines);
  m.WriteFile("C:\\OLD\\a.ini", "same");
  m.WriteFile("C:\\OLD\\b.ini", "after");  // fixed by hand after going back
  CBackupStore store(m.Platform(), progress);
  ASSERT_TRUE(store.Open(kBackupDir));
  store.BackupFile("C:\\OLD\\a.ini", "a");
  store.BackupFile("C:\\OLD\\b.ini", "b");
  ASSERT_TRUE(store.Close());
  EXPECT_FALSE(m.Exists("C:\\OLD\\a.ini"));
  EXPECT_FALSE(m.Exists("C:\\OLD\\b.ini"));
  EXPECT_EQ(m.ReadFile(InBackup("b")), "before");
  EXPECT_EQ(m.ReadFile(InBackup("b.1")), "after");
  EXPECT_EQ(Script(), lines + "copy/y \"%~dp0b.1\" \"C:\\OLD\\b.ini\"\r\n");
}

TEST_F(JournalTest, ALineWhoseCopyNeverGotItsNameIsCompletedUnderThatName) {
  m.WriteFile(InBackup("restore.bat"), "copy/y \"%~dp0lp-017\" \"C:\\OLD\\cf017.ini\"\r\n");
  m.WriteFile("C:\\OLD\\cf017.ini", "job");
  CBackupStore store(m.Platform(), progress);
  ASSERT_TRUE(store.Open(kBackupDir));
  store.BackupFile("C:\\OLD\\cf017.ini", "lp-017");
  ASSERT_TRUE(store.Close());
  EXPECT_EQ(m.ReadFile(InBackup("lp-017")), "job");
  EXPECT_FALSE(m.Exists("C:\\OLD\\cf017.ini"));
  EXPECT_EQ(Script(), "copy/y \"%~dp0lp-017\" \"C:\\OLD\\cf017.ini\"\r\n");
}

TEST_F(JournalTest, ASpoolCopyReplacesOnlyTheMigrationsOwnCopyOfTheSameDataFile) {
  m.MakeDir("C:\\DATA");
  m.WriteFile("C:\\DATA\\df1", "job one");
  m.WriteFile("C:\\DATA\\df2", "job two");
  m.WriteFile("C:\\DATA\\df3", "job three");
  m.WriteFile(InSpool("df1"), "stale copy");     // ours, from this data file
  m.WriteFile(InSpool("df2"), "another job's");  // ours, but from another data file
  m.WriteFile(InSpool("df3"), "the new server's");
  const std::string lines =
      "copy/y \"C:\\Program Files\\Vela\\Spool\\df1\" \"C:\\DATA\\df1\"\r\n"
      "copy/y \"C:\\Program Files\\Vela\\Spool\\df2\" \"C:\\DATA\\elsewhere\"\r\n";
  m.WriteFile(InBackup("restore.bat"), lines);
  m.WriteFile(InSpool(kTemporaryFileName), "half");
  CBackupStore store(m.Platform(), progress);
  ASSERT_TRUE(store.Open(kBackupDir));
  store.RemoveTemporariesIn(kSpoolDir);
  EXPECT_TRUE(store.CopyToSpool("C:\\DATA\\df1", InSpool("df1")));
  EXPECT_FALSE(store.CopyToSpool("C:\\DATA\\df2", InSpool("df2")));
  EXPECT_FALSE(store.CopyToSpool("C:\\DATA\\df3", InSpool("df3")));
  EXPECT_TRUE(store.CopyToSpool("C:\\DATA\\df3", InSpool("df4")));
  ASSERT_TRUE(store.Close());
  EXPECT_EQ(m.ReadFile(InSpool("df1")), "job one");
  EXPECT_EQ(m.ReadFile(InSpool("df2")), "another job's");
  EXPECT_EQ(m.ReadFile(InSpool("df3")), "the new server's");
  EXPECT_EQ(m.ReadFile(InSpool("df4")), "job three");
  EXPECT_FALSE(m.Exists(InSpool(kTemporaryFileName)));
  EXPECT_EQ(Script(), lines +
                          "if not exist \"C:\\DATA\\df3\" copy/y "
                          "\"C:\\Program Files\\Vela\\Spool\\df4\" \"C:\\DATA\\df3\"\r\n");
}

// A platform whose volume keeps an 8.3 name for the directory S\xE3o (an a tilde, which code
// page 437 lacks) only, as the system gives it.
class CShortNames : public CPlatformProxy {
 public:
  using CPlatformProxy::CPlatformProxy;
  win::DWORD GetShortPathNameA(const char* longPath, char* buffer, win::DWORD size) override {
    std::string path = longPath;
    const size_t at = path.find("\\S\xE3o");
    if (at == std::string::npos || (at + 4 < path.size() && path[at + 4] != '\\') ||
        GetFileAttributesA(longPath) == win::kInvalidFileAttributes) {
      return CPlatformProxy::GetShortPathNameA(longPath, buffer, size);
    }
    path.replace(at + 1, 3, "SO~1");
    if (path.size() >= size) {
      return static_cast<win::DWORD>(path.size() + 1);
    }
    path.copy(buffer, path.size());
    buffer[path.size()] = '\0';
    return static_cast<win::DWORD>(path.size());
  }
};

TEST_F(JournalTest, AnOldPathTheOemCodePageCannotSpellIsWrittenShortOrTheFileStays) {
  m.MakeDir("C:\\OLD\\S\xE3o");
  m.WriteFile("C:\\OLD\\S\xE3o\\queue.ini", "q");
  m.WriteFile("C:\\OLD\\S\xE3o.ini", "x");
  CShortNames platform(m.Platform());
  CBackupStore store(platform, progress);
  ASSERT_TRUE(store.Open(kBackupDir));
  store.BackupFile("C:\\OLD\\S\xE3o\\queue.ini", "S\xE3o");
  // This file's own name has no short form here: it cannot be spelled, so it stays.
  store.BackupFile("C:\\OLD\\S\xE3o.ini", "x");
  ASSERT_TRUE(store.Close());
  EXPECT_FALSE(m.Exists("C:\\OLD\\S\xE3o\\queue.ini"));
  EXPECT_EQ(m.ReadFile(InBackup("S_o")), "q");
  EXPECT_EQ(m.ReadFile("C:\\OLD\\S\xE3o.ini"), "x");
  // The short form for cmd, the long one for later runs.
  EXPECT_EQ(Script(),
            "copy/y \"%~dp0S_o\" \"C:\\OLD\\SO~1\\queue.ini\"\r\n"
            "rem CheckVela: long path \"C:\\OLD\\S%E3o\\queue.ini\"\r\n");
  ASSERT_EQ(progress.messages.size(), 1U);
  EXPECT_EQ(progress.messages[0],
            "C:\\OLD\\S\xE3o.ini cannot be written into restore.bat in the OEM code page; the "
            "file stays where it is.");
  // A later run finds the moved file through its short-named line.
  CBackupStore later(platform, progress);
  ASSERT_TRUE(later.Open(kBackupDir));
  EXPECT_EQ(later.ReadablePath("C:\\OLD\\S\xE3o\\queue.ini"), InBackup("S_o"));
}

// A finished run's moves stand in for nothing: what the old server removed after going back
// stays removed. A copy that still holds a file in place byte for byte is taken again, with a
// line of this run. With the marker of an unfinished migration, the run that ended is the one
// being finished: only its last step was lost.
TEST_F(JournalTest, AFinishedRunStandsInForNothingButItsCopiesAreTakenAgain) {
  m.WriteFile(InBackup("a"), "removed since");
  m.WriteFile(InBackup("b"), "brought back");
  const std::string lines = BackupRestoreLine("a", "C:\\OLD\\a.ini") +
                            BackupRestoreLine("b", "C:\\OLD\\b.ini") + RunEndedLine();
  m.WriteFile(InBackup("restore.bat"), lines);
  m.WriteFile("C:\\OLD\\b.ini", "brought back");
  {
    CBackupStore store(m.Platform(), progress);
    ASSERT_TRUE(store.Open(kBackupDir, true));
    EXPECT_EQ(store.ReadablePath("C:\\OLD\\a.ini"), InBackup("a"));
    EXPECT_EQ(store.MovedAway("C:\\OLD", "*.ini"), std::vector<std::string>{"C:\\OLD\\a.ini"});
  }
  CBackupStore store(m.Platform(), progress);
  ASSERT_TRUE(store.Open(kBackupDir));
  EXPECT_EQ(store.ReadablePath("C:\\OLD\\a.ini"), "C:\\OLD\\a.ini");
  EXPECT_TRUE(store.MovedAway("C:\\OLD", "*.ini").empty());
  store.BackupFile("C:\\OLD\\b.ini", "b");
  store.EndRun();
  ASSERT_TRUE(store.Close());
  EXPECT_FALSE(m.Exists("C:\\OLD\\b.ini"));
  EXPECT_FALSE(m.Exists(InBackup("b.1")));
  EXPECT_EQ(Script(), lines + BackupRestoreLine("b", "C:\\OLD\\b.ini") + RunEndedLine());
}

// A name that a line gives stays taken, also when its copy is missing: the line would restore
// whatever later came to lie under it.
TEST_F(JournalTest, ANameALineGivesStaysTakenWithoutItsCopy) {
  m.WriteFile(InBackup("restore.bat"), BackupRestoreLine("x", "C:\\OLD\\gone.ini"));
  m.WriteFile("C:\\OLD\\y.ini", "y");
  CBackupStore store(m.Platform(), progress);
  ASSERT_TRUE(store.Open(kBackupDir));
  store.BackupFile("C:\\OLD\\y.ini", "x");
  ASSERT_TRUE(store.Close());
  EXPECT_FALSE(m.Exists(InBackup("x")));
  EXPECT_EQ(m.ReadFile(InBackup("x.1")), "y");
}

// Finishing a move that a run began checks the new copy byte for byte before the original goes.
TEST_F(JournalTest, FinishingAHalfDoneMoveChecksTheCopyBeforeTheOriginalGoes) {
  const std::string line = BackupRestoreLine("lp-017", "C:\\OLD\\cf017.ini");
  m.WriteFile(InBackup("restore.bat"), line);
  m.WriteFile("C:\\OLD\\cf017.ini", "the job");
  CCorruptingCopy platform(m.Platform(), [](const std::string&) { return std::string("junk"); });
  CBackupStore store(platform, progress);
  ASSERT_TRUE(store.Open(kBackupDir));
  store.BackupFile("C:\\OLD\\cf017.ini", "lp-017");
  ASSERT_TRUE(store.Close());
  EXPECT_EQ(m.ReadFile("C:\\OLD\\cf017.ini"), "the job");
  EXPECT_FALSE(m.Exists(InBackup("lp-017")));
  EXPECT_EQ(Script(), line);
  EXPECT_EQ(progress.messages.size(), 1U);
}

// The moves of a queue whose directory lies inside another queue's are that queue's alone.
TEST_F(JournalTest, AnInnerDirectorysMovesAreNotTheOuterOnes) {
  m.MakeDir("C:\\OLD\\q");
  m.MakeDir("C:\\OLD\\q\\inner");
  m.WriteFile(InBackup("inner-1"), "inner job");
  m.WriteFile(InBackup("restore.bat"), BackupRestoreLine("inner-1", "C:\\OLD\\q\\inner\\cf1.ini"));
  CBackupStore store(m.Platform(), progress);
  ASSERT_TRUE(store.Open(kBackupDir));
  EXPECT_TRUE(store.MovedAway("C:\\OLD\\q", "cf*.ini").empty());
  EXPECT_EQ(store.MovedAway("C:\\OLD\\q\\inner", "cf*.ini"),
            std::vector<std::string>{"C:\\OLD\\q\\inner\\cf1.ini"});
}

// A run that the OEM code page could not spell a path for writes its short form for cmd and
// its long form for later runs, which then find it without asking for short names.
TEST_F(JournalTest, ALongPathRecordFindsAShortLineAndFinishesItsMove) {
  m.MakeDir("C:\\OLD\\S\xE3o");
  m.WriteFile("C:\\OLD\\S\xE3o\\queue.ini", "q");
  m.WriteFile("C:\\OLD\\S\xE3o\\cf1.ini", "job");
  m.WriteFile(InBackup("restore.bat"), BackupRestoreLine("S_o-1", "C:\\OLD\\SO~1\\cf1.ini") +
                                           LongPathLine("C:\\OLD\\S\xE3o\\cf1.ini"));
  CShortNames platform(m.Platform());
  BackUp(platform, "C:\\OLD\\S\xE3o\\queue.ini", "S\xE3o");
  CBackupStore later(m.Platform(), progress);
  ASSERT_TRUE(later.Open(kBackupDir));
  EXPECT_EQ(later.ReadablePath("C:\\OLD\\S\xE3o\\queue.ini"), InBackup("S_o"));
  // The half-done move of cf1.ini is finished under the name its line gives.
  later.BackupFile("C:\\OLD\\S\xE3o\\cf1.ini", "S_o-1");
  ASSERT_TRUE(later.Close());
  EXPECT_EQ(m.ReadFile(InBackup("S_o-1")), "job");
  EXPECT_FALSE(m.Exists(InBackup("S_o-1.1")));
  EXPECT_FALSE(m.Exists("C:\\OLD\\S\xE3o\\cf1.ini"));
}

// A data file whose path cmd cannot spell still gets its Spool copy recorded, so that a run
// that finishes this one knows the copy as its own.
TEST_F(JournalTest, ASpoolCopyThatCmdCannotRestoreIsRecorded) {
  m.MakeDir("C:\\DATA");
  m.MakeDir("C:\\DATA\\S\xE3o");
  m.WriteFile("C:\\DATA\\S\xE3o\\df1", "job one");
  {
    CBackupStore store(m.Platform(), progress);
    ASSERT_TRUE(store.Open(kBackupDir));
    EXPECT_TRUE(store.CopyToSpool("C:\\DATA\\S\xE3o\\df1", InSpool("df1")));
    ASSERT_TRUE(store.Close());
  }
  EXPECT_EQ(Script(), SpoolRecordLine(InSpool("df1"), "C:\\DATA\\S\xE3o\\df1"));
  EXPECT_NE(Script().find("C:\\DATA\\S%E3o\\df1"), std::string::npos);
  m.WriteFile("C:\\DATA\\S\xE3o\\df1", "job one, rewritten");
  CBackupStore store(m.Platform(), progress);
  ASSERT_TRUE(store.Open(kBackupDir));
  EXPECT_TRUE(store.CopyToSpool("C:\\DATA\\S\xE3o\\df1", InSpool("df1")));
  ASSERT_TRUE(store.Close());
  EXPECT_EQ(m.ReadFile(InSpool("df1")), "job one, rewritten");
  EXPECT_EQ(Script(), SpoolRecordLine(InSpool("df1"), "C:\\DATA\\S\xE3o\\df1"));
}

// The new server deletes a Spool copy after printing it: the copy is never read-only, also
// where the data file is and where the run's own earlier copy was.
TEST_F(JournalTest, SpoolCopiesAreWritableAlsoTheRunsOwnReadOnlyOne) {
  m.MakeDir("C:\\DATA");
  m.WriteFile("C:\\DATA\\df1", "read-only job");
  m.WriteFile("C:\\DATA\\df2", "job two");
  ASSERT_TRUE(m.Platform().SetFileAttributesA("C:\\DATA\\df1", win::kFileAttributeReadOnly));
  m.WriteFile(InSpool("df2"), "stale");
  ASSERT_TRUE(m.Platform().SetFileAttributesA(InSpool("df2").c_str(), win::kFileAttributeReadOnly));
  const std::string line = SpoolRestoreLine(InSpool("df2"), "C:\\DATA\\df2");
  m.WriteFile(InBackup("restore.bat"), line);
  CBackupStore store(m.Platform(), progress);
  ASSERT_TRUE(store.Open(kBackupDir));
  EXPECT_TRUE(store.CopyToSpool("C:\\DATA\\df1", InSpool("df1")));
  EXPECT_TRUE(store.CopyToSpool("C:\\DATA\\df2", InSpool("df2")));
  ASSERT_TRUE(store.Close());
  for (const char* name : {"df1", "df2"}) {
    EXPECT_EQ(m.Platform().GetFileAttributesA(InSpool(name).c_str()) & win::kFileAttributeReadOnly,
              0U)
        << name;
  }
  EXPECT_EQ(m.ReadFile(InSpool("df2")), "job two");
  EXPECT_EQ(Script(), line + SpoolRestoreLine(InSpool("df1"), "C:\\DATA\\df1"));
}

// The first version wrote its lines unquoted; they are read as the others.
TEST_F(JournalTest, TheFirstVersionsUnquotedLinesAreRead) {
  m.MakeDir("C:\\OLD\\Front Desk");
  m.WriteFile(InBackup("winvela.ini"), "[Settings]\r\nIni=C:\\OLD\\vela.ini\r\n");
  m.WriteFile(InBackup("Front Desk"), "[Settings]\r\n");
  m.WriteFile(InBackup("restore.bat"),
              "copy/y winvela.ini C:\\windows\\vela.ini\r\n"
              "copy/y Front Desk C:\\OLD\\Front Desk\\queue.ini\r\n");
  CBackupStore store(m.Platform(), progress);
  ASSERT_TRUE(store.Open(kBackupDir));
  EXPECT_TRUE(store.HasJournal());
  EXPECT_EQ(store.ReadablePath("C:\\windows\\vela.ini"), InBackup("winvela.ini"));
  EXPECT_EQ(store.ReadablePath("C:\\OLD\\Front Desk\\queue.ini"), InBackup("Front Desk"));
  EXPECT_EQ(store.ClaimName("front desk"), "front desk.1");
}
}  // namespace
