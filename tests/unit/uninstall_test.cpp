// The hand-over of the old uninstall entry to delvela.exe.
#include <gtest/gtest.h>

#include "install/install.h"
#include "support/migration_fixture.h"

namespace {

constexpr const char* kUninstall = "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall";

class UninstallTest : public MigrationTest {
 protected:
  void SetUp() override {
    MigrationTest::SetUp();
    m.WriteFile(std::string(kProgram) + "delvela.exe", "MZ");
  }
  void Entry(const std::string& name, const std::string* command, win::DWORD type = win::kRegSz) {
    CRegKey key(m.Platform());
    ASSERT_EQ(key.Create(win::kHkeyLocalMachine, (std::string(kUninstall) + "\\" + name).c_str()),
              0);
    if (command != nullptr) {
      m.Platform().RegSetValueExA(key.Get(), "UninstallString", type,
                                  reinterpret_cast<const unsigned char*>(command->c_str()),
                                  static_cast<win::DWORD>(command->size() + 1));
    }
  }
  void Entry(const std::string& name, const std::string& command) { Entry(name, &command); }
  std::optional<CRegValue> Command(const std::string& name) {
    return ReadValue(m.Platform(), std::string(kUninstall) + "\\" + name, "UninstallString");
  }
  // The emulated volume has no 8.3 names: the long path comes back, quoted for its blank.
  const std::string kNewCommand = "\"C:\\Program Files\\Vela\\delvela.exe\"";
};

TEST_F(UninstallTest, TheVelaEntryIsHandedOver) {
  Entry("Acme", "C:\\acme\\uninst.exe");
  Entry("Vela", "C:\\OLD\\uninst.exe /x");
  Entry("Zed", "C:\\zed\\uninst.exe");
  HandOverUninstallEntry(m.Platform());
  EXPECT_EQ(Value("", "UninstallString"), Sz("C:\\OLD\\uninst.exe /x"));
  EXPECT_EQ(Command("Vela"), Sz(kNewCommand));
  EXPECT_EQ(Command("Acme"), Sz("C:\\acme\\uninst.exe"));
  EXPECT_EQ(Command("Zed"), Sz("C:\\zed\\uninst.exe"));
}

TEST_F(UninstallTest, OnlyTheHighestEntryBeginningWithVelaIsExamined) {
  Entry("Vela 1.0", "C:\\v1\\uninst.exe");
  Entry("Vela 2.0", nullptr);
  HandOverUninstallEntry(m.Platform());
  EXPECT_FALSE(Value("", "UninstallString"));
  EXPECT_EQ(Command("Vela 1.0"), Sz("C:\\v1\\uninst.exe"));
}

TEST_F(UninstallTest, OtherSpellingsAreNoEntries) {
  Entry("vela", "C:\\a.exe");
  Entry("MyVela", "C:\\b.exe");
  HandOverUninstallEntry(m.Platform());
  EXPECT_FALSE(KeyExists(m.Platform(), kProduct));
  EXPECT_EQ(Command("vela"), Sz("C:\\a.exe"));
}

TEST_F(UninstallTest, TheLongestNameIsFoundLikeAnyOther) {
  Entry("Acme", "C:\\a.exe");
  Entry("Vela Print Server with a rather long name", "C:\\OLD\\u.exe");
  HandOverUninstallEntry(m.Platform());
  EXPECT_EQ(Command("Vela Print Server with a rather long name"), Sz(kNewCommand));
}

TEST_F(UninstallTest, AlreadyHandedOverInAnyCase) {
  Entry("Vela", "C:\\x\\delvela.exe");
  HandOverUninstallEntry(m.Platform());
  EXPECT_FALSE(KeyExists(m.Platform(), kProduct));
  // The short path as an 8.3 volume gives it back: a second hand-over would overwrite the
  // saved old command.
  Entry("Vela", "C:\\PROGRA~1\\VELA\\DELVELA.EXE");
  HandOverUninstallEntry(m.Platform());
  EXPECT_FALSE(KeyExists(m.Platform(), kProduct));
  EXPECT_EQ(Command("Vela"), Sz("C:\\PROGRA~1\\VELA\\DELVELA.EXE"));
}

TEST_F(UninstallTest, NoUninstallKeyOrEmptyKeyWritesNothing) {
  HandOverUninstallEntry(m.Platform());
  EXPECT_FALSE(KeyExists(m.Platform(), kProduct));
  CRegKey key(m.Platform());
  key.Create(win::kHkeyLocalMachine, kUninstall);
  key.Close();
  HandOverUninstallEntry(m.Platform());
  EXPECT_FALSE(KeyExists(m.Platform(), kProduct));
}

TEST_F(UninstallTest, ASecondRunWritesNothing) {
  Entry("Vela", "C:\\OLD\\uninst.exe");
  HandOverUninstallEntry(m.Platform());
  // A changed saved value shows whether the second run wrote again.
  CRegKey product(m.Platform());
  product.Open(win::kHkeyLocalMachine, kProduct);
  const std::string marker = "marker";
  m.Platform().RegSetValueExA(product.Get(), "UninstallString", win::kRegSz,
                              reinterpret_cast<const unsigned char*>(marker.c_str()), 7);
  HandOverUninstallEntry(m.Platform());
  EXPECT_EQ(Value("", "UninstallString"), Sz("marker"));
  EXPECT_EQ(Command("Vela"), Sz(kNewCommand));
}

TEST_F(UninstallTest, LongCommandsAreNeverCut) {
  const std::string command = "C:\\" + std::string(400, 'd') + "\\uninst.exe";
  Entry("Vela", command);
  HandOverUninstallEntry(m.Platform());
  EXPECT_EQ(Value("", "UninstallString"), Sz(command));
  EXPECT_EQ(Command("Vela"), Sz(kNewCommand));
}

TEST_F(UninstallTest, NonStringValuesAreLeftAlone) {
  const std::string command = "C:\\OLD\\u.exe";
  Entry("Vela", &command, win::kRegBinary);
  HandOverUninstallEntry(m.Platform());
  EXPECT_FALSE(KeyExists(m.Platform(), kProduct));
}

TEST_F(UninstallTest, MissingUninstallerChangesNothing) {
  m.Platform().DeleteFileA((std::string(kProgram) + "delvela.exe").c_str());
  Entry("Vela", "C:\\OLD\\uninst.exe");
  HandOverUninstallEntry(m.Platform());
  EXPECT_FALSE(KeyExists(m.Platform(), kProduct));
  EXPECT_EQ(Command("Vela"), Sz("C:\\OLD\\uninst.exe"));
}

}  // namespace
