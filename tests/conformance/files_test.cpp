// File functions: the same cases against the emulated machine and against Windows.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "support/test_machine.h"

namespace {

class FilesTest : public ::testing::Test {
 protected:
  CPlatform& P() { return machine_.Platform(); }
  std::string Path(const std::string& name) const { return machine_.Dir() + name; }

  // Names a search finds, in the order found; empty with the error in lastError on failure.
  std::vector<std::string> Find(const std::string& pattern, win::DWORD* lastError = nullptr) {
    std::vector<std::string> names;
    win::FindData data;
    CFindHandle find(P());
    if (!find.First(pattern, data)) {
      if (lastError != nullptr) {
        *lastError = P().GetLastError();
      }
      return names;
    }
    do {
      names.push_back(data.name);
    } while (find.Next(data));
    EXPECT_EQ(win::kErrorNoMoreFiles, P().GetLastError());
    return names;
  }

  static std::vector<std::string> Sorted(std::vector<std::string> names) {
    std::sort(names.begin(), names.end());
    return names;
  }

  CTestMachine machine_;
};

using Names = std::vector<std::string>;

TEST_F(FilesTest, CreateDirectory) {
  EXPECT_TRUE(P().CreateDirectoryA(Path("Queue").c_str()));
  EXPECT_EQ(win::kFileAttributeDirectory,
            P().GetFileAttributesA(Path("queue").c_str()) & win::kFileAttributeDirectory);

  EXPECT_FALSE(P().CreateDirectoryA(Path("QUEUE").c_str()));
  EXPECT_EQ(win::kErrorAlreadyExists, P().GetLastError());

  machine_.WriteFile(Path("file.txt"), "x");
  EXPECT_FALSE(P().CreateDirectoryA(Path("file.txt").c_str()));
  EXPECT_EQ(win::kErrorAlreadyExists, P().GetLastError());

  EXPECT_FALSE(P().CreateDirectoryA(Path("missing\\child").c_str()));
  EXPECT_EQ(win::kErrorPathNotFound, P().GetLastError());
}

TEST_F(FilesTest, CopyFileCopiesBytesAndReplaces) {
  std::string bytes;
  for (int i = 0; i < 200000; ++i) {
    bytes += static_cast<char>(i * 7 % 256);
  }
  machine_.WriteFile(Path("source.bin"), bytes);
  ASSERT_TRUE(P().CopyFileA(Path("SOURCE.BIN").c_str(), Path("copy.bin").c_str(), true));
  EXPECT_EQ(bytes, machine_.ReadFile(Path("copy.bin")));

  machine_.WriteFile(Path("small.txt"), "small");
  ASSERT_TRUE(P().CopyFileA(Path("small.txt").c_str(), Path("Copy.BIN").c_str(), false));
  EXPECT_EQ("small", machine_.ReadFile(Path("copy.bin")));
  // The replaced file keeps the name it had.
  EXPECT_EQ(Names{"copy.bin"}, Find(Path("copy.bin")));
}

TEST_F(FilesTest, CopyFileErrors) {
  machine_.WriteFile(Path("a.txt"), "a");
  machine_.WriteFile(Path("b.txt"), "b");
  machine_.MakeDir(Path("dir"));

  EXPECT_FALSE(P().CopyFileA(Path("a.txt").c_str(), Path("B.TXT").c_str(), true));
  EXPECT_EQ(win::kErrorFileExists, P().GetLastError());
  EXPECT_EQ("b", machine_.ReadFile(Path("b.txt")));

  EXPECT_FALSE(P().CopyFileA(Path("missing.txt").c_str(), Path("c.txt").c_str(), false));
  EXPECT_EQ(win::kErrorFileNotFound, P().GetLastError());
  EXPECT_FALSE(machine_.Exists(Path("c.txt")));

  EXPECT_FALSE(P().CopyFileA(Path("nodir\\missing.txt").c_str(), Path("c.txt").c_str(), false));
  EXPECT_EQ(win::kErrorPathNotFound, P().GetLastError());

  EXPECT_FALSE(P().CopyFileA(Path("a.txt").c_str(), Path("nodir\\c.txt").c_str(), false));
  EXPECT_EQ(win::kErrorPathNotFound, P().GetLastError());

  EXPECT_FALSE(P().CopyFileA(Path("a.txt").c_str(), Path("dir").c_str(), false));
  EXPECT_EQ(win::kErrorAccessDenied, P().GetLastError());

  EXPECT_FALSE(P().CopyFileA(Path("dir").c_str(), Path("dircopy").c_str(), false));
  EXPECT_EQ(win::kErrorAccessDenied, P().GetLastError());
  EXPECT_FALSE(machine_.Exists(Path("dircopy")));

  // The source is open for reading while the target is written.
  EXPECT_FALSE(P().CopyFileA(Path("a.txt").c_str(), Path("A.txt").c_str(), false));
  EXPECT_EQ(win::kErrorSharingViolation, P().GetLastError());
  EXPECT_EQ("a", machine_.ReadFile(Path("a.txt")));
}

TEST_F(FilesTest, CopyFileKeepsReadOnlyAttribute) {
  machine_.WriteFile(Path("ro.txt"), "ro");
  ASSERT_TRUE(P().SetFileAttributesA(Path("ro.txt").c_str(), win::kFileAttributeReadOnly));
  ASSERT_TRUE(P().CopyFileA(Path("ro.txt").c_str(), Path("copy.txt").c_str(), true));
  EXPECT_EQ(win::kFileAttributeReadOnly,
            P().GetFileAttributesA(Path("copy.txt").c_str()) & win::kFileAttributeReadOnly);
  EXPECT_EQ("ro", machine_.ReadFile(Path("copy.txt")));
  // Leave the scratch directory removable.
  P().SetFileAttributesA(Path("ro.txt").c_str(), win::kFileAttributeNormal);
  P().SetFileAttributesA(Path("copy.txt").c_str(), win::kFileAttributeNormal);
}

TEST_F(FilesTest, DeleteFile) {
  machine_.WriteFile(Path("Gone.txt"), "x");
  EXPECT_TRUE(P().DeleteFileA(Path("gone.TXT").c_str()));
  EXPECT_FALSE(machine_.Exists(Path("Gone.txt")));

  EXPECT_FALSE(P().DeleteFileA(Path("gone.txt").c_str()));
  EXPECT_EQ(win::kErrorFileNotFound, P().GetLastError());

  EXPECT_FALSE(P().DeleteFileA(Path("nodir\\gone.txt").c_str()));
  EXPECT_EQ(win::kErrorPathNotFound, P().GetLastError());

  machine_.MakeDir(Path("dir"));
  EXPECT_FALSE(P().DeleteFileA(Path("dir").c_str()));
  EXPECT_EQ(win::kErrorAccessDenied, P().GetLastError());

  machine_.WriteFile(Path("ro.txt"), "x");
  ASSERT_TRUE(P().SetFileAttributesA(Path("ro.txt").c_str(), win::kFileAttributeReadOnly));
  EXPECT_FALSE(P().DeleteFileA(Path("ro.txt").c_str()));
  EXPECT_EQ(win::kErrorAccessDenied, P().GetLastError());
  EXPECT_TRUE(machine_.Exists(Path("ro.txt")));
  ASSERT_TRUE(P().SetFileAttributesA(Path("ro.txt").c_str(), win::kFileAttributeNormal));
  EXPECT_TRUE(P().DeleteFileA(Path("ro.txt").c_str()));
}

TEST_F(FilesTest, FileAttributes) {
  machine_.WriteFile(Path("f.txt"), "x");
  machine_.MakeDir(Path("d"));
  const win::DWORD file = P().GetFileAttributesA(Path("F.TXT").c_str());
  ASSERT_NE(win::kInvalidFileAttributes, file);
  EXPECT_EQ(0u, file & (win::kFileAttributeDirectory | win::kFileAttributeReadOnly));
  EXPECT_EQ(win::kFileAttributeDirectory,
            P().GetFileAttributesA(Path("D").c_str()) & win::kFileAttributeDirectory);
  EXPECT_EQ(win::kFileAttributeDirectory,
            P().GetFileAttributesA(Path("d\\").c_str()) & win::kFileAttributeDirectory);

  EXPECT_EQ(win::kInvalidFileAttributes, P().GetFileAttributesA(Path("none.txt").c_str()));
  EXPECT_EQ(win::kErrorFileNotFound, P().GetLastError());
  EXPECT_EQ(win::kInvalidFileAttributes, P().GetFileAttributesA(Path("no\\none.txt").c_str()));
  EXPECT_EQ(win::kErrorPathNotFound, P().GetLastError());

  EXPECT_FALSE(P().SetFileAttributesA(Path("none.txt").c_str(), win::kFileAttributeNormal));
  EXPECT_EQ(win::kErrorFileNotFound, P().GetLastError());
}

TEST_F(FilesTest, WriteFileCreatesTruncatesAndFails) {
  machine_.WriteFile(Path("out.txt"), "long first content");
  machine_.WriteFile(Path("OUT.TXT"), "short");
  EXPECT_EQ("short", machine_.ReadFile(Path("out.txt")));
  EXPECT_EQ(Names{"out.txt"}, Find(Path("out.*")));

  EXPECT_EQ(nullptr, P().CreateWriteFile(Path("nodir\\out.txt").c_str()));
  EXPECT_EQ(win::kErrorPathNotFound, P().GetLastError());
  machine_.MakeDir(Path("dir"));
  EXPECT_EQ(nullptr, P().CreateWriteFile(Path("dir").c_str()));
  EXPECT_EQ(win::kErrorAccessDenied, P().GetLastError());

  std::string data;
  EXPECT_FALSE(P().ReadWholeFile(Path("none.txt").c_str(), data));
  EXPECT_EQ(win::kErrorFileNotFound, P().GetLastError());
  EXPECT_FALSE(P().ReadWholeFile(Path("nodir\\none.txt").c_str(), data));
  EXPECT_EQ(win::kErrorPathNotFound, P().GetLastError());
  EXPECT_FALSE(P().ReadWholeFile(Path("dir").c_str(), data));
  EXPECT_EQ(win::kErrorAccessDenied, P().GetLastError());
}

TEST_F(FilesTest, AppendWritesOnAtTheEndAndTruncateCutsBack) {
  machine_.WriteFile(Path("journal.txt"), "line 1\r\n");
  {
    auto file = P().OpenAppendFile(Path("JOURNAL.TXT").c_str());
    ASSERT_NE(nullptr, file);
    ASSERT_TRUE(file->Write("line 2\r\nhalf", 12));
    ASSERT_TRUE(file->Truncate(16));  // back to the end of the last whole line
    ASSERT_TRUE(file->Write("line 3\r\n", 8));
    ASSERT_TRUE(file->Close());
  }
  EXPECT_EQ("line 1\r\nline 2\r\nline 3\r\n", machine_.ReadFile(Path("journal.txt")));
  {
    auto file = P().OpenAppendFile(Path("new.txt").c_str());
    ASSERT_NE(nullptr, file);
    ASSERT_TRUE(file->Write("x", 1));
  }  // closed by its destructor
  EXPECT_EQ("x", machine_.ReadFile(Path("new.txt")));
  EXPECT_EQ(nullptr, P().OpenAppendFile(Path("nodir\\out.txt").c_str()));
  EXPECT_EQ(win::kErrorPathNotFound, P().GetLastError());
}

// Flushing takes files and directories by name; a file open for writing flushes through its
// handle (restore.bat is open unshared, so its name cannot be opened meanwhile). A missing
// name fails as opening it would.
TEST_F(FilesTest, FlushWritesFilesAndDirectoriesThrough) {
  machine_.MakeDir(Path("dir"));
  machine_.WriteFile(Path("dir\\copy.txt"), "copied");
  auto journal = P().OpenAppendFile(Path("journal.txt").c_str());
  ASSERT_NE(nullptr, journal);
  ASSERT_TRUE(journal->Write("line\r\n", 6));
  EXPECT_TRUE(journal->Flush());
  EXPECT_TRUE(P().FlushFiles({Path("DIR\\COPY.TXT"), Path("dir")}));
  EXPECT_TRUE(P().FlushFiles({}));
  ASSERT_TRUE(journal->Close());
  EXPECT_EQ("line\r\n", machine_.ReadFile(Path("journal.txt")));

  EXPECT_FALSE(P().FlushFiles({Path("dir\\copy.txt"), Path("dir\\gone.txt")}));
  EXPECT_EQ(win::kErrorFileNotFound, P().GetLastError());
  EXPECT_FALSE(P().FlushFiles({Path("nodir\\x.txt")}));
  EXPECT_EQ(win::kErrorPathNotFound, P().GetLastError());
}

TEST_F(FilesTest, MoveFileRenamesAndReplacesOnlyWhenAsked) {
  machine_.WriteFile(Path("new.tmp"), "new");
  machine_.WriteFile(Path("Target.txt"), "old");
  EXPECT_FALSE(P().MoveFileExA(Path("new.tmp").c_str(), Path("target.TXT").c_str(), false));
  EXPECT_EQ(win::kErrorAlreadyExists, P().GetLastError());
  EXPECT_EQ("old", machine_.ReadFile(Path("target.txt")));
  ASSERT_TRUE(P().MoveFileExA(Path("NEW.tmp").c_str(), Path("target.txt").c_str(), true));
  EXPECT_EQ("new", machine_.ReadFile(Path("target.txt")));
  EXPECT_FALSE(machine_.Exists(Path("new.tmp")));

  ASSERT_TRUE(P().MoveFileExA(Path("target.txt").c_str(), Path("Free.txt").c_str(), false));
  EXPECT_EQ(Names{"Free.txt"}, Find(Path("*.txt")));
  EXPECT_FALSE(P().MoveFileExA(Path("gone.txt").c_str(), Path("x.txt").c_str(), true));
  EXPECT_EQ(win::kErrorFileNotFound, P().GetLastError());
  EXPECT_FALSE(P().MoveFileExA(Path("Free.txt").c_str(), Path("nodir\\x.txt").c_str(), true));
  EXPECT_EQ(win::kErrorPathNotFound, P().GetLastError());
}

// A rename asked to replace a read-only file replaces it, as Wine does; without replacing it
// fails as for any other file. (The migration clears the attribute of its own copy first.)
TEST_F(FilesTest, MoveFileReplacesAReadOnlyTargetOnlyWhenAsked) {
  machine_.WriteFile(Path("new.tmp"), "new");
  machine_.WriteFile(Path("ro.txt"), "old");
  ASSERT_TRUE(P().SetFileAttributesA(Path("ro.txt").c_str(), win::kFileAttributeReadOnly));
  EXPECT_FALSE(P().MoveFileExA(Path("new.tmp").c_str(), Path("ro.txt").c_str(), false));
  EXPECT_EQ(win::kErrorAlreadyExists, P().GetLastError());
  EXPECT_EQ("old", machine_.ReadFile(Path("ro.txt")));
  EXPECT_TRUE(P().MoveFileExA(Path("new.tmp").c_str(), Path("ro.txt").c_str(), true));
  EXPECT_EQ("new", machine_.ReadFile(Path("ro.txt")));
  EXPECT_FALSE(machine_.Exists(Path("new.tmp")));
  EXPECT_EQ(0U, P().GetFileAttributesA(Path("ro.txt").c_str()) & win::kFileAttributeReadOnly);
}

TEST_F(FilesTest, InvalidNamesAndTrailingSeparators) {
  for (const char* name : {"a?b.txt", "a*b.txt", "a|b", "a<b", "a>b", "a\"b"}) {
    EXPECT_EQ(nullptr, P().CreateWriteFile(Path(name).c_str())) << name;
    EXPECT_EQ(win::kErrorInvalidName, P().GetLastError()) << name;
    EXPECT_FALSE(P().CreateDirectoryA(Path(name).c_str())) << name;
    EXPECT_EQ(win::kErrorInvalidName, P().GetLastError()) << name;
  }
  machine_.WriteFile(Path("f.txt"), "x");
  EXPECT_EQ(win::kInvalidFileAttributes, P().GetFileAttributesA(Path("f.txt\\").c_str()));
  EXPECT_EQ(win::kErrorPathNotFound, P().GetLastError());
  EXPECT_EQ(win::kInvalidFileAttributes, P().GetFileAttributesA(Path("f.txt\\x").c_str()));
  EXPECT_EQ(win::kErrorPathNotFound, P().GetLastError());
  EXPECT_FALSE(P().CreateDirectoryA(Path("f.txt\\d").c_str()));
  EXPECT_EQ(win::kErrorPathNotFound, P().GetLastError());
  EXPECT_FALSE(P().DeleteFileA(Path("f.txt\\").c_str()));
  EXPECT_EQ(win::kErrorInvalidName, P().GetLastError());
  EXPECT_EQ(nullptr, P().CreateWriteFile(Path("f.txt\\").c_str()));
  EXPECT_EQ(win::kErrorInvalidName, P().GetLastError());
  EXPECT_EQ(nullptr, P().CreateWriteFile(Path("new\\").c_str()));
  EXPECT_EQ(win::kErrorInvalidName, P().GetLastError());
  // Trailing dots and spaces are not part of a name.
  EXPECT_NE(win::kInvalidFileAttributes, P().GetFileAttributesA(Path("f.txt. ").c_str()));
}

class FindTest : public FilesTest {
 protected:
  void SetUp() override {
    for (const char* name : {"Zeta.txt", "alpha.ini", "CFone.INI", "cftwo.ini", "b1.ini"}) {
      machine_.WriteFile(Path(name), name);
    }
    machine_.MakeDir(Path("Sub"));
  }
};

TEST_F(FindTest, WildcardsMatchWithoutRegardToCase) {
  EXPECT_EQ((Names{"CFone.INI", "cftwo.ini"}), Sorted(Find(Path("cf*.ini"))));
  EXPECT_EQ((Names{"CFone.INI", "cftwo.ini"}), Sorted(Find(Path("CF*.INI"))));
  EXPECT_EQ(Names{"b1.ini"}, Find(Path("b?.ini")));
  EXPECT_EQ(Names{"b1.ini"}, Find(Path("?1.INI")));
  EXPECT_EQ((Names{"CFone.INI", "alpha.ini", "b1.ini", "cftwo.ini"}), Sorted(Find(Path("*.ini"))));
}

TEST_F(FindTest, StarFindsEverythingWithDotEntries) {
  const Names all{".", "..", "CFone.INI", "Sub", "Zeta.txt", "alpha.ini", "b1.ini", "cftwo.ini"};
  EXPECT_EQ(all, Sorted(Find(Path("*"))));
  EXPECT_EQ(all, Sorted(Find(Path("*.*"))));
  EXPECT_EQ((Names{".", ".."}), Sorted(Find(Path("sub\\*"))));
}

TEST_F(FindTest, DirectoryPathFindsTheDirectoryItself) {
  win::FindData data;
  CFindHandle find(P());
  ASSERT_TRUE(find.First(Path("SUB"), data));
  EXPECT_EQ("Sub", data.name);
  EXPECT_NE(0u, data.attributes & win::kFileAttributeDirectory);
  EXPECT_FALSE(find.Next(data));

  // A file found by its name reports the name as stored, and its size.
  ASSERT_TRUE(find.First(Path("zeta.TXT"), data));
  EXPECT_EQ("Zeta.txt", data.name);
  EXPECT_EQ(8u, data.size);
  EXPECT_EQ(0u, data.attributes & win::kFileAttributeDirectory);
}

TEST_F(FindTest, FindsNothing) {
  win::DWORD error = 0;
  EXPECT_TRUE(Find(Path("sub\\"), &error).empty());
  EXPECT_EQ(win::kErrorFileNotFound, error);
  EXPECT_TRUE(Find(Path("zeta.txt\\"), &error).empty());
  EXPECT_EQ(win::kErrorFileNotFound, error);
  EXPECT_TRUE(Find(Path("nomatch*"), &error).empty());
  EXPECT_EQ(win::kErrorFileNotFound, error);
  EXPECT_TRUE(Find(Path("b1?.ini"), &error).empty());
  EXPECT_EQ(win::kErrorFileNotFound, error);
  EXPECT_TRUE(Find(Path("missing.txt"), &error).empty());
  EXPECT_EQ(win::kErrorFileNotFound, error);
  EXPECT_TRUE(Find(Path("nodir\\*"), &error).empty());
  EXPECT_EQ(win::kErrorPathNotFound, error);
}

}  // namespace
