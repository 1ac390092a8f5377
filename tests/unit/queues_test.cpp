// Queues: settings, renames, cfdir, font record, missing directories and files.
#include <gtest/gtest.h>

#include "support/migration_fixture.h"

namespace {

class QueuesTest : public MigrationTest {
 protected:
  // A main INI with one queue lp in C:\OLD\lp holding queueIni.
  void WriteQueue(const std::string& queueIni,
                  const std::string& queueSection = "queuedir=C:\\OLD\\lp\r\n") {
    m.Platform().CreateDirectoryA("C:\\OLD");
    m.Platform().CreateDirectoryA("C:\\OLD\\lp");
    m.WriteFile("C:\\OLD\\lp\\queue.ini", queueIni);
    WriteOldInstallation("[Queues]\r\n1=lp\r\n2=lp\r\n[lp]\r\n" + queueSection);
  }
  std::string FontOf(const std::string& queue) {
    const auto font = Value("Queues\\" + queue, "Font");
    EXPECT_TRUE(font);
    EXPECT_EQ(font->type, win::kRegBinary);
    return font ? font->data : std::string();
  }
};

TEST_F(QueuesTest, SettingsRenamesAndModeSize) {
  WriteQueue(
      "[Settings]\r\nInsertBytes=1\r\nAppendBytes=2\r\nModeSize=9\r\n"
      "Copies=2\r\n[Bytes]\r\nInsertBytes=1B45\r\nModeSize=8\r\n[Margins]\r\nTop=1\r\n"
      "Left=0.5\r\n");
  EXPECT_TRUE(Migrate());
  EXPECT_EQ(SubKeys(m.Platform(), std::string(kProduct) + "\\Queues"),
            std::vector<std::string>{"lp"});
  EXPECT_EQ(Value("Queues\\lp", "bInsertBytes"), Dword(1));
  EXPECT_EQ(Value("Queues\\lp", "bAppendBytes"), Dword(2));
  EXPECT_EQ(Value("Queues\\lp", "InsertBytes"), Binary("\x1B\x45"));
  EXPECT_FALSE(Value("Queues\\lp", "AppendBytes"));
  EXPECT_FALSE(Value("Queues\\lp", "ModeSize"));
  EXPECT_EQ(Value("Queues\\lp", "Copies"), Dword(2));
  EXPECT_EQ(Value("Queues\\lp", "Top"), Sz("1.0"));
  EXPECT_EQ(Value("Queues\\lp", "Left"), Sz("0.5"));
  EXPECT_FALSE(Value("Queues\\lp", "Font"));
  // queue.ini is backed up under the bare queue name, once.
  EXPECT_FALSE(m.Exists("C:\\OLD\\lp\\queue.ini"));
  EXPECT_TRUE(m.Exists(std::string(kBackup) + "lp"));
  EXPECT_NE(RestoreScript().find("copy/y \"%~dp0lp\" \"C:\\OLD\\lp\\queue.ini\"\r\n"),
            std::string::npos);
}

// The old server read these entries through the profile functions, which find any spelling.
TEST_F(QueuesTest, SettingsEntriesInAnySpellingAreRenamed) {
  WriteQueue("[Settings]\r\ninsertbytes=3\r\nAPPENDBYTES=4\r\nbappendbytes=5\r\n");
  EXPECT_TRUE(Migrate());
  EXPECT_EQ(Value("Queues\\lp", "bInsertBytes"), Dword(3));
  EXPECT_EQ(Value("Queues\\lp", "bAppendBytes"), Dword(4));
  EXPECT_FALSE(Value("Queues\\lp", "InsertBytes"));
  EXPECT_FALSE(Value("Queues\\lp", "AppendBytes"));
}

TEST_F(QueuesTest, ModeSizeInAnySpellingIsRemoved) {
  WriteQueue("[Settings]\r\nmodeSize=9\r\n[Bytes]\r\nMODESIZE=8\r\n[Margins]\r\nmodesize=7\r\n");
  EXPECT_TRUE(Migrate());
  EXPECT_TRUE(Key("Queues\\lp"));
  EXPECT_FALSE(Value("Queues\\lp", "ModeSize"));
}

TEST_F(QueuesTest, CfdirFromTheMainIniWins) {
  WriteQueue("[Settings]\r\ncfdir=C:\\from queue.ini\r\n",
             "queuedir=C:\\OLD\\lp\r\ncfdir=C:\\OLD\\cf\r\n");
  EXPECT_TRUE(Migrate());
  EXPECT_EQ(Value("Queues\\lp", "cfdir"), Sz("C:\\OLD\\cf"));
}

TEST_F(QueuesTest, CfdirFromTheMainIniWinsOverAnySpelling) {
  WriteQueue("[Settings]\r\nCfDir=C:\\from queue.ini\r\n",
             "queuedir=C:\\OLD\\lp\r\ncfdir=C:\\OLD\\cf\r\n");
  EXPECT_TRUE(Migrate());
  EXPECT_EQ(Value("Queues\\lp", "cfdir"), Sz("C:\\OLD\\cf"));
  // The registry keeps the spelling a value was made with: the old one must not be written.
  EXPECT_EQ(ValueNames(m.Platform(), std::string(kProduct) + "\\Queues\\lp"),
            std::vector<std::string>{"cfdir"});
}

TEST_F(QueuesTest, CfdirOfQueueIniStaysWithoutOneInTheMainIni) {
  WriteQueue("[Settings]\r\ncfdir=C:\\from queue.ini\r\n");
  EXPECT_TRUE(Migrate());
  EXPECT_EQ(Value("Queues\\lp", "cfdir"), Sz("C:\\from queue.ini"));
}

TEST_F(QueuesTest, FontWithOnlyAFaceName) {
  WriteQueue("[Font]\r\nFaceName=Courier New\r\n");
  EXPECT_TRUE(Migrate());
  std::string expected(60, '\0');
  expected[16] = static_cast<char>(0x90);  // weight 400
  expected[17] = 0x01;
  expected.replace(28, 11, "Courier New");
  EXPECT_EQ(FontOf("lp"), expected);
}

TEST_F(QueuesTest, FontFieldsTakeTheirLowBytesAndLongNamesAreCut) {
  WriteQueue("[Font]\r\nFaceName=" + std::string(40, 'F') +
             "\r\nHeight=-13\r\nWeight=700\r\nItalic=257\r\nUnderline=1\r\nOutPrecision=3\r\n"
             "ClipPrecision=2\r\nQuality=1\r\nPitchAndFamily=49\r\n");
  EXPECT_TRUE(Migrate());
  const std::string font = FontOf("lp");
  ASSERT_EQ(font.size(), 60U);
  EXPECT_EQ(font.substr(0, 4), "\xF3\xFF\xFF\xFF");
  EXPECT_EQ(font.substr(16, 4), std::string("\xBC\x02\x00\x00", 4));
  EXPECT_EQ(font.substr(20, 8), std::string("\x01\x01\x00\x00\x03\x02\x01\x31", 8));
  EXPECT_EQ(font.substr(28, 32), std::string(31, 'F') + '\0');
}

TEST_F(QueuesTest, NoFontWithoutAFaceName) {
  WriteQueue("[Font]\r\nFaceName=\r\nHeight=12\r\n");
  EXPECT_TRUE(Migrate());
  EXPECT_TRUE(Key("Queues\\lp"));
  EXPECT_FALSE(Value("Queues\\lp", "Font"));
}

TEST_F(QueuesTest, MissingDirectoryIsReportedAndSkippedWhole) {
  WriteQueue("[Settings]\r\nCopies=2\r\n", "queuedir=C:\\OLD\\lp\\\r\n");
  EXPECT_TRUE(Migrate());
  ASSERT_EQ(progress.messages.size(), 1U);
  EXPECT_EQ(progress.messages[0], "Queue lp: directory 'C:\\OLD\\lp\\' does not exist!");
  EXPECT_EQ(progress.types[0], win::kMbOk);
  EXPECT_FALSE(Key("Queues\\lp"));
  EXPECT_TRUE(m.Exists("C:\\OLD\\lp\\queue.ini"));
}

TEST_F(QueuesTest, MissingQueueIniIsReportedAndTheJobsStay) {
  WriteQueue("");
  m.Platform().DeleteFileA("C:\\OLD\\lp\\queue.ini");
  m.WriteFile("C:\\OLD\\lp\\cf001.ini", "[Settings]\r\nSeqno=1\r\nControlFileName=cf001\r\n");
  EXPECT_TRUE(Migrate());
  ASSERT_EQ(progress.messages.size(), 1U);
  EXPECT_EQ(progress.messages[0], "Queue lp: config file 'C:\\OLD\\lp\\queue.ini' does not exist!");
  EXPECT_TRUE(m.Exists("C:\\OLD\\lp\\cf001.ini"));
  EXPECT_FALSE(Key("Queues\\lp"));
  EXPECT_FALSE(Key("Jobs"));
}

TEST_F(QueuesTest, AQueueDirectoryThatIsAFileIsMissing) {
  WriteQueue("", "queuedir=C:\\OLD\\vela.ini\r\n");
  EXPECT_TRUE(Migrate());
  ASSERT_EQ(progress.messages.size(), 1U);
  EXPECT_NE(progress.messages[0].find("directory"), std::string::npos);
}

TEST_F(QueuesTest, HostileQueueNamesStayInsideBackup) {
  for (const char* name : {"..\\..\\x", "CON", "restore.bat"}) {
    const std::string dir = std::string("C:\\OLD\\q") + std::to_string(name[0]);
    m.Platform().CreateDirectoryA("C:\\OLD");
    m.MakeDir(dir);
    m.WriteFile(dir + "\\queue.ini", std::string("[Settings]\r\nName=") + name + "\r\n");
  }
  WriteOldInstallation(
      "[Queues]\r\n1=..\\..\\x\r\n2=CON\r\n3=restore.bat\r\n"
      "[..\\..\\x]\r\nqueuedir=C:\\OLD\\q46\r\n[CON]\r\nqueuedir=C:\\OLD\\q67\r\n"
      "[restore.bat]\r\nqueuedir=C:\\OLD\\q114\r\n");
  EXPECT_TRUE(Migrate());
  EXPECT_EQ(m.ReadFile(std::string(kBackup) + ".._.._x"), "[Settings]\r\nName=..\\..\\x\r\n");
  EXPECT_EQ(m.ReadFile(std::string(kBackup) + "_CON"), "[Settings]\r\nName=CON\r\n");
  EXPECT_EQ(m.ReadFile(std::string(kBackup) + "restore.bat.1"),
            "[Settings]\r\nName=restore.bat\r\n");
  const std::string script = RestoreScript();
  EXPECT_EQ(script.rfind("copy/y \"%~dp0winvela.ini\"", 0), 0U) << script;
  EXPECT_NE(script.find("copy/y \"%~dp0restore.bat.1\" \"C:\\OLD\\q114\\queue.ini\""),
            std::string::npos);
}

}  // namespace
