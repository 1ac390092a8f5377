// Registry behaviour the program relies on, checked against the emulation and the real system.
#include <gtest/gtest.h>

#include <algorithm>
#include <iterator>
#include <string>
#include <vector>

#include "support/test_machine.h"

namespace {

using win::DWORD;
using win::HKEY;
using win::LONG;

constexpr LONG kMoreData = static_cast<LONG>(win::kErrorMoreData);
constexpr LONG kNoMoreItems = static_cast<LONG>(win::kErrorNoMoreItems);
constexpr LONG kFileNotFound = static_cast<LONG>(win::kErrorFileNotFound);

class RegistryConformanceTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_EQ(root_.Create(win::kHkeyLocalMachine, Root().c_str()), 0); }

  CPlatform& P() { return machine_.Platform(); }
  std::string Root() const { return machine_.RegRoot(); }
  HKEY RootKey() const { return root_.Get(); }

  std::vector<std::string> SubKeys(HKEY key) {
    std::vector<std::string> names;
    for (DWORD index = 0;; ++index) {
      char name[300];
      DWORD length = sizeof(name);
      const LONG result = P().RegEnumKeyExA(key, index, name, &length);
      if (result == kNoMoreItems) {
        break;
      }
      EXPECT_EQ(result, 0);
      if (result != 0) {
        break;
      }
      names.emplace_back(name, length);
    }
    return names;
  }

  LONG Set(HKEY key, const char* name, DWORD type, const std::string& bytes) {
    return P().RegSetValueExA(key, name, type, reinterpret_cast<const unsigned char*>(bytes.data()),
                              static_cast<DWORD>(bytes.size()));
  }

  CTestMachine machine_;
  CRegKey root_{machine_.Platform()};
};

TEST_F(RegistryConformanceTest, CreateMakesEveryLevel) {
  CRegKey deep(P());
  ASSERT_EQ(deep.Create(RootKey(), "One\\Two\\Three"), 0);
  EXPECT_NE(deep.Get(), 0u);
  CRegKey opened(P());
  EXPECT_EQ(opened.Open(win::kHkeyLocalMachine, (Root() + "\\One\\Two").c_str()), 0);
  EXPECT_EQ(SubKeys(opened.Get()), std::vector<std::string>{"Three"});
  // Creating an existing key opens it.
  CRegKey again(P());
  EXPECT_EQ(again.Create(RootKey(), "One\\Two"), 0);
  EXPECT_EQ(SubKeys(again.Get()), std::vector<std::string>{"Three"});
  EXPECT_EQ(SubKeys(RootKey()), std::vector<std::string>{"One"});
}

TEST_F(RegistryConformanceTest, OpenOfMissingKeyFails) {
  CRegKey key(P());
  EXPECT_EQ(key.Open(RootKey(), "Missing"), kFileNotFound);
  EXPECT_FALSE(key.IsOpen());
  EXPECT_EQ(key.Open(RootKey(), "Missing\\Deeper"), kFileNotFound);
  EXPECT_TRUE(SubKeys(RootKey()).empty());
  // A leading backslash is a bad path name for an open.
  ASSERT_EQ(key.Create(RootKey(), "Here"), 0);
  EXPECT_EQ(key.Open(RootKey(), "\\Here"), static_cast<LONG>(win::kErrorBadPathname));
}

TEST_F(RegistryConformanceTest, PathForms) {
  CRegKey key(P());
  ASSERT_EQ(key.Create(RootKey(), "Trailing\\"), 0);
  EXPECT_EQ(SubKeys(RootKey()), std::vector<std::string>{"Trailing"});
  CRegKey same(P());
  EXPECT_EQ(same.Open(RootKey(), "Trailing\\"), 0);
  // An empty or null subkey opens the same key again.
  CRegKey child(P());
  ASSERT_EQ(child.Create(same.Get(), "Child"), 0);
  CRegKey empty(P());
  ASSERT_EQ(empty.Open(key.Get(), ""), 0);
  EXPECT_EQ(SubKeys(empty.Get()), std::vector<std::string>{"Child"});
  ASSERT_EQ(empty.Open(key.Get(), nullptr), 0);
  EXPECT_EQ(SubKeys(empty.Get()), std::vector<std::string>{"Child"});
}

TEST_F(RegistryConformanceTest, NamesMatchWithoutCaseAndKeepTheirCase) {
  CRegKey key(P());
  ASSERT_EQ(key.Create(RootKey(), "MixedCase\\Inner"), 0);
  CRegKey other(P());
  EXPECT_EQ(other.Open(RootKey(), "MIXEDCASE\\inner"), 0);
  EXPECT_EQ(other.Create(RootKey(), "mixedcase\\INNER\\Third"), 0);
  EXPECT_EQ(SubKeys(RootKey()), std::vector<std::string>{"MixedCase"});
  CRegKey mixed(P());
  ASSERT_EQ(mixed.Open(RootKey(), "mixedCASE"), 0);
  EXPECT_EQ(SubKeys(mixed.Get()), std::vector<std::string>{"Inner"});
  // Latin-1 letters of the ANSI code page match their upper case too.
  ASSERT_EQ(key.Create(RootKey(), "Caf\xe9"), 0);
  EXPECT_EQ(other.Open(RootKey(), "CAF\xc9"), 0);
}

TEST_F(RegistryConformanceTest, SubkeysEnumerateWithoutRegardToCase) {
  for (const char* name : {"delta", "Bravo", "alpha", "Charlie", "b2", "ECHO"}) {
    CRegKey child(P());
    ASSERT_EQ(child.Create(RootKey(), name), 0) << name;
  }
  EXPECT_EQ(SubKeys(RootKey()),
            (std::vector<std::string>{"alpha", "b2", "Bravo", "Charlie", "delta", "ECHO"}));
}

TEST_F(RegistryConformanceTest, EnumKeyBuffer) {
  CRegKey child(P());
  ASSERT_EQ(child.Create(RootKey(), "Seven77"), 0);
  char name[16];
  std::fill(std::begin(name), std::end(name), '#');
  DWORD length = 7;  // the name fits, its NUL does not
  EXPECT_EQ(P().RegEnumKeyExA(RootKey(), 0, name, &length), kMoreData);
  EXPECT_EQ(name[0], '#');
  length = 8;
  ASSERT_EQ(P().RegEnumKeyExA(RootKey(), 0, name, &length), 0);
  EXPECT_EQ(length, 7u);
  EXPECT_EQ(std::string(name), "Seven77");
  length = sizeof(name);
  EXPECT_EQ(P().RegEnumKeyExA(RootKey(), 1, name, &length), kNoMoreItems);
  length = sizeof(name);
  EXPECT_EQ(P().RegEnumKeyExA(RootKey(), 100, name, &length), kNoMoreItems);
}

TEST_F(RegistryConformanceTest, QueryInfoKeyCountsSubkeysAndLongestName) {
  DWORD count = 99;
  DWORD longest = 99;
  ASSERT_EQ(P().RegQueryInfoKeyA(RootKey(), &count, &longest), 0);
  EXPECT_EQ(count, 0u);
  EXPECT_EQ(longest, 0u);
  for (const char* name : {"a", "Longest name", "mid", "Longest name\\grandchild is not counted"}) {
    CRegKey child(P());
    ASSERT_EQ(child.Create(RootKey(), name), 0);
  }
  ASSERT_EQ(P().RegQueryInfoKeyA(RootKey(), &count, &longest), 0);
  EXPECT_EQ(count, 3u);
  EXPECT_EQ(longest, 12u);
  // Either output may be left out.
  EXPECT_EQ(P().RegQueryInfoKeyA(RootKey(), nullptr, &longest), 0);
  EXPECT_EQ(P().RegQueryInfoKeyA(RootKey(), &count, nullptr), 0);
}

TEST_F(RegistryConformanceTest, QueryValueBuffer) {
  ASSERT_EQ(Set(RootKey(), "Text", win::kRegSz, std::string("hello\0", 6)), 0);
  DWORD type = 0;
  DWORD size = 0;
  // No buffer: type and size only.
  ASSERT_EQ(P().RegQueryValueExA(RootKey(), "TEXT", &type, nullptr, &size), 0);
  EXPECT_EQ(type, win::kRegSz);
  EXPECT_EQ(size, 6u);
  // Too small: the size needed.
  unsigned char data[16];
  size = 2;
  EXPECT_EQ(P().RegQueryValueExA(RootKey(), "Text", &type, data, &size), kMoreData);
  EXPECT_EQ(size, 6u);
  size = sizeof(data);
  ASSERT_EQ(P().RegQueryValueExA(RootKey(), "text", &type, data, &size), 0);
  EXPECT_EQ(size, 6u);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(data), size), std::string("hello\0", 6));
  EXPECT_EQ(P().RegQueryValueExA(RootKey(), "Missing", &type, nullptr, &size), kFileNotFound);
  // The unnamed value exists only once set.
  EXPECT_EQ(P().RegQueryValueExA(RootKey(), nullptr, &type, nullptr, &size), kFileNotFound);
  ASSERT_EQ(Set(RootKey(), "", win::kRegDword, std::string("\x07\0\0\0", 4)), 0);
  size = sizeof(data);
  ASSERT_EQ(P().RegQueryValueExA(RootKey(), nullptr, &type, data, &size), 0);
  EXPECT_EQ(type, win::kRegDword);
  EXPECT_EQ(size, 4u);
  EXPECT_EQ(data[0], 7);
}

TEST_F(RegistryConformanceTest, AStringCountedWithoutItsNulTakesTheNulThatFollows) {
  // The size stored for each write: a string type takes one byte more when its last counted
  // byte is no NUL and the byte after the counted data is one; nothing else does.
  struct Case {
    const char* name;
    DWORD type;
    const char* bytes;  // with at least one byte after the counted ones
    DWORD count;
    DWORD stored;
  };
  const Case cases[] = {
      {"sz", win::kRegSz, "abc\0", 3, 4},
      {"sz counted", win::kRegSz, "abc\0", 4, 4},
      {"sz next not nul", win::kRegSz, "abcX", 3, 3},
      {"sz ends in nul", win::kRegSz, "ab\0\0", 3, 3},
      {"sz empty", win::kRegSz, "\0", 0, 0},
      {"expand", win::kRegExpandSz, "%a%\0", 3, 4},
      {"multi", win::kRegMultiSz, "a\0b\0", 3, 4},
      {"binary", win::kRegBinary, "abc\0", 3, 3},
      {"none", win::kRegNone, "abc\0", 3, 3},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ASSERT_EQ(P().RegSetValueExA(RootKey(), c.name, c.type,
                                 reinterpret_cast<const unsigned char*>(c.bytes), c.count),
              0);
    unsigned char data[16];
    std::fill(std::begin(data), std::end(data), '#');
    DWORD type = 0;
    DWORD size = sizeof(data);
    ASSERT_EQ(P().RegQueryValueExA(RootKey(), c.name, &type, data, &size), 0);
    EXPECT_EQ(type, c.type);
    EXPECT_EQ(size, c.stored);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(data), size), std::string(c.bytes, c.stored));
  }
}

TEST_F(RegistryConformanceTest, ValuesKeepTheirBytes) {
  unsigned char data[16];
  DWORD type = 0;
  DWORD size = sizeof(data);
  const std::string binary("\0\x01\xff\x80\0", 5);
  ASSERT_EQ(Set(RootKey(), "Binary", win::kRegBinary, binary), 0);
  ASSERT_EQ(Set(RootKey(), "Empty", win::kRegBinary, ""), 0);
  size = sizeof(data);
  ASSERT_EQ(P().RegQueryValueExA(RootKey(), "Binary", &type, data, &size), 0);
  EXPECT_EQ(type, win::kRegBinary);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(data), size), binary);
  size = sizeof(data);
  ASSERT_EQ(P().RegQueryValueExA(RootKey(), "Empty", &type, data, &size), 0);
  EXPECT_EQ(size, 0u);

  // Setting again under another case replaces the value, type included.
  ASSERT_EQ(Set(RootKey(), "BINARY", win::kRegDword, std::string("\x01\x02\x03\x04", 4)), 0);
  size = sizeof(data);
  ASSERT_EQ(P().RegQueryValueExA(RootKey(), "binary", &type, data, &size), 0);
  EXPECT_EQ(type, win::kRegDword);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(data), size), "\x01\x02\x03\x04");
}

TEST_F(RegistryConformanceTest, EnumValueListsEveryValueWithItsTypeAndBytes) {
  ASSERT_EQ(Set(RootKey(), "Text", win::kRegSz, std::string("abc\0", 4)), 0);
  ASSERT_EQ(Set(RootKey(), "", win::kRegDword, std::string("\x07\0\0\0", 4)), 0);
  ASSERT_EQ(Set(RootKey(), "LongerName", win::kRegBinary, std::string("\0\xff", 2)), 0);
  std::vector<std::string> seen;
  for (DWORD index = 0;; ++index) {
    char name[32];
    DWORD nameLength = sizeof(name);
    DWORD type = 0;
    unsigned char data[16];
    DWORD size = sizeof(data);
    const LONG result = P().RegEnumValueA(RootKey(), index, name, &nameLength, &type, data, &size);
    if (result == kNoMoreItems) {
      break;
    }
    ASSERT_EQ(result, 0);
    seen.push_back(std::string(name, nameLength) + "=" + std::to_string(type) + ":" +
                   std::string(reinterpret_cast<char*>(data), size));
  }
  std::sort(seen.begin(), seen.end());  // Windows and Wine keep values in different orders
  EXPECT_EQ(seen, (std::vector<std::string>{std::string("=4:\x07\0\0\0", 7),
                                            std::string("LongerName=3:\0\xff", 15),
                                            std::string("Text=1:abc\0", 11)}));
  // A name buffer without room for the NUL, and a query for the size alone.
  for (DWORD index = 0; index < 3; ++index) {
    char name[32];
    DWORD nameLength = sizeof(name);
    DWORD size = 0;
    ASSERT_EQ(P().RegEnumValueA(RootKey(), index, name, &nameLength, nullptr, nullptr, &size), 0);
    if (std::string(name, nameLength) == "LongerName") {
      EXPECT_EQ(size, 2u);
      nameLength = 10;
      EXPECT_EQ(P().RegEnumValueA(RootKey(), index, name, &nameLength, nullptr, nullptr, &size),
                kMoreData);
    }
  }
}

TEST_F(RegistryConformanceTest, DeleteKeyRemovesOnlyAKeyWithoutSubkeys) {
  HKEY leaf = 0;
  ASSERT_EQ(P().RegCreateKeyExA(RootKey(), "Parent\\Leaf", &leaf), 0);
  ASSERT_EQ(Set(leaf, "v", win::kRegSz, std::string("x\0", 2)), 0);
  P().RegCloseKey(leaf);
  EXPECT_EQ(P().RegDeleteKeyA(RootKey(), "Parent"), static_cast<LONG>(win::kErrorAccessDenied));
  EXPECT_EQ(P().RegDeleteKeyA(RootKey(), "parent\\LEAF"), 0);
  EXPECT_EQ(SubKeys(RootKey()), std::vector<std::string>{"Parent"});
  EXPECT_EQ(P().RegDeleteKeyA(RootKey(), "Parent"), 0);
  EXPECT_TRUE(SubKeys(RootKey()).empty());
  EXPECT_EQ(P().RegDeleteKeyA(RootKey(), "Parent"), kFileNotFound);
}

TEST_F(RegistryConformanceTest, ClosedHandlesAreInvalid) {
  win::HKEY key = 0;
  ASSERT_EQ(P().RegCreateKeyExA(RootKey(), "Closing", &key), 0);
  ASSERT_EQ(Set(key, "v", win::kRegDword, std::string(4, '\1')), 0);
  EXPECT_EQ(P().RegFlushKey(key), 0);
  EXPECT_EQ(P().RegCloseKey(key), 0);
  EXPECT_EQ(P().RegCloseKey(key), static_cast<LONG>(win::kErrorInvalidHandle));
}

}  // namespace
