// File behaviour of the emulated machine beyond what the conformance cases can check on both
// legs: host permissions, host errors and names.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <filesystem>
#include <fstream>
#include <string>

#include "platform/emulated/emulated_platform.h"
#include "support/test_machine.h"

namespace {

namespace fs = std::filesystem;

// Windows marks every file it writes for the next backup.
constexpr win::DWORD kFileAttributeArchive = 0x20;

class EmulatedFilesTest : public ::testing::Test {
 protected:
  CPlatform& P() { return machine_.Platform(); }
  CEmulatedPlatform& E() { return machine_.Emulated(); }
  std::string Path(const std::string& name) const { return machine_.Dir() + name; }
  std::string Host(const std::string& name) { return E().HostPath(Path(name)); }

  CTestMachine machine_;
};

TEST_F(EmulatedFilesTest, ReadOnlyIsTheHostWriteBits) {
  machine_.WriteFile(Path("ro.txt"), "x");
  ASSERT_TRUE(P().SetFileAttributesA(Path("ro.txt").c_str(), win::kFileAttributeReadOnly));
  struct stat st;
  ASSERT_EQ(0, ::stat(Host("ro.txt").c_str(), &st));
  EXPECT_EQ(0u, st.st_mode & 0222);
  EXPECT_EQ(win::kFileAttributeReadOnly,
            P().GetFileAttributesA(Path("ro.txt").c_str()) & win::kFileAttributeReadOnly);

  // Whatever the process may do on the host (root may write anything), Windows refuses.
  EXPECT_FALSE(P().CopyFileA(Path("ro.txt").c_str(), Path("ro.txt").c_str(), false));
  machine_.WriteFile(Path("other.txt"), "other");
  EXPECT_FALSE(P().CopyFileA(Path("other.txt").c_str(), Path("RO.TXT").c_str(), false));
  EXPECT_EQ(win::kErrorAccessDenied, P().GetLastError());
  EXPECT_EQ(nullptr, P().CreateWriteFile(Path("ro.txt").c_str()));
  EXPECT_EQ(win::kErrorAccessDenied, P().GetLastError());
  EXPECT_EQ("x", machine_.ReadFile(Path("ro.txt")));

  ASSERT_TRUE(P().SetFileAttributesA(Path("ro.txt").c_str(), win::kFileAttributeNormal));
  ASSERT_EQ(0, ::stat(Host("ro.txt").c_str(), &st));
  EXPECT_NE(0u, st.st_mode & S_IWUSR);
  EXPECT_TRUE(P().CopyFileA(Path("other.txt").c_str(), Path("RO.TXT").c_str(), false));
  EXPECT_EQ("other", machine_.ReadFile(Path("ro.txt")));
}

TEST_F(EmulatedFilesTest, CopyKeepsTheHostPermissionBits) {
  machine_.WriteFile(Path("a.txt"), "abc");
  machine_.WriteFile(Path("old.txt"), "old");
  for (const mode_t mode : {0640, 0755, 0604, 02755}) {
    SCOPED_TRACE(mode);
    ASSERT_EQ(0, ::chmod(Host("a.txt").c_str(), mode));
    ASSERT_EQ(0, ::chmod(Host("old.txt").c_str(), 0600));
    ASSERT_TRUE(P().CopyFileA(Path("a.txt").c_str(), Path("new.txt").c_str(), true));
    ASSERT_TRUE(P().CopyFileA(Path("a.txt").c_str(), Path("old.txt").c_str(), false));
    struct stat st;
    ASSERT_EQ(0, ::stat(Host("new.txt").c_str(), &st));
    EXPECT_EQ(mode, st.st_mode & 07777);
    ASSERT_EQ(0, ::stat(Host("old.txt").c_str(), &st));
    EXPECT_EQ(mode, st.st_mode & 07777);
    EXPECT_EQ("abc", machine_.ReadFile(Path("old.txt")));
    ASSERT_TRUE(P().DeleteFileA(Path("new.txt").c_str()));
  }
}

// The copy CopyFileA has just made is read back and renamed without being looked at first:
// what another process does to it in between still shows in those calls.
TEST_F(EmulatedFilesTest, ACopyJustMadeIsReadAndMovedAsItIsOnTheHost) {
  machine_.WriteFile(Path("a.txt"), "abc");
  std::string data;
  ASSERT_TRUE(P().CopyFileA(Path("a.txt").c_str(), Path("tmp").c_str(), false));
  ASSERT_EQ(0, ::unlink(Host("tmp").c_str()));
  EXPECT_FALSE(P().ReadWholeFile(Path("tmp").c_str(), data));
  EXPECT_EQ(win::kErrorFileNotFound, P().GetLastError());
  EXPECT_FALSE(P().MoveFileExA(Path("tmp").c_str(), Path("b.txt").c_str(), false));
  EXPECT_EQ(win::kErrorFileNotFound, P().GetLastError());
  EXPECT_FALSE(machine_.Exists(Path("b.txt")));

  ASSERT_TRUE(P().CopyFileA(Path("a.txt").c_str(), Path("tmp").c_str(), false));
  std::ofstream(Host("tmp"), std::ios::trunc) << "other bytes";
  EXPECT_TRUE(P().ReadWholeFile(Path("tmp").c_str(), data));
  EXPECT_EQ("other bytes", data);
  // The same file under another spelling is still the same file.
  EXPECT_TRUE(P().MoveFileExA(Path("tmp").c_str(), Path("TMP").c_str(), false));
  EXPECT_EQ("other bytes", machine_.ReadFile(Path("tmp")));
}

// Every copy that CopyFileA made, not only the last one, is taken to be there as made until
// this process changes it; what another process does to one still shows in a read or a rename.
TEST_F(EmulatedFilesTest, EachCopyMadeIsTakenAsMadeUntilChanged) {
  machine_.WriteFile(Path("a.txt"), "abc");
  machine_.WriteFile(Path("b.txt"), "defg");
  ASSERT_TRUE(P().CopyFileA(Path("a.txt").c_str(), Path("t1").c_str(), false));
  ASSERT_TRUE(P().CopyFileA(Path("b.txt").c_str(), Path("t2").c_str(), false));
  ASSERT_TRUE(P().CopyFileA(Path("a.txt").c_str(), Path("t3").c_str(), false));
  EXPECT_EQ(kFileAttributeArchive, P().GetFileAttributesA(Path("t1").c_str()));
  EXPECT_TRUE(P().FlushFiles({Path("t1"), Path("t2"), Path("t3")}));

  // Changed through the platform: looked at again.
  ASSERT_TRUE(P().SetFileAttributesA(Path("t2").c_str(), win::kFileAttributeReadOnly));
  EXPECT_EQ(kFileAttributeArchive | win::kFileAttributeReadOnly,
            P().GetFileAttributesA(Path("t2").c_str()));
  EXPECT_FALSE(P().FlushFiles({Path("t1"), Path("t2")}));
  EXPECT_EQ(win::kErrorAccessDenied, P().GetLastError());

  // Removed by another process: the read and the rename fail as a look would have.
  ASSERT_EQ(0, ::unlink(Host("t1").c_str()));
  std::string data;
  EXPECT_FALSE(P().ReadWholeFile(Path("t1").c_str(), data));
  EXPECT_EQ(win::kErrorFileNotFound, P().GetLastError());
  EXPECT_FALSE(P().MoveFileExA(Path("t1").c_str(), Path("c.txt").c_str(), false));
  EXPECT_EQ(win::kErrorFileNotFound, P().GetLastError());
  EXPECT_FALSE(machine_.Exists(Path("c.txt")));

  // A copy renamed, deleted or written over is no longer taken as made under its old name.
  ASSERT_TRUE(P().MoveFileExA(Path("t3").c_str(), Path("c.txt").c_str(), false));
  EXPECT_EQ(win::kInvalidFileAttributes, P().GetFileAttributesA(Path("t3").c_str()));
  EXPECT_EQ(win::kErrorFileNotFound, P().GetLastError());
  EXPECT_FALSE(P().FlushFiles({Path("t3")}));
  EXPECT_EQ(win::kErrorFileNotFound, P().GetLastError());
  EXPECT_TRUE(P().ReadWholeFile(Path("c.txt").c_str(), data));
  EXPECT_EQ("abc", data);
  ASSERT_TRUE(P().SetFileAttributesA(Path("t2").c_str(), win::kFileAttributeNormal));
  ASSERT_TRUE(P().CopyFileA(Path("b.txt").c_str(), Path("t4").c_str(), false));
  ASSERT_TRUE(P().DeleteFileA(Path("t4").c_str()));
  EXPECT_EQ(win::kInvalidFileAttributes, P().GetFileAttributesA(Path("t4").c_str()));
  ASSERT_TRUE(P().CopyFileA(Path("b.txt").c_str(), Path("t5").c_str(), false));
  auto file = P().CreateWriteFile(Path("t5").c_str());
  ASSERT_NE(nullptr, file);
  ASSERT_TRUE(file->Close());
  EXPECT_TRUE(P().ReadWholeFile(Path("t5").c_str(), data));
  EXPECT_EQ("", data);
}

// FlushFiles writes out the whole file system at once where it can (one syncfs): a file written
// before that needs no wait of its own when it is flushed; one written after it does.
TEST_F(EmulatedFilesTest, AFlushAfterASyncOfItsFileSystemWaitsOnlyForLaterWrites) {
  machine_.WriteFile(Path("copy.txt"), "copy");
  auto journal = P().OpenAppendFile(Path("journal.txt").c_str());
  ASSERT_NE(nullptr, journal);
  ASSERT_TRUE(journal->Write("line 1\r\n", 8));
  const int before = E().DiskWaits();
  ASSERT_TRUE(P().FlushFiles({Path("copy.txt")}));
  EXPECT_EQ(before + 1, E().DiskWaits());
  ASSERT_TRUE(journal->Flush());
  // Without syncfs the copy was flushed on its own, and the journal needs its own flush.
  const int synced = E().PosixOnly() ? before + 2 : before + 1;
  EXPECT_EQ(synced, E().DiskWaits());
  ASSERT_TRUE(journal->Write("line 2\r\n", 8));
  ASSERT_TRUE(journal->Flush());
  EXPECT_EQ(synced + 1, E().DiskWaits());
  ASSERT_TRUE(journal->Truncate(8));
  ASSERT_TRUE(journal->Flush());
  EXPECT_EQ(synced + 2, E().DiskWaits());
  ASSERT_TRUE(journal->Close());
  EXPECT_EQ("line 1\r\n", machine_.ReadFile(Path("journal.txt")));
}

TEST_F(EmulatedFilesTest, CopyLeavesNoTemporaryFiles) {
  machine_.WriteFile(Path("a.txt"), "abc");
  ASSERT_TRUE(P().CopyFileA(Path("a.txt").c_str(), Path("b.txt").c_str(), false));
  ASSERT_TRUE(P().CopyFileA(Path("a.txt").c_str(), Path("b.txt").c_str(), false));
  int entries = 0;
  for (const auto& entry : fs::directory_iterator(E().HostPath(machine_.Dir()))) {
    (void)entry;
    ++entries;
  }
  EXPECT_EQ(2, entries);
}

TEST_F(EmulatedFilesTest, DiskFullIsErrorDiskFull) {
  if (!fs::exists("/dev/full")) {
    GTEST_SKIP() << "no /dev/full on this host";
  }
  auto file = P().CreateWriteFile("Z:\\dev\\full");
  ASSERT_NE(nullptr, file);
  EXPECT_FALSE(file->Write("restore", 7));
  EXPECT_EQ(win::kErrorDiskFull, P().GetLastError());
}

TEST_F(EmulatedFilesTest, ForbiddenCharactersAreInvalidNames) {
  for (const char* name : {"a?b.txt", "a*b.txt", "a|b", "a<b", "a>b", "a\"b", "a\tb"}) {
    EXPECT_EQ(nullptr, P().CreateWriteFile(Path(name).c_str())) << name;
    EXPECT_EQ(win::kErrorInvalidName, P().GetLastError()) << name;
    EXPECT_FALSE(P().CreateDirectoryA(Path(name).c_str())) << name;
    EXPECT_EQ(win::kErrorInvalidName, P().GetLastError()) << name;
  }
}

TEST_F(EmulatedFilesTest, TrailingSeparatorOnAFile) {
  machine_.WriteFile(Path("f.txt"), "x");
  EXPECT_EQ(win::kInvalidFileAttributes, P().GetFileAttributesA(Path("f.txt\\").c_str()));
  EXPECT_EQ(win::kErrorPathNotFound, P().GetLastError());
  EXPECT_FALSE(P().DeleteFileA(Path("f.txt\\").c_str()));
  EXPECT_EQ(win::kErrorInvalidName, P().GetLastError());
  EXPECT_EQ(nullptr, P().CreateWriteFile(Path("new.txt\\").c_str()));
  EXPECT_EQ(win::kErrorInvalidName, P().GetLastError());
  std::string data;
  EXPECT_FALSE(P().ReadWholeFile(Path("f.txt\\").c_str(), data));
  EXPECT_EQ(win::kErrorInvalidName, P().GetLastError());
}

TEST_F(EmulatedFilesTest, PathThroughAFileIsPathNotFound) {
  machine_.WriteFile(Path("f.txt"), "x");
  std::string data;
  EXPECT_FALSE(P().ReadWholeFile(Path("f.txt\\inner.txt").c_str(), data));
  EXPECT_EQ(win::kErrorPathNotFound, P().GetLastError());
  EXPECT_FALSE(P().CreateDirectoryA(Path("f.txt\\dir").c_str()));
  EXPECT_EQ(win::kErrorPathNotFound, P().GetLastError());
}

TEST_F(EmulatedFilesTest, SearchesAreSortedAndHandlesChecked) {
  for (const char* name : {"b.txt", "C.txt", "a.txt"}) {
    machine_.WriteFile(Path(name), "x");
  }
  win::FindData data;
  const win::HFIND find = P().FindFirstFileA(Path("*.txt").c_str(), data);
  ASSERT_NE(win::kInvalidFind, find);
  EXPECT_EQ("a.txt", data.name);
  ASSERT_TRUE(P().FindNextFileA(find, data));
  EXPECT_EQ("b.txt", data.name);
  ASSERT_TRUE(P().FindNextFileA(find, data));
  EXPECT_EQ("C.txt", data.name);
  EXPECT_FALSE(P().FindNextFileA(find, data));
  EXPECT_EQ(win::kErrorNoMoreFiles, P().GetLastError());
  EXPECT_TRUE(P().FindClose(find));
  EXPECT_FALSE(P().FindNextFileA(find, data));
  EXPECT_EQ(win::kErrorInvalidHandle, P().GetLastError());
  EXPECT_FALSE(P().FindClose(find));
}

TEST_F(EmulatedFilesTest, DriveRootListsNoDotEntries) {
  win::FindData data;
  CFindHandle find(P());
  ASSERT_TRUE(find.First("C:\\*", data));
  do {
    EXPECT_NE(".", data.name);
    EXPECT_NE("..", data.name);
  } while (find.Next(data));
  EXPECT_FALSE(find.First("C:\\", data));
  EXPECT_EQ(win::kErrorFileNotFound, P().GetLastError());
}

TEST_F(EmulatedFilesTest, ExtensionWildcardAlsoFindsNamesWithoutOne) {
  machine_.WriteFile(Path("README"), "x");
  machine_.WriteFile(Path("readme.txt"), "x");
  win::FindData data;
  CFindHandle find(P());
  ASSERT_TRUE(find.First(Path("readme.*"), data));
  EXPECT_EQ("README", data.name);
  ASSERT_TRUE(find.Next(data));
  EXPECT_EQ("readme.txt", data.name);
  EXPECT_FALSE(find.Next(data));
}

TEST_F(EmulatedFilesTest, ShortPathKeepsLongNamesInStoredSpelling) {
  machine_.MakeDir(Path("Long Directory Name"));
  machine_.WriteFile(Path("Long Directory Name\\Settings File.ini"), "x");
  const std::string given = Path("long directory name\\SETTINGS FILE.INI");
  char buffer[512];
  const win::DWORD length = P().GetShortPathNameA(given.c_str(), buffer, sizeof buffer);
  ASSERT_EQ(given.size(), length);
  EXPECT_EQ(Path("Long Directory Name\\Settings File.ini"), buffer);
}

}  // namespace
