// CIni over the real profile functions: what the program sees of missing keys, empty values,
// duplicates, long values and long key lists.
#include "profile/ini.h"

#include <gtest/gtest.h>

#include <string>

#include "support/test_machine.h"

namespace {

class IniTest : public ::testing::Test {
 protected:
  std::string Path(const std::string& name = "x.ini") const { return m_.Dir() + name; }
  void Write(const std::string& bytes, const std::string& name = "x.ini") {
    m_.WriteFile(Path(name), bytes);
  }

  CTestMachine m_;
};

TEST_F(IniTest, ConstructorAndSetPathTouchNoFile) {
  CIni ini(m_.Platform(), Path("new.ini"));
  EXPECT_EQ(ini.m_strPath, Path("new.ini"));
  EXPECT_FALSE(ini.m_bModified);
  ini.m_bModified = true;
  ini.SetPath(Path("other.ini"));
  EXPECT_EQ(ini.m_strPath, Path("other.ini"));
  EXPECT_TRUE(ini.m_bModified);
  EXPECT_FALSE(m_.Exists(Path("new.ini")));
  EXPECT_FALSE(m_.Exists(Path("other.ini")));
}

TEST_F(IniTest, DuplicateKeysAndEmptyValues) {
  Write("[S]\r\nA=1\r\nB=\r\nA=2\r\n");
  CIni ini(m_.Platform(), Path());
  CStringArray keys{"existing"};
  EXPECT_EQ(ini.GetSectionKeys("S", keys), 4);
  EXPECT_EQ(keys, (CStringArray{"existing", "A", "B", "A"}));
  CMapStringToString map;
  EXPECT_EQ(ini.GetSection("S", map), 2);
  EXPECT_EQ(map, (CMapStringToString{{"A", "1"}, {"B", ""}}));
  EXPECT_EQ(ini.GetString("S", "A"), "1");
  EXPECT_EQ(ini.GetString("S", "B", "x"), "x");
  EXPECT_EQ(ini.GetString("S", "B"), "");
  EXPECT_EQ(ini.GetString("S", "C", "x"), "x");
  EXPECT_EQ(ini.GetString("S", "C"), "");
}

TEST_F(IniTest, NamesDifferingInCaseAreSeparateEntriesWithTheFirstValue) {
  Write("[S]\r\nkey=1\r\nKEY=2\r\nother=\"q\"\r\n");
  CIni ini(m_.Platform(), Path());
  CMapStringToString map{{"pre", "kept"}};
  EXPECT_EQ(ini.GetSection("s", map), 4);
  EXPECT_EQ(map, (CMapStringToString{{"pre", "kept"}, {"key", "1"}, {"KEY", "1"}, {"other", "q"}}));
}

TEST_F(IniTest, MissingSectionLeavesContainersAlone) {
  Write("[S]\r\nA=1\r\n[Empty]\r\n;only=comment\r\n");
  CIni ini(m_.Platform(), Path());
  CStringArray keys{"x"};
  CMapStringToString map{{"k", "v"}};
  for (const char* section : {"Missing", "Empty"}) {
    EXPECT_EQ(ini.GetSectionKeys(section, keys), 0);
    EXPECT_EQ(ini.GetSection(section, map), 0);
  }
  EXPECT_EQ(keys, CStringArray{"x"});
  EXPECT_EQ(map, (CMapStringToString{{"k", "v"}}));
  EXPECT_EQ(ini.GetString("Missing", "A", "d"), "d");
  EXPECT_EQ(ini.GetInt("Missing", "A", 42), 42);
  EXPECT_EQ(ini.GetInt("S", "A", 42), 1);
}

TEST_F(IniTest, LongValueIsCutTo4095Characters) {
  const std::string value(5000, 'v');
  Write("[S]\r\nlong=" + value + "\r\n");
  CIni ini(m_.Platform(), Path());
  EXPECT_EQ(ini.GetString("S", "long"), value.substr(0, 4095));
  CMapStringToString map;
  EXPECT_EQ(ini.GetSection("S", map), 1);
  EXPECT_EQ(map["long"], value.substr(0, 4095));
}

TEST_F(IniTest, KeyListLongerThanTheBufferKeepsWhatFits) {
  // 300 names of 19 characters take 6000 bytes with their NULs: 204 fit whole (4080 bytes),
  // the 205th is cut to the 14 characters that still fit before the final NUL.
  std::string text = "[S]\r\n";
  CStringArray all;
  for (int i = 0; i < 300; ++i) {
    std::string name = "key" + std::to_string(100000 + i) + std::string(10, 'n');
    ASSERT_EQ(name.size(), 19u);
    all.push_back(name);
    text += name + "=" + std::to_string(i) + "\r\n";
  }
  Write(text);
  CIni ini(m_.Platform(), Path());
  CStringArray keys;
  ASSERT_EQ(ini.GetSectionKeys("S", keys), 205);
  EXPECT_EQ(CStringArray(keys.begin(), keys.begin() + 204),
            CStringArray(all.begin(), all.begin() + 204));
  EXPECT_EQ(keys[204], all[204].substr(0, 14));
  CMapStringToString map;
  EXPECT_EQ(ini.GetSection("S", map), 205);
  EXPECT_EQ(map[all[0]], "0");
  EXPECT_EQ(map[all[203]], "203");
  EXPECT_EQ(map[keys[204]], "");  // the shortened name has no value
  EXPECT_EQ(map.count(all[204]), 0u);
}

TEST_F(IniTest, KeyListCutInsideALongName) {
  // Three names of 3000 characters: the second is shortened to fit, the third is dropped.
  const std::string a(3000, 'a'), b(3000, 'b'), c(3000, 'c');
  Write("[S]\r\n" + a + "=1\r\n" + b + "=2\r\n" + c + "=3\r\n");
  CIni ini(m_.Platform(), Path());
  CStringArray keys;
  ASSERT_EQ(ini.GetSectionKeys("S", keys), 2);
  EXPECT_EQ(keys[0], a);
  EXPECT_EQ(keys[1], std::string(4096 - 2 - 3001, 'b'));
  CMapStringToString map;
  EXPECT_EQ(ini.GetSection("S", map), 2);
  EXPECT_EQ(map[a], "1");
  EXPECT_EQ(map[keys[1]], "");
}

TEST_F(IniTest, TheWholeKeyListIsReadHoweverLong) {
  // 300 names of 19 characters take 6000 bytes; two that take 4094 bytes with their NULs fill
  // a 4096-byte buffer exactly, which looks like a list that was cut.
  std::string text = "[Long]\r\n";
  CStringArray all;
  for (int i = 0; i < 300; ++i) {
    all.push_back("key" + std::to_string(100000 + i) + std::string(10, 'n'));
    text += all.back() + "=" + std::to_string(i) + "\r\n";
  }
  const CStringArray exact = {std::string(3000, 'a'), std::string(1092, 'b')};
  text += "[Exact]\r\n" + exact[0] + "=1\r\n" + exact[1] + "=2\r\n";
  text += "[Nameless]\r\na=1\r\n=x\r\nFile2=2\r\n";
  Write(text);
  CIni ini(m_.Platform(), Path());
  CStringArray keys;
  EXPECT_EQ(ini.GetAllSectionKeys("Long", keys), 300);
  EXPECT_EQ(keys, all);
  keys.clear();
  EXPECT_EQ(ini.GetAllSectionKeys("Exact", keys), 2);
  EXPECT_EQ(keys, exact);
  // A key without a name does not end the list.
  keys = {"existing"};
  EXPECT_EQ(ini.GetAllSectionKeys("Nameless", keys), 3);
  EXPECT_EQ(keys, (CStringArray{"existing", "a", "File2"}));
  keys.clear();
  EXPECT_EQ(ini.GetAllSectionKeys("Missing", keys), 0);
  EXPECT_TRUE(keys.empty());
}

TEST_F(IniTest, NamesWithHighBytes) {
  Write("[Sect]\r\n\xE9t\xE9=summer\r\n\xFF=last\r\n");
  CIni ini(m_.Platform(), Path());
  CStringArray keys;
  EXPECT_EQ(ini.GetSectionKeys("Sect", keys), 2);
  EXPECT_EQ(keys, (CStringArray{"\xE9t\xE9", "\xFF"}));
  CMapStringToString map;
  EXPECT_EQ(ini.GetSection("Sect", map), 2);
  EXPECT_EQ(map["\xE9t\xE9"], "summer");
  EXPECT_EQ(map["\xFF"], "last");
}

TEST_F(IniTest, EmptyFirstNameEndsTheList) {
  // A nameless key first in the section makes the whole list look empty; one later ends the
  // walk there.
  Write("[First]\r\n=x\r\na=1\r\n[Later]\r\na=1\r\n=x\r\nb=2\r\n");
  CIni ini(m_.Platform(), Path());
  CStringArray keys;
  EXPECT_EQ(ini.GetSectionKeys("First", keys), 0);
  EXPECT_EQ(ini.GetSectionKeys("Later", keys), 1);
  EXPECT_EQ(keys, CStringArray{"a"});
}

TEST_F(IniTest, MissingFileGivesDefaultsAndCreatesNothing) {
  CIni ini(m_.Platform(), Path("missing.ini"));
  CStringArray keys{"x"};
  CMapStringToString map{{"k", "v"}};
  EXPECT_EQ(ini.GetString("S", "A", "d"), "d");
  EXPECT_EQ(ini.GetString("S", "A"), "");
  EXPECT_EQ(ini.GetInt("S", "A", -3), -3);
  EXPECT_EQ(ini.GetSectionKeys("S", keys), 0);
  EXPECT_EQ(ini.GetSection("S", map), 0);
  EXPECT_EQ(keys, CStringArray{"x"});
  EXPECT_EQ(map.size(), 1u);
  EXPECT_FALSE(m_.Exists(Path("missing.ini")));
  CIni nodir(m_.Platform(), Path("nodir\\missing.ini"));
  EXPECT_EQ(nodir.GetString("S", "A", "d"), "d");
  EXPECT_EQ(nodir.GetSectionKeys("S", keys), 0);
  EXPECT_FALSE(m_.Exists(Path("nodir")));
}

TEST_F(IniTest, SetPathReadsTheOtherFile) {
  Write("[S]\r\nA=first\r\n", "one.ini");
  Write("[S]\r\nA=second\r\n", "two.ini");
  CIni ini(m_.Platform(), Path("one.ini"));
  EXPECT_EQ(ini.GetString("S", "A"), "first");
  ini.SetPath(Path("two.ini"));
  EXPECT_EQ(ini.GetString("S", "A"), "second");
  EXPECT_FALSE(ini.m_bModified);
}

}  // namespace
