// Cases that only the Windows leg can check: the real Win32 platform, the resources linked
// into CheckVela.exe, the 32-bit registry view and the dialog host.
#ifdef _WIN32

#include <windows.h>
// <windows.h> maps AnsiToOem and OemToAnsi to other names; the platform methods keep theirs.
#undef AnsiToOem
#undef OemToAnsi

#include <gtest/gtest.h>

#include <atomic>
#include <cstdint>
#include <cstring>
#include <functional>
#include <iterator>
#include <string>
#include <thread>
#include <utility>

#include "platform/win32/win32_platform.h"
#include "resource.h"
#include "string_table.h"
#include "support/test_machine.h"

namespace {

// CheckVela.exe of the same build, next to this test program, mapped for its resources only.
class CheckVelaResources {
 public:
  CheckVelaResources() {
    char path[MAX_PATH];
    const DWORD length = ::GetModuleFileNameA(nullptr, path, MAX_PATH);
    std::string exe(path, length);
    exe.erase(exe.find_last_of('\\') + 1);
    exe += "CheckVela.exe";
    path_ = exe;
    module_ = ::LoadLibraryExA(exe.c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE);
  }
  ~CheckVelaResources() {
    if (module_ != nullptr) {
      ::FreeLibrary(module_);
    }
  }
  HMODULE Module() const { return module_; }
  const std::string& Path() const { return path_; }

 private:
  std::string path_;
  HMODULE module_ = nullptr;
};

class Win32ResourcesTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_NE(resources_.Module(), nullptr) << "cannot load " << resources_.Path();
  }
  CheckVelaResources resources_;
  CWin32Platform platform_{resources_.Module()};
};

TEST(Win32Platform, WindowsDirectoryHasNoTrailingBackslashAndReportsTheSizeNeeded) {
  CTestMachine machine;
  CPlatform& platform = machine.Platform();
  char buffer[MAX_PATH];
  const win::UINT length = platform.GetWindowsDirectoryA(buffer, MAX_PATH);
  ASSERT_GT(length, 0u);
  ASSERT_LT(length, static_cast<win::UINT>(MAX_PATH));
  EXPECT_EQ(std::strlen(buffer), length);
  EXPECT_NE(buffer[length - 1], '\\');
  EXPECT_EQ(buffer[1], ':');

  char tiny[2];
  EXPECT_EQ(platform.GetWindowsDirectoryA(tiny, sizeof tiny), length + 1);
}

TEST(Win32Platform, ModuleAndShortPathsForward) {
  CTestMachine machine;
  CPlatform& platform = machine.Platform();
  char buffer[MAX_PATH];
  const win::DWORD length = platform.GetModuleFileNameA(buffer, MAX_PATH);
  ASSERT_GT(length, 0u);
  EXPECT_EQ(std::string(buffer, length).substr(length - 22), "\\conformance_tests.exe");

  const std::string longDir = machine.Dir() + "Program Files Vela Long Name";
  machine.MakeDir(longDir);
  const win::DWORD shortLength = platform.GetShortPathNameA(longDir.c_str(), buffer, MAX_PATH);
  ASSERT_GT(shortLength, 0u);
  EXPECT_EQ(shortLength, std::strlen(buffer));
  EXPECT_EQ(platform.GetFileAttributesA(buffer) & win::kFileAttributeDirectory,
            win::kFileAttributeDirectory);

  EXPECT_EQ(platform.GetShortPathNameA((machine.Dir() + "missing").c_str(), buffer, MAX_PATH), 0u);
  EXPECT_EQ(platform.GetLastError(), win::kErrorFileNotFound);
}

TEST(Win32Platform, SystemMessagesComeFromTheSystemTable) {
  CTestMachine machine;
  std::string text;
  ASSERT_TRUE(machine.Platform().FormatSystemMessage(win::kErrorAccessDenied,
                                                     win::kLangSystemDefault, text));
  EXPECT_NE(text.find("ccess"), std::string::npos) << text;

  std::string none = "untouched";
  EXPECT_FALSE(machine.Platform().FormatSystemMessage(0x2FFFFFFF, win::kLangSystemDefault, none));
  EXPECT_EQ(none, "untouched");
}

TEST(Win32Platform, LastErrorForwardsToTheThread) {
  CTestMachine machine;
  machine.Platform().SetLastError(win::kErrorDiskFull);
  EXPECT_EQ(::GetLastError(), static_cast<DWORD>(ERROR_DISK_FULL));
  ::SetLastError(ERROR_SHARING_VIOLATION);
  EXPECT_EQ(machine.Platform().GetLastError(), win::kErrorSharingViolation);
}

TEST(Win32Platform, AnsiToOemConvertsBetweenTheCodePages) {
  CTestMachine machine;
  EXPECT_EQ(machine.Platform().AnsiToOem(""), "");
  EXPECT_EQ(machine.Platform().AnsiToOem("C:\\Vela\\100% done.txt"), "C:\\Vela\\100% done.txt");
  if (::GetACP() != 1252 || (::GetOEMCP() != 437 && ::GetOEMCP() != 850)) {
    GTEST_SKIP() << "code pages " << ::GetACP() << "/" << ::GetOEMCP();
  }
  // e acute is 0xE9 in code page 1252 and 0x82 in code pages 437 and 850.
  EXPECT_EQ(machine.Platform().AnsiToOem("caf\xE9"), "caf\x82");
  EXPECT_EQ(machine.Platform().OemToAnsi("caf\x82"), "caf\xE9");
  // The euro sign has no place in either OEM code page: it cannot come back.
  EXPECT_NE(machine.Platform().OemToAnsi(machine.Platform().AnsiToOem("\x80")), "\x80");
}

// The answer is the system's, not the build's: a 64-bit build runs only on 64-bit Windows; a
// 32-bit build runs on both, under WoW64 on 64-bit Windows, which alone has a SysWOW64
// directory (on 32-bit Windows GetSystemWow64DirectoryA fails).
TEST(Win32Platform, Is64BitWindowsTellsTheSystemNotTheBuild) {
  CTestMachine machine;
  char directory[MAX_PATH];
  const bool wow64 = ::GetSystemWow64DirectoryA(directory, MAX_PATH) != 0;
  if (sizeof(void*) == 8) {
    EXPECT_TRUE(wow64);
  }
  EXPECT_EQ(machine.Platform().Is64BitWindows(), wow64);
}

TEST_F(Win32ResourcesTest, StringTableHoldsEveryTextOfTheSharedSource) {
  for (const CStringResource& entry : kStringTable) {
    EXPECT_EQ(platform_.LoadStringA(entry.id), entry.text) << "string " << entry.id;
  }
  EXPECT_EQ(platform_.LoadStringA(IDS_UNKNOWN_WIN32_ERROR), "Unknown Win32 error: %lu");
  EXPECT_EQ(platform_.LoadStringA(4321), "");
}

TEST_F(Win32ResourcesTest, LineFeedsInStringsAreRealLineFeeds) {
  const std::string text = platform_.LoadStringA(IDS_PROFILE_WRITE_ERROR);
  EXPECT_NE(text.find('\n'), std::string::npos) << text;
  EXPECT_EQ(text.find("\\n"), std::string::npos) << text;
  EXPECT_EQ(text.find('\r'), std::string::npos) << text;
}

TEST_F(Win32ResourcesTest, IconHasALargeAndASmallImage) {
  const HICON large = static_cast<HICON>(
      ::LoadImageA(resources_.Module(), MAKEINTRESOURCEA(IDR_MAINFRAME), IMAGE_ICON, 32, 32, 0));
  const HICON small = static_cast<HICON>(
      ::LoadImageA(resources_.Module(), MAKEINTRESOURCEA(IDR_MAINFRAME), IMAGE_ICON, 16, 16, 0));
  ASSERT_NE(large, nullptr);
  ASSERT_NE(small, nullptr);
  ICONINFO info{};
  ASSERT_TRUE(::GetIconInfo(small, &info));
  BITMAP bitmap{};
  ::GetObjectA(info.hbmMask, sizeof bitmap, &bitmap);
  EXPECT_EQ(bitmap.bmWidth, 16);
  ::DeleteObject(info.hbmMask);
  ::DeleteObject(info.hbmColor);
  ::DestroyIcon(large);
  ::DestroyIcon(small);
}

// The version record, read with version.dll's functions loaded at run time.
TEST_F(Win32ResourcesTest, VersionRecordIs110) {
  const HMODULE version = ::LoadLibraryA("version.dll");
  ASSERT_NE(version, nullptr);
  using SizeFn = DWORD(WINAPI*)(LPCSTR, LPDWORD);
  using InfoFn = BOOL(WINAPI*)(LPCSTR, DWORD, DWORD, LPVOID);
  using QueryFn = BOOL(WINAPI*)(LPCVOID, LPCSTR, LPVOID*, PUINT);
  const auto getSize = reinterpret_cast<SizeFn>(
      reinterpret_cast<void*>(::GetProcAddress(version, "GetFileVersionInfoSizeA")));
  const auto getInfo = reinterpret_cast<InfoFn>(
      reinterpret_cast<void*>(::GetProcAddress(version, "GetFileVersionInfoA")));
  const auto query = reinterpret_cast<QueryFn>(
      reinterpret_cast<void*>(::GetProcAddress(version, "VerQueryValueA")));
  ASSERT_TRUE(getSize && getInfo && query);

  DWORD ignored = 0;
  const DWORD size = getSize(resources_.Path().c_str(), &ignored);
  ASSERT_GT(size, 0u);
  std::string block(size, '\0');
  ASSERT_TRUE(getInfo(resources_.Path().c_str(), 0, size, block.data()));
  VS_FIXEDFILEINFO* fixed = nullptr;
  UINT fixedSize = 0;
  ASSERT_TRUE(query(block.data(), "\\", reinterpret_cast<void**>(&fixed), &fixedSize));
  EXPECT_EQ(fixed->dwFileVersionMS, 0x00010001u);
  EXPECT_EQ(fixed->dwFileVersionLS, 0u);
  EXPECT_EQ(fixed->dwProductVersionMS, 0x00010001u);
  EXPECT_EQ(fixed->dwProductVersionLS, 0u);
  const std::pair<const char*, const char*> strings[] = {
      {"FileVersion", "1.1.0.0"},       {"ProductVersion", "1.1.0.0"},
      {"InternalName", "CheckVela"},    {"OriginalFilename", "CheckVela.EXE"},
      {"FileDescription", "CheckVela"}, {"ProductName", "Vela"}};
  for (const auto& [name, expected] : strings) {
    char* value = nullptr;
    UINT valueSize = 0;
    const std::string path = std::string("\\StringFileInfo\\040904B0\\") + name;
    ASSERT_TRUE(query(block.data(), path.c_str(), reinterpret_cast<void**>(&value), &valueSize))
        << name;
    EXPECT_STREQ(value, expected) << name;
  }
  DWORD* translation = nullptr;
  UINT translationSize = 0;
  ASSERT_TRUE(query(block.data(), "\\VarFileInfo\\Translation",
                    reinterpret_cast<void**>(&translation), &translationSize));
  ASSERT_EQ(translationSize, 4u);
  EXPECT_EQ(*translation, 0x04B00409u);
  ::FreeLibrary(version);
}

// Reads the fields of an extended dialog template in order.
class TemplateReader {
 public:
  explicit TemplateReader(const unsigned char* data) : data_(data) {}
  std::uint16_t Word() {
    std::uint16_t value;
    std::memcpy(&value, data_ + offset_, sizeof value);
    offset_ += sizeof value;
    return value;
  }
  std::uint32_t Dword() { return Word() | (static_cast<std::uint32_t>(Word()) << 16); }
  std::uint8_t Byte() { return data_[offset_++]; }
  // A string or, after 0xFFFF, an ordinal written as "#n".
  std::string Text() {
    std::uint16_t c = Word();
    if (c == 0xFFFF) {
      return "#" + std::to_string(Word());
    }
    std::string text;
    for (; c != 0; c = Word()) {
      text.push_back(static_cast<char>(c));
    }
    return text;
  }
  void AlignDword() { offset_ = (offset_ + 3) & ~static_cast<std::size_t>(3); }

 private:
  const unsigned char* data_;
  std::size_t offset_ = 0;
};

TEST_F(Win32ResourcesTest, DialogTemplateIsTheExtendedProgressDialog) {
  const HRSRC found =
      ::FindResourceA(resources_.Module(), MAKEINTRESOURCEA(IDD_CHECKVELA_DIALOG), RT_DIALOG);
  ASSERT_NE(found, nullptr);
  const auto* data =
      static_cast<const unsigned char*>(::LockResource(::LoadResource(resources_.Module(), found)));
  ASSERT_NE(data, nullptr);
  TemplateReader reader(data);
  EXPECT_EQ(reader.Word(), 1);       // version
  EXPECT_EQ(reader.Word(), 0xFFFF);  // extended template
  EXPECT_EQ(reader.Dword(), 0u);     // help id
  EXPECT_EQ(reader.Dword(), static_cast<std::uint32_t>(WS_EX_APPWINDOW));
  EXPECT_EQ(reader.Dword(), static_cast<std::uint32_t>(WS_POPUP | WS_VISIBLE | WS_CAPTION |
                                                       WS_SYSMENU | DS_MODALFRAME | DS_SETFONT));
  EXPECT_EQ(reader.Word(), 2);  // controls
  EXPECT_EQ(reader.Word(), 0);
  EXPECT_EQ(reader.Word(), 0);
  EXPECT_EQ(reader.Word(), 185);
  EXPECT_EQ(reader.Word(), 47);
  EXPECT_EQ(reader.Text(), "");  // no menu
  EXPECT_EQ(reader.Text(), "");  // the standard dialog class
  EXPECT_EQ(reader.Text(), "Check existing Vela installation");
  EXPECT_EQ(reader.Word(), 8);  // points
  EXPECT_EQ(reader.Word(), 0);  // weight
  EXPECT_EQ(reader.Byte(), 0);  // not italic
  EXPECT_EQ(reader.Byte(), 1);  // DEFAULT_CHARSET
  EXPECT_EQ(reader.Text(), "MS Sans Serif");

  const struct {
    int id;
    const char* text;
    std::uint16_t y;
  } controls[] = {{IDC_STATUS, "Static", 7}, {IDC_DETAIL, "", 22}};
  for (const auto& control : controls) {
    reader.AlignDword();
    EXPECT_EQ(reader.Dword(), 0u);  // help id
    EXPECT_EQ(reader.Dword(), 0u);  // extended style
    EXPECT_EQ(reader.Dword(),
              static_cast<std::uint32_t>(WS_CHILD | WS_VISIBLE | WS_GROUP | SS_LEFT));
    EXPECT_EQ(reader.Word(), 7);
    EXPECT_EQ(reader.Word(), control.y);
    EXPECT_EQ(reader.Word(), 171);
    EXPECT_EQ(reader.Word(), 8);
    EXPECT_EQ(reader.Dword(), static_cast<std::uint32_t>(control.id));
    EXPECT_EQ(reader.Text(), "#130");  // the static class
    EXPECT_EQ(reader.Text(), control.text);
    EXPECT_EQ(reader.Word(), 0);  // no creation data
  }
}

TEST_F(Win32ResourcesTest, ManifestAsksForAdministratorAndCommonControls6) {
  const HRSRC found = ::FindResourceA(resources_.Module(), MAKEINTRESOURCEA(1), RT_MANIFEST);
  ASSERT_NE(found, nullptr);
  const std::string manifest(
      static_cast<const char*>(::LockResource(::LoadResource(resources_.Module(), found))),
      ::SizeofResource(resources_.Module(), found));
  EXPECT_NE(manifest.find("level=\"requireAdministrator\" uiAccess=\"false\""), std::string::npos);
  EXPECT_NE(manifest.find("name=\"Microsoft.Windows.Common-Controls\" version=\"6.0.0.0\""),
            std::string::npos);
  EXPECT_NE(manifest.find(">true</dpiAware>"), std::string::npos);
}

// ---- Registry: the predefined root and the 32-bit view.

TEST(Win32Registry, LocalMachineRootReachesTheRealKeyInThe32BitView) {
  CTestMachine machine;
  CPlatform& platform = machine.Platform();
  {
    CRegKey key(platform);
    ASSERT_EQ(key.Create(win::kHkeyLocalMachine, machine.RegRoot().c_str()), ERROR_SUCCESS);
    const char value[] = "Spool";
    ASSERT_EQ(platform.RegSetValueExA(key.Get(), "Queue", win::kRegSz,
                                      reinterpret_cast<const unsigned char*>(value), sizeof value),
              ERROR_SUCCESS);
    CRegKey child(platform);
    ASSERT_EQ(child.Create(key.Get(), "LPT1"), ERROR_SUCCESS);
  }

  // The same key through the raw API in the 32-bit view.
  HKEY raw = nullptr;
  ASSERT_EQ(::RegOpenKeyExA(HKEY_LOCAL_MACHINE, machine.RegRoot().c_str(), 0,
                            KEY_READ | KEY_WOW64_32KEY, &raw),
            ERROR_SUCCESS);
  char data[16] = {};
  DWORD size = sizeof data;
  DWORD type = 0;
  EXPECT_EQ(::RegQueryValueExA(raw, "Queue", nullptr, &type, reinterpret_cast<BYTE*>(data), &size),
            ERROR_SUCCESS);
  EXPECT_EQ(type, static_cast<DWORD>(REG_SZ));
  EXPECT_STREQ(data, "Spool");
  ::RegCloseKey(raw);

#ifdef _WIN64
  // A 64-bit process without the flag sees the 64-bit view, where the key is absent.
  raw = nullptr;
  EXPECT_EQ(::RegOpenKeyExA(HKEY_LOCAL_MACHINE, machine.RegRoot().c_str(), 0,
                            KEY_READ | KEY_WOW64_64KEY, &raw),
            ERROR_FILE_NOT_FOUND);
  if (raw != nullptr) {
    ::RegCloseKey(raw);
  }
#endif

  // Through the platform again: info, enumeration with a short buffer, and value queries.
  CRegKey key(platform);
  ASSERT_EQ(key.Open(win::kHkeyLocalMachine, machine.RegRoot().c_str()), ERROR_SUCCESS);
  win::DWORD subKeys = 0;
  win::DWORD maxLength = 0;
  ASSERT_EQ(platform.RegQueryInfoKeyA(key.Get(), &subKeys, &maxLength), ERROR_SUCCESS);
  EXPECT_EQ(subKeys, 1u);
  EXPECT_EQ(maxLength, 4u);
  char name[8];
  win::DWORD nameLength = sizeof name;
  ASSERT_EQ(platform.RegEnumKeyExA(key.Get(), 0, name, &nameLength), ERROR_SUCCESS);
  EXPECT_STREQ(name, "LPT1");
  EXPECT_EQ(nameLength, 4u);
  nameLength = 4;
  EXPECT_EQ(platform.RegEnumKeyExA(key.Get(), 0, name, &nameLength), ERROR_MORE_DATA);
  nameLength = sizeof name;
  EXPECT_EQ(platform.RegEnumKeyExA(key.Get(), 1, name, &nameLength), ERROR_NO_MORE_ITEMS);

  win::DWORD valueType = 0;
  win::DWORD valueSize = 0;
  ASSERT_EQ(platform.RegQueryValueExA(key.Get(), "queue", &valueType, nullptr, &valueSize),
            ERROR_SUCCESS);
  EXPECT_EQ(valueType, win::kRegSz);
  EXPECT_EQ(valueSize, 6u);
  unsigned char small[3];
  valueSize = sizeof small;
  EXPECT_EQ(platform.RegQueryValueExA(key.Get(), "Queue", &valueType, small, &valueSize),
            ERROR_MORE_DATA);
  EXPECT_EQ(valueSize, 6u);
  EXPECT_EQ(platform.RegQueryValueExA(key.Get(), "Missing", &valueType, nullptr, &valueSize),
            ERROR_FILE_NOT_FOUND);

  win::HKEY missing = 1234;
  EXPECT_EQ(platform.RegOpenKeyExA(key.Get(), "NoSuchKey", &missing), ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(missing, 0u);
  key.Close();

  ::RegDeleteTreeA(
      HKEY_LOCAL_MACHINE,
      ("SOFTWARE\\Wow6432Node\\" + machine.RegRoot().substr(sizeof "SOFTWARE")).c_str());
  ::RegDeleteTreeA(HKEY_LOCAL_MACHINE, machine.RegRoot().c_str());
}

// ---- Files

TEST(Win32Files, WriteFileIsExclusiveAndClosesOnce) {
  CTestMachine machine;
  CPlatform& platform = machine.Platform();
  const std::string path = machine.Dir() + "restore.bat";
  auto file = platform.CreateWriteFile(path.c_str());
  ASSERT_TRUE(file);
  ASSERT_TRUE(file->Write("copy a b\r\n", 10));
  ASSERT_TRUE(file->Write("", 0));

  // Nobody else may open it while it is being written.
  std::string data;
  EXPECT_FALSE(platform.ReadWholeFile(path.c_str(), data));
  EXPECT_EQ(platform.GetLastError(), win::kErrorSharingViolation);
  EXPECT_FALSE(platform.CreateWriteFile(path.c_str()));

  EXPECT_TRUE(file->Close());
  EXPECT_TRUE(file->Close());
  platform.SetLastError(0);
  EXPECT_FALSE(file->Write("x", 1));
  EXPECT_EQ(platform.GetLastError(), win::kErrorInvalidHandle);

  ASSERT_TRUE(platform.ReadWholeFile(path.c_str(), data));
  EXPECT_EQ(data, "copy a b\r\n");

  // Creating again truncates.
  auto again = platform.CreateWriteFile(path.c_str());
  ASSERT_TRUE(again);
  ASSERT_TRUE(again->Close());
  ASSERT_TRUE(platform.ReadWholeFile(path.c_str(), data));
  EXPECT_EQ(data, "");
}

TEST(Win32Files, ReadWholeFileKeepsEveryByteOfALargeFile) {
  CTestMachine machine;
  std::string content;
  for (int i = 0; i < 200000; ++i) {
    content.push_back(static_cast<char>(i * 7));
  }
  machine.WriteFile(machine.Dir() + "big.dat", content);
  EXPECT_EQ(machine.ReadFile(machine.Dir() + "big.dat"), content);

  std::string untouched = "keep";
  EXPECT_FALSE(machine.Platform().ReadWholeFile((machine.Dir() + "none.dat").c_str(), untouched));
  EXPECT_EQ(machine.Platform().GetLastError(), win::kErrorFileNotFound);
  EXPECT_EQ(untouched, "keep");
}

TEST(Win32Files, FindReportsNameSizeAndAttributes) {
  CTestMachine machine;
  CPlatform& platform = machine.Platform();
  machine.WriteFile(machine.Dir() + "Job0001.SPL", "12345");
  machine.MakeDir(machine.Dir() + "Sub");

  win::FindData data;
  CFindHandle find(platform);
  ASSERT_TRUE(find.First(machine.Dir() + "*.spl", data));
  EXPECT_EQ(data.name, "Job0001.SPL");
  EXPECT_EQ(data.size, 5u);
  EXPECT_EQ(data.attributes & win::kFileAttributeDirectory, 0u);
  EXPECT_FALSE(find.Next(data));
  EXPECT_EQ(platform.GetLastError(), win::kErrorNoMoreFiles);

  ASSERT_TRUE(find.First(machine.Dir() + "sub", data));
  EXPECT_EQ(data.name, "Sub");
  EXPECT_NE(data.attributes & win::kFileAttributeDirectory, 0u);

  EXPECT_EQ(platform.FindFirstFileA((machine.Dir() + "*.none").c_str(), data), win::kInvalidFind);
  EXPECT_EQ(platform.GetLastError(), win::kErrorFileNotFound);
}

TEST(Win32Files, CopyDeleteAndAttributesForward) {
  CTestMachine machine;
  CPlatform& platform = machine.Platform();
  const std::string from = machine.Dir() + "a.ini";
  const std::string to = machine.Dir() + "b.ini";
  machine.WriteFile(from, "[Vela]\r\n");
  ASSERT_TRUE(platform.CopyFileA(from.c_str(), to.c_str(), true));
  EXPECT_FALSE(platform.CopyFileA(from.c_str(), to.c_str(), true));
  EXPECT_EQ(platform.GetLastError(), win::kErrorFileExists);
  EXPECT_TRUE(platform.CopyFileA(from.c_str(), to.c_str(), false));

  ASSERT_TRUE(platform.SetFileAttributesA(to.c_str(), win::kFileAttributeReadOnly));
  EXPECT_NE(platform.GetFileAttributesA(to.c_str()) & win::kFileAttributeReadOnly, 0u);
  EXPECT_FALSE(platform.DeleteFileA(to.c_str()));
  EXPECT_EQ(platform.GetLastError(), win::kErrorAccessDenied);
  ASSERT_TRUE(platform.SetFileAttributesA(to.c_str(), win::kFileAttributeNormal));
  EXPECT_TRUE(platform.DeleteFileA(to.c_str()));
  EXPECT_EQ(platform.GetFileAttributesA(to.c_str()), win::kInvalidFileAttributes);
  EXPECT_EQ(platform.GetLastError(), win::kErrorFileNotFound);

  EXPECT_FALSE(platform.CreateDirectoryA(machine.Dir().c_str()));
  EXPECT_EQ(platform.GetLastError(), win::kErrorAlreadyExists);
}

// ---- The dialog host, on dialog template 102 of CheckVela.exe.

class RecordingClient : public CDialogClient {
 public:
  explicit RecordingClient(CPlatform& platform) : platform_(platform) {}

  bool OnInitDialog() override {
    initialStatus_ = platform_.GetDlgItemTextA(IDC_STATUS);
    platform_.SetDialogIcons();
    platform_.SetDlgItemTextA(IDC_STATUS, "Importing file");
    platform_.PostCheckInstallation();
    return true;
  }

  void OnCheckInstallation() override {
    ++checks_;
    window_ = ::FindWindowA(nullptr, "Check existing Vela installation");
    status_ = platform_.GetDlgItemTextA(IDC_STATUS);
    detail_ = platform_.GetDlgItemTextA(IDC_DETAIL);
    if (window_ != nullptr) {
      style_ = static_cast<DWORD>(::GetWindowLongA(window_, GWL_STYLE));
      exStyle_ = static_cast<DWORD>(::GetWindowLongA(window_, GWL_EXSTYLE));
      bigIcon_ = ::SendMessageA(window_, WM_GETICON, ICON_BIG, 0) != 0;
      smallIcon_ = ::SendMessageA(window_, WM_GETICON, ICON_SMALL, 0) != 0;
      dragIcon_ = ::SendMessageA(window_, WM_QUERYDRAGICON, 0, 0) != 0;
    }
    platform_.EndDialog(42);
  }

  CPlatform& platform_;
  HWND window_ = nullptr;
  int checks_ = 0;
  std::string initialStatus_, status_, detail_;
  DWORD style_ = 0, exStyle_ = 0;
  bool bigIcon_ = false, smallIcon_ = false, dragIcon_ = false;
};

TEST_F(Win32ResourcesTest, DialogRunsInitThenThePostedCheckAndEnds) {
  RecordingClient client(platform_);
  EXPECT_EQ(platform_.DoModal(client), 42);
  EXPECT_EQ(client.checks_, 1);
  EXPECT_EQ(client.initialStatus_, "Static");
  EXPECT_EQ(client.status_, "Importing file");
  EXPECT_EQ(client.detail_, "");
  ASSERT_NE(client.window_, nullptr);
  EXPECT_EQ(client.style_ & (WS_POPUP | WS_CAPTION | WS_SYSMENU | DS_MODALFRAME),
            static_cast<DWORD>(WS_POPUP | WS_CAPTION | WS_SYSMENU | DS_MODALFRAME));
  EXPECT_NE(client.exStyle_ & WS_EX_APPWINDOW, 0u);
  EXPECT_TRUE(client.bigIcon_);
  EXPECT_TRUE(client.smallIcon_);
  EXPECT_TRUE(client.dragIcon_);

  // Without a dialog the host does nothing and reads nothing.
  platform_.SetDlgItemTextA(IDC_STATUS, "ignored");
  EXPECT_EQ(platform_.GetDlgItemTextA(IDC_STATUS), "");
}

class NeverCalledClient : public CDialogClient {
 public:
  bool OnInitDialog() override {
    ++calls;
    return true;
  }
  void OnCheckInstallation() override { ++calls; }
  int calls = 0;
};

TEST(Win32DialogHost, ModuleWithoutTheTemplateFailsToRunTheDialog) {
  // The test program carries the string table but no dialog template 102.
  CWin32Platform platform(::GetModuleHandleA(nullptr));
  NeverCalledClient client;
  EXPECT_EQ(platform.DoModal(client), -1);
  EXPECT_EQ(client.calls, 0);
  EXPECT_EQ(platform.LoadStringA(IDS_UNKNOWN_WIN32_ERROR), "Unknown Win32 error: %lu");
}

class EscapeClient : public CDialogClient {
 public:
  bool OnInitDialog() override {
    ::PostMessageA(::FindWindowA("#32770", "Check existing Vela installation"), WM_COMMAND,
                   IDCANCEL, 0);
    return true;
  }
  void OnCheckInstallation() override {}
};

TEST_F(Win32ResourcesTest, CancelEndsTheDialog) {
  EscapeClient client;
  EXPECT_EQ(platform_.DoModal(client), IDCANCEL);
}

// ---- The dialog while the stages run: it answers, and nothing ends it or starts it again.

// A stand-in for the stages: refreshes the detail line every few milliseconds for a while, as
// the migration does between its steps, and ends the dialog with 42 unless told not to.
class WorkingClient : public CDialogClient {
 public:
  explicit WorkingClient(CPlatform& platform) : platform_(platform) {}

  bool OnInitDialog() override {
    platform_.PostCheckInstallation();
    return true;
  }

  void OnCheckInstallation() override {
    const int run = ++starts_;
    if (nested_ == 0 && running_) {
      nested_ = run;
    }
    running_ = true;
    window_ = ::FindWindowA("#32770", "Check existing Vela installation");
    const HMENU menu = ::GetSystemMenu(window_, FALSE);
    closeGreyed_ = (::GetMenuState(menu, SC_CLOSE, MF_BYCOMMAND) & MF_GRAYED) != 0;
    if (beforeWork && run == 1) {
      beforeWork(window_);
    }
    working_ = true;
    const DWORD begin = ::GetTickCount();
    for (int step = 0; ::GetTickCount() - begin < workMs; ++step) {
      platform_.SetDlgItemTextA(IDC_DETAIL, "C:\\Vela\\queues\\lp\\cf" + std::to_string(step));
      ::Sleep(5);
    }
    working_ = false;
    visibleAtEnd_ = ::IsWindowVisible(window_) != FALSE;
    running_ = false;
    handlerReturned_ = true;
    if (endWith != 0) {
      platform_.EndDialog(endWith);
    }
  }

  std::function<void(HWND)> beforeWork;
  DWORD workMs = 2000;
  int endWith = 42;

  CPlatform& platform_;
  std::atomic<HWND> window_{nullptr};
  std::atomic<bool> working_{false};  // in the loop of refreshes
  std::atomic<bool> handlerReturned_{false};
  int starts_ = 0;
  int nested_ = 0;  // the number of the start that came while another one ran
  bool running_ = false;
  bool closeGreyed_ = false;
  bool visibleAtEnd_ = false;
};

// Sends WM_NULL with a 1-second timeout every 100 ms, as the hang test does, while the client
// works. A ping that fails after the work has ended is not counted: the dialog has ended then,
// and Wine without a window manager holds the thread while it hides the window.
class Pinger {
 public:
  explicit Pinger(const WorkingClient& client)
      : thread_([this, &client] {
          while (!stop_) {
            const HWND target = client.window_.load();
            if (target != nullptr && client.working_) {
              DWORD_PTR result = 0;
              if (::SendMessageTimeoutA(target, WM_NULL, 0, 0, SMTO_NORMAL, 1000, &result)) {
                ++sent_;
                ++answered_;
              } else if (client.working_) {
                ++sent_;
              }
            }
            ::Sleep(100);
          }
        }) {}
  Pinger(const Pinger&) = delete;
  Pinger& operator=(const Pinger&) = delete;
  ~Pinger() { Stop(); }
  void Stop() {
    stop_ = true;
    if (thread_.joinable()) {
      thread_.join();
    }
  }
  int Sent() const { return sent_; }
  int Answered() const { return answered_; }

 private:
  std::atomic<bool> stop_{false};
  std::atomic<int> sent_{0};
  std::atomic<int> answered_{0};
  std::thread thread_;
};

TEST_F(Win32ResourcesTest, DialogAnswersTheHangTestWhileTheStagesRun) {
  WorkingClient client(platform_);
  Pinger pinger(client);
  EXPECT_EQ(platform_.DoModal(client), 42);
  pinger.Stop();
  EXPECT_EQ(client.starts_, 1);
  EXPECT_GE(pinger.Sent(), 10);
  EXPECT_EQ(pinger.Answered(), pinger.Sent());
}

TEST_F(Win32ResourcesTest, DialogPaintsWhatNeedsItWhileTheStagesRun) {
  WorkingClient client(platform_);
  client.workMs = 200;
  bool paintedAtOnce = false;
  client.beforeWork = [&](HWND window) {
    // As when another window uncovers it: the whole dialog, frame and all, needs painting.
    ::RedrawWindow(window, nullptr, nullptr, RDW_INVALIDATE | RDW_ERASE | RDW_FRAME);
    platform_.SetDlgItemTextA(IDC_STATUS, "Importing file");
    paintedAtOnce = ::GetUpdateRect(window, nullptr, FALSE) == FALSE;
  };
  EXPECT_EQ(platform_.DoModal(client), 42);
  EXPECT_TRUE(paintedAtOnce);
}

// Finds the visible message box that the dialog owns.
HWND MessageBoxOf(HWND dialog) {
  for (HWND box = ::FindWindowExA(nullptr, nullptr, "#32770", nullptr); box != nullptr;
       box = ::FindWindowExA(nullptr, box, "#32770", nullptr)) {
    if (::GetWindow(box, GW_OWNER) == dialog && ::IsWindowVisible(box)) {
      return box;
    }
  }
  return nullptr;
}

TEST_F(Win32ResourcesTest, NothingEndsTheDialogOrStartsTheStagesAgainWhileTheyRun) {
  WorkingClient client(platform_);
  // What another program could send while the stages run: each is delivered at a refresh.
  const struct {
    UINT message;
    WPARAM wParam;
  } sent[] = {{WM_CLOSE, 0},
              {WM_COMMAND, IDCANCEL},
              {WM_COMMAND, IDOK},
              {WM_SYSCOMMAND, SC_CLOSE},
              {WM_CHECK_INSTALLATION, 0}};
  std::atomic<int> delivered{0};
  std::thread sender;
  client.beforeWork = [&](HWND window) {
    sender = std::thread([&delivered, &sent, window] {
      for (const auto& message : sent) {
        // Delivery is what counts here, not how fast (the hang test's case above): a message
        // box that Wine maps or unmaps without a window manager holds the thread for a while.
        DWORD_PTR result = 0;
        if (::SendMessageTimeoutA(window, message.message, message.wParam, 0, SMTO_NORMAL, 5000,
                                  &result)) {
          ++delivered;
        }
      }
    });
    // And what a message box's loop dispatches: whatever was posted to the dialog before it.
    ::PostMessageA(window, WM_CLOSE, 0, 0);
    ::PostMessageA(window, WM_COMMAND, IDCANCEL, 0);
    ::PostMessageA(window, WM_SYSCOMMAND, SC_CLOSE, 0);
    ::PostMessageA(window, WM_CHECK_INSTALLATION, 0, 0);
    std::thread presser([window] {
      for (int i = 0; i < 500; ++i) {
        const HWND box = MessageBoxOf(window);
        if (box != nullptr) {
          ::PostMessageA(box, WM_COMMAND, IDOK, 0);
          return;
        }
        ::Sleep(10);
      }
    });
    platform_.MessageBoxA("Queue LPT1: directory 'x' does not exist!", win::kMbOk);
    presser.join();
    // Escape and Enter pressed on the dialog while the stages run.
    ::PostMessageA(window, WM_KEYDOWN, VK_ESCAPE, 0x00010001);
    ::PostMessageA(window, WM_KEYDOWN, VK_RETURN, 0x001C0001);
  };
  EXPECT_EQ(platform_.DoModal(client), 42);
  sender.join();
  EXPECT_EQ(delivered, static_cast<int>(std::size(sent)));
  EXPECT_EQ(client.starts_, 1);
  EXPECT_EQ(client.nested_, 0);
  EXPECT_TRUE(client.visibleAtEnd_);
  EXPECT_TRUE(client.closeGreyed_);
}

TEST_F(Win32ResourcesTest, AfterTheStagesTheDialogClosesAsBefore) {
  // Stages that end nothing leave the dialog open, with its close box back, until it is closed.
  WorkingClient client(platform_);
  client.workMs = 100;
  client.endWith = 0;
  bool closeEnabled = false;
  std::thread closer([&] {
    while (!client.handlerReturned_) {
      ::Sleep(10);
    }
    // Answered once the dialog's loop takes messages again, after the handler.
    const HWND window = client.window_;
    DWORD_PTR result = 0;
    ::SendMessageTimeoutA(window, WM_NULL, 0, 0, SMTO_NORMAL, 5000, &result);
    closeEnabled =
        (::GetMenuState(::GetSystemMenu(window, FALSE), SC_CLOSE, MF_BYCOMMAND) & MF_GRAYED) == 0;
    ::PostMessageA(window, WM_CLOSE, 0, 0);
  });
  EXPECT_EQ(platform_.DoModal(client), IDCANCEL);
  closer.join();
  EXPECT_TRUE(closeEnabled);
  EXPECT_EQ(client.starts_, 1);
}

// Presses OK on the first message box captioned title that appears within a few seconds,
// after noting the icon it shows.
std::thread PressOkOn(const std::string& title, std::atomic<bool>& seen, HICON& icon) {
  return std::thread([title, &seen, &icon] {
    for (int i = 0; i < 1000 && !seen; ++i) {
      const HWND box = ::FindWindowA("#32770", title.c_str());
      if (box != nullptr && ::IsWindowVisible(box)) {
        // The icon control is 20 on Windows and 1088 on Wine.
        for (const int id : {20, 1088}) {
          const LRESULT shown = ::SendDlgItemMessageA(box, id, STM_GETICON, 0, 0);
          if (shown != 0) {
            icon = reinterpret_cast<HICON>(shown);
          }
        }
        seen = true;
        ::PostMessageA(box, WM_COMMAND, IDOK, 0);
        return;
      }
      ::Sleep(10);
    }
  });
}

TEST(Win32DialogHost, MessageBoxIsCaptionedWithTheProgramNameAndShowsTheExclamationMark) {
  CWin32Platform platform(::GetModuleHandleA(nullptr));
  const struct {
    win::UINT type;
    LPCSTR icon;
  } cases[] = {{win::kMbOk, IDI_EXCLAMATION}, {win::kMbIconStop, IDI_HAND}};
  for (const auto& c : cases) {
    std::atomic<bool> seen{false};
    HICON icon = nullptr;
    std::thread presser = PressOkOn("conformance_tests", seen, icon);
    const int result = platform.MessageBoxA("Queue LPT1: directory 'x' does not exist!", c.type);
    presser.join();
    EXPECT_TRUE(seen);
    EXPECT_EQ(result, IDOK);
    EXPECT_EQ(icon, ::LoadIconA(nullptr, c.icon)) << c.type;
  }
}

}  // namespace

#endif  // _WIN32
