// The registry's regedit text: what Save writes, what Load accepts and refuses, round trips.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/emulated/registry.h"

namespace {

using win::DWORD;
using win::HKEY;
using win::kHkeyLocalMachine;

HKEY Create(CEmulatedRegistry& registry, const char* path) {
  HKEY key = 0;
  EXPECT_EQ(registry.CreateKey(kHkeyLocalMachine, path, &key), 0) << path;
  return key;
}

// Stores exactly bytes: a non-NUL byte follows them, so that a string type does not take in a
// NUL after its counted data as RegSetValueExA does.
void Set(CEmulatedRegistry& registry, HKEY key, const char* name, DWORD type,
         const std::string& bytes) {
  const std::string staged = bytes + 'X';
  EXPECT_EQ(
      registry.SetValue(key, name, type, reinterpret_cast<const unsigned char*>(staged.data()),
                        static_cast<DWORD>(bytes.size())),
      0);
}

// Type and bytes of a value; type 0xFFFFFFFF when it is missing.
std::pair<DWORD, std::string> Get(CEmulatedRegistry& registry, const char* path, const char* name) {
  HKEY key = 0;
  if (registry.OpenKey(kHkeyLocalMachine, path, &key) != 0) {
    return {0xFFFFFFFF, "<no key>"};
  }
  DWORD type = 0;
  DWORD size = 0;
  if (registry.QueryValue(key, name, &type, nullptr, &size) != 0) {
    registry.CloseKey(key);
    return {0xFFFFFFFF, ""};
  }
  std::string data(size, '\0');
  EXPECT_EQ(
      registry.QueryValue(key, name, &type, reinterpret_cast<unsigned char*>(data.data()), &size),
      0);
  registry.CloseKey(key);
  return {type, data};
}

std::string Load(CEmulatedRegistry& registry, const std::string& text) {
  std::string error;
  if (registry.Load(text, error)) {
    return "ok";
  }
  return error;
}

std::string Bytes(std::initializer_list<int> list) {
  std::string out;
  for (int b : list) {
    out += static_cast<char>(b);
  }
  return out;
}

// UTF-16LE with a byte-order mark, from text whose non-ASCII characters are given as code
// points through \u escapes in a u16string.
std::string Utf16File(const std::u16string& text) {
  std::string out = "\xff\xfe";
  for (char16_t c : text) {
    out += static_cast<char>(c & 0xFF);
    out += static_cast<char>(c >> 8);
  }
  return out;
}

TEST(RegistrySaveTest, WritesRegeditText) {
  CEmulatedRegistry registry;
  Create(registry, "SOFTWARE");
  HKEY vela = Create(registry, "SOFTWARE\\Quillon\\Vela");
  Set(registry, vela, "Name", win::kRegSz, std::string("text with \\ and \" escaped") + '\0');
  Set(registry, vela, nullptr, win::kRegSz, std::string("default value") + '\0');
  Set(registry, vela, "Num", win::kRegDword, Bytes({0x2a, 0, 0, 0}));
  Set(registry, vela, "Bin", win::kRegBinary, Bytes({0x1b, 0x45}));
  Set(registry, vela, "Other", win::kRegExpandSz, Bytes({0x41, 0}));
  Set(registry, vela, "Multi", win::kRegMultiSz, Bytes({0x41, 0, 0}));
  Set(registry, vela, "Eleven", 11, Bytes({1, 2, 3, 4, 5, 6, 7, 8}));
  Set(registry, vela, "Empty", win::kRegBinary, "");
  Set(registry, vela, "ShortDword", win::kRegDword, Bytes({1, 2, 3}));
  Set(registry, vela, "None", win::kRegNone, "");
  Set(registry, vela, "EmptyText", win::kRegSz, std::string(1, '\0'));
  EXPECT_EQ(registry.Save(),
            "REGEDIT4\r\n"
            "\r\n"
            "[HKEY_LOCAL_MACHINE\\SOFTWARE]\r\n"
            "\r\n"
            "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Quillon]\r\n"
            "\r\n"
            "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Quillon\\Vela]\r\n"
            "\"Name\"=\"text with \\\\ and \\\" escaped\"\r\n"
            "@=\"default value\"\r\n"
            "\"Num\"=dword:0000002a\r\n"
            "\"Bin\"=hex:1b,45\r\n"
            "\"Other\"=hex(2):41,00\r\n"
            "\"Multi\"=hex(7):41,00,00\r\n"
            "\"Eleven\"=hex(b):01,02,03,04,05,06,07,08\r\n"
            "\"Empty\"=hex:\r\n"
            "\"ShortDword\"=hex(4):01,02,03\r\n"
            "\"None\"=hex(0):\r\n"
            "\"EmptyText\"=\"\"\r\n"
            "\r\n");
}

TEST(RegistrySaveTest, EmptyRegistry) {
  CEmulatedRegistry registry;
  EXPECT_EQ(registry.Save(), "REGEDIT4\r\n\r\n");
  CEmulatedRegistry copy;
  EXPECT_EQ(Load(copy, registry.Save()), "ok");
  EXPECT_EQ(copy.Save(), registry.Save());
}

TEST(RegistrySaveTest, StringsThatTheQuotedFormCannotHoldAreWrittenAsHex) {
  CEmulatedRegistry registry;
  HKEY key = Create(registry, "S");
  Set(registry, key, "NoNul", win::kRegSz, "abc");
  Set(registry, key, "InnerNul", win::kRegSz, std::string("a\0b\0", 4));
  Set(registry, key, "Lines", win::kRegSz, std::string("a\r\nb\0", 5));
  Set(registry, key, "Tab", win::kRegSz, std::string("a\tb\0", 4));
  Set(registry, key, "Nothing", win::kRegSz, "");
  EXPECT_EQ(registry.Save(),
            "REGEDIT4\r\n\r\n[HKEY_LOCAL_MACHINE\\S]\r\n"
            "\"NoNul\"=hex(1):61,62,63\r\n"
            "\"InnerNul\"=hex(1):61,00,62,00\r\n"
            "\"Lines\"=hex(1):61,0d,0a,62,00\r\n"
            "\"Tab\"=hex(1):61,09,62,00\r\n"
            "\"Nothing\"=hex(1):\r\n"
            "\r\n");
}

TEST(RegistrySaveTest, LongHexWrapsAsRegeditWrapsIt) {
  CEmulatedRegistry registry;
  HKEY key = Create(registry, "W");
  std::string data;
  for (int i = 0; i < 100; ++i) {
    data += static_cast<char>(i);
  }
  Set(registry, key, "big", win::kRegBinary, data);
  Set(registry, key, "veryveryverylongnamethatistoolongforsureabcdefghijklmnop", win::kRegBinary,
      data);
  // The lines regedit writes for these values.
  EXPECT_EQ(
      registry.Save(),
      "REGEDIT4\r\n\r\n[HKEY_LOCAL_MACHINE\\W]\r\n"
      "\"big\"=hex:00,01,02,03,04,05,06,07,08,09,0a,0b,0c,0d,0e,0f,10,11,12,13,14,15,16,\\\r\n"
      "  17,18,19,1a,1b,1c,1d,1e,1f,20,21,22,23,24,25,26,27,28,29,2a,2b,2c,2d,2e,2f,\\\r\n"
      "  30,31,32,33,34,35,36,37,38,39,3a,3b,3c,3d,3e,3f,40,41,42,43,44,45,46,47,48,\\\r\n"
      "  49,4a,4b,4c,4d,4e,4f,50,51,52,53,54,55,56,57,58,59,5a,5b,5c,5d,5e,5f,60,61,\\\r\n"
      "  62,63\r\n"
      "\"veryveryverylongnamethatistoolongforsureabcdefghijklmnop\"=hex:00,01,02,03,04,\\\r\n"
      "  05,06,07,08,09,0a,0b,0c,0d,0e,0f,10,11,12,13,14,15,16,17,18,19,1a,1b,1c,1d,\\\r\n"
      "  1e,1f,20,21,22,23,24,25,26,27,28,29,2a,2b,2c,2d,2e,2f,30,31,32,33,34,35,36,\\\r\n"
      "  37,38,39,3a,3b,3c,3d,3e,3f,40,41,42,43,44,45,46,47,48,49,4a,4b,4c,4d,4e,4f,\\\r\n"
      "  50,51,52,53,54,55,56,57,58,59,5a,5b,5c,5d,5e,5f,60,61,62,63\r\n"
      "\r\n");
}

TEST(RegistryRoundTripTest, EveryKindOfValueComesBackExactly) {
  CEmulatedRegistry registry;
  HKEY key = Create(registry, "SOFTWARE\\Caf\xe9\\Quote\"Back\\Slash");
  std::string big;
  for (int i = 0; i < 1000; ++i) {
    big += static_cast<char>(i * 7);
  }
  struct Case {
    const char* name;
    DWORD type;
    std::string data;
  };
  const std::vector<Case> cases = {
      {"sz", win::kRegSz, std::string("plain") + '\0'},
      {"sz no nul", win::kRegSz, "plain"},
      {"sz empty", win::kRegSz, ""},
      {"sz nul only", win::kRegSz, std::string(1, '\0')},
      {"sz inner nul", win::kRegSz, std::string("a\0b", 3)},
      {"sz newline", win::kRegSz, std::string("a\nb\r\0", 5)},
      {"sz \xe9\x80\xff", win::kRegSz, std::string("\xc0\xe9\x80\x9f") + '\0'},
      {"sz quotes", win::kRegSz, std::string("\"\\\"\\\\") + '\0'},
      {"with \"quote\" and \\", win::kRegBinary, "x"},
      {"", win::kRegExpandSz, std::string("%PATH%") + '\0'},
      {"dword", win::kRegDword, Bytes({0xff, 0xfe, 0x00, 0x80})},
      {"dword long", win::kRegDword, Bytes({1, 2, 3, 4, 5})},
      {"dword empty", win::kRegDword, ""},
      {"binary", win::kRegBinary, big},
      {"binary empty", win::kRegBinary, ""},
      {"multi", win::kRegMultiSz, std::string("a\0bb\0\0", 6)},
      {"none", win::kRegNone, "zz"},
      {"big type", 0xFFFFFFFF, "q"},
      {"type 0x100", 0x100, ""},
      {"A Name", win::kRegSz, std::string("first") + '\0'},
  };
  for (const Case& c : cases) {
    Set(registry, key, c.name, c.type, c.data);
  }
  Create(registry, "SOFTWARE\\Empty Key");
  Create(registry, "software\\caf\xc9\\b");  // existing levels keep their case
  const std::string saved = registry.Save();

  CEmulatedRegistry copy;
  ASSERT_EQ(Load(copy, saved), "ok");
  for (const Case& c : cases) {
    const auto [type, data] = Get(copy, "SOFTWARE\\Caf\xe9\\Quote\"Back\\Slash", c.name);
    EXPECT_EQ(type, c.type) << c.name;
    EXPECT_EQ(data, c.data) << c.name;
  }
  EXPECT_EQ(copy.Save(), saved);
  EXPECT_NE(saved.find("[HKEY_LOCAL_MACHINE\\SOFTWARE\\Caf\xe9\\b]"), std::string::npos) << saved;
  EXPECT_NE(saved.find("[HKEY_LOCAL_MACHINE\\SOFTWARE\\Empty Key]"), std::string::npos) << saved;
  // Names keep their case through the file, and still match without it.
  EXPECT_EQ(Get(copy, "software\\CAF\xc9\\QUOTE\"BACK\\SLASH", "a name").first, win::kRegSz);
  EXPECT_NE(saved.find("\"A Name\"=\"first\""), std::string::npos);
}

TEST(RegistryRoundTripTest, OrderOfKeysAndValuesSurvives) {
  CEmulatedRegistry registry;
  HKEY key = Create(registry, "Order");
  for (const char* name : {"b", "A", "_x", "C"}) {
    HKEY child = 0;
    ASSERT_EQ(registry.CreateKey(key, name, &child), 0);
  }
  for (const char* name : {"zeta", "Alpha", "_mid"}) {
    Set(registry, key, name, win::kRegBinary, "");
  }
  const std::string saved = registry.Save();
  EXPECT_EQ(saved,
            "REGEDIT4\r\n\r\n[HKEY_LOCAL_MACHINE\\Order]\r\n"
            "\"zeta\"=hex:\r\n\"Alpha\"=hex:\r\n\"_mid\"=hex:\r\n"
            "\r\n[HKEY_LOCAL_MACHINE\\Order\\A]\r\n"
            "\r\n[HKEY_LOCAL_MACHINE\\Order\\b]\r\n"
            "\r\n[HKEY_LOCAL_MACHINE\\Order\\C]\r\n"
            "\r\n[HKEY_LOCAL_MACHINE\\Order\\_x]\r\n"
            "\r\n");
  CEmulatedRegistry copy;
  ASSERT_EQ(Load(copy, saved), "ok");
  EXPECT_EQ(copy.Save(), saved);
}

TEST(RegistryLoadTest, ReadsWhatRegeditWritesAndHandEditedFiles) {
  CEmulatedRegistry registry;
  const std::string text =
      "REGEDIT4  \n"
      "; a comment\n"
      "\n"
      "[HKEY_LOCAL_MACHINE\\Software\\Vela]\r"
      "\"Path\"=\"C:\\\\Vela\"\r\n"
      "  \"Spaced\" = dword:2A  \n"
      "\"Hex\"=hex:01, 02 ,\\\n"
      "  03,\\\n"
      "\n"  // an empty continuation line
      "  \n"
      "\"Typed\"=HEX(7):41,00,00\n"
      "\"Short\"=dword:0\n"
      "\"Lone\"=\"C:\\Vela\"\n"
      "\"Trailing comma\"=hex:ab,\n"
      "[hkey_local_machine\\SOFTWARE\\vela\\Sub\\]\n"
      "@=\"d\"\n";
  ASSERT_EQ(Load(registry, text), "ok");
  EXPECT_EQ(Get(registry, "SOFTWARE\\VELA", "path"),
            std::make_pair(win::kRegSz, std::string("C:\\Vela") + '\0'));
  EXPECT_EQ(Get(registry, "Software\\Vela", "Spaced"),
            std::make_pair(win::kRegDword, Bytes({0x2a, 0, 0, 0})));
  EXPECT_EQ(Get(registry, "Software\\Vela", "Hex"),
            std::make_pair(win::kRegBinary, Bytes({1, 2, 3})));
  EXPECT_EQ(Get(registry, "Software\\Vela", "Typed"),
            std::make_pair(win::kRegMultiSz, Bytes({0x41, 0, 0})));
  EXPECT_EQ(Get(registry, "Software\\Vela", "Short"),
            std::make_pair(win::kRegDword, Bytes({0, 0, 0, 0})));
  EXPECT_EQ(Get(registry, "Software\\Vela", "Lone"),
            std::make_pair(win::kRegSz, std::string("C:\\Vela") + '\0'));
  EXPECT_EQ(Get(registry, "Software\\Vela", "Trailing comma"),
            std::make_pair(win::kRegBinary, Bytes({0xab})));
  EXPECT_EQ(Get(registry, "Software\\Vela\\Sub", nullptr),
            std::make_pair(win::kRegSz, std::string("d") + '\0'));
  // The first spelling of a key is kept.
  EXPECT_NE(registry.Save().find("[HKEY_LOCAL_MACHINE\\Software\\Vela\\Sub]"), std::string::npos);
}

TEST(RegistryLoadTest, KeyNamesLongerThanWindowsAllowsAreRead) {
  CEmulatedRegistry registry;
  const std::string name(300, 'k');
  const std::string text = "REGEDIT4\r\n\r\n[HKEY_LOCAL_MACHINE\\" + name + "]\r\n\r\n";
  ASSERT_EQ(Load(registry, text), "ok");
  EXPECT_EQ(registry.Save(), text);
  DWORD count = 0;
  DWORD longest = 0;
  EXPECT_EQ(registry.QueryInfoKey(kHkeyLocalMachine, &count, &longest), 0);
  EXPECT_EQ(longest, 300u);
}

TEST(RegistryLoadTest, DeletionsOfKeysAndValues) {
  CEmulatedRegistry registry;
  const std::string text =
      "REGEDIT4\r\n"
      "[HKEY_LOCAL_MACHINE\\A\\B\\C]\r\n"
      "\"x\"=\"1\"\r\n"
      "\"y\"=\"2\"\r\n"
      "[HKEY_LOCAL_MACHINE\\A\\D]\r\n"
      "[-HKEY_LOCAL_MACHINE\\A\\B]\r\n"
      "\"ignored\"=\"value of a deleted key\"\r\n"
      "[-HKEY_LOCAL_MACHINE\\Not\\There]\r\n"
      "[HKEY_LOCAL_MACHINE\\A\\D]\r\n"
      "\"z\"=\"3\"\r\n"
      "\"w\"=\"4\"\r\n"
      "\"Z\"=-\r\n"
      "\"missing\"=-\r\n";
  ASSERT_EQ(Load(registry, text), "ok");
  EXPECT_EQ(registry.Save(),
            "REGEDIT4\r\n\r\n[HKEY_LOCAL_MACHINE\\A]\r\n"
            "\r\n[HKEY_LOCAL_MACHINE\\A\\D]\r\n\"w\"=\"4\"\r\n\r\n");
}

TEST(RegistryLoadTest, OtherRootsAreKeptUnchanged) {
  CEmulatedRegistry registry;
  const std::string text =
      "REGEDIT4\r\n\r\n"
      "[HKEY_CURRENT_USER\\Software\\X]\r\n\"v\"=dword:00000001\r\n\r\n"
      "[HKEY_USERS]\r\n\r\n"
      "[HKEY_LOCAL_MACHINE\\SOFTWARE]\r\n\r\n";
  ASSERT_EQ(Load(registry, text), "ok");
  const std::string saved = registry.Save();
  EXPECT_EQ(saved,
            "REGEDIT4\r\n\r\n[HKEY_LOCAL_MACHINE\\SOFTWARE]\r\n"
            "\r\n[HKEY_CURRENT_USER\\Software]\r\n"
            "\r\n[HKEY_CURRENT_USER\\Software\\X]\r\n\"v\"=dword:00000001\r\n"
            "\r\n[HKEY_USERS]\r\n\r\n");
  // The registry functions see HKEY_LOCAL_MACHINE only.
  HKEY key = 0;
  EXPECT_EQ(registry.OpenKey(kHkeyLocalMachine, "Software\\X", &key), 2);
  CEmulatedRegistry copy;
  ASSERT_EQ(Load(copy, saved), "ok");
  EXPECT_EQ(copy.Save(), saved);
}

TEST(RegistryLoadTest, Version5Utf16FilesAreConvertedToAnsi) {
  CEmulatedRegistry registry;
  // "€" is U+20AC (0x80 in the ANSI code page), "é" U+00E9; "Ω" U+03A9 has no ANSI form.
  const std::u16string text =
      u"Windows Registry Editor Version 5.00\r\n"
      u"\r\n"
      u"[HKEY_LOCAL_MACHINE\\SOFTWARE\\Caf\u00e9]\r\n"
      u"\"Price\"=\"5 \u20ac \u03a9\"\r\n"
      u"\"Exp\"=hex(2):25,00,ac,20,25,00,00,00\r\n"
      u"\"Multi\"=hex(7):61,00,00,00,e9,00,00,00,00,00\r\n"
      u"\"Raw\"=hex:ac,20\r\n"
      u"\"Escapes\"=\"a\\nb\\\\c\\\"\"\r\n"
      u"\"N\"=dword:00000010\r\n"
      u"\r\n";
  ASSERT_EQ(Load(registry, Utf16File(text)), "ok");
  const char* path = "SOFTWARE\\CAF\xc9";
  EXPECT_EQ(Get(registry, path, "Price"),
            std::make_pair(win::kRegSz, std::string("5 \x80 ?") + '\0'));
  EXPECT_EQ(Get(registry, path, "Exp"),
            std::make_pair(win::kRegExpandSz, std::string("%\x80%") + '\0'));
  EXPECT_EQ(Get(registry, path, "Multi"),
            std::make_pair(win::kRegMultiSz, std::string("a\0\xe9\0\0", 5)));
  // Binary data is bytes in either format.
  EXPECT_EQ(Get(registry, path, "Raw"), std::make_pair(win::kRegBinary, Bytes({0xac, 0x20})));
  EXPECT_EQ(Get(registry, path, "Escapes"),
            std::make_pair(win::kRegSz, std::string("a\nb\\c\"") + '\0'));
  EXPECT_EQ(Get(registry, path, "N"), std::make_pair(win::kRegDword, Bytes({0x10, 0, 0, 0})));
  // Saved again, it is REGEDIT4 in the ANSI code page.
  EXPECT_EQ(registry.Save().substr(0, 10), "REGEDIT4\r\n");
  EXPECT_NE(registry.Save().find("\"Price\"=\"5 \x80 ?\""), std::string::npos);
}

TEST(RegistryLoadTest, Utf8WithByteOrderMark) {
  CEmulatedRegistry registry;
  ASSERT_EQ(
      Load(registry,
           "\xef\xbb\xbfREGEDIT4\r\n[HKEY_LOCAL_MACHINE\\K]\r\n\"v\"=\"\xc3\xa9\xe2\x82\xac\"\r\n"),
      "ok");
  EXPECT_EQ(Get(registry, "K", "v"), std::make_pair(win::kRegSz, std::string("\xe9\x80") + '\0'));
}

TEST(RegistryLoadTest, MalformedFilesNameTheLineAndChangeNothing) {
  struct Case {
    std::string text;
    std::string error;
  };
  const std::string head = "REGEDIT4\r\n\r\n[HKEY_LOCAL_MACHINE\\K]\r\n";  // lines 1-3
  const std::vector<Case> cases = {
      {"", "line 1"},
      {"REGEDIT5\r\n", "line 1"},
      {"\r\nREGEDIT4\r\n", "line 1"},
      {"Windows Registry Editor Version 5.00x\r\n", "line 1"},
      {"REGEDIT4\r\n\"v\"=\"x\"\r\n", "line 2: value outside any key"},
      {head + "garbage\r\n", "line 4: unexpected text"},
      {head + "\"v\"=\"unterminated\r\n", "line 4: unterminated string"},
      {head + "\"v\"=\"x\" trailing\r\n", "line 4: text after the string"},
      {head + "\"unterminated=\"x\r\n", "line 4: '=' expected"},
      {head + "\"v\"\r\n", "line 4: '=' expected"},
      {head + "@\"x\"\r\n", "line 4: '=' expected"},
      {head + "\"v\"=\r\n", "line 4: unknown value data"},
      {head + "\"v\"=str:\"x\"\r\n", "line 4: unknown value data"},
      {head + "\"v\"=dword:\r\n", "line 4: dword"},
      {head + "\"v\"=dword:123456789\r\n", "line 4: dword"},
      {head + "\"v\"=dword:1234567g\r\n", "line 4: bad dword"},
      {head + "\"v\"=hex:zz\r\n", "line 4: bad hex byte"},
      {head + "\"v\"=hex:123\r\n", "line 4: bad hex byte"},
      {head + "\"v\"=hex:01,,02\r\n", "line 4: bad hex byte"},
      {head + "\"v\"=hex:01 02\r\n", "line 4: bad hex byte"},
      {head + "\"v\"=hex(:01\r\n", "line 4: bad value type"},
      {head + "\"v\"=hex(123456789):01\r\n", "line 4: bad value type"},
      {head + "\"v\"=hex(2)01\r\n", "line 4: ':' expected"},
      {head + "\"v\"=hex:01,\\\r\n  02,\\\r\n  zz\r\n", "line 6: bad hex byte"},
      {head + "\"v\"=hex:01,\\\r\n  02,\\\r\n", "line 5: hex data continues past the end"},
      {head + "\"v\"=-x\r\n", "line 4: text after '-'"},
      {head + "[HKEY_LOCAL_MACHINE\\K\r\n", "line 4: key line without a closing bracket"},
      {head + "[HKEY_LOCAL_MACHINE\\K] x\r\n", "line 4: text after a key line"},
      {head + "[HKLM\\K]\r\n", "line 4: unknown root key"},
      {head + "[]\r\n", "line 4: unknown root key"},
      {head + "[HKEY_LOCAL_MACHINE\\\\K]\r\n", "line 4: empty key name"},
      {head + "[-HKEY_LOCAL_MACHINE]\r\n", "line 4: a root key cannot be deleted"},
      {head + std::string("\"v\"=\"a\0b\"\r\n", 10), "line 4: NUL character"},
      {head + "\"a\\0b\"=hex:\r\n", "line 4: NUL in a value name"},
      {"REGEDIT4\n\n\n\n\nbad\n", "line 6: unexpected text"},
      {"REGEDIT4\r\r\rbad\r", "line 4: unexpected text"},
      {"REGEDIT4\r\n\r\r\nbad", "line 4: unexpected text"},
      {"\xff\xfeR\0E\0", "line 1"},
      {"\xff\xfeR", "line 1: UTF-16 text with an odd number of bytes"},
  };
  for (const Case& c : cases) {
    CEmulatedRegistry registry;
    HKEY key = Create(registry, "Before");
    Set(registry, key, "v", win::kRegSz, "x");
    const std::string before = registry.Save();
    std::string error;
    EXPECT_FALSE(registry.Load(c.text, error)) << c.text;
    EXPECT_EQ(error.substr(0, c.error.size()), c.error) << c.text;
    EXPECT_EQ(registry.Save(), before) << c.text;
    HKEY reopened = 0;
    EXPECT_EQ(registry.CloseKey(key), 0) << "a failed load keeps the handles";
    EXPECT_EQ(registry.OpenKey(kHkeyLocalMachine, "Before", &reopened), 0);
  }
  // Deeper than 512 levels.
  std::string deep = "REGEDIT4\r\n[HKEY_LOCAL_MACHINE";
  for (int i = 0; i < 513; ++i) {
    deep += "\\k";
  }
  CEmulatedRegistry registry;
  std::string error;
  EXPECT_FALSE(registry.Load(deep + "]\r\n", error));
  EXPECT_EQ(error, "line 2: keys nested too deeply");
}

TEST(RegistryLoadTest, ArbitraryBytesNeverCrash) {
  // Every prefix of a valid file, and byte flips through it: each either loads or reports a
  // line, and whatever loads saves to text that loads to the same registry.
  CEmulatedRegistry source;
  HKEY key = Create(source, "SOFTWARE\\Quillon\\Vela");
  std::string big(200, '\x5a');
  Set(source, key, "Bin", win::kRegBinary, big);
  Set(source, key, "Text", win::kRegSz, std::string("a \"b\" \\c") + '\0');
  Set(source, key, nullptr, win::kRegDword, Bytes({1, 2, 3, 4}));
  const std::string file = source.Save();
  const std::string specials = std::string("\0\r\n\\\"[]@=,:-;(x", 16);
  for (std::size_t cut = 0; cut <= file.size(); ++cut) {
    for (std::size_t s = 0; s <= specials.size(); ++s) {
      std::string text = file.substr(0, cut);
      if (s < specials.size() && cut < file.size()) {
        text += specials[s];
        text += file.substr(cut + 1);
      }
      CEmulatedRegistry registry;
      std::string error;
      if (registry.Load(text, error)) {
        CEmulatedRegistry again;
        ASSERT_TRUE(again.Load(registry.Save(), error)) << error << "\n" << text;
        ASSERT_EQ(again.Save(), registry.Save()) << text;
      } else {
        ASSERT_EQ(error.rfind("line ", 0), 0u) << error;
      }
    }
  }
}

// Import applies a file on top, as Wine 8.0's regedit does (probed under Wine).
TEST(RegistryImportTest, ChangesTheTreeAsRegeditDoes) {
  CEmulatedRegistry registry;
  ASSERT_EQ(Load(registry,
                 "REGEDIT4\r\n[HKEY_LOCAL_MACHINE\\A]\r\n\"keep\"=\"1\"\r\n\"drop\"=\"2\"\r\n"
                 "\"raw\"=hex(1):61\r\n[HKEY_LOCAL_MACHINE\\A\\B\\C]\r\n"),
            "ok");
  HKEY deep = 0;
  ASSERT_EQ(registry.OpenKey(kHkeyLocalMachine, "A\\B\\C", &deep), 0);
  HKEY kept = Create(registry, "A");
  std::string error;
  ASSERT_TRUE(
      registry.Import("REGEDIT4\r\n[-HKEY_LOCAL_MACHINE\\A\\B]\r\n\"skipped\"=\"x\"\r\n"
                      "[HKEY_LOCAL_MACHINE\\A]\r\n\"drop\"=-\r\n\"sz\"=hex(1):61,62\r\n"
                      "\"expand\"=hex(2):25,00\r\n\"multi\"=hex(7):61\r\n"
                      "\"none\"=hex(1):\r\n\"bin\"=hex:61\r\n\"esc\"=\"\\q\\\\\"\r\n",
                      error))
      << error;
  // A string type in hex ends in a NUL; an escape that is none loses its backslash.
  EXPECT_EQ(registry.Save(),
            "REGEDIT4\r\n\r\n[HKEY_LOCAL_MACHINE\\A]\r\n\"keep\"=\"1\"\r\n\"raw\"=hex(1):61\r\n"
            "\"sz\"=\"ab\"\r\n\"expand\"=hex(2):25,00\r\n\"multi\"=hex(7):61,00\r\n"
            "\"none\"=hex(1):\r\n\"bin\"=hex:61\r\n\"esc\"=\"q\\\\\"\r\n\r\n");
  EXPECT_EQ(registry.QueryValue(deep, "", nullptr, nullptr, nullptr), 6);
  EXPECT_EQ(Get(registry, "A", "keep").second, std::string("1", 2));
  EXPECT_EQ(registry.QueryValue(kept, "keep", nullptr, nullptr, nullptr), 0);
  // A malformed file changes nothing.
  const std::string saved = registry.Save();
  EXPECT_FALSE(registry.Import("REGEDIT4\r\n[-HKEY_LOCAL_MACHINE\\A]\r\nbad\r\n", error));
  EXPECT_EQ(error, "line 3: unexpected text");
  EXPECT_EQ(registry.Save(), saved);
}

TEST(RegistryLoadTest, LoadReplacesTheWholeRegistryAndItsHandles) {
  CEmulatedRegistry registry;
  HKEY key = Create(registry, "Old");
  ASSERT_EQ(Load(registry, "REGEDIT4\r\n\r\n[HKEY_LOCAL_MACHINE\\New]\r\n"), "ok");
  EXPECT_EQ(registry.CloseKey(key), 6);
  HKEY opened = 0;
  EXPECT_EQ(registry.OpenKey(kHkeyLocalMachine, "Old", &opened), 2);
  EXPECT_EQ(registry.OpenKey(kHkeyLocalMachine, "new", &opened), 0);
}

}  // namespace
