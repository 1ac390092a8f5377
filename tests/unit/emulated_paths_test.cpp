// Path mapping of the emulated machine.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include "platform/ansi_text.h"
#include "platform/emulated/codepage.h"
#include "platform/emulated/emulated_platform.h"

namespace {

namespace fs = std::filesystem;

class EmulatedPathsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    root_ = fs::temp_directory_path() /
            ("cvpaths-" + std::to_string(::getpid()) + "-" +
             ::testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::remove_all(root_);
    fs::create_directories(root_ / "drive_c" / "Program Files" / "Vela");
    fs::create_directories(root_ / "drive_d" / "Data");
    Touch(root_ / "drive_c" / "Program Files" / "Vela" / "Vela.INI");
  }
  void TearDown() override { fs::remove_all(root_); }

  static void Touch(const fs::path& path, const std::string& text = "") {
    std::ofstream(path) << text;
  }

  CEmulatedPlatform Machine(const std::string& current = "C:\\Program Files") {
    CEmulatedMachineOptions options;
    options.root = root_.string();
    options.currentDirectory = current;
    options.out = &out_;
    options.err = &err_;
    return CEmulatedPlatform(options);
  }

  std::string Root() const { return root_.string(); }

  fs::path root_;
  std::ostringstream out_;
  std::ostringstream err_;
};

TEST_F(EmulatedPathsTest, DriveLettersMapBelowTheRoot) {
  CEmulatedPlatform m = Machine();
  EXPECT_EQ(Root() + "/drive_c/Program Files/Vela/Vela.INI",
            m.HostPath("C:\\Program Files\\Vela\\Vela.INI"));
  EXPECT_EQ(Root() + "/drive_d/Data", m.HostPath("d:/Data"));
  EXPECT_EQ(Root() + "/drive_c", m.HostPath("C:\\"));
  // A drive that does not exist still maps, so that the error says "path not found".
  EXPECT_EQ(Root() + "/drive_q/x", m.HostPath("Q:\\x"));
}

TEST_F(EmulatedPathsTest, DriveZIsTheHostRoot) {
  CEmulatedPlatform m = Machine();
  EXPECT_EQ("/", m.HostPath("Z:\\"));
  EXPECT_EQ(Root() + "/drive_c", m.HostPath("Z:" + Root() + "/drive_c"));
  EXPECT_EQ("Z:\\", m.WindowsPath("/"));
  EXPECT_EQ("Z:\\usr\\lib", m.WindowsPath("/usr/lib/"));
}

TEST_F(EmulatedPathsTest, ComponentsMatchWithoutRegardToCase) {
  CEmulatedPlatform m = Machine();
  EXPECT_EQ(Root() + "/drive_c/Program Files/Vela/Vela.INI",
            m.HostPath("c:\\PROGRAM FILES\\vela\\vela.ini"));
  // Missing components keep the spelling given, below an existing one resolved.
  EXPECT_EQ(Root() + "/drive_c/Program Files/Vela/New/Sub.txt",
            m.HostPath("C:\\program files\\VELA\\New\\Sub.txt"));
}

TEST_F(EmulatedPathsTest, ExactSpellingWinsOverOtherCase) {
  Touch(root_ / "drive_c" / "Program Files" / "Vela" / "vela.ini");
  CEmulatedPlatform m = Machine();
  EXPECT_EQ(Root() + "/drive_c/Program Files/Vela/vela.ini",
            m.HostPath("C:\\Program Files\\Vela\\vela.ini"));
  EXPECT_EQ(Root() + "/drive_c/Program Files/Vela/Vela.INI",
            m.HostPath("C:\\Program Files\\Vela\\Vela.INI"));
}

TEST_F(EmulatedPathsTest, SeparatorsDotsAndRelativePaths) {
  CEmulatedPlatform m = Machine();
  const std::string ini = Root() + "/drive_c/Program Files/Vela/Vela.INI";
  EXPECT_EQ(ini, m.HostPath("C:/Program Files//Vela\\.\\Vela.ini"));
  EXPECT_EQ(ini, m.HostPath("C:\\Program Files\\Vela\\..\\Vela\\Vela.ini"));
  // ".." at the root stays at the root.
  EXPECT_EQ(ini, m.HostPath("C:\\..\\..\\Program Files\\Vela\\Vela.ini"));
  // Relative to the current directory, and to the current drive's root.
  EXPECT_EQ(ini, m.HostPath("Vela\\Vela.ini"));
  EXPECT_EQ(ini, m.HostPath("..\\Program Files\\Vela\\Vela.ini"));
  EXPECT_EQ(ini, m.HostPath("\\Program Files\\Vela\\Vela.ini"));
  EXPECT_EQ(ini, m.HostPath("C:Vela\\Vela.ini"));
  // Trailing dots and spaces of a name are dropped, as Windows does.
  EXPECT_EQ(ini, m.HostPath("C:\\Program Files\\Vela\\Vela.ini. "));
  // A UNC path names no drive of this machine.
  EXPECT_EQ("", m.HostPath("\\\\server\\share\\x"));
}

TEST_F(EmulatedPathsTest, CurrentDirectoryOnAnotherDrive) {
  CEmulatedPlatform m = Machine("D:\\Data");
  EXPECT_EQ(Root() + "/drive_d/Data/x.txt", m.HostPath("x.txt"));
  EXPECT_EQ(Root() + "/drive_d/x.txt", m.HostPath("\\x.txt"));
  EXPECT_EQ(Root() + "/drive_c/x.txt", m.HostPath("C:x.txt"));
}

TEST_F(EmulatedPathsTest, WindowsPathOfHostPaths) {
  CEmulatedPlatform m = Machine();
  EXPECT_EQ("C:\\Program Files\\Vela", m.WindowsPath(Root() + "/drive_c/Program Files/Vela"));
  EXPECT_EQ("C:\\", m.WindowsPath(Root() + "/drive_c"));
  EXPECT_EQ("D:\\Data\\x", m.WindowsPath(Root() + "/drive_d/./Data/x"));
  // drive_cx is not a drive: it stays on Z:.
  std::string expected = "Z:" + Root() + "/drive_cx";
  for (char& c : expected) {
    if (c == '/') {
      c = '\\';
    }
  }
  EXPECT_EQ(expected, m.WindowsPath(Root() + "/drive_cx"));
}

TEST_F(EmulatedPathsTest, AnsiNamesAreUtf8OnTheHost) {
  CEmulatedPlatform m = Machine();
  // "Druckerwarteschlange für Büro" with u-umlaut (0xFC) and a euro sign (0x80).
  const std::string ansi = "C:\\F\xFCr \x80 B\xFCro";
  ASSERT_TRUE(m.CreateDirectoryA(ansi.c_str()));
  EXPECT_TRUE(fs::is_directory(root_ / "drive_c" / "F\xC3\xBCr \xE2\x82\xAC B\xC3\xBCro"));
  EXPECT_EQ(Root() + "/drive_c/F\xC3\xBCr \xE2\x82\xAC B\xC3\xBCro", m.HostPath(ansi));
  // Found without regard to case in the code page: 0xDC is the upper case of 0xFC.
  EXPECT_EQ(Root() + "/drive_c/F\xC3\xBCr \xE2\x82\xAC B\xC3\xBCro",
            m.HostPath("C:\\F\xDCR \x80 b\xDCRO"));
  EXPECT_EQ(ansi, m.WindowsPath(Root() + "/drive_c/F\xC3\xBCr \xE2\x82\xAC B\xC3\xBCro"));

  win::FindData data;
  const win::HFIND find = m.FindFirstFileA("C:\\f*", data);
  ASSERT_NE(win::kInvalidFind, find);
  EXPECT_EQ("F\xFCr \x80 B\xFCro", data.name);
  m.FindClose(find);
}

TEST(CodepageTest, RoundTripsAndUnmappable) {
  std::string all;
  for (int c = 1; c < 256; ++c) {
    all += static_cast<char>(c);
  }
  EXPECT_EQ(all, codepage::Utf8ToAnsi(codepage::AnsiToUtf8(all)));
  EXPECT_EQ("\x80", codepage::Utf8ToAnsi("\xE2\x82\xAC"));
  // A Greek letter has no place in 1252; a stray continuation byte is malformed.
  EXPECT_EQ("a?b", codepage::Utf8ToAnsi("a\xCE\xB1"
                                        "b"));
  EXPECT_EQ("a?b", codepage::Utf8ToAnsi("a\x80"
                                        "b"));
  EXPECT_EQ("a?", codepage::Utf8ToAnsi("a\xC3"));
  EXPECT_EQ("\xE2\x82\xAC", codepage::AnsiToUtf8("\x80"));
}

TEST(CodepageTest, AnsiToOem) {
  // u-umlaut is 0x81 in 437, e-acute 0x82, the pound sign 0x9C; the euro sign has no place.
  EXPECT_EQ("\x81\x82\x9C", codepage::AnsiToOem("\xFC\xE9\xA3"));
  EXPECT_EQ("?", codepage::AnsiToOem("\x80"));
  EXPECT_EQ("plain %%", codepage::AnsiToOem("plain %%"));
}

TEST(CodepageTest, CaseFolding) {
  EXPECT_TRUE(ansi::EqualNoCase("Vela.INI", "vela.ini"));
  EXPECT_TRUE(ansi::EqualNoCase("\xFC\x9A\xFF", "\xDC\x8A\x9F"));
  EXPECT_FALSE(ansi::EqualNoCase("\xF7", "\xD7"));  // division and multiplication sign
  EXPECT_FALSE(ansi::EqualNoCase("a", "ab"));
  EXPECT_TRUE(codepage::AnsiLessNoCase("alpha", "Beta"));
  EXPECT_FALSE(codepage::AnsiLessNoCase("Beta", "alpha"));
}

}  // namespace
