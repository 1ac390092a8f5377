// The application shell: stage order, closing rule, error texts and install locations. Runs on
// both legs: the platform calls go to the emulation natively and to Win32 under Wine; the
// dialog host is the recording double.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "app/dialog.h"
#include "app/error_text.h"
#include "install/install.h"
#include "resource.h"
#include "support/platform_proxy.h"
#include "support/recording_progress.h"
#include "support/test_machine.h"

namespace {

// A dialog whose stages are replaced by recorders with chosen results.
class CScriptedDialog : public CCheckVelaDlg {
 public:
  CScriptedDialog(CPlatform& platform, bool locationsResult, bool migrationResult)
      : CCheckVelaDlg(platform), locations_(locationsResult), migration_(migrationResult) {}
  void HandOverUninstallEntry() override { calls.push_back("uninstall"); }
  bool FindInstallLocations() override {
    calls.push_back("locations");
    return locations_;
  }
  bool MigrateConfiguration() override {
    calls.push_back("migrate");
    return migration_;
  }
  std::vector<std::string> calls;

 private:
  bool locations_;
  bool migration_;
};

// Reports a chosen path as the program's own, or fails to report one.
class CModulePathPlatform : public CPlatformProxy {
 public:
  CModulePathPlatform(CPlatform& inner, std::string path)
      : CPlatformProxy(inner), path_(std::move(path)) {}
  win::DWORD GetModuleFileNameA(char* buffer, win::DWORD size) override {
    if (path_.empty()) {
      SetLastError(win::kErrorInvalidHandle);
      return 0;
    }
    const size_t length = std::min<size_t>(path_.size(), size - 1);
    std::memcpy(buffer, path_.data(), length);
    buffer[length] = '\0';
    return static_cast<win::DWORD>(length);
  }

 private:
  std::string path_;
};

class CNoWindowsDirectory : public CPlatformProxy {
 public:
  using CPlatformProxy::CPlatformProxy;
  win::UINT GetWindowsDirectoryA(char*, win::UINT) override {
    SetLastError(win::kErrorAccessDenied);
    return 0;
  }
};

std::string FirstLineOf(CPlatform& platform, win::DWORD code) {
  std::string text;
  EXPECT_TRUE(platform.FormatSystemMessage(code, win::kLangSystemDefault, text));
  return text.substr(0, text.find_first_of("\r\n"));
}

TEST(ClosingRule, OkWhenDiscoveryAndMigrationSucceed) {
  CTestMachine m;
  CPlatformProxy platform(m.Platform());
  CScriptedDialog dialog(platform, true, true);
  EXPECT_EQ(dialog.DoModal(), win::kIdOk);
  EXPECT_EQ(dialog.calls, (std::vector<std::string>{"uninstall", "locations", "migrate"}));
  EXPECT_TRUE(platform.Messages().empty());
}

TEST(ClosingRule, CancelWithoutMigrationWhenDiscoveryFails) {
  CTestMachine m;
  CPlatformProxy platform(m.Platform());
  CScriptedDialog dialog(platform, false, true);
  EXPECT_EQ(dialog.DoModal(), win::kIdCancel);
  EXPECT_EQ(dialog.calls, (std::vector<std::string>{"uninstall", "locations"}));
}

TEST(ClosingRule, CancelWithoutMessageWhenMigrationReturnsFalse) {
  CTestMachine m;
  CPlatformProxy platform(m.Platform());
  CScriptedDialog dialog(platform, true, false);
  EXPECT_EQ(dialog.DoModal(), win::kIdCancel);
  EXPECT_EQ(dialog.calls, (std::vector<std::string>{"uninstall", "locations", "migrate"}));
  EXPECT_TRUE(platform.Messages().empty());
}

TEST(ClosingRule, InitialisationShowsEmptyLinesSetsIconsAndPostsTheStart) {
  CTestMachine m;
  CPlatformProxy platform(m.Platform());
  CScriptedDialog dialog(platform, true, true);
  dialog.DoModal();
  ASSERT_GE(platform.DetailHistory().size(), 2U);
  EXPECT_EQ(platform.DetailHistory()[0], "");
  EXPECT_TRUE(platform.IconsSet());
  EXPECT_EQ(dialog.calls.size(), 3U) << "the posted start message runs the stages once";
}

TEST(InstallLocations, MissingWindowsDirectoryIsReportedOnceAndCancels) {
  CTestMachine m;
  CNoWindowsDirectory platform(m.Platform());
  CCheckVelaDlg dialog(platform);
  EXPECT_EQ(dialog.DoModal(), win::kIdCancel);
  ASSERT_EQ(platform.Messages().size(), 1U);
  EXPECT_EQ(platform.Messages()[0],
            "Error getting Windows directory:\n" + FirstLineOf(m.Platform(), 5));
  EXPECT_EQ(platform.MessageTypes()[0], win::kMbOk);
  EXPECT_EQ(dialog.m_strProgramDir, "");
}

TEST(InstallLocations, ProgramDirectoryEndsWithTheLastBackslash) {
  CTestMachine m;
  struct Case {
    const char* module;
    const char* directory;
  };
  for (const Case& c : {Case{"C:\\Program Files\\Vela\\CheckVela.exe", "C:\\Program Files\\Vela\\"},
                        Case{"D:\\CheckVela.exe", "D:\\"}, Case{"", ""}}) {
    CModulePathPlatform platform(m.Platform(), c.module);
    CRecordingProgress progress;
    std::string directory = "unset";
    EXPECT_TRUE(FindInstallLocations(platform, progress, directory)) << c.module;
    EXPECT_TRUE(progress.messages.empty());
    EXPECT_EQ(directory, c.directory) << c.module;
  }
}

TEST(ErrorText, KnownCodeGivesTheFirstLineWithoutItsLineBreak) {
  CTestMachine m;
  CWin32ErrorText text;
  const std::string result = text.SetFromCode(m.Platform(), win::kErrorAccessDenied);
  EXPECT_FALSE(result.empty());
  EXPECT_EQ(result.find_first_of("\r\n"), std::string::npos);
  EXPECT_EQ(result, FirstLineOf(m.Platform(), win::kErrorAccessDenied));
  EXPECT_EQ(text, result);
}

TEST(ErrorText, UnknownCodeGivesStringSixWithTheCodeInDecimal) {
  CTestMachine m;
  CWin32ErrorText text;
  EXPECT_STREQ(text.SetFromCode(m.Platform(), 0x2EEEEEEE), "Unknown Win32 error: 787410670");
}

TEST(ErrorText, CodeZeroTakesTheLastError) {
  CTestMachine m;
  CWin32ErrorText expected;
  expected.SetFromCode(m.Platform(), win::kErrorPathNotFound);
  m.Platform().SetLastError(win::kErrorPathNotFound);
  CWin32ErrorText text;
  EXPECT_EQ(std::string(text.SetFromCode(m.Platform(), 0)), expected);
}

TEST(ErrorText, SeveralLinesGiveOnlyTheFirst) {
  CTestMachine m;
  class CTwoLines : public CPlatformProxy {
   public:
    using CPlatformProxy::CPlatformProxy;
    bool FormatSystemMessage(win::DWORD, win::DWORD, std::string& text) override {
      text = "line one\r\nline two\r\n";
      return true;
    }
  } platform(m.Platform());
  CWin32ErrorText text;
  EXPECT_STREQ(text.SetFromCode(platform, 5), "line one");
}

TEST(ErrorText, ResourceMessageFillsThePattern) {
  CTestMachine m;
  std::string out;
  const int count = FormatResourceMessage(m.Platform(), out, IDS_PROFILE_WRITE_ERROR,
                                          "C:\\old\\vela.ini", "Access is denied.");
  EXPECT_EQ(out, "Error writing to profile C:\\old\\vela.ini:\nAccess is denied.");
  EXPECT_EQ(count, static_cast<int>(out.size()));
  EXPECT_EQ(m.Platform().LoadStringA(IDS_UNKNOWN_WIN32_ERROR), "Unknown Win32 error: %lu");
  EXPECT_EQ(m.Platform().LoadStringA(IDS_IMPORTING_FILE), "Importing file");
}

}  // namespace
