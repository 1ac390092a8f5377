// The five auxiliary tables and their branches.
#include <gtest/gtest.h>

#include "support/migration_fixture.h"

namespace {

using AuxiliaryTablesTest = MigrationTest;

TEST_F(AuxiliaryTablesTest, NoneOfTheFilesPresent) {
  WriteOldInstallation("[Settings]\r\n");
  EXPECT_TRUE(Migrate());
  for (const char* key : {"Access", "Translation", "Styles", "Protocols", "EBCDIC"}) {
    EXPECT_FALSE(Key(key)) << key;
  }
  EXPECT_EQ(RestoreScript(),
            "copy/y \"%~dp0winvela.ini\" \"C:\\windows\\vela.ini\"\r\n"
            "copy/y \"%~dp0vela.ini\" \"C:\\OLD\\vela.ini\"\r\n"
            "rem CheckVela: migration finished\r\n");
}

TEST_F(AuxiliaryTablesTest, AllFiveInTheirBranchesAndOrder) {
  WriteOldInstallation("[Settings]\r\n");
  m.WriteFile("C:\\OLD\\access.ini",
              "[Settings]\r\nOpen=1\r\n[Hostnames]\r\nh1=server\r\n[IP Rules]\r\nr1=10.0.0.1\r\n");
  m.WriteFile("C:\\OLD\\translat.ini",
              "[Tables]\r\nfirst=T\r\nsecond=T\r\nthird=\r\n[T]\r\nA=65\r\nB=\r\n");
  m.WriteFile("C:\\OLD\\styles.ini",
              "[Styles]\r\nS=1\r\n[S]\r\nTop=1\r\nInsertBytes=1B40\r\nName=plain\r\n");
  m.WriteFile("C:\\OLD\\protocol.ini",
              "[Protocols]\r\nA=P\r\nB=\r\n[P]\r\nPort=515\r\n[A]\r\nPort=1\r\n");
  m.WriteFile("C:\\OLD\\ebcdic.ini",
              "[LangID]\r\n1=037\r\n[LangNames]\r\nL=English\r\n[L]\r\n40=32\r\n");
  EXPECT_TRUE(Migrate());

  EXPECT_EQ(Value("Access", "Open"), Dword(1));
  EXPECT_EQ(Value("Access\\Hostnames", "h1"), Sz("server"));
  EXPECT_EQ(Value("Access\\IP Rules", "r1"), Sz("10.0.0.1"));
  EXPECT_TRUE(Key("Access\\Host Rules"));

  EXPECT_EQ(SubKeys(m.Platform(), std::string(kProduct) + "\\Translation"),
            std::vector<std::string>{"T"});
  EXPECT_EQ(Value("Translation\\T", "A"), Sz("65"));
  EXPECT_FALSE(Value("Translation\\T", "B"));

  EXPECT_EQ(Value("Styles", "S"), Dword(1));
  EXPECT_EQ(Value("Styles\\S", "Top"), Sz("1.0"));
  EXPECT_EQ(Value("Styles\\S", "InsertBytes"), Binary("\x1B\x40"));
  EXPECT_EQ(Value("Styles\\S", "Name"), Sz("plain"));

  EXPECT_EQ(SubKeys(m.Platform(), std::string(kProduct) + "\\Protocols"),
            std::vector<std::string>{"P"});
  EXPECT_EQ(Value("Protocols\\P", "Port"), Dword(515));

  EXPECT_EQ(Value("EBCDIC\\LangID", "1"), Sz("037"));
  EXPECT_EQ(Value("EBCDIC\\LangNames", "L"), Sz("English"));
  EXPECT_EQ(Value("EBCDIC\\L", "40"), Sz("32"));

  for (const char* file :
       {"access.ini", "translat.ini", "styles.ini", "protocol.ini", "ebcdic.ini"}) {
    EXPECT_FALSE(m.Exists(std::string("C:\\OLD\\") + file)) << file;
    EXPECT_TRUE(m.Exists(std::string(kBackup) + file)) << file;
  }
  const std::string script = RestoreScript();
  const std::string tail =
      "copy/y \"%~dp0access.ini\" \"C:\\OLD\\access.ini\"\r\n"
      "copy/y \"%~dp0translat.ini\" \"C:\\OLD\\translat.ini\"\r\n"
      "copy/y \"%~dp0styles.ini\" \"C:\\OLD\\styles.ini\"\r\n"
      "copy/y \"%~dp0protocol.ini\" \"C:\\OLD\\protocol.ini\"\r\n"
      "copy/y \"%~dp0ebcdic.ini\" \"C:\\OLD\\ebcdic.ini\"\r\n"
      "rem CheckVela: migration finished\r\n";
  ASSERT_GE(script.size(), tail.size());
  EXPECT_EQ(script.substr(script.size() - tail.size()), tail);
}

TEST_F(AuxiliaryTablesTest, PresentFilesWithoutSectionsLeaveTheirFixedKeys) {
  WriteOldInstallation("[Settings]\r\n");
  for (const char* file :
       {"access.ini", "translat.ini", "styles.ini", "protocol.ini", "ebcdic.ini"}) {
    m.WriteFile(std::string("C:\\OLD\\") + file, "");
  }
  EXPECT_TRUE(Migrate());
  for (const char* key : {"Access", "Access\\Hostnames", "Access\\IP Rules", "Access\\Host Rules",
                          "Styles", "EBCDIC\\LangID", "EBCDIC\\LangNames"}) {
    EXPECT_TRUE(Key(key)) << key;
  }
  EXPECT_FALSE(Key("Translation"));
  EXPECT_FALSE(Key("Protocols"));
}

}  // namespace
