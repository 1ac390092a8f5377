// Waiting jobs: job lists, job keys, spool copies and control file backups.
#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <stdexcept>
#include <string_view>
#include <vector>

#include "platform/ansi_text.h"
#include "support/migration_fixture.h"
#include "support/platform_proxy.h"

namespace {

// A file name matches a mask of * and ? without regard to case.
bool MatchesMask(std::string_view mask, std::string_view name) {
  if (mask.empty()) {
    return name.empty();
  }
  if (mask[0] == '*') {
    return MatchesMask(mask.substr(1), name) ||
           (!name.empty() && MatchesMask(mask, name.substr(1)));
  }
  return !name.empty() &&
         (mask[0] == '?' || ansi::EqualNoCase(mask.substr(0, 1), name.substr(0, 1))) &&
         MatchesMask(mask.substr(1), name.substr(1));
}

// A wildcard search as Windows runs it on NTFS and FAT: the mask is compared with each file's
// 8.3 short name too. The emulation has no short names; the files in shortNames get theirs.
class CShortNameSearch : public CPlatformProxy {
 public:
  using CPlatformProxy::CPlatformProxy;
  std::map<std::string, std::string> shortNames;  // long name -> short name

  win::HFIND FindFirstFileA(const char* pattern, win::FindData& data) override {
    const std::string path(pattern);
    const size_t slash = path.rfind('\\');
    const std::string mask = path.substr(slash + 1);
    if (slash == std::string::npos || mask.find_first_of("*?") == std::string::npos) {
      return CPlatformProxy::FindFirstFileA(pattern, data);
    }
    found_.clear();
    next_ = 0;
    CFindHandle all(Inner());
    win::FindData entry;
    for (bool more = all.First(path.substr(0, slash + 1) + "*", entry); more;
         more = all.Next(entry)) {
      const auto shortName = shortNames.find(entry.name);
      if (MatchesMask(mask, entry.name) ||
          (shortName != shortNames.end() && MatchesMask(mask, shortName->second))) {
        found_.push_back(entry);
      }
    }
    if (found_.empty()) {
      SetLastError(win::kErrorFileNotFound);
      return win::kInvalidFind;
    }
    data = found_[next_++];
    return kSearch;
  }
  bool FindNextFileA(win::HFIND find, win::FindData& data) override {
    if (find != kSearch) {
      return CPlatformProxy::FindNextFileA(find, data);
    }
    if (next_ >= found_.size()) {
      SetLastError(win::kErrorNoMoreFiles);
      return false;
    }
    data = found_[next_++];
    return true;
  }
  bool FindClose(win::HFIND find) override {
    return find == kSearch || CPlatformProxy::FindClose(find);
  }

 private:
  static constexpr win::HFIND kSearch = ~static_cast<win::HFIND>(1);
  std::vector<win::FindData> found_;
  size_t next_ = 0;
};

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
      "if not exist \"C:\\DATA\\df1.prn\" copy/y \"C:\\Program Files\\Vela\\Spool\\df1.prn\" "
      "\"C:\\DATA\\df1.prn\"\r\n"
      "if not exist \"C:\\DATA\\df2.prn\" copy/y \"C:\\Program Files\\Vela\\Spool\\df2.prn\" "
      "\"C:\\DATA\\df2.prn\"\r\n"
      "copy/y \"%~dp0lp-001\" \"C:\\OLD\\lp\\cf001.ini\"\r\n"
      "rem CheckVela: migration finished\r\n";
  ASSERT_GE(script.size(), tail.size());
  EXPECT_EQ(script.substr(script.size() - tail.size()), tail);
  EXPECT_NE(std::find(progress.details.begin(), progress.details.end(), "C:\\OLD\\lp\\cf001.ini"),
            progress.details.end());
}

// Registry value names ignore case: an entry the control file spells otherwise must not
// override what the migration sets, replaces or removes.
TEST_F(JobsTest, AQueueNameInAnySpellingIsReplaced) {
  Job("cf1.ini", "[Settings]\r\nSeqno=1\r\nControlFileName=a\r\nqueueName=elsewhere\r\n");
  EXPECT_TRUE(Migrate());
  EXPECT_EQ(Value("Jobs\\a", "QueueName"), Sz("lp"));
}

TEST_F(JobsTest, EntriesOfACopiedDataFileInAnySpellingAreReplaced) {
  m.WriteFile("C:\\DATA\\df1.prn", "first");
  Job("cf1.ini",
      "[Settings]\r\nSeqno=1\r\nControlFileName=a\r\nDataFiles=1\r\n[Files]\r\n"
      "file1=lDF1.PRN\r\ndata1=C:\\WRONG\\df1.prn\r\ndf1.prn=C:\\DATA\\df1.prn\r\n");
  EXPECT_TRUE(Migrate());
  EXPECT_EQ(m.ReadFile(std::string(kSpool) + "DF1.PRN"), "first");
  EXPECT_EQ(Value("Jobs\\a", "File1"), Sz("lDF1.PRN"));
  EXPECT_EQ(Value("Jobs\\a", "Data1"), Sz("DF1.PRN"));
  EXPECT_EQ(Value("Jobs\\a", "DF1.PRN"), Sz("DF1.PRN"));
}

TEST_F(JobsTest, AControlFileNameInAnySpellingIsRemoved) {
  Job("cf1.ini", "[Settings]\r\nSeqno=1\r\ncontrolfilename=a\r\nUser=joe\r\n");
  EXPECT_TRUE(Migrate());
  EXPECT_EQ(Value("Jobs\\a", "User"), Sz("joe"));
  EXPECT_FALSE(Value("Jobs\\a", "ControlFileName"));
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

TEST_F(JobsTest, AControlFileNameOfTheLongestKeyNameGetsItsJobKey) {
  const std::string name(255, 'n');
  Job("cf1.ini", "[Settings]\r\nSeqno=1\r\nControlFileName=" + name + "\r\nUser=joe\r\n");
  EXPECT_TRUE(Migrate());
  EXPECT_EQ(Value("Queues\\lp\\Jobs", "1"), Sz(name));
  EXPECT_EQ(SubKeys(m.Platform(), std::string(kProduct) + "\\Jobs"),
            std::vector<std::string>{name});
  EXPECT_EQ(Value("Jobs\\" + name, "User"), Sz("joe"));
}

// DataFiles may say 2147483647; only a number with a File key names a data file, and the
// Files section may hold more key names than one 4096-byte read of the list gives.
TEST_F(JobsTest, AHugeDataFilesCountEndsPromptlyWithTheSameResult) {
  m.WriteFile("C:\\DATA\\d2.prn", "two");
  m.WriteFile("C:\\DATA\\d900.prn", "nine hundred");
  std::string files = "[Files]\r\nfile2=ld2.prn\r\nData2=C:\\DATA\\d2.prn\r\n";
  for (int n = 0; n < 500; ++n) {
    files += "Filler" + std::to_string(1000 + n) + "=x\r\n";  // 11 bytes a name
  }
  files += "File900=ld900.prn\r\nData900=C:\\DATA\\d900.prn\r\n";
  Job("cf1.ini", "[Settings]\r\nSeqno=1\r\nControlFileName=a\r\nDataFiles=2147483647\r\n" + files);
  // Counting through DataFiles would take hours: fail instead.
  class CBoundedProfileReads : public CPlatformProxy {
   public:
    using CPlatformProxy::CPlatformProxy;
    win::DWORD GetPrivateProfileStringA(const char* section, const char* key,
                                        const char* defaultValue, char* buffer, win::DWORD size,
                                        const char* fileName) override {
      if (++reads_ > 100000) {
        throw std::runtime_error("the profile is read without end");
      }
      return CPlatformProxy::GetPrivateProfileStringA(section, key, defaultValue, buffer, size,
                                                      fileName);
    }

   private:
    int reads_ = 0;
  } platform(m.Platform());
  EXPECT_TRUE(Migrate(platform));
  EXPECT_EQ(m.ReadFile(std::string(kSpool) + "d2.prn"), "two");
  EXPECT_EQ(m.ReadFile(std::string(kSpool) + "d900.prn"), "nine hundred");
  EXPECT_EQ(Value("Jobs\\a", "File2"), Sz("ld2.prn"));
  EXPECT_EQ(Value("Jobs\\a", "Data2"), Sz("d2.prn"));
  EXPECT_EQ(Value("Jobs\\a", "File900"), Sz("ld900.prn"));
  EXPECT_EQ(Value("Jobs\\a", "Data900"), Sz("d900.prn"));
  EXPECT_EQ(Value("Jobs\\a", "d900.prn"), Sz("d900.prn"));
  const std::string script = RestoreScript();
  EXPECT_NE(script.find("if not exist \"C:\\DATA\\d2.prn\" copy/y "
                        "\"C:\\Program Files\\Vela\\Spool\\d2.prn\" \"C:\\DATA\\d2.prn\"\r\n"
                        "if not exist \"C:\\DATA\\d900.prn\" copy/y "
                        "\"C:\\Program Files\\Vela\\Spool\\d900.prn\" \"C:\\DATA\\d900.prn\"\r\n"),
            std::string::npos)
      << script;
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

TEST_F(JobsTest, StrayCopiesFoundThroughTheirShortNamesStayWhereTheyAre) {
  const std::string real = "[Settings]\r\nSeqno=1\r\nControlFileName=a\r\nUser=joe\r\n";
  const std::string stale = "[Settings]\r\nSeqno=1\r\nControlFileName=a\r\nUser=stale\r\n";
  Job("cf0001.ini", real);
  CShortNameSearch platform(m.Platform());
  int n = 0;
  for (const char* stray : {"cf0001.ini_old", "cf0001.ini~", "cf0001.inibak"}) {
    Job(stray, stale);
    platform.shortNames[stray] = "CF0001~" + std::to_string(++n) + ".INI";
  }
  EXPECT_TRUE(Migrate(platform));
  EXPECT_EQ(Value("Jobs\\a", "User"), Sz("joe"));
  EXPECT_EQ(m.ReadFile(std::string(kBackup) + "lp-1"), real);
  EXPECT_FALSE(m.Exists(std::string(kBackup) + "lp-1.1"));
  for (const char* stray : {"cf0001.ini_old", "cf0001.ini~", "cf0001.inibak"}) {
    EXPECT_EQ(m.ReadFile(std::string("C:\\OLD\\lp\\") + stray), stale) << stray;
  }
}

TEST_F(JobsTest, NoControlFilesNoJobsKey) {
  m.WriteFile("C:\\OLD\\lp\\other.ini", "[Settings]\r\nSeqno=1\r\n");
  EXPECT_TRUE(Migrate());
  EXPECT_FALSE(Key("Queues\\lp\\Jobs"));
  EXPECT_TRUE(m.Exists("C:\\OLD\\lp\\other.ini"));
}

// Control files named in capitals are migrated as the others; a File key numbered past the
// range of an int names no data file and stops nothing; a data file name that spells the
// migration's temporary file is never a Spool name.
TEST_F(JobsTest, CapitalNamesOverlongNumbersAndTemporaryNames) {
  m.WriteFile("C:\\DATA\\a.prn", "a");
  m.WriteFile("C:\\DATA\\t.prn", "t");
  Job("CF1.INI",
      "[Settings]\r\nSeqno=1\r\nControlFileName=j1\r\nDataFiles=2\r\n[Files]\r\n"
      "File99999999999=lhuge.prn\r\nFile1=la.prn\r\nData1=C:\\DATA\\a.prn\r\n"
      "File2=l~CHECKVELA.TMP\r\nData2=C:\\DATA\\t.prn\r\n");
  EXPECT_TRUE(Migrate());
  EXPECT_EQ(Value("Queues\\lp\\Jobs", "1"), Sz("j1"));
  EXPECT_EQ(m.ReadFile(std::string(kSpool) + "a.prn"), "a");
  EXPECT_EQ(Value("Jobs\\j1", "Data1"), Sz("a.prn"));
  EXPECT_EQ(Value("Jobs\\j1", "Data2"), Sz("C:\\DATA\\t.prn"));
  EXPECT_FALSE(m.Exists(std::string(kSpool) + "~CHECKVELA.TMP"));
  EXPECT_FALSE(m.Exists("C:\\OLD\\lp\\CF1.INI"));
  EXPECT_TRUE(m.Exists(std::string(kBackup) + "lp-1"));
}
}  // namespace
