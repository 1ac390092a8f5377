// INI entries to typed registry values: the digits rule and print settings.
#include <gtest/gtest.h>

#include "profile/registry_copy.h"
#include "support/faults.h"
#include "support/migration_fixture.h"

namespace {

using RegistryCopyTest = MigrationTest;

TEST_F(RegistryCopyTest, DigitsRule) {
  const CMapStringToString map = {{"zero", "0"},         {"padded", "007"},
                                  {"max", "4294967295"}, {"wraps", "4294967296"},
                                  {"negative", "-1"},    {"point", "1.5"},
                                  {"hex", "0x1F"},       {"blank", "12 34"},
                                  {"empty", ""},         {"huge", "18446744073709551617"}};
  WriteMapToKey(m.Platform(), map, "T", false);
  EXPECT_EQ(Value("T", "zero"), Dword(0));
  EXPECT_EQ(Value("T", "padded"), Dword(7));
  EXPECT_EQ(Value("T", "max"), Dword(4294967295U));
  EXPECT_EQ(Value("T", "wraps"), Dword(0));
  EXPECT_EQ(Value("T", "huge"), Dword(1));  // 2^64 + 1: still modulo 2^32
  EXPECT_EQ(Value("T", "negative"), Sz("-1"));
  EXPECT_EQ(Value("T", "point"), Sz("1.5"));
  EXPECT_EQ(Value("T", "hex"), Sz("0x1F"));
  EXPECT_EQ(Value("T", "blank"), Sz("12 34"));
  EXPECT_FALSE(Value("T", "empty"));
}

TEST_F(RegistryCopyTest, AllTextWritesDigitsAsText) {
  WriteMapToKey(m.Platform(), {{"n", "515"}}, "T", true);
  EXPECT_EQ(Value("T", "n"), Sz("515"));
}

TEST_F(RegistryCopyTest, LongTextIsWrittenWhole) {
  const std::string text(4095, 'x');
  WriteMapToKey(m.Platform(), {{"long", text}}, "T", false);
  EXPECT_EQ(Value("T", "long"), Sz(text));
}

TEST_F(RegistryCopyTest, EmptyValuesNeverRemoveAndOtherValuesStay) {
  WriteMapToKey(m.Platform(), {{"a", "1"}, {"b", "x"}}, "Deep\\Er\\Key", false);
  WriteMapToKey(m.Platform(), {{"a", ""}, {"c", "2"}}, "Deep\\Er\\Key", false);
  EXPECT_EQ(Value("Deep\\Er\\Key", "a"), Dword(1));
  EXPECT_EQ(Value("Deep\\Er\\Key", "b"), Sz("x"));
  EXPECT_EQ(Value("Deep\\Er\\Key", "c"), Dword(2));
}

TEST_F(RegistryCopyTest, MissingSectionStillCreatesTheKey) {
  const CIni ini(m.Platform(), "C:\\nothing.ini");
  CopySectionToKey(m.Platform(), ini, "Nowhere", "Access\\Hostnames", false);
  EXPECT_TRUE(Key("Access\\Hostnames"));
  EXPECT_TRUE(SubKeys(m.Platform(), std::string(kProduct) + "\\Access\\Hostnames").empty());
}

TEST_F(RegistryCopyTest, PrintSettings) {
  CMapStringToString map = {{"Top", "1"},
                            {"Left", "0.25"},
                            {"Bottom", ""},
                            {"InsertBytes", "1B45"},
                            {"AppendBytes", "0D0A0"},
                            {"ModeBytes", "7"},
                            {"PageSeperator", "1Z 1"}};
  WritePrintSettingsToKey(m.Platform(), map, "Queues\\lp");
  EXPECT_EQ(Value("Queues\\lp", "Top"), Sz("1.0"));
  EXPECT_EQ(Value("Queues\\lp", "Left"), Sz("0.25"));
  EXPECT_EQ(Value("Queues\\lp", "Bottom"), Sz(".0"));
  EXPECT_EQ(Value("Queues\\lp", "InsertBytes"), Binary("\x1B\x45"));
  EXPECT_EQ(Value("Queues\\lp", "AppendBytes"), Binary("\x0D\x0A"));
  EXPECT_EQ(Value("Queues\\lp", "ModeBytes"), Dword(7));
  EXPECT_EQ(Value("Queues\\lp", "PageSeperator"), Binary(std::string("\x01\x01", 2)));
  // The caller's map is left changed: measures extended, byte sequences removed.
  EXPECT_EQ(map.at("Top"), "1.0");
  EXPECT_EQ(map.at("Bottom"), ".0");
  EXPECT_EQ(map.count("InsertBytes"), 0U);
  EXPECT_EQ(map.at("ModeBytes"), "7");
}

TEST_F(RegistryCopyTest, PrintSettingNamesAreMatchedWithCase) {
  CMapStringToString map = {{"top", "2"}, {"insertbytes", "1B"}};
  WritePrintSettingsToKey(m.Platform(), map, "Styles\\S");
  EXPECT_EQ(Value("Styles\\S", "top"), Dword(2));
  EXPECT_EQ(Value("Styles\\S", "insertbytes"), Sz("1B"));
}

TEST_F(RegistryCopyTest, AnotherSpellingNeverOverridesAConvertedPrintSetting) {
  CMapStringToString map = {{"Top", "1"},         {"top", "2"},       {"InsertBytes", "1B"},
                            {"insertBytes", "7"}, {"ModeBytes", "7"}, {"modebytes", "x"},
                            {"Left", "0.5"},      {"LEFT", "9"},      {"lEFT", "8"}};
  WritePrintSettingsToKey(m.Platform(), map, "Styles\\S");
  EXPECT_EQ(Value("Styles\\S", "Top"), Sz("1.0"));
  EXPECT_EQ(Value("Styles\\S", "InsertBytes"), Binary("\x1B"));
  EXPECT_EQ(Value("Styles\\S", "ModeBytes"), Dword(7));
  EXPECT_EQ(Value("Styles\\S", "Left"), Sz("0.5"));
}

TEST(HexPairs, ReadingStopsAtTheFirstNonDigit) {
  EXPECT_EQ(HexPairsToBytes("1b"), "\x1B");
  EXPECT_EQ(HexPairsToBytes(" F"), "\x0F");
  EXPECT_EQ(HexPairsToBytes("F "), "\x0F");
  EXPECT_EQ(HexPairsToBytes("ZZ1"), std::string(1, '\0'));
  EXPECT_EQ(HexPairsToBytes("-1"), std::string(1, '\0'));
  EXPECT_EQ(HexPairsToBytes("x"), "");
}

TEST_F(RegistryCopyTest, UnopenableProductKeyWritesNothing) {
  CFaultyPlatform platform(m.Platform());
  platform.failCreateKey = [](const std::string& path) { return path == "T"; };
  CMapStringToString map = {{"Top", "1"}};
  WriteMapToKey(platform, map, "T", false);
  WritePrintSettingsToKey(platform, map, "T");
  EXPECT_FALSE(Value("", "Top"));
  EXPECT_FALSE(Key("T"));
}

}  // namespace
