// Name lookups in large directories, which the emulation indexes: every change made behind its
// back, by another process or by the host directly, is seen at once. Every test runs twice: on a
// machine with the indexes (inotify) and on one that keeps to what POSIX offers, which reads
// the directory instead.
#include <gtest/gtest.h>

#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include "platform/emulated/directory_index.h"
#include "platform/emulated/emulated_platform.h"

namespace {

namespace fs = std::filesystem;

class LargeDirectoryTest : public ::testing::TestWithParam<bool> {
 protected:
  void SetUp() override {
    // The parameterized name holds a "/": the directory is named after the test's number.
    root_ = fs::temp_directory_path() /
            ("cvlargedir-" + std::to_string(::getpid()) + "-" + std::to_string(++machines_));
    fs::remove_all(root_);
    dir_ = root_ / "drive_c" / "Big";
    Fill(dir_);
    CEmulatedMachineOptions options;
    options.root = root_.string();
    options.currentDirectory = "C:\\";
    options.out = &out_;
    options.err = &err_;
    options.posixOnly = GetParam();
    machine_ = std::make_unique<CEmulatedPlatform>(options);
  }
  void TearDown() override {
    machine_.reset();
    fs::remove_all(root_);
  }

  // A directory of 300 files: enough to be indexed.
  static void Fill(const fs::path& dir) {
    fs::create_directories(dir);
    for (int i = 0; i < 300; ++i) {
      std::ofstream(dir / ("file" + std::to_string(i) + ".dat")) << i;
    }
  }
  bool Exists(const std::string& path) {
    return machine_->GetFileAttributesA(path.c_str()) != win::kInvalidFileAttributes;
  }
  std::string Host(const std::string& path) { return machine_->HostPath(path); }

  fs::path root_;
  fs::path dir_;
  std::ostringstream out_;
  std::ostringstream err_;
  std::unique_ptr<CEmulatedPlatform> machine_;
  static inline int machines_ = 0;
};

TEST_P(LargeDirectoryTest, FindsEveryNameWithoutRegardToCase) {
  EXPECT_FALSE(Exists("C:\\Big\\missing"));  // reads the directory in full
  EXPECT_TRUE(Exists("C:\\BIG\\FILE7.DAT"));
  EXPECT_EQ(Host("C:\\big\\FILE299.dat"), (dir_ / "file299.dat").string());
  EXPECT_FALSE(Exists("C:\\Big\\file300.dat"));
}

// Host names are UTF-8, the program's names ANSI (Windows-1252): "\xFC" is u with diaeresis.
TEST_P(LargeDirectoryTest, NamesBeyondAsciiAreFoundWithoutRegardToCase) {
  std::ofstream(dir_ / "M\xC3\x9CLLER.txt") << "1";
  EXPECT_FALSE(Exists("C:\\Big\\missing"));
  EXPECT_TRUE(Exists("C:\\Big\\m\xFCller.TXT"));
  EXPECT_EQ(Host("C:\\Big\\m\xFCller.TXT"), (dir_ / "M\xC3\x9CLLER.txt").string());
  std::ofstream(dir_ / "\xC3\xA9t\xC3\xA9") << "2";  // created behind the index's back
  EXPECT_TRUE(Exists("C:\\Big\\\xC9T\xC9"));
  fs::remove(dir_ / "M\xC3\x9CLLER.txt");
  EXPECT_FALSE(Exists("C:\\Big\\M\xFCLLER.txt"));
}

TEST_P(LargeDirectoryTest, SeesFilesTheHostCreatesAndDeletes) {
  EXPECT_FALSE(Exists("C:\\Big\\New.txt"));
  std::ofstream(dir_ / "NEW.TXT") << "x";
  EXPECT_TRUE(Exists("C:\\Big\\new.txt"));
  EXPECT_EQ(Host("C:\\Big\\new.txt"), (dir_ / "NEW.TXT").string());
  fs::remove(dir_ / "NEW.TXT");
  EXPECT_FALSE(Exists("C:\\Big\\new.txt"));
  fs::rename(dir_ / "file1.dat", dir_ / "Moved.DAT");
  EXPECT_FALSE(Exists("C:\\Big\\FILE1.dat"));
  EXPECT_TRUE(Exists("C:\\Big\\moved.dat"));
}

TEST_P(LargeDirectoryTest, AnotherSpellingLeftBehindIsStillFound) {
  std::ofstream(dir_ / "Twin") << "1";
  std::ofstream(dir_ / "TWIN") << "2";
  EXPECT_FALSE(Exists("C:\\Big\\missing"));
  fs::remove(dir_ / "Twin");
  EXPECT_TRUE(Exists("C:\\Big\\twin"));
  fs::remove(dir_ / "TWIN");
  EXPECT_FALSE(Exists("C:\\Big\\twin"));
}

TEST_P(LargeDirectoryTest, ADirectoryReplacedUnderTheSamePathIsReadAgain) {
  EXPECT_FALSE(Exists("C:\\Big\\missing"));
  fs::rename(dir_, root_ / "drive_c" / "Old");
  fs::create_directories(dir_);
  std::ofstream(dir_ / "Only") << "";
  EXPECT_FALSE(Exists("C:\\Big\\file7.dat"));
  EXPECT_TRUE(Exists("C:\\Big\\ONLY"));
  EXPECT_TRUE(Exists("C:\\Old\\FILE7.DAT"));
}

TEST_P(LargeDirectoryTest, ADirectoryAboveReplacedUnderTheSamePathIsReadAgain) {
  // The index is trusted without looking at the directory while nothing above it moves.
  Fill(root_ / "drive_c" / "Outer" / "Big");
  EXPECT_FALSE(Exists("C:\\Outer\\Big\\missing"));
  EXPECT_TRUE(Exists("C:\\Outer\\Big\\file7.dat"));
  fs::rename(root_ / "drive_c" / "Outer", root_ / "drive_c" / "Gone");
  fs::create_directories(root_ / "drive_c" / "Outer" / "Big");
  std::ofstream(root_ / "drive_c" / "Outer" / "Big" / "missing") << "";
  EXPECT_TRUE(Exists("C:\\Outer\\Big\\MISSING"));
  EXPECT_FALSE(Exists("C:\\Outer\\Big\\file7.dat"));
  EXPECT_TRUE(Exists("C:\\Gone\\Big\\FILE7.DAT"));
}

TEST_P(LargeDirectoryTest, ALinkOnTheWayThatIsRepointedIsFollowed) {
  // Through a link the index cannot be trusted by watching alone: the directory is compared.
  Fill(root_ / "drive_c" / "Other");
  std::ofstream(root_ / "drive_c" / "Other" / "only-here") << "";
  fs::create_directory_symlink(dir_, root_ / "drive_c" / "Link");
  EXPECT_FALSE(Exists("C:\\Link\\only-here"));
  EXPECT_TRUE(Exists("C:\\Link\\FILE7.dat"));
  fs::remove(root_ / "drive_c" / "Link");
  fs::create_directory_symlink(root_ / "drive_c" / "Other", root_ / "drive_c" / "Link");
  EXPECT_TRUE(Exists("C:\\Link\\ONLY-HERE"));
  std::ofstream(dir_ / "only-big") << "";
  EXPECT_FALSE(Exists("C:\\Link\\only-big"));
}

TEST_P(LargeDirectoryTest, CopiesIntoALargeDirectoryAreSeenByName) {
  EXPECT_FALSE(Exists("C:\\Big\\copy"));
  ASSERT_TRUE(machine_->CopyFileA("C:\\Big\\file3.dat", "C:\\Big\\Copy", true));
  EXPECT_TRUE(Exists("C:\\BIG\\COPY"));
  EXPECT_FALSE(machine_->CopyFileA("C:\\Big\\file4.dat", "C:\\big\\copy", true));
  ASSERT_TRUE(machine_->DeleteFileA("C:\\Big\\COPY"));
  EXPECT_FALSE(Exists("C:\\Big\\copy"));
}

// The indexed machine indexes a large directory once a name was missing there; the POSIX one
// indexes nothing and still finds every change.
TEST_P(LargeDirectoryTest, OnlyTheIndexedMachineIndexesTheDirectory) {
  EXPECT_FALSE(Exists("C:\\Big\\missing"));
  EXPECT_EQ(!machine_->PosixOnly(), directory_index::Indexed(dir_.string()));
  std::ofstream(dir_ / "Missing") << "";
  EXPECT_TRUE(Exists("C:\\Big\\missing"));
}

INSTANTIATE_TEST_SUITE_P(Indexed, LargeDirectoryTest, ::testing::Values(false));
INSTANTIATE_TEST_SUITE_P(PosixOnly, LargeDirectoryTest, ::testing::Values(true));

}  // namespace
