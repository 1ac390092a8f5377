// Waiting jobs: job lists, job keys, spool copies and control file backups.
#include <gtest/gtest.h>

#include <algorithm>

#include "support/migration_fixture.h"

namespace {

class JobsTest : public MigrationTest {
 protected:
  void SetUp() override {
    MigrationTest::SetUp();
    m.MakeDir("C:\\OLD");
    m.MakeDir("C:\\OLD\\lp");
    m.MakeDir("C:\\DATA");
    m.WriteFile("C:\\OLD\\lp\\queue.ini", "[Settings]\r\nCopies=1\r\n");
    WriteOldInstallation("[Queues]\r\n1=lp\r\n[lp]\r\nqueuedir=C:\\OLD\\lp\r\n");
  }
  void Job(const std::string& name, const std::string& text) {
    m.WriteFile("C:\\OLD\\lp\\" + name, text);
  }
};

TEST_F(JobsTest, AJobWithTwoDataFiles) {
  m.WriteFile("C:\\DATA\\df1.prn", "first");
  m.WriteFile("C:\\DATA\\df2.prn", "second");
  Job("cf001.ini",
      "[Settings]\r\nSeqno=001\r\nControlFileName=cfA001host\r\nDataFiles=2\r\n"
      "QueueName=elsewhere\r\nUser=joe\r\n[Files]\r\nFile1=ldf1.prn\r\n"
      "df1.prn=C:\\DATA\\df1.prn\r\nData1=C:\\WRONG\\df1.prn\r\nFile2=ldf2.prn\r\n"
      "Data2=C:\\DATA\\df2.prn\r\nUser=ann\r\n");
  EXPECT_TRUE(Migrate());
  EXPECT_EQ(Value("Queues\\lp\\Jobs", "001"), Sz("cfA001host"));
  const std::string job = "Jobs\\cfA001host";
  EXPECT_EQ(Value(job, "Seqno"), Dword(1));
  EXPECT_EQ(Value(job, "DataFiles"), Dword(2));
  EXPECT_EQ(Value(job, "QueueName"), Sz("lp"));
  EXPECT_EQ(Value(job, "User"), Sz("ann"));
  EXPECT_FALSE(Value(job, "ControlFileName"));
  EXPECT_EQ(Value(job, "File1"), Sz("ldf1.prn"));
  EXPECT_EQ(Value(job, "Data1"), Sz("df1.prn"));
  EXPECT_EQ(Value(job, "df1.prn"), Sz("df1.prn"));
  EXPECT_EQ(Value(job, "Data2"), Sz("df2.prn"));
  EXPECT_EQ(Value(job, "df2.prn"), Sz("df2.prn"));
  EXPECT_EQ(m.ReadFile(std::string(kSpool) + "df1.prn"), "first");
  EXPECT_EQ(m.ReadFile(std::string(kSpool) + "df2.prn"), "second");
  EXPECT_TRUE(m.Exists("C:\\DATA\\df1.prn"));
  EXPECT_FALSE(m.Exists("C:\\OLD\\lp\\cf001.ini"));
  EXPECT_TRUE(m.Exists(std::string(kBackup) + "lp-001"));
  const std::string script = RestoreScript();
  const std::string tail =
      "copy/y \"C:\\Program Files\\Vela\\Spool\\df1.prn\" \"C:\\DATA\\df1.prn\"\r\n"
      "copy/y \"C:\\Program Files\\Vela\\Spool\\df2.prn\" \"C:\\DATA\\df2.prn\"\r\n"
      "copy/y \"%~dp0lp-001\" \"C:\\OLD\\lp\\cf001.ini\"\r\n";
  ASSERT_GE(script.size(), tail.size());
  EXPECT_EQ(script.substr(script.size() - tail.size()), tail);
  EXPECT_NE(std::find(progress.details.begin(), progress.details.end(), "C:\\OLD\\lp\\cf001.ini"),
            progress.details.end());
}

TEST_F(JobsTest, JobsWithoutDataFilesStillGetTheirEntriesAndBackups) {
  Job("cf1.ini", "[Settings]\r\nSeqno=1\r\nControlFileName=a\r\nDataFiles=-2\r\n");
  Job("cf2.ini", "[Settings]\r\nSeqno=2\r\nControlFileName=b\r\n");
  Job("cf3.ini",
      "[Settings]\r\nSeqno=3\r\nControlFileName=c\r\nDataFiles=2\r\n[Files]\r\nFile2=l\r\n");
  EXPECT_TRUE(Migrate());
  EXPECT_EQ(Value("Queues\\lp\\Jobs", "1"), Sz("a"));
  EXPECT_EQ(Value("Queues\\lp\\Jobs", "2"), Sz("b"));
  EXPECT_EQ(Value("Queues\\lp\\Jobs", "3"), Sz("c"));
  EXPECT_EQ(Value("Jobs\\a", "DataFiles"), Sz("-2"));
  EXPECT_EQ(Value("Jobs\\c", "File2"), Sz("l"));
  for (const char* backup : {"lp-1", "lp-2", "lp-3"}) {
    EXPECT_TRUE(m.Exists(std::string(kBackup) + backup)) << backup;
  }
  EXPECT_EQ(RestoreScript().find("Spool"), std::string::npos);
}

TEST_F(JobsTest, MissingSourceKeepsTheOldPaths) {
  Job("cf1.ini",
      "[Settings]\r\nSeqno=1\r\nControlFileName=a\r\nDataFiles=1\r\n[Files]\r\n"
      "File1=lgone.prn\r\nData1=C:\\DATA\\gone.prn\r\n");
  EXPECT_TRUE(Migrate());
  EXPECT_EQ(Value("Jobs\\a", "Data1"), Sz("C:\\DATA\\gone.prn"));
  EXPECT_FALSE(Value("Jobs\\a", "gone.prn"));
  EXPECT_FALSE(m.Exists(std::string(kSpool) + "gone.prn"));
}

TEST_F(JobsTest, DuplicateSeqnoAndControlFileNameLoseNoFile) {
  Job("cf1.ini", "[Settings]\r\nSeqno=7\r\nControlFileName=same\r\nA=1\r\nB=1\r\n");
  Job("cf2.ini", "[Settings]\r\nSeqno=7\r\nControlFileName=same\r\nB=2\r\n");
  EXPECT_TRUE(Migrate());
  EXPECT_EQ(Value("Queues\\lp\\Jobs", "7"), Sz("same"));
  EXPECT_EQ(Value("Jobs\\same", "A"), Dword(1));
  EXPECT_EQ(Value("Jobs\\same", "B"), Dword(2));
  EXPECT_EQ(m.ReadFile(std::string(kBackup) + "lp-7"),
            "[Settings]\r\nSeqno=7\r\nControlFileName=same\r\nA=1\r\nB=1\r\n");
  EXPECT_EQ(m.ReadFile(std::string(kBackup) + "lp-7.1"),
            "[Settings]\r\nSeqno=7\r\nControlFileName=same\r\nB=2\r\n");
}

TEST_F(JobsTest, NoSeqnoSetsTheUnnamedValue) {
  Job("cf1.ini", "[Settings]\r\nControlFileName=x\r\n");
  EXPECT_TRUE(Migrate());
  EXPECT_EQ(Value("Queues\\lp\\Jobs", ""), Sz("x"));
  EXPECT_TRUE(m.Exists(std::string(kBackup) + "lp-"));
}

TEST_F(JobsTest, EmptyOrOverlongControlFileNameGetsNoJobKey) {
  m.WriteFile("C:\\DATA\\d.prn", "data");
  Job("cf1.ini",
      "[Settings]\r\nSeqno=1\r\nDataFiles=1\r\n[Files]\r\nFile1=ld.prn\r\n"
      "Data1=C:\\DATA\\d.prn\r\n");
  Job("cf2.ini", "[Settings]\r\nSeqno=2\r\nControlFileName=" + std::string(256, 'n') + "\r\n");
  EXPECT_TRUE(Migrate());
  EXPECT_TRUE(SubKeys(m.Platform(), std::string(kProduct) + "\\Jobs").empty());
  // An empty text is stored as no bytes: there is no counted byte to take in a NUL.
  EXPECT_EQ(Value("Queues\\lp\\Jobs", "1"), (CRegValue{win::kRegSz, ""}));
  EXPECT_EQ(Value("Queues\\lp\\Jobs", "2"), Sz(std::string(256, 'n')));
  EXPECT_EQ(m.ReadFile(std::string(kSpool) + "d.prn"), "data");
  EXPECT_TRUE(m.Exists(std::string(kBackup) + "lp-1"));
  EXPECT_TRUE(m.Exists(std::string(kBackup) + "lp-2"));
}

TEST_F(JobsTest, DataFileNamesNeverLeaveSpoolNorReplaceEachOther) {
  m.WriteFile("C:\\DATA\\a.prn", "first job");
  m.WriteFile("C:\\DATA\\b.prn", "second job");
  m.WriteFile("C:\\DATA\\evil", "evil");
  Job("cf1.ini",
      "[Settings]\r\nSeqno=1\r\nControlFileName=j1\r\nDataFiles=3\r\n[Files]\r\n"
      "File1=lsame.prn\r\nData1=C:\\DATA\\a.prn\r\nFile2=l..\\..\\evil\r\n"
      "Data2=C:\\DATA\\evil\r\nFile3=lCON\r\nData3=C:\\DATA\\evil\r\n");
  Job("cf2.ini",
      "[Settings]\r\nSeqno=2\r\nControlFileName=j2\r\nDataFiles=1\r\n[Files]\r\n"
      "File1=lSAME.prn\r\nData1=C:\\DATA\\b.prn\r\n");
  EXPECT_TRUE(Migrate());
  EXPECT_EQ(m.ReadFile(std::string(kSpool) + "same.prn"), "first job");
  EXPECT_EQ(Value("Jobs\\j1", "Data1"), Sz("same.prn"));
  EXPECT_EQ(Value("Jobs\\j1", "Data2"), Sz("C:\\DATA\\evil"));
  EXPECT_EQ(Value("Jobs\\j1", "Data3"), Sz("C:\\DATA\\evil"));
  EXPECT_EQ(Value("Jobs\\j2", "Data1"), Sz("C:\\DATA\\b.prn"));
  EXPECT_FALSE(m.Exists("C:\\Program Files\\evil"));
  EXPECT_EQ(RestoreScript().find("evil"), std::string::npos);
}

TEST_F(JobsTest, DataFilePathsWithBlanksAndPercentRestore) {
  m.MakeDir("C:\\DATA\\my %TEMP% dir");
  m.WriteFile("C:\\DATA\\my %TEMP% dir\\a&b+c.prn", "x");
  Job("cf1.ini",
      "[Settings]\r\nSeqno=1\r\nControlFileName=j1\r\nDataFiles=1\r\n[Files]\r\n"
      "File1=la&b+c.prn\r\nData1=C:\\DATA\\my %TEMP% dir\\a&b+c.prn\r\n");
  EXPECT_TRUE(Migrate());
  EXPECT_NE(RestoreScript().find("copy/y \"C:\\Program Files\\Vela\\Spool\\a&b+c.prn\" "
                                 "\"C:\\DATA\\my %%TEMP%% dir\\a&b+c.prn\"\r\n"),
            std::string::npos);
}

TEST_F(JobsTest, NoControlFilesNoJobsKey) {
  m.WriteFile("C:\\OLD\\lp\\other.ini", "[Settings]\r\nSeqno=1\r\n");
  EXPECT_TRUE(Migrate());
  EXPECT_FALSE(Key("Queues\\lp\\Jobs"));
  EXPECT_TRUE(m.Exists("C:\\OLD\\lp\\other.ini"));
}

}  // namespace
