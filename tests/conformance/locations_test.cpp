// Windows directory, module path and short path names.
#include <gtest/gtest.h>

#include <string>

#include "support/test_machine.h"

namespace {

bool EqualNoCase(const std::string& a, const std::string& b) {
  if (a.size() != b.size()) {
    return false;
  }
  for (size_t i = 0; i < a.size(); ++i) {
    if (std::tolower(static_cast<unsigned char>(a[i])) !=
        std::tolower(static_cast<unsigned char>(b[i]))) {
      return false;
    }
  }
  return true;
}

TEST(LocationsTest, WindowsDirectoryWithBufferSemantics) {
  CTestMachine machine;
  CPlatform& p = machine.Platform();
  char buffer[260] = {};
  const win::UINT length = p.GetWindowsDirectoryA(buffer, sizeof buffer);
  ASSERT_EQ(10u, length);
  EXPECT_TRUE(EqualNoCase("C:\\windows", buffer)) << buffer;

  // Too small, even by only the NUL: the size needed, NUL included.
  char small[10];
  EXPECT_EQ(11u, p.GetWindowsDirectoryA(small, sizeof small));
  EXPECT_EQ(11u, p.GetWindowsDirectoryA(small, 3));
  char exact[11];
  EXPECT_EQ(10u, p.GetWindowsDirectoryA(exact, sizeof exact));
}

TEST(LocationsTest, ModuleFileName) {
  CTestMachine machine;
  CPlatform& p = machine.Platform();
  char buffer[1024] = {};
  const win::DWORD length = p.GetModuleFileNameA(buffer, sizeof buffer);
  ASSERT_GT(length, 3u);
  EXPECT_EQ(length, std::string(buffer).size());
  EXPECT_EQ(':', buffer[1]);
  EXPECT_EQ('\\', buffer[2]);

  char small[6];
  p.SetLastError(0);
  EXPECT_EQ(6u, p.GetModuleFileNameA(small, sizeof small));
  EXPECT_EQ(win::kErrorInsufficientBuffer, p.GetLastError());
  EXPECT_EQ(std::string(buffer, 5), std::string(small, 5));
}

TEST(LocationsTest, ShortPathName) {
  CTestMachine machine;
  CPlatform& p = machine.Platform();
  const std::string file = machine.Dir() + "short.ini";
  machine.WriteFile(file, "x");
  char buffer[512] = {};
  const win::DWORD length = p.GetShortPathNameA(file.c_str(), buffer, sizeof buffer);
  ASSERT_GT(length, 0u);
  ASSERT_LT(length, sizeof buffer);
  EXPECT_EQ(length, std::string(buffer).size());
  // The short path names the same file.
  EXPECT_EQ("x", machine.ReadFile(buffer));
  // Too small: the size needed, NUL included.
  char small[4];
  EXPECT_EQ(length + 1, p.GetShortPathNameA(file.c_str(), small, sizeof small));

  // Long names, mixed separators and another case still name the file (Windows may answer
  // with 8.3 names here; Wine and the emulation keep the long ones).
  machine.MakeDir(machine.Dir() + "Long Directory Name");
  machine.WriteFile(machine.Dir() + "Long Directory Name\\Settings File.ini", "y");
  const std::string mixed = machine.Dir() + "long directory name/SETTINGS FILE.INI";
  const win::DWORD mixedLength = p.GetShortPathNameA(mixed.c_str(), buffer, sizeof buffer);
  ASSERT_GT(mixedLength, 0u);
  ASSERT_LT(mixedLength, sizeof buffer);
  EXPECT_EQ("y", machine.ReadFile(buffer));

  p.SetLastError(0);
  EXPECT_EQ(0u,
            p.GetShortPathNameA((machine.Dir() + "missing.ini").c_str(), buffer, sizeof buffer));
  EXPECT_EQ(win::kErrorFileNotFound, p.GetLastError());
  EXPECT_EQ(0u, p.GetShortPathNameA((machine.Dir() + "nodir\\missing.ini").c_str(), buffer,
                                    sizeof buffer));
  EXPECT_NE(0u, p.GetLastError());
}

}  // namespace
