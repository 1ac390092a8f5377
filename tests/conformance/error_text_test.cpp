// System message texts and the OEM code page.
#include <gtest/gtest.h>

#include <string>

#include "support/test_machine.h"

namespace {

TEST(ErrorTextTest, SystemMessagesEndInLineBreak) {
  CTestMachine machine;
  for (win::DWORD code : {win::kErrorSuccess, win::kErrorFileNotFound, win::kErrorPathNotFound,
                          win::kErrorAccessDenied, win::kErrorFileExists, win::kErrorDiskFull,
                          win::kErrorAlreadyExists, win::kErrorSharingViolation}) {
    std::string text;
    ASSERT_TRUE(machine.Platform().FormatSystemMessage(code, text)) << code;
    ASSERT_GT(text.size(), 2u) << code;
    EXPECT_EQ("\r\n", text.substr(text.size() - 2)) << code;
  }
  std::string notFound;
  std::string denied;
  machine.Platform().FormatSystemMessage(win::kErrorFileNotFound, notFound);
  machine.Platform().FormatSystemMessage(win::kErrorAccessDenied, denied);
  EXPECT_NE(notFound, denied);
}

TEST(ErrorTextTest, UnknownCodeHasNoMessage) {
  CTestMachine machine;
  std::string text;
  EXPECT_FALSE(machine.Platform().FormatSystemMessage(0x2EEEEEEE, text));
}

TEST(ErrorTextTest, AnsiToOemKeepsAscii) {
  CTestMachine machine;
  const std::string ascii = "copy \"C:\\Vela\\Backup\\q1.ini\" \"C:\\Vela\\q1.ini\" 100%%\r\n";
  EXPECT_EQ(ascii, machine.Platform().AnsiToOem(ascii));
}

}  // namespace
