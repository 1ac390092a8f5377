// System message texts and the OEM code page.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "app/error_text.h"
#include "support/platform_proxy.h"
#include "support/test_machine.h"

namespace {

TEST(ErrorTextTest, SystemMessagesEndInLineBreak) {
  CTestMachine machine;
  for (win::DWORD code : {win::kErrorSuccess, win::kErrorFileNotFound, win::kErrorPathNotFound,
                          win::kErrorAccessDenied, win::kErrorFileExists, win::kErrorDiskFull,
                          win::kErrorAlreadyExists, win::kErrorSharingViolation}) {
    std::string text;
    ASSERT_TRUE(machine.Platform().FormatSystemMessage(code, win::kLangSystemDefault, text))
        << code;
    ASSERT_GT(text.size(), 2u) << code;
    EXPECT_EQ("\r\n", text.substr(text.size() - 2)) << code;
  }
  std::string notFound;
  std::string denied;
  machine.Platform().FormatSystemMessage(win::kErrorFileNotFound, win::kLangSystemDefault,
                                         notFound);
  machine.Platform().FormatSystemMessage(win::kErrorAccessDenied, win::kLangSystemDefault, denied);
  EXPECT_NE(notFound, denied);
}

TEST(ErrorTextTest, UnknownCodeHasNoMessage) {
  CTestMachine machine;
  std::string text;
  EXPECT_FALSE(machine.Platform().FormatSystemMessage(0x2EEEEEEE, win::kLangSystemDefault, text));
}

// No arguments are passed for a text's inserts: the text comes as the system holds it.
TEST(ErrorTextTest, InsertsStayInTheText) {
  CTestMachine machine;
  std::string text;
  ASSERT_TRUE(machine.Platform().FormatSystemMessage(win::kErrorBadExeFormat,
                                                     win::kLangSystemDefault, text));
  EXPECT_NE(text.find("%1"), std::string::npos) << text;
  CWin32ErrorText error;
  EXPECT_EQ(std::string(error.SetFromCode(machine.Platform(), win::kErrorBadExeFormat)),
            text.substr(0, text.find_first_of("\r\n")));
}

// Fails the first request for a text with a chosen error, as a system default language without
// a message table of its own does, and records the languages asked for.
class CFirstLanguageFails : public CPlatformProxy {
 public:
  CFirstLanguageFails(CPlatform& inner, win::DWORD error) : CPlatformProxy(inner), error_(error) {}
  bool FormatSystemMessage(win::DWORD code, win::DWORD languageId, std::string& text) override {
    languages.push_back(languageId);
    if (languages.size() == 1) {
      SetLastError(error_);
      return false;
    }
    return CPlatformProxy::FormatSystemMessage(code, languageId, text);
  }
  std::vector<win::DWORD> languages;

 private:
  win::DWORD error_;
};

TEST(ErrorTextTest, ASystemLanguageWithoutTextsFallsBackToTheSearchOrder) {
  CTestMachine machine;
  std::string expected;
  ASSERT_TRUE(machine.Platform().FormatSystemMessage(win::kErrorAccessDenied, win::kLangSearchOrder,
                                                     expected));
  expected.resize(expected.find_first_of("\r\n"));
  for (const win::DWORD error : {win::kErrorResourceLangNotFound, win::kErrorMuiFileNotFound}) {
    CFirstLanguageFails platform(machine.Platform(), error);
    CWin32ErrorText text;
    EXPECT_EQ(std::string(text.SetFromCode(platform, win::kErrorAccessDenied)), expected) << error;
    EXPECT_EQ(platform.languages,
              (std::vector<win::DWORD>{win::kLangSystemDefault, win::kLangSearchOrder}))
        << error;
  }
  // A code the system has no text for is not asked for again: string 6 stands in.
  CFirstLanguageFails platform(machine.Platform(), win::kErrorMrMidNotFound);
  CWin32ErrorText text;
  EXPECT_STREQ(text.SetFromCode(platform, win::kErrorAccessDenied), "Unknown Win32 error: 5");
  EXPECT_EQ(platform.languages.size(), 1U);
}

TEST(ErrorTextTest, AnsiToOemKeepsAscii) {
  CTestMachine machine;
  const std::string ascii = "copy \"C:\\Vela\\Backup\\q1.ini\" \"C:\\Vela\\q1.ini\" 100%%\r\n";
  EXPECT_EQ(ascii, machine.Platform().AnsiToOem(ascii));
}

}  // namespace
