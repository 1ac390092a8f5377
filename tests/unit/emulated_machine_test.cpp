// The emulated machine as a whole: registry file, profile lookup, module path, current directory.
#include <gtest/gtest.h>

#include <unistd.h>

#include <climits>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include "platform/emulated/emulated_platform.h"
#include "resource.h"

namespace {

namespace fs = std::filesystem;

class EmulatedMachineTest : public ::testing::Test {
 protected:
  void SetUp() override {
    root_ = fs::temp_directory_path() /
            ("cvmachine-glue-" + std::to_string(::getpid()) + "-" +
             ::testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::remove_all(root_);
    fs::create_directories(root_ / "drive_c" / "windows");
    fs::create_directories(root_ / "drive_c" / "Vela");
  }
  void TearDown() override { fs::remove_all(root_); }

  std::unique_ptr<CEmulatedPlatform> Machine(const std::string& current = "C:\\Vela") {
    CEmulatedMachineOptions options;
    options.root = root_.string();
    options.currentDirectory = current;
    options.out = &out_;
    options.err = &err_;
    return std::make_unique<CEmulatedPlatform>(options);
  }

  void Write(const fs::path& path, const std::string& text) {
    std::ofstream(path, std::ios::binary) << text;
  }
  std::string Read(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
  }

  fs::path root_;
  std::ostringstream out_;
  std::ostringstream err_;
};

TEST_F(EmulatedMachineTest, MissingRegistryFileIsAnEmptyRegistry) {
  auto m = Machine();
  std::string error;
  ASSERT_TRUE(m->LoadRegistry(error)) << error;
  win::HKEY key = 0;
  EXPECT_EQ(static_cast<win::LONG>(win::kErrorFileNotFound),
            m->RegOpenKeyExA(win::kHkeyLocalMachine, "SOFTWARE\\Vela", &key));
}

TEST_F(EmulatedMachineTest, RegistrySurvivesSaveAndLoad) {
  {
    auto m = Machine();
    std::string error;
    ASSERT_TRUE(m->LoadRegistry(error)) << error;
    win::HKEY key = 0;
    ASSERT_EQ(0, m->RegCreateKeyExA(win::kHkeyLocalMachine, "SOFTWARE\\Vela\\Queues", &key));
    const char value[] = "Spool";
    ASSERT_EQ(0, m->RegSetValueExA(key, "Dir", win::kRegSz,
                                   reinterpret_cast<const unsigned char*>(value), sizeof value));
    m->RegCloseKey(key);
    ASSERT_TRUE(m->SaveRegistry(error)) << error;
  }
  EXPECT_TRUE(fs::exists(root_ / "registry.reg"));
  EXPECT_FALSE(fs::exists(root_ / "registry.reg.tmp"));
  EXPECT_EQ(0u, Read(root_ / "registry.reg").rfind("REGEDIT4", 0));

  auto m = Machine();
  std::string error;
  ASSERT_TRUE(m->LoadRegistry(error)) << error;
  win::HKEY key = 0;
  ASSERT_EQ(0, m->RegOpenKeyExA(win::kHkeyLocalMachine, "software\\VELA\\queues", &key));
  unsigned char data[32] = {};
  win::DWORD size = sizeof data;
  win::DWORD type = 0;
  ASSERT_EQ(0, m->RegQueryValueExA(key, "dir", &type, data, &size));
  EXPECT_EQ(win::kRegSz, type);
  EXPECT_EQ("Spool", std::string(reinterpret_cast<char*>(data)));
  m->RegCloseKey(key);
}

// checkvela saves the registry at its end only when something changed since the last save (a
// flush saves it too): the file as loaded stays as it is, spelled as it was.
TEST_F(EmulatedMachineTest, RegistryIsSavedAgainOnlyWhenChanged) {
  {
    auto m = Machine();
    std::string error;
    ASSERT_TRUE(m->LoadRegistry(error)) << error;
    ASSERT_TRUE(m->SaveRegistryIfChanged(error)) << error;  // no file yet: one is made
  }
  EXPECT_EQ(0u, Read(root_ / "registry.reg").rfind("REGEDIT4", 0));
  // Another spelling than Save's: blank lines, a comment.
  const std::string text =
      "REGEDIT4\r\n\r\n\r\n; a comment\r\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\Vela]\r\n\"A\"=\"1\"\r\n";
  Write(root_ / "registry.reg", text);
  auto m = Machine();
  std::string error;
  ASSERT_TRUE(m->LoadRegistry(error)) << error;
  win::HKEY key = 0;
  ASSERT_EQ(0, m->RegOpenKeyExA(win::kHkeyLocalMachine, "SOFTWARE\\Vela", &key));
  ASSERT_TRUE(m->SaveRegistryIfChanged(error)) << error;
  EXPECT_EQ(text, Read(root_ / "registry.reg"));

  const char value[] = "2";
  ASSERT_EQ(0, m->RegSetValueExA(key, "B", win::kRegSz,
                                 reinterpret_cast<const unsigned char*>(value), sizeof value));
  ASSERT_EQ(0, m->RegFlushKey(key));
  const std::string flushed = Read(root_ / "registry.reg");
  EXPECT_NE(std::string::npos, flushed.find("\"B\"=\"2\"")) << flushed;
  // Flushed already: the end leaves the file alone. Written over by another program since, it
  // stays as that program left it.
  Write(root_ / "registry.reg", text);
  ASSERT_TRUE(m->SaveRegistryIfChanged(error)) << error;
  EXPECT_EQ(text, Read(root_ / "registry.reg"));
  ASSERT_EQ(0, m->RegSetValueExA(key, "C", win::kRegSz,
                                 reinterpret_cast<const unsigned char*>(value), sizeof value));
  ASSERT_TRUE(m->SaveRegistryIfChanged(error)) << error;
  const std::string saved = Read(root_ / "registry.reg");
  EXPECT_NE(std::string::npos, saved.find("\"C\"=\"2\"")) << saved;
  m->RegCloseKey(key);
}

TEST_F(EmulatedMachineTest, MalformedRegistryNamesFileAndLineAndIsNeverOverwritten) {
  const std::string bad = "REGEDIT4\r\n\r\n[HKEY_LOCAL_MACHINE\\SOFTWARE\r\n";
  Write(root_ / "registry.reg", bad);
  auto m = Machine();
  std::string error;
  EXPECT_FALSE(m->LoadRegistry(error));
  EXPECT_NE(std::string::npos, error.find((root_ / "registry.reg").string())) << error;
  EXPECT_NE(std::string::npos, error.find("line 3")) << error;
  EXPECT_FALSE(m->SaveRegistry(error));
  EXPECT_EQ(bad, Read(root_ / "registry.reg"));
}

TEST_F(EmulatedMachineTest, ProfileBareNameIsInTheWindowsDirectory) {
  Write(root_ / "drive_c" / "windows" / "Vela.INI", "[Main]\r\nSpool=D:\\Spool\r\nCount=12\r\n");
  Write(root_ / "drive_c" / "Vela" / "local.ini", "[Main]\r\nSpool=local\r\n");
  auto m = Machine();
  char buffer[64];
  EXPECT_EQ(8u,
            m->GetPrivateProfileStringA("Main", "Spool", "", buffer, sizeof buffer, "vela.ini"));
  EXPECT_EQ("D:\\Spool", std::string(buffer));
  EXPECT_EQ(12u, m->GetPrivateProfileIntA("main", "count", 0, "VELA.INI"));
  // A path, even a relative one, is resolved as a path.
  EXPECT_EQ(
      5u, m->GetPrivateProfileStringA("Main", "Spool", "", buffer, sizeof buffer, ".\\LOCAL.INI"));
  EXPECT_EQ("local", std::string(buffer));
  EXPECT_EQ(5u, m->GetPrivateProfileStringA("Main", "Spool", "", buffer, sizeof buffer,
                                            "C:\\vela\\local.ini"));
  EXPECT_EQ(7u, m->GetPrivateProfileStringA("Main", "Spool", "default", buffer, sizeof buffer,
                                            "local.ini"));
  EXPECT_EQ("default", std::string(buffer));
  EXPECT_EQ(3u, m->GetPrivateProfileIntA("Main", "Count", 3, "C:\\Vela"));
}

// The profile file read last is served from its parse between reads, without looking at the
// disk; a change the program makes to it is seen at once, and a new run reads it again.
TEST_F(EmulatedMachineTest, ProfileReadLastIsTrustedUntilTheProgramChangesIt) {
  const fs::path file = root_ / "drive_c" / "Vela" / "job.ini";
  Write(file, "[S]\r\na=1\r\n");
  auto m = Machine();
  const char* name = "C:\\Vela\\job.ini";
  EXPECT_EQ(1u, m->GetPrivateProfileIntA("S", "a", 0, name));
  // Behind the program's back, between two reads of one run: not looked at.
  Write(file, "[S]\r\na=2\r\n");
  EXPECT_EQ(1u, m->GetPrivateProfileIntA("S", "a", 0, name));
  // The program writes the file itself.
  {
    auto out = m->CreateWriteFile(name);
    ASSERT_TRUE(out);
    ASSERT_TRUE(out->Write("[S]\r\na=3\r\n", 9));
  }
  EXPECT_EQ(3u, m->GetPrivateProfileIntA("S", "a", 0, name));
  // Copies another file over it, moves one onto it, deletes it.
  Write(root_ / "drive_c" / "Vela" / "other.ini", "[S]\r\na=4\r\n");
  ASSERT_TRUE(m->CopyFileA("C:\\Vela\\other.ini", "C:\\VELA\\JOB.INI", false));
  EXPECT_EQ(4u, m->GetPrivateProfileIntA("S", "a", 0, name));
  Write(root_ / "drive_c" / "Vela" / "other.ini", "[S]\r\na=5\r\n");
  ASSERT_TRUE(m->MoveFileExA("C:\\Vela\\other.ini", name, true));
  EXPECT_EQ(5u, m->GetPrivateProfileIntA("S", "a", 0, name));
  ASSERT_TRUE(m->DeleteFileA("c:/vela/job.ini"));
  EXPECT_EQ(6u, m->GetPrivateProfileIntA("S", "a", 6, name));
  // Another file read in between ends the trust in the first.
  Write(file, "[S]\r\na=7\r\n");
  EXPECT_EQ(7u, m->GetPrivateProfileIntA("S", "a", 0, name));
  Write(file, "[S]\r\na=8\r\n");
  EXPECT_EQ(0u, m->GetPrivateProfileIntA("S", "a", 0, "C:\\Vela\\missing.ini"));
  EXPECT_EQ(8u, m->GetPrivateProfileIntA("S", "a", 0, name));
  // A file changed between two runs is read again.
  Write(file, "[S]\r\na=9\r\n");
  EXPECT_EQ(9u, Machine()->GetPrivateProfileIntA("S", "a", 0, name));
}

// The status that the read of the trusted profile file looked at serves the looks at that file
// that follow (attributes, a search for it, a copy's source); a copy still takes the bytes,
// size and time of the file as it is when copied, so a file grown behind the program's back is
// copied whole and no longer matches what was read.
TEST_F(EmulatedMachineTest, TrustedProfileStatusServesLooksButACopyTakesTheFileAsItIs) {
  const fs::path file = root_ / "drive_c" / "Vela" / "cf1.ini";
  Write(file, "[S]\r\na=1\r\n");
  auto m = Machine();
  const char* name = "C:\\Vela\\cf1.ini";
  EXPECT_EQ(1u, m->GetPrivateProfileIntA("S", "a", 0, name));
  // Behind the program's back: made read-only and grown.
  Write(file, "[S]\r\na=1\r\nb=grown behind the program's back\r\n");
  fs::permissions(file, fs::perms::owner_write | fs::perms::group_write | fs::perms::others_write,
                  fs::perm_options::remove);
  EXPECT_EQ(0u, m->GetFileAttributesA(name) & win::kFileAttributeReadOnly);
  win::FindData found;
  const win::HFIND find = m->FindFirstFileA(name, found);
  ASSERT_NE(win::kInvalidFind, find);
  m->FindClose(find);
  EXPECT_EQ(10u, found.size);
  ASSERT_TRUE(m->CopyFileA(name, "C:\\Vela\\copy.ini", true));
  EXPECT_EQ("[S]\r\na=1\r\nb=grown behind the program's back\r\n",
            Read(root_ / "drive_c" / "Vela" / "copy.ini"));
  EXPECT_EQ(fs::last_write_time(file),
            fs::last_write_time(root_ / "drive_c" / "Vela" / "copy.ini"));
  // The copy took the read-only bit of the file as it is.
  EXPECT_NE(0u, m->GetFileAttributesA("C:\\Vela\\copy.ini") & win::kFileAttributeReadOnly);
  // Another spelling, or a look at the link itself, looks at the disk.
  EXPECT_NE(0u, m->GetFileAttributesA("C:\\VELA\\CF1.INI") & win::kFileAttributeReadOnly);
  // Once the program changes the file, its status is looked at again.
  ASSERT_TRUE(m->SetFileAttributesA(name, win::kFileAttributeReadOnly));
  EXPECT_NE(0u, m->GetFileAttributesA(name) & win::kFileAttributeReadOnly);
}

// ReadWholeFile of the profile file read last gives the bytes that read gave, as long as its
// parse is trusted; any other file, or one the program changed, is read from the disk.
TEST_F(EmulatedMachineTest, ProfileReadLastIsReadWholeAsItsParseWasRead) {
  const fs::path file = root_ / "drive_c" / "Vela" / "cf1.ini";
  Write(file, "[S]\r\na=1\r\n");
  Write(root_ / "drive_c" / "windows" / "bare.ini", "[S]\r\na=windows\r\n");
  Write(root_ / "drive_c" / "Vela" / "bare.ini", "[S]\r\na=current\r\n");
  auto m = Machine();
  const char* name = "C:\\Vela\\cf1.ini";
  EXPECT_EQ(1u, m->GetPrivateProfileIntA("S", "a", 0, name));
  Write(file, "[S]\r\na=2\r\n");  // behind the program's back
  std::string data;
  ASSERT_TRUE(m->ReadWholeFile(name, data));
  EXPECT_EQ("[S]\r\na=1\r\n", data);
  // Another spelling of the path is looked up on the disk.
  ASSERT_TRUE(m->ReadWholeFile("C:\\VELA\\CF1.INI", data));
  EXPECT_EQ("[S]\r\na=2\r\n", data);
  // Changed through the platform: read again.
  {
    auto out = m->CreateWriteFile(name);
    ASSERT_TRUE(out);
    ASSERT_TRUE(out->Write("[S]\r\na=3\r\n", 10));
  }
  ASSERT_TRUE(m->ReadWholeFile(name, data));
  EXPECT_EQ("[S]\r\na=3\r\n", data);
  // A bare profile name is the Windows directory's file; a bare path to ReadWholeFile is the
  // current directory's.
  char buffer[16];
  EXPECT_EQ(7u, m->GetPrivateProfileStringA("S", "a", "", buffer, sizeof buffer, "bare.ini"));
  ASSERT_TRUE(m->ReadWholeFile("bare.ini", data));
  EXPECT_EQ("[S]\r\na=current\r\n", data);
  ASSERT_TRUE(m->ReadWholeFile("C:\\windows\\bare.ini", data));
  EXPECT_EQ("[S]\r\na=windows\r\n", data);
}

TEST_F(EmulatedMachineTest, ModulePathDefaultsToTheExecutable) {
  CEmulatedMachineOptions options;
  options.root = root_.string();
  CEmulatedPlatform m(options);
  char buffer[4096];
  const win::DWORD length = m.GetModuleFileNameA(buffer, sizeof buffer);
  ASSERT_GT(length, 0u);
  EXPECT_EQ(m.WindowsPath(fs::read_symlink("/proc/self/exe").string()), std::string(buffer));

  options.modulePath = "C:\\Vela\\CheckVela.exe";
  CEmulatedPlatform given(options);
  EXPECT_EQ(21u, given.GetModuleFileNameA(buffer, sizeof buffer));
  EXPECT_EQ("C:\\Vela\\CheckVela.exe", std::string(buffer));
  EXPECT_EQ(4u, given.GetModuleFileNameA(buffer, 4));
  EXPECT_EQ("C:\\", std::string(buffer));
  EXPECT_EQ(win::kErrorInsufficientBuffer, given.GetLastError());
}

TEST_F(EmulatedMachineTest, CurrentDirectoryDefaultsToTheProcesses) {
  const fs::path saved = fs::current_path();
  fs::current_path(root_ / "drive_c" / "Vela");
  Write(root_ / "drive_c" / "Vela" / "here.txt", "here");
  CEmulatedMachineOptions options;
  options.root = root_.string();
  CEmulatedPlatform m(options);
  std::string data;
  const bool read = m.ReadWholeFile("HERE.TXT", data);
  const std::string windows = m.WindowsPath(".");
  fs::current_path(saved);
  EXPECT_TRUE(read);
  EXPECT_EQ("here", data);
  EXPECT_EQ("C:\\Vela", windows);
}

TEST_F(EmulatedMachineTest, RootGivenThroughALinkStillMapsToDrives) {
  const fs::path link = root_.string() + "-link";
  fs::remove(link);
  fs::create_directory_symlink(root_, link);
  CEmulatedMachineOptions options;
  options.root = link.string();
  CEmulatedPlatform m(options);
  EXPECT_EQ("C:\\Vela", m.WindowsPath((root_ / "drive_c" / "Vela").string()));
  EXPECT_EQ("C:\\Vela", m.WindowsPath((link / "drive_c" / "Vela").string()));
  fs::remove(link);
}

TEST_F(EmulatedMachineTest, StringsComeFromTheProgramsTable) {
  auto m = Machine();
  EXPECT_EQ("Unknown Win32 error: %lu", m->LoadStringA(IDS_UNKNOWN_WIN32_ERROR));
  EXPECT_EQ(0u, m->LoadStringA(IDS_REGISTRY_FILE_INVALID).rfind("The registry file %s", 0));
  EXPECT_EQ("", m->LoadStringA(59999));
}

TEST_F(EmulatedMachineTest, SystemMessagesAreTheWindowsTexts) {
  auto m = Machine();
  std::string text;
  ASSERT_TRUE(m->FormatSystemMessage(win::kErrorAccessDenied, win::kLangSystemDefault, text));
  EXPECT_EQ("Access is denied.\r\n", text);
  ASSERT_TRUE(m->FormatSystemMessage(win::kErrorDiskFull, win::kLangSystemDefault, text));
  EXPECT_EQ("There is not enough space on the disk.\r\n", text);
  for (win::DWORD code :
       {0u,   2u,   3u,   5u,   6u,   8u,   18u,  29u,  32u,  39u,  80u,  82u,  87u,
        112u, 122u, 123u, 145u, 161u, 183u, 193u, 206u, 234u, 259u, 267u, 1015u}) {
    EXPECT_TRUE(m->FormatSystemMessage(code, win::kLangSystemDefault, text)) << code;
  }
  EXPECT_FALSE(m->FormatSystemMessage(317, win::kLangSystemDefault, text));
  EXPECT_EQ(m->GetLastError(), win::kErrorMrMidNotFound);
}

// An English Windows: the system default language and the search order reach the English
// table; a language without a table of its own fails as Windows fails it.
TEST_F(EmulatedMachineTest, SystemMessagesServeTheEnglishTableOnly) {
  auto m = Machine();
  std::string text;
  ASSERT_TRUE(m->FormatSystemMessage(win::kErrorAccessDenied, win::kLangSearchOrder, text));
  EXPECT_EQ("Access is denied.\r\n", text);
  EXPECT_TRUE(m->FormatSystemMessage(win::kErrorAccessDenied, 0x0409, text));   // US English
  EXPECT_FALSE(m->FormatSystemMessage(win::kErrorAccessDenied, 0x0407, text));  // German
  EXPECT_EQ(m->GetLastError(), win::kErrorResourceLangNotFound);
}

}  // namespace
