// The registry functions of the emulation: paths, handles, enumeration order and buffers.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/emulated/registry.h"

namespace {

using win::DWORD;
using win::HKEY;
using win::kHkeyLocalMachine;

std::vector<std::string> SubKeys(CEmulatedRegistry& registry, HKEY key) {
  std::vector<std::string> names;
  for (DWORD index = 0;; ++index) {
    char name[300];
    DWORD length = sizeof(name);
    const win::LONG result = registry.EnumKey(key, index, name, &length);
    if (result == static_cast<win::LONG>(win::kErrorNoMoreItems)) {
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

TEST(RegistryKeysTest, CreateMakesEveryLevelAndOpenFindsThem) {
  CEmulatedRegistry registry;
  HKEY key = 0;
  ASSERT_EQ(registry.CreateKey(kHkeyLocalMachine, "SOFTWARE\\Quillon\\Vela", &key), 0);
  EXPECT_NE(key, 0u);
  EXPECT_NE(key, kHkeyLocalMachine);
  HKEY opened = 0;
  EXPECT_EQ(registry.OpenKey(kHkeyLocalMachine, "SOFTWARE", &opened), 0);
  EXPECT_EQ(SubKeys(registry, opened), std::vector<std::string>{"Quillon"});
  EXPECT_EQ(registry.CloseKey(opened), 0);
  EXPECT_EQ(registry.OpenKey(kHkeyLocalMachine, "SOFTWARE\\Quillon\\Vela", &opened), 0);
  EXPECT_NE(opened, key);  // every open is a handle of its own
  EXPECT_EQ(registry.CloseKey(opened), 0);
  EXPECT_EQ(registry.CloseKey(key), 0);
}

TEST(RegistryKeysTest, OpenOfMissingKeyFailsWithFileNotFound) {
  CEmulatedRegistry registry;
  HKEY key = 0;
  EXPECT_EQ(registry.OpenKey(kHkeyLocalMachine, "SOFTWARE\\Missing", &key), 2);
  ASSERT_EQ(registry.CreateKey(kHkeyLocalMachine, "SOFTWARE", &key), 0);
  HKEY other = 0;
  EXPECT_EQ(registry.OpenKey(key, "Missing\\Deeper", &other), 2);
  // A failed open creates nothing.
  DWORD count = 99;
  EXPECT_EQ(registry.QueryInfoKey(key, &count, nullptr), 0);
  EXPECT_EQ(count, 0u);
}

TEST(RegistryKeysTest, PathRules) {
  CEmulatedRegistry registry;
  HKEY key = 0;
  HKEY other = 0;
  // A leading backslash is a bad path name.
  EXPECT_EQ(registry.CreateKey(kHkeyLocalMachine, "\\SOFTWARE", &key), 161);
  EXPECT_EQ(registry.OpenKey(kHkeyLocalMachine, "\\SOFTWARE", &key), 161);
  // A trailing backslash and doubled backslashes name the same key.
  ASSERT_EQ(registry.CreateKey(kHkeyLocalMachine, "A\\", &key), 0);
  EXPECT_EQ(registry.CreateKey(kHkeyLocalMachine, "A\\\\B", &other), 0);
  EXPECT_EQ(SubKeys(registry, key), std::vector<std::string>{"B"});
  EXPECT_EQ(SubKeys(registry, kHkeyLocalMachine), std::vector<std::string>{"A"});
  // An empty or null path opens the same key again under a new handle.
  HKEY same = 0;
  EXPECT_EQ(registry.OpenKey(key, "", &same), 0);
  EXPECT_NE(same, key);
  EXPECT_EQ(SubKeys(registry, same), std::vector<std::string>{"B"});
  EXPECT_EQ(registry.CreateKey(key, nullptr, &same), 0);
  EXPECT_EQ(SubKeys(registry, same), std::vector<std::string>{"B"});
  // Names up to 255 characters; longer ones are refused.
  EXPECT_EQ(registry.CreateKey(key, std::string(255, 'n').c_str(), &other), 0);
  EXPECT_EQ(registry.CreateKey(key, std::string(256, 'n').c_str(), &other), 87);
  DWORD count = 0;
  DWORD longest = 0;
  EXPECT_EQ(registry.QueryInfoKey(key, &count, &longest), 0);
  EXPECT_EQ(count, 2u);
  EXPECT_EQ(longest, 255u);
}

TEST(RegistryKeysTest, NestingIsLimitedTo512Levels) {
  CEmulatedRegistry registry;
  std::string path = "k";
  for (int i = 1; i < 512; ++i) {
    path += "\\k";
  }
  HKEY key = 0;
  ASSERT_EQ(registry.CreateKey(kHkeyLocalMachine, path.c_str(), &key), 0);
  HKEY deeper = 0;
  EXPECT_EQ(registry.CreateKey(key, "k", &deeper), 87);
  // The deepest tree still saves and loads.
  std::string error;
  CEmulatedRegistry copy;
  EXPECT_TRUE(copy.Load(registry.Save(), error)) << error;
  EXPECT_EQ(copy.Save(), registry.Save());
}

TEST(RegistryKeysTest, HandlesAreCheckedAndClosedOnce) {
  CEmulatedRegistry registry;
  HKEY key = 0;
  EXPECT_EQ(registry.CloseKey(0x1234), 6);
  EXPECT_EQ(registry.CreateKey(0x1234, "A", &key), 6);
  EXPECT_EQ(registry.OpenKey(0, "A", &key), 6);
  DWORD count = 0;
  EXPECT_EQ(registry.QueryInfoKey(0x1234, &count, nullptr), 6);
  ASSERT_EQ(registry.CreateKey(kHkeyLocalMachine, "A", &key), 0);
  EXPECT_EQ(registry.CloseKey(key), 0);
  EXPECT_EQ(registry.CloseKey(key), 6);
  EXPECT_EQ(registry.SetValue(key, "v", win::kRegSz, nullptr, 0), 6);
  // Closing the predefined root is harmless.
  EXPECT_EQ(registry.CloseKey(kHkeyLocalMachine), 0);
}

TEST(RegistryKeysTest, NamesMatchWithoutCaseAndKeepTheirCase) {
  CEmulatedRegistry registry;
  HKEY key = 0;
  HKEY other = 0;
  ASSERT_EQ(registry.CreateKey(kHkeyLocalMachine, "Software\\Caf\xe9", &key), 0);
  EXPECT_EQ(registry.OpenKey(kHkeyLocalMachine, "SOFTWARE\\CAF\xc9", &other), 0);
  EXPECT_EQ(registry.CreateKey(kHkeyLocalMachine, "software\\caf\xe9\\Sub", &other), 0);
  EXPECT_EQ(SubKeys(registry, kHkeyLocalMachine), std::vector<std::string>{"Software"});
  HKEY software = 0;
  ASSERT_EQ(registry.OpenKey(kHkeyLocalMachine, "SOFTWARE", &software), 0);
  EXPECT_EQ(SubKeys(registry, software), std::vector<std::string>{"Caf\xe9"});
  // ß has no upper case of its own and ÷/× are no letters: they match only themselves.
  ASSERT_EQ(registry.CreateKey(software,
                               "Stra\xdf"
                               "e",
                               &other),
            0);
  EXPECT_EQ(registry.OpenKey(software, "STRASSE", &other), 2);
  ASSERT_EQ(registry.CreateKey(software, "\xf7", &other), 0);
  EXPECT_EQ(registry.OpenKey(software, "\xd7", &other), 2);
  // š œ ž ÿ fold to Š Œ Ž Ÿ.
  ASSERT_EQ(registry.CreateKey(software, "\x9a\x9c\x9e\xff", &other), 0);
  EXPECT_EQ(registry.OpenKey(software, "\x8a\x8c\x8e\x9f", &other), 0);
}

TEST(RegistryKeysTest, SubkeysEnumerateByUpperCasedName) {
  CEmulatedRegistry registry;
  HKEY key = 0;
  ASSERT_EQ(registry.CreateKey(kHkeyLocalMachine, "Order", &key), 0);
  HKEY child = 0;
  for (const char* name : {"b", "A", "_x", "C", "a1", "\xe9t\xe9", "Z"}) {
    ASSERT_EQ(registry.CreateKey(key, name, &child), 0) << name;
  }
  // '_' (0x5F) sorts after the letters once they are upper-cased; É (0xC9) after all ASCII.
  EXPECT_EQ(SubKeys(registry, key),
            (std::vector<std::string>{"A", "a1", "b", "C", "Z", "_x", "\xe9t\xe9"}));
}

TEST(RegistryKeysTest, EnumKeyBufferRules) {
  CEmulatedRegistry registry;
  HKEY key = 0;
  HKEY child = 0;
  ASSERT_EQ(registry.CreateKey(kHkeyLocalMachine, "E", &key), 0);
  ASSERT_EQ(registry.CreateKey(key, "Four", &child), 0);
  char name[8] = "#######";
  DWORD length = 4;  // no room for the NUL
  EXPECT_EQ(registry.EnumKey(key, 0, name, &length), 234);
  EXPECT_EQ(length, 4u);
  EXPECT_EQ(std::string(name), "#######");  // nothing copied
  length = 5;
  EXPECT_EQ(registry.EnumKey(key, 0, name, &length), 0);
  EXPECT_EQ(length, 4u);
  EXPECT_EQ(std::string(name), "Four");
  length = 8;
  EXPECT_EQ(registry.EnumKey(key, 1, name, &length), 259);
  EXPECT_EQ(registry.EnumKey(key, 0xFFFFFFFF, name, &length), 259);
  EXPECT_EQ(registry.EnumKey(key, 0, nullptr, &length), 87);
  EXPECT_EQ(registry.EnumKey(key, 0, name, nullptr), 87);
}

TEST(RegistryKeysTest, EnumerationFollowsChangesAndAnyIndexOrder) {
  CEmulatedRegistry registry;
  HKEY key = 0;
  HKEY child = 0;
  ASSERT_EQ(registry.CreateKey(kHkeyLocalMachine, "E", &key), 0);
  for (const char* name : {"b", "d", "f"}) {
    ASSERT_EQ(registry.CreateKey(key, name, &child), 0);
  }
  auto nameAt = [&](DWORD index) {
    char name[8] = {};
    DWORD length = sizeof(name);
    const win::LONG result = registry.EnumKey(key, index, name, &length);
    return result == 0 ? std::string(name) : "error " + std::to_string(result);
  };
  EXPECT_EQ(nameAt(0), "b");
  EXPECT_EQ(nameAt(1), "d");
  ASSERT_EQ(registry.CreateKey(key, "a", &child), 0);  // sorts before the names seen so far
  EXPECT_EQ(nameAt(1), "b");
  EXPECT_EQ(nameAt(3), "f");
  EXPECT_EQ(nameAt(2), "d");
  EXPECT_EQ(nameAt(0), "a");
  EXPECT_EQ(nameAt(4), "error 259");
  // Many siblings enumerate in order, one after the other.
  HKEY wide = 0;
  ASSERT_EQ(registry.CreateKey(kHkeyLocalMachine, "Wide", &wide), 0);
  for (int i = 0; i < 20000; ++i) {
    ASSERT_EQ(registry.CreateKey(wide, ("k" + std::to_string(100000 + i)).c_str(), &child), 0);
    ASSERT_EQ(registry.CloseKey(child), 0);
  }
  const std::vector<std::string> names = SubKeys(registry, wide);
  ASSERT_EQ(names.size(), 20000u);
  EXPECT_EQ(names.front(), "k100000");
  EXPECT_EQ(names.back(), "k119999");
}

TEST(RegistryValuesTest, QueryBufferRules) {
  CEmulatedRegistry registry;
  HKEY key = 0;
  ASSERT_EQ(registry.CreateKey(kHkeyLocalMachine, "V", &key), 0);
  ASSERT_EQ(registry.SetValue(key, "Text", win::kRegSz,
                              reinterpret_cast<const unsigned char*>("hello"), 6),
            0);
  DWORD type = 0;
  DWORD size = 0;
  // Type and size only.
  EXPECT_EQ(registry.QueryValue(key, "text", &type, nullptr, &size), 0);
  EXPECT_EQ(type, win::kRegSz);
  EXPECT_EQ(size, 6u);
  // Too small: the size needed, nothing copied.
  unsigned char data[16] = {'#', '#', '#'};
  size = 3;
  EXPECT_EQ(registry.QueryValue(key, "Text", &type, data, &size), 234);
  EXPECT_EQ(size, 6u);
  EXPECT_EQ(data[0], '#');
  size = sizeof(data);
  EXPECT_EQ(registry.QueryValue(key, "Text", &type, data, &size), 0);
  EXPECT_EQ(size, 6u);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(data), size), std::string("hello\0", 6));
  // Existence only; a data buffer needs a size.
  EXPECT_EQ(registry.QueryValue(key, "Text", nullptr, nullptr, nullptr), 0);
  EXPECT_EQ(registry.QueryValue(key, "Text", nullptr, data, nullptr), 87);
  EXPECT_EQ(registry.QueryValue(key, "Missing", &type, nullptr, &size), 2);
  EXPECT_EQ(registry.QueryValue(key, nullptr, &type, nullptr, &size), 2);
}

TEST(RegistryValuesTest, SetKeepsBytesAndFirstSpelling) {
  CEmulatedRegistry registry;
  HKEY key = 0;
  ASSERT_EQ(registry.CreateKey(kHkeyLocalMachine, "V", &key), 0);
  // A REG_SZ without its NUL keeps exactly its bytes.
  ASSERT_EQ(registry.SetValue(key, "NoNul", win::kRegSz,
                              reinterpret_cast<const unsigned char*>("abcX"), 3),
            0);
  unsigned char data[8] = {};
  DWORD size = sizeof(data);
  DWORD type = 0;
  ASSERT_EQ(registry.QueryValue(key, "NoNul", &type, data, &size), 0);
  EXPECT_EQ(size, 3u);
  EXPECT_EQ(data[3], 0);  // untouched: no NUL added
  // Replacing changes type and data, and keeps the name as first written.
  ASSERT_EQ(registry.SetValue(key, "NONUL", win::kRegDword,
                              reinterpret_cast<const unsigned char*>("\x2a\0\0\0"), 4),
            0);
  size = sizeof(data);
  ASSERT_EQ(registry.QueryValue(key, "nonul", &type, data, &size), 0);
  EXPECT_EQ(type, win::kRegDword);
  EXPECT_EQ(size, 4u);
  EXPECT_NE(registry.Save().find("\"NoNul\"=dword:0000002a"), std::string::npos);
  // The unnamed value: a null and an empty name are the same value.
  ASSERT_EQ(registry.SetValue(key, nullptr, win::kRegBinary, nullptr, 0), 0);
  size = sizeof(data);
  EXPECT_EQ(registry.QueryValue(key, "", &type, data, &size), 0);
  EXPECT_EQ(type, win::kRegBinary);
  EXPECT_EQ(size, 0u);
  EXPECT_EQ(registry.SetValue(key, "x", win::kRegBinary, nullptr, 4), 998);
}

// A key with many values (a queue's job list has one per job) finds them by an index of its
// own: every value is found without regard to case, replaced with data of another length (which
// moves the values after it), removed, and enumerated in the order of creation.
TEST(RegistryValuesTest, AKeyWithManyValuesFindsReplacesAndRemovesThem) {
  CEmulatedRegistry registry;
  HKEY key = 0;
  ASSERT_EQ(registry.CreateKey(kHkeyLocalMachine, "Jobs", &key), 0);
  const auto set = [&](const std::string& name, const std::string& data) {
    return registry.SetValue(key, name.c_str(), win::kRegSz,
                             reinterpret_cast<const unsigned char*>(data.c_str()),
                             static_cast<DWORD>(data.size() + 1));
  };
  const auto query = [&](const std::string& name) {
    char data[64] = {};
    DWORD size = sizeof(data);
    DWORD type = 0;
    if (registry.QueryValue(key, name.c_str(), &type, reinterpret_cast<unsigned char*>(data),
                            &size) != 0) {
      return std::string("<missing>");
    }
    return std::string(data, size > 0 ? size - 1 : 0);
  };
  std::vector<std::string> expected;
  for (int i = 0; i < 100; ++i) {
    ASSERT_EQ(set("Job" + std::to_string(i), "cf" + std::to_string(i)), 0);
    expected.push_back("cf" + std::to_string(i));
  }
  EXPECT_EQ(query("job0"), "cf0");
  EXPECT_EQ(query("JOB57"), "cf57");
  EXPECT_EQ(query("job100"), "<missing>");
  // Longer and shorter data in the middle, and a value added after that.
  ASSERT_EQ(set("JOB10", "a much longer control file name"), 0);
  ASSERT_EQ(set("job20", ""), 0);
  ASSERT_EQ(set("Job100", "cf100"), 0);
  expected[10] = "a much longer control file name";
  expected[20] = "";
  expected.push_back("cf100");
  for (int i = 0; i <= 100; ++i) {
    EXPECT_EQ(query("jOB" + std::to_string(i)), expected[static_cast<size_t>(i)]) << i;
  }
  // A value removed (as an import removes one): the others stay in order.
  std::string error;
  ASSERT_TRUE(
      registry.Import("REGEDIT4\r\n\r\n[HKEY_LOCAL_MACHINE\\Jobs]\r\n\"job30\"=-\r\n", error))
      << error;
  EXPECT_EQ(query("Job30"), "<missing>");
  EXPECT_EQ(query("Job31"), "cf31");
  std::vector<std::string> names;
  for (DWORD index = 0;; ++index) {
    char name[32];
    DWORD length = sizeof(name);
    char data[64];
    DWORD size = sizeof(data);
    DWORD type = 0;
    if (registry.EnumValue(key, index, name, &length, &type, reinterpret_cast<unsigned char*>(data),
                           &size) != 0) {
      break;
    }
    names.emplace_back(name, length);
  }
  ASSERT_EQ(names.size(), 100u);
  EXPECT_EQ(names[0], "Job0");
  EXPECT_EQ(names[29], "Job29");
  EXPECT_EQ(names[30], "Job31");
  EXPECT_EQ(names[99], "Job100");
  EXPECT_EQ(registry.CloseKey(key), 0);
}

}  // namespace
