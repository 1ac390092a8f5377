// Program-wide settings and current jobs.
#include <gtest/gtest.h>

#include "support/migration_fixture.h"

namespace {

using SettingsTest = MigrationTest;

TEST_F(SettingsTest, LaterSectionsReplaceEarlierOnesAndWindowPosHoldsInAnySpelling) {
  WriteOldInstallation(
      "[LogOptions]\r\nLevel=3\r\nLogFile=C:\\log.txt\r\n[Security]\r\nMode=007\r\n"
      "Neg=-1\r\nPoint=1.5\r\nBlank=1 2\r\nHex=0x10\r\ndesktop SIZE=0 0\r\n"
      "[Settings]\r\nLevel=x\r\nMain=abc\r\nmAIN=def\r\n"
      "UninstallString=from ini\r\n[WindowPos]\r\nDesktop size=1024 768\r\nOther=5\r\n");
  EXPECT_TRUE(Migrate());
  EXPECT_EQ(Value("", "Level"), Sz("x"));
  EXPECT_EQ(Value("", "LogFile"), Sz("C:\\log.txt"));
  EXPECT_EQ(Value("", "Mode"), Dword(7));
  EXPECT_EQ(Value("", "Neg"), Sz("-1"));
  EXPECT_EQ(Value("", "Point"), Sz("1.5"));
  EXPECT_EQ(Value("", "Blank"), Sz("1 2"));
  EXPECT_EQ(Value("", "Hex"), Sz("0x10"));
  EXPECT_EQ(Value("", "Desktop size"), Sz("1024 768"));
  EXPECT_FALSE(Value("", "Main"));
  EXPECT_FALSE(Value("", "Other"));
  EXPECT_FALSE(Value("", "Ini"));
  EXPECT_EQ(Value("", "UninstallString"), Sz("from ini"));
}

TEST_F(SettingsTest, CurrentJobsNumberTheControlFilesInFileOrder) {
  m.MakeDir("C:\\OLD");
  m.WriteFile("C:\\OLD\\j1.ini", "[Settings]\r\nControlFileName=a\r\n");
  m.WriteFile("C:\\OLD\\j2.ini", "[Settings]\r\nControlFileName=b\r\n");
  m.WriteFile("C:\\OLD\\j3.ini", "[Settings]\r\nControlFileName=a\r\n");
  m.WriteFile("C:\\OLD\\j4.ini", "[Settings]\r\nSeqno=4\r\n");
  m.WriteFile("C:\\windows\\bare.ini", "[Settings]\r\nControlFileName=bare\r\n");
  WriteOldInstallation(
      "[CurrentJobs]\r\nC:\\OLD\\j1.ini=\r\nC:\\OLD\\j2.ini=\r\nC:\\OLD\\j3.ini=\r\n"
      "C:\\OLD\\j4.ini=\r\nbare.ini=\r\n");
  EXPECT_TRUE(Migrate());
  EXPECT_EQ(Value("CurrentJobs", "a"), Dword(2));
  EXPECT_EQ(Value("CurrentJobs", "b"), Dword(1));
  EXPECT_EQ(Value("CurrentJobs", ""), Dword(3));
  EXPECT_EQ(Value("CurrentJobs", "bare"), Dword(4));
  // Listed control files are read, not moved.
  EXPECT_TRUE(m.Exists("C:\\OLD\\j1.ini"));
}

TEST_F(SettingsTest, EmptyCurrentJobsStillCreatesTheKey) {
  WriteOldInstallation("[CurrentJobs]\r\n");
  EXPECT_TRUE(Migrate());
  EXPECT_TRUE(Key("CurrentJobs"));
  EXPECT_FALSE(Value("CurrentJobs", ""));
}

}  // namespace
