// CIni against a platform double that records each profile call and answers with prepared
// bytes, so the exact arguments and the walk over the returned list can be checked.
#include <gtest/gtest.h>

#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "platform/emulated/emulated_platform.h"
#include "profile/ini.h"

namespace {

struct ProfileCall {
  std::string section;
  bool nullKey = false;
  std::string key;
  std::string defaultValue;
  win::DWORD size = 0;
  std::string file;
};

// Answers GetPrivateProfileStringA from a table: the bytes to place in the buffer (cut to the
// buffer) and the count to return. Everything else is the emulated machine's.
class CRecordingPlatform : public CEmulatedPlatform {
 public:
  explicit CRecordingPlatform(CEmulatedMachineOptions options)
      : CEmulatedPlatform(std::move(options)) {}

  win::DWORD GetPrivateProfileStringA(const char* section, const char* key,
                                      const char* defaultValue, char* buffer, win::DWORD size,
                                      const char* fileName) override {
    ProfileCall call;
    call.section = section != nullptr ? section : "<null>";
    call.nullKey = key == nullptr;
    call.key = key != nullptr ? key : "";
    call.defaultValue = defaultValue != nullptr ? defaultValue : "<null>";
    call.size = size;
    call.file = fileName;
    calls.push_back(call);
    auto it = answers.find(call.section + "|" + (key != nullptr ? key : "<null>"));
    if (it == answers.end()) {
      buffer[0] = '\0';
      return 0;
    }
    const std::string& bytes = it->second.first;
    std::memcpy(buffer, bytes.data(), std::min<std::size_t>(bytes.size(), size));
    return it->second.second;
  }

  win::UINT GetPrivateProfileIntA(const char* section, const char* key, int defaultValue,
                                  const char* fileName) override {
    intCalls.push_back(std::string(section) + "|" + key + "|" + std::to_string(defaultValue) + "|" +
                       fileName);
    return intAnswer;
  }

  std::map<std::string, std::pair<std::string, win::DWORD>> answers;
  std::vector<ProfileCall> calls;
  std::vector<std::string> intCalls;
  win::UINT intAnswer = 0;
};

class IniUnitTest : public ::testing::Test {
 protected:
  static CEmulatedMachineOptions Options() {
    CEmulatedMachineOptions options;
    options.root = "/nonexistent-cvmachine";
    options.modulePath = "C:\\Vela\\CheckVela.exe";
    options.currentDirectory = "C:\\";
    return options;
  }
  CRecordingPlatform platform_{Options()};
  CIni ini_{platform_, "C:\\Vela\\vela.ini"};
};

TEST_F(IniUnitTest, GetStringAsksWithEmptyDefaultAndFullBuffer) {
  platform_.answers["S|K"] = {std::string("value\0", 6), 5};
  EXPECT_EQ(ini_.GetString("S", "K", "dflt"), "value");
  ASSERT_EQ(platform_.calls.size(), 1u);
  const ProfileCall& call = platform_.calls[0];
  EXPECT_EQ(call.section, "S");
  EXPECT_FALSE(call.nullKey);
  EXPECT_EQ(call.key, "K");
  EXPECT_EQ(call.defaultValue, "");
  EXPECT_EQ(call.size, 4096u);
  EXPECT_EQ(call.file, "C:\\Vela\\vela.ini");
}

TEST_F(IniUnitTest, GetStringFallsBackOnlyWhenNothingWasReturned) {
  EXPECT_EQ(ini_.GetString("S", "missing", "dflt"), "dflt");
  EXPECT_EQ(ini_.GetString("S", "missing"), "");
  EXPECT_EQ(ini_.GetString("S", "missing", ""), "");
  // A count of zero wins over whatever the buffer holds.
  platform_.answers["S|stale"] = {std::string("junk\0", 5), 0};
  EXPECT_EQ(ini_.GetString("S", "stale", "d"), "d");
}

TEST_F(IniUnitTest, GetIntPassesEverythingThrough) {
  platform_.intAnswer = 0xFFFFFFFEu;
  EXPECT_EQ(ini_.GetInt("Sec", "Key", -9), -2);
  ASSERT_EQ(platform_.intCalls.size(), 1u);
  EXPECT_EQ(platform_.intCalls[0], "Sec|Key|-9|C:\\Vela\\vela.ini");
}

TEST_F(IniUnitTest, GetSectionKeysWalksToTheEmptyName) {
  // A name starting with a byte above 127 is a name, not the end of the list.
  platform_.answers["S|<null>"] = {std::string("A\0\xE9t\xE9\0\x80\0B\0\0", 12), 10};
  CStringArray keys{"before"};
  EXPECT_EQ(ini_.GetSectionKeys("S", keys), 5);
  EXPECT_EQ(keys, (CStringArray{"before", "A", "\xE9t\xE9", "\x80", "B"}));
  ASSERT_EQ(platform_.calls.size(), 1u);
  EXPECT_TRUE(platform_.calls[0].nullKey);
  EXPECT_EQ(platform_.calls[0].defaultValue, "");
  EXPECT_EQ(platform_.calls[0].size, 4096u);
}

TEST_F(IniUnitTest, GetSectionKeysStopsAtTheBufferEnd) {
  // A list cut at the buffer's end carries a single NUL after its last name; bytes the call did
  // not write must not be read as names.
  std::string full(4094, 'n');
  full += '\0';
  platform_.answers["S|<null>"] = {full, 4094};
  CStringArray keys;
  EXPECT_EQ(ini_.GetSectionKeys("S", keys), 1);
  EXPECT_EQ(keys, CStringArray{std::string(4094, 'n')});
  // Even a platform that fills every byte without a NUL cannot make the walk run past it.
  platform_.answers["T|<null>"] = {std::string(4096, 'm'), 4094};
  CStringArray more;
  EXPECT_EQ(ini_.GetSectionKeys("T", more), 1);
  EXPECT_EQ(more[0], std::string(4096, 'm'));
}

TEST_F(IniUnitTest, NoKeysLeavesTheContainersAlone) {
  CStringArray keys{"x"};
  CMapStringToString map{{"k", "v"}};
  EXPECT_EQ(ini_.GetSectionKeys("None", keys), 0);
  EXPECT_EQ(ini_.GetSection("None", map), 0);
  EXPECT_EQ(keys, CStringArray{"x"});
  EXPECT_EQ(map, (CMapStringToString{{"k", "v"}}));
  EXPECT_EQ(platform_.calls.size(), 2u);
}

TEST_F(IniUnitTest, GetSectionReadsEachListedNameOnce) {
  platform_.answers["S|<null>"] = {std::string("A\0B\0a\0A\0\0", 9), 8};
  platform_.answers["S|A"] = {std::string("1\0", 2), 1};
  platform_.answers["S|a"] = {std::string("one\0", 4), 3};
  CMapStringToString map{{"B", "old"}};
  EXPECT_EQ(ini_.GetSection("S", map), 3);
  EXPECT_EQ(map, (CMapStringToString{{"A", "1"}, {"B", ""}, {"a", "one"}}));
  std::vector<std::string> asked;
  for (const ProfileCall& call : platform_.calls) {
    if (!call.nullKey)
      asked.push_back(call.key);
  }
  EXPECT_EQ(asked, (std::vector<std::string>{"A", "B", "a", "A"}));
}

}  // namespace
