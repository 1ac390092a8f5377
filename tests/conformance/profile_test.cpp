// GetPrivateProfileStringA / GetPrivateProfileIntA on files with every parsing quirk the program
// may meet. The expectations are what Wine returns (tests/probes holds the probe that found
// them); natively the same cases run against the emulation.
//
// Results are written "<returned count>:<buffer>", the buffer escaped (\0 for NUL, \xNN for
// other bytes outside printable ASCII) and without the bytes the call left untouched at its end.
#include <gtest/gtest.h>

#include <string>

using namespace std::string_literals;

#include "support/test_machine.h"

namespace {

class ProfileTest : public ::testing::Test {
 protected:
  void Write(const std::string& bytes, const std::string& name = "x.ini") {
    m_.WriteFile(m_.Dir() + name, bytes);
  }

  std::string Get(const char* section, const char* key, const char* def, win::DWORD size,
                  const std::string& name = "x.ini") {
    return Call(section, key, def, size, m_.Dir() + name);
  }

  std::string Call(const char* section, const char* key, const char* def, win::DWORD size,
                   const std::string& path) {
    std::string buffer(size + 2, '~');
    const win::DWORD ret = m_.Platform().GetPrivateProfileStringA(section, key, def, buffer.data(),
                                                                  size, path.c_str());
    while (!buffer.empty() && buffer.back() == '~')
      buffer.pop_back();
    std::string out = std::to_string(ret) + ":";
    for (const char c : buffer) {
      const unsigned char u = static_cast<unsigned char>(c);
      if (u == 0) {
        out += "\\0";
      } else if (u < 0x20 || u >= 0x7f) {
        const char* hex = "0123456789ABCDEF";
        out += "\\x";
        out += hex[u >> 4];
        out += hex[u & 15];
      } else {
        out += c;
      }
    }
    return out;
  }

  int Int(const char* section, const char* key, int def, const std::string& name = "x.ini") {
    const std::string path = m_.Dir() + name;
    return static_cast<int>(m_.Platform().GetPrivateProfileIntA(section, key, def, path.c_str()));
  }

  CTestMachine m_;
};

TEST_F(ProfileTest, BlanksAroundNamesAndValuesAreDropped) {
  Write(
      "[ Sec ]\r\n a = b \r\nc\t=\t d e \t\r\n[Sec2]  \r\nk=v\r\n\t[Tab]\r\nt=1\r\n"
      "[Sp ace]\r\nx y = 1 2 \r\n\x1A[V]\x1A\r\nv=\x0Bx\x0C\r\nn=\xA0x\xA0\r\n");
  EXPECT_EQ(Get("Sec", "a", "", 20), R"(1:b\0)");
  EXPECT_EQ(Get(" Sec ", " a ", "", 20), R"(1:b\0)");  // the query is trimmed too
  EXPECT_EQ(Get("Sec", "c", "", 20), R"(3:d e\0)");
  EXPECT_EQ(Get("Sec2", "k", "", 20), R"(1:v\0)");
  EXPECT_EQ(Get("Tab", "t", "", 20), R"(1:1\0)");
  EXPECT_EQ(Get("Sp ace", "x y", "", 20), R"(3:1 2\0)");
  EXPECT_EQ(Get("Sp ace", "x  y", "", 20), R"(0:\0)");  // inner blanks must match exactly
  // Control-Z, vertical tab and form feed are blanks; the no-break space 0xA0 is not.
  EXPECT_EQ(Get("V", "v", "", 20), R"(1:x\0)");
  EXPECT_EQ(Get("V", "n", "", 20), R"(3:\xA0x\xA0\0)");
  EXPECT_EQ(Get(nullptr, nullptr, "", 60), R"(22:Sec\0Sec2\0Tab\0Sp ace\0V\0\0)");
  EXPECT_EQ(Get("Sec", nullptr, "", 20), R"(4:a\0c\0\0)");
  // A key list takes the section name as given: blanks around it find nothing.
  EXPECT_EQ(Get(" Sec ", nullptr, "d", 20), R"(1:d\0)");
  EXPECT_EQ(Get("sEC", nullptr, "d", 20), R"(4:a\0c\0\0)");
}

TEST_F(ProfileTest, MatchingQuotesAroundAValueAreRemoved) {
  Write(
      "[Q]\r\na=\"x\"\r\nb=\" x \"\r\nc='x'\r\nd=\"x\r\ne=\"x\"y\r\nf=\"\"\r\ng=\"\r\nh=''\r\n"
      "i= \"x\" \r\nj='x\"\r\nk=x\"\r\nl=\"a\"b\"\r\nm=\"abcdef\"\r\n");
  EXPECT_EQ(Get("Q", "a", "", 20), R"(1:x\0)");
  EXPECT_EQ(Get("Q", "b", "", 20), R"(3: x \0)");
  EXPECT_EQ(Get("Q", "c", "", 20), R"(1:x\0)");
  EXPECT_EQ(Get("Q", "d", "", 20), R"(2:"x\0)");
  EXPECT_EQ(Get("Q", "e", "", 20), R"(4:"x"y\0)");
  EXPECT_EQ(Get("Q", "f", "def", 20), R"(0:\0)");  // empty, but present: no default
  EXPECT_EQ(Get("Q", "g", "def", 20), R"(1:"\0)");
  EXPECT_EQ(Get("Q", "h", "def", 20), R"(0:\0)");
  EXPECT_EQ(Get("Q", "i", "", 20), R"(1:x\0)");
  EXPECT_EQ(Get("Q", "j", "", 20), R"(3:'x"\0)");
  EXPECT_EQ(Get("Q", "k", "", 20), R"(2:x"\0)");
  EXPECT_EQ(Get("Q", "l", "", 20), R"(3:a"b\0)");
}

TEST_F(ProfileTest, QuotedValueInSmallBuffers) {
  // The value is cut first and the closing quote removed after, so a buffer that is just
  // large enough for the text loses its last character.
  Write("[Q]\r\na=\"x\"\r\nb=\" x \"\r\ne=\"x\"y\r\nm=\"abcdef\"\r\nf=\"\"\r\n");
  EXPECT_EQ(Get("Q", "a", "", 2), R"(0:\0)");
  EXPECT_EQ(Get("Q", "a", "", 3), R"(1:x\0)");
  EXPECT_EQ(Get("Q", "b", "", 3), R"(2: x\0)");
  EXPECT_EQ(Get("Q", "b", "", 4), R"(2: x\0)");
  EXPECT_EQ(Get("Q", "e", "", 3), R"(2:"x\0)");
  EXPECT_EQ(Get("Q", "e", "", 4), R"(3:"x"\0)");
  EXPECT_EQ(Get("Q", "m", "", 6), R"(5:abcde\0)");
  EXPECT_EQ(Get("Q", "m", "", 7), R"(5:abcde\0)");
  EXPECT_EQ(Get("Q", "m", "", 8), R"(6:abcdef\0)");
  EXPECT_EQ(Get("Q", "f", "", 1), R"(0:\0)");
  EXPECT_EQ(Get("Q", "f", "", 2), R"(0:\0)");
}

TEST_F(ProfileTest, CommentsOddLinesAndDuplicates) {
  Write(
      "pre=1\r\n[C]\r\n;semi=1\r\n#hash=2\r\nnoeq\r\n=x\r\n  ;x=1\r\nk=1\r\nK=2\r\nk=3\r\n  \r\n"
      "[Other]\r\no=1\r\n[c]\r\nk=4\r\nm=5\r\n[C]\r\nn=6\r\n");
  // ';' lines are keys that can be read by their full name but are not listed; '#' is no
  // comment; a line without '=' is neither listed nor readable; '=x' is a key without a name.
  EXPECT_EQ(Get("C", nullptr, "", 100), R"(13:#hash\0\0k\0K\0k\0\0)");
  EXPECT_EQ(Get("C", "semi", "d", 20), R"(1:d\0)");
  EXPECT_EQ(Get("C", ";semi", "d", 20), R"(1:1\0)");
  EXPECT_EQ(Get("C", "#hash", "d", 20), R"(1:2\0)");
  EXPECT_EQ(Get("C", "noeq", "d", 20), R"(1:d\0)");
  EXPECT_EQ(Get("C", "", "d", 20), R"(1:x\0)");
  // The first of duplicate keys wins, without regard to case.
  EXPECT_EQ(Get("C", "k", "", 20), R"(1:1\0)");
  EXPECT_EQ(Get("C", "K", "", 20), R"(1:1\0)");
  // Only the first of sections with the same name is read; all are listed.
  EXPECT_EQ(Get("C", "m", "d", 20), R"(1:d\0)");
  EXPECT_EQ(Get("C", "n", "d", 20), R"(1:d\0)");
  EXPECT_EQ(Get("c", nullptr, "", 100), R"(13:#hash\0\0k\0K\0k\0\0)");
  EXPECT_EQ(Get(nullptr, nullptr, "", 100), R"(12:C\0Other\0c\0C\0\0)");
  // Keys before the first section belong to the section with the empty name.
  EXPECT_EQ(Get("", "pre", "d", 20), R"(1:1\0)");
  EXPECT_EQ(Get("", nullptr, "d", 20), R"(4:pre\0\0)");
}

TEST_F(ProfileTest, EmptyNames) {
  // A list whose first name is empty counts as no list: the default is returned.
  Write("[]\r\na=1\r\n[E]\r\n=1\r\nb=2\r\n[C]\r\n=1\r\n=2\r\n \0 \r\nk=3\r\n=4\r\n\0\r\n=5\r\n"s);
  EXPECT_EQ(Get(nullptr, nullptr, "", 40), R"(4:E\0C\0\0)");
  EXPECT_EQ(Get("", "a", "d", 20), R"(1:d\0)");
  EXPECT_EQ(Get("E", nullptr, "", 40), R"(0:\0)");
  EXPECT_EQ(Get("E", nullptr, "dflt", 40), R"(4:dflt\0)");
  EXPECT_EQ(Get("C", "", "d", 20), R"(1:1\0)");
  EXPECT_EQ(Get("C", " ", "d", 20), R"(1:1\0)");
  Write("[P]\r\n=1\r\np=2\r\n\0x=3\r\n"s, "p.ini");
  EXPECT_EQ(Get("P", nullptr, "d", 20, "p.ini"), R"(1:d\0)");
  Write("[P]\r\np=2\r\n\0x=3\r\nq=4\r\n"s, "q.ini");
  EXPECT_EQ(Get("P", nullptr, "d", 20, "q.ini"), R"(5:p\0\0q\0\0)");
}

TEST_F(ProfileTest, SectionHeaders) {
  Write(
      "[A]x\r\na=1\r\n[B\r\nb=2\r\n [C] \r\nc=3\r\n[D]]\r\nd=4\r\n[E]=5\r\ne=6\r\n[[F]\r\nf=7\r\n"
      "[G]x]\r\ng=8\r\n");
  // The name runs to the last ']' of the line; a line without ']' is a key line.
  EXPECT_EQ(Get(nullptr, nullptr, "", 80), R"(16:A\0C\0D]\0E\0[F\0G]x\0\0)");
  EXPECT_EQ(Get("A", nullptr, "d", 40), R"(4:a\0b\0\0)");
  EXPECT_EQ(Get("B", "b", "d", 20), R"(1:d\0)");
  EXPECT_EQ(Get("C", "c", "d", 20), R"(1:3\0)");
  EXPECT_EQ(Get("D", "d", "d", 20), R"(1:d\0)");
  EXPECT_EQ(Get("D]", "d", "d", 20), R"(1:4\0)");
  EXPECT_EQ(Get("E", "e", "d", 20), R"(1:6\0)");
  EXPECT_EQ(Get("[F", "f", "d", 20), R"(1:7\0)");
  EXPECT_EQ(Get("G]x", "g", "d", 20), R"(1:8\0)");
}

TEST_F(ProfileTest, LineEnds) {
  Write("[L]\na=1\nb=2\n", "lf.ini");
  Write("[L]\ra=1\rb=2\r", "cr.ini");
  Write("[L]\r\na=1\r\nb=2", "noend.ini");
  Write("[L]\r\r\na=1\r\r\nb=2\n\r", "mixed.ini");
  Write("[L]\n\ra=1\n\rb=2", "lfcr.ini");
  for (const char* name : {"lf.ini", "cr.ini", "noend.ini", "mixed.ini", "lfcr.ini"}) {
    SCOPED_TRACE(name);
    EXPECT_EQ(Get("L", "a", "", 20, name), R"(1:1\0)");
    EXPECT_EQ(Get("L", "b", "", 20, name), R"(1:2\0)");
    EXPECT_EQ(Get("L", nullptr, "", 20, name), R"(4:a\0b\0\0)");
  }
}

TEST_F(ProfileTest, ByteOrderMarks) {
  Write("\xEF\xBB\xBF[B]\r\na=\xC3\xA9\r\n", "utf8.ini");
  EXPECT_EQ(Get("B", "a", "d", 20, "utf8.ini"), R"(1:\xE9\0)");
  EXPECT_EQ(Get(nullptr, nullptr, "d", 20, "utf8.ini"), R"(2:B\0\0)");
  Write("\xFF\xFE[\0B\0]\0\r\0\n\0a\0=\0\xE9\0\r\0\n\0b\0=\0\x01\x04\r\0\n\0"s, "utf16.ini");
  EXPECT_EQ(Get("B", "a", "d", 20, "utf16.ini"), R"(1:\xE9\0)");
  EXPECT_EQ(Get("B", "b", "d", 20, "utf16.ini"), R"(1:?\0)");
  Write("\xFE\xFF\0[\0B\0]\0\r\0\n\0a\0=\0x\0\r\0\n"s, "utf16be.ini");
  EXPECT_EQ(Get("B", "a", "d", 20, "utf16be.ini"), R"(1:x\0)");
  // Without a mark UTF-16 is read as ANSI: the NULs end every name early.
  Write("[\0B\0]\0\r\0\n\0a\0=\0x\0\r\0\n\0"s, "nobom.ini");
  EXPECT_EQ(Get("B", "a", "d", 20, "nobom.ini"), R"(1:d\0)");
  EXPECT_EQ(Get(nullptr, nullptr, "d", 20, "nobom.ini"), R"(0:\0)");
  // Two of the three bytes of the UTF-8 mark are ANSI text.
  Write("\xEF\xBB[B]\r\na=1\r\n", "half.ini");
  EXPECT_EQ(Get(nullptr, nullptr, "d", 20, "half.ini"), R"(0:\0)");
  EXPECT_EQ(Get("B", "a", "d", 20, "half.ini"), R"(1:d\0)");
  Write("\xEF\xBB\xBF", "markonly.ini");
  EXPECT_EQ(Get(nullptr, nullptr, "d", 20, "markonly.ini"), R"(0:\0)");
}

TEST_F(ProfileTest, CharactersOutsideTheCodePage) {
  // Unicode text converts to the ANSI code page with its best-fit characters, '?' otherwise.
  Write(
      "\xEF\xBB\xBF[U]\r\na=\xC4\x80\r\nb=\xEF\xBC\xA1\r\nc=\xC3\r\nd=\xE2\x82x\r\n"
      "e=\xF0\x9F\x98\x80\r\nf=\xE2\x82\xAC\r\ng=\xC5\x81\r\nh=\xC2\x81\xC2\x80\r\n");
  EXPECT_EQ(Get("U", "a", "", 20), R"(1:A\0)");
  EXPECT_EQ(Get("U", "b", "", 20), R"(1:A\0)");
  EXPECT_EQ(Get("U", "c", "", 20), R"(1:?\0)");
  EXPECT_EQ(Get("U", "d", "", 20), R"(2:?x\0)");
  EXPECT_EQ(Get("U", "e", "", 20), R"(2:??\0)");
  EXPECT_EQ(Get("U", "f", "", 20), R"(1:\x80\0)");
  EXPECT_EQ(Get("U", "g", "", 20), R"(1:L\0)");
  EXPECT_EQ(Get("U", "h", "", 20), R"(2:\x81?\0)");
}

TEST_F(ProfileTest, NulAndHighBytes) {
  Write("[N]\r\na=x\0y\r\nb\0c=1\r\nd=2\r\n[M\0X]\r\ne=3\r\n\0f=4\r\n"s);
  EXPECT_EQ(Get("N", "a", "d", 20), R"(1:x\0)");
  EXPECT_EQ(Get("N", "b", "d", 20), R"(1:1\0)");
  EXPECT_EQ(Get("N", nullptr, "d", 30), R"(6:a\0b\0d\0\0)");
  EXPECT_EQ(Get(nullptr, nullptr, "d", 30), R"(4:N\0M\0\0)");
  EXPECT_EQ(Get("M", "e", "d", 20), R"(1:3\0)");
  EXPECT_EQ(Get("M", nullptr, "d", 30), R"(3:e\0\0\0)");
  Write("[S]\r\n\xFF\x80\x81=\x9D\x8D\r\n", "hi.ini");
  EXPECT_EQ(Get("S", "\xFF\x80\x81", "d", 20, "hi.ini"), R"(2:\x9D\x8D\0)");
}

TEST_F(ProfileTest, CaseIsIgnoredForAsciiLettersOnly) {
  Write("[\xC9t\xE9]\r\n\xE9t\xE9=1\r\nA\xC0=2\r\n\x9A=3\r\n\x8A=4\r\n[Ab]\r\nx=5\r\n");
  EXPECT_EQ(Get("\xC9t\xE9", "\xE9t\xE9", "d", 20), R"(1:1\0)");
  EXPECT_EQ(Get("\xC9T\xE9", "\xE9T\xE9", "d", 20), R"(1:1\0)");
  EXPECT_EQ(Get("\xE9t\xE9", "\xE9t\xE9", "d", 20), R"(1:d\0)");
  EXPECT_EQ(Get("\xC9t\xE9", "\xC9t\xE9", "d", 20), R"(1:d\0)");
  EXPECT_EQ(Get("\xC9t\xE9", "a\xC0", "d", 20), R"(1:2\0)");
  EXPECT_EQ(Get("\xC9t\xE9", "a\xE0", "d", 20), R"(1:d\0)");
  EXPECT_EQ(Get("\xC9t\xE9", "\x8A", "d", 20), R"(1:4\0)");
  EXPECT_EQ(Get("aB", "X", "d", 20), R"(1:5\0)");
}

TEST_F(ProfileTest, HugeLines) {
  const std::string x(100000, 'x');
  Write("[B]\r\na=" + x + "\r\nb=2\r\n");
  std::string buffer(200000, '~');
  const std::string path = m_.Dir() + "x.ini";
  EXPECT_EQ(
      m_.Platform().GetPrivateProfileStringA("B", "a", "", buffer.data(), 200000, path.c_str()),
      100000u);
  EXPECT_EQ(buffer.substr(0, 100001), x + '\0');
  EXPECT_EQ(m_.Platform().GetPrivateProfileStringA("B", "a", "", buffer.data(), 5000, path.c_str()),
            4999u);
  EXPECT_EQ(buffer.substr(0, 5000), x.substr(0, 4999) + '\0');
  EXPECT_EQ(Get("B", "b", "", 20), R"(1:2\0)");
  Write("[B]\r\n" + x + "=1\r\nb=2\r\n[" + x + "]\r\n[C]\r\nc=3\r\n", "key.ini");
  EXPECT_EQ(Get("B", "b", "", 20, "key.ini"), R"(1:2\0)");
  EXPECT_EQ(Get("C", "c", "", 20, "key.ini"), R"(1:3\0)");
  EXPECT_EQ(Get("B", nullptr, "", 8, "key.ini"), R"(6:xxxxxx\0)");
  EXPECT_EQ(Get(nullptr, nullptr, "", 8, "key.ini"), R"(6:B\0xxxx\0)");
}

TEST_F(ProfileTest, ValueCutToBufferSize) {
  Write("[B]\r\nv=abcdef\r\ne=\r\nsp=  \r\n");
  EXPECT_EQ(Get("B", "v", "", 7), R"(6:abcdef\0)");
  EXPECT_EQ(Get("B", "v", "", 6), R"(5:abcde\0)");
  EXPECT_EQ(Get("B", "v", "", 2), R"(1:a\0)");
  EXPECT_EQ(Get("B", "v", "", 1), R"(0:\0)");
  EXPECT_EQ(Get("B", "v", "", 0), R"(0:)");
  EXPECT_EQ(Get("B", "e", "def", 10), R"(0:\0)");
  EXPECT_EQ(Get("B", "sp", "def", 10), R"(0:\0)");
}

TEST_F(ProfileTest, Defaults) {
  Write("[B]\r\nv=1\r\n[T]\r\n");
  EXPECT_EQ(Get("B", "missing", "def", 10), R"(3:def\0)");
  EXPECT_EQ(Get("B", "missing", nullptr, 10), R"(0:\0)");
  EXPECT_EQ(Get("Nope", "v", "def", 10), R"(3:def\0)");
  // Trailing spaces (only spaces) go; an all-space default keeps one; quotes go too.
  EXPECT_EQ(Get("B", "missing", "def  ", 10), R"(3:def\0)");
  EXPECT_EQ(Get("B", "missing", "  def \t ", 10), R"(7:  def \x09\0)");
  EXPECT_EQ(Get("B", "missing", "   ", 10), R"(1: \0)");
  EXPECT_EQ(Get("B", "missing", "\"q\"", 10), R"(1:q\0)");
  EXPECT_EQ(Get("B", "missing", "\"def\"", 4), R"(2:de\0)");
  EXPECT_EQ(Get("B", "missing", "abcdef", 4), R"(3:abc\0)");
  EXPECT_EQ(Get("B", "missing", "abcdef", 1), R"(0:\0)");
  // Key lists fall back to the default too: no section, or a section without keys.
  EXPECT_EQ(Get("T", nullptr, "def", 10), R"(3:def\0)");
  EXPECT_EQ(Get("Nope", nullptr, "def", 10), R"(3:def\0)");
  EXPECT_EQ(Get("Nope", nullptr, nullptr, 10), R"(0:\0)");
  EXPECT_EQ(Get("B", nullptr, "def", 2), R"(1:d\0)");
  // Section lists never do.
  Write("", "empty.ini");
  EXPECT_EQ(Get(nullptr, nullptr, "def", 10, "empty.ini"), R"(0:\0)");
  EXPECT_EQ(Get("B", "v", "def", 10, "empty.ini"), R"(3:def\0)");
}

TEST_F(ProfileTest, KeyListCutAtBufferEnd) {
  // Cut lists end in a single NUL after a shortened last name; the count is size - 2.
  Write("[S2]\r\nkey1=1\r\nkey2=2\r\nlongkey3=3\r\n");
  EXPECT_EQ(Get("S2", nullptr, "", 40), R"(19:key1\0key2\0longkey3\0\0)");
  EXPECT_EQ(Get("S2", nullptr, "", 20), R"(18:key1\0key2\0longkey3\0)");
  EXPECT_EQ(Get("S2", nullptr, "", 19), R"(17:key1\0key2\0longkey\0)");
  EXPECT_EQ(Get("S2", nullptr, "", 13), R"(11:key1\0key2\0l\0)");
  EXPECT_EQ(Get("S2", nullptr, "", 12), R"(10:key1\0key2\0\0)");
  EXPECT_EQ(Get("S2", nullptr, "", 11), R"(9:key1\0key2\0)");
  EXPECT_EQ(Get("S2", nullptr, "", 10), R"(8:key1\0key\0)");
  EXPECT_EQ(Get("S2", nullptr, "", 7), R"(5:key1\0\0)");
  EXPECT_EQ(Get("S2", nullptr, "", 6), R"(4:key1\0)");
  EXPECT_EQ(Get("S2", nullptr, "", 5), R"(3:key\0)");
  EXPECT_EQ(Get("S2", nullptr, "", 3), R"(1:k\0)");
  EXPECT_EQ(Get("S2", nullptr, "", 2), R"(0:\0)");
  EXPECT_EQ(Get("S2", nullptr, "", 1), R"(0:\0)");
  EXPECT_EQ(Get("S2", nullptr, "", 0), R"(0:)");
}

TEST_F(ProfileTest, SectionListCutAtBufferEnd) {
  Write("[B]\r\nv=1\r\n[S2]\r\n[T2]\r\n");
  EXPECT_EQ(Get(nullptr, nullptr, "", 20), R"(8:B\0S2\0T2\0\0)");
  EXPECT_EQ(Get(nullptr, nullptr, "", 10), R"(8:B\0S2\0T2\0\0)");
  EXPECT_EQ(Get(nullptr, nullptr, "", 9), R"(7:B\0S2\0T2\0)");
  EXPECT_EQ(Get(nullptr, nullptr, "", 5), R"(3:B\0S\0)");
  EXPECT_EQ(Get(nullptr, nullptr, "", 4), R"(2:B\0\0)");
  EXPECT_EQ(Get(nullptr, nullptr, "", 3), R"(1:B\0)");
  EXPECT_EQ(Get(nullptr, nullptr, "", 2), R"(0:\0)");
  EXPECT_EQ(Get(nullptr, nullptr, "", 1), R"(0:\0)");
  EXPECT_EQ(Get(nullptr, nullptr, "", 0), R"(0:)");
  EXPECT_EQ(Get(nullptr, "v", "def", 10), R"(8:B\0S2\0T2\0\0)");  // the key is ignored
}

TEST_F(ProfileTest, FilesThatDoNotExist) {
  EXPECT_EQ(Get("B", "v", "def", 10, "missing.ini"), R"(3:def\0)");
  EXPECT_EQ(Get("B", "v", nullptr, 10, "missing.ini"), R"(0:\0)");
  EXPECT_EQ(Get("B", nullptr, "def", 10, "missing.ini"), R"(3:def\0)");
  EXPECT_EQ(Get(nullptr, nullptr, "def", 10, "missing.ini"), R"(0:\0)");
  EXPECT_EQ(Get("B", "v", "\"q\"", 10, "missing.ini"), R"(1:q\0)");
  EXPECT_EQ(Int("B", "v", 7, "missing.ini"), 7);
  EXPECT_FALSE(m_.Exists(m_.Dir() + "missing.ini"));
  // A file that cannot be opened at all (no such directory, or a directory) gives the default
  // with its quotes.
  EXPECT_EQ(Get("B", "v", "\"q\"", 10, "nodir\\x.ini"), R"(3:"q"\0)");
  EXPECT_EQ(Get("B", nullptr, "\"q\"", 10, "nodir\\x.ini"), R"(1:q\0)");
  EXPECT_EQ(Int("B", "v", 5, "nodir\\x.ini"), 5);
  m_.MakeDir(m_.Dir() + "dir.ini");
  EXPECT_EQ(Get("B", "v", "\"q\"", 10, "dir.ini"), R"(3:"q"\0)");
  EXPECT_EQ(Get(nullptr, nullptr, "\"q\"", 10, "dir.ini"), R"(0:\0)");
}

TEST_F(ProfileTest, PathsAreMatchedWithoutCaseAndBareNamesLiveInTheWindowsDirectory) {
  Write("[P]\r\np=1\r\n", "Mixed.INI");
  EXPECT_EQ(Call("P", "p", "d", 10, m_.Dir() + "mixed.ini"), R"(1:1\0)");
  char windows[260] = {};
  ASSERT_GT(m_.Platform().GetWindowsDirectoryA(windows, sizeof windows), 0u);
  // A name of its own for this machine: the last component of the scratch directory.
  const std::string dir = m_.Dir().substr(0, m_.Dir().size() - 1);
  const std::string bare = "cvprofile-" + dir.substr(dir.find_last_of('\\') + 1) + ".ini";
  const std::string full = std::string(windows) + "\\" + bare;
  m_.WriteFile(full, "[W]\r\nw=1\r\n");
  EXPECT_EQ(Call("W", "w", "d", 10, bare), R"(1:1\0)");
  EXPECT_EQ(Call("W", "w", "d", 10, full), R"(1:1\0)");
  m_.Platform().DeleteFileA(full.c_str());
}

TEST_F(ProfileTest, ChangedFileIsReadAgain) {
  Write("[S]\r\na=1\r\n");
  EXPECT_EQ(Get("S", "a", "", 10), R"(1:1\0)");
  Write("[S]\r\na=2\r\n");
  EXPECT_EQ(Get("S", "a", "", 10), R"(1:2\0)");
  Write("[S]\r\nb=3\r\na=45\r\n");
  EXPECT_EQ(Get("S", "a", "", 10), R"(2:45\0)");
}

TEST_F(ProfileTest, Integers) {
  Write(
      "[I]\r\na= 12\r\nb=12abc\r\nc=-5\r\nd=+5\r\ne=0x1A\r\nf=4294967297\r\ng=abc\r\nh=\r\ni=  \r\n"
      "j=2147483648\r\nk=-2147483649\r\nl=0X1a\r\nm=0x\r\nn=0xFFFFFFFF\r\no=-0x10\r\np=010\r\n"
      "q=\"9\"\r\nr= -3 \r\ns=99999999999999999999\r\nt=\t8\r\nu=- 5\r\nv=--5\r\nw=0x1G\r\n"
      "x=0b101\r\ny=0o17\r\nz=\x01\x02"
      "12\r\nzz=123456789012345678901234567890123\r\n");
  EXPECT_EQ(Int("I", "a", 7), 12);
  EXPECT_EQ(Int("I", "b", 7), 12);
  EXPECT_EQ(Int("I", "c", 7), -5);
  EXPECT_EQ(Int("I", "d", 7), 5);
  EXPECT_EQ(Int("I", "e", 7), 26);
  EXPECT_EQ(Int("I", "f", 7), 1);  // wraps
  EXPECT_EQ(Int("I", "g", 7), 0);
  EXPECT_EQ(Int("I", "h", 7), 7);  // empty: the default
  EXPECT_EQ(Int("I", "i", 7), 7);
  EXPECT_EQ(Int("I", "j", 7), static_cast<int>(0x80000000u));
  EXPECT_EQ(Int("I", "k", 7), 2147483647);
  EXPECT_EQ(Int("I", "l", 7), 0);  // only a lower-case x makes hex
  EXPECT_EQ(Int("I", "m", 7), 0);
  EXPECT_EQ(Int("I", "n", 7), -1);
  EXPECT_EQ(Int("I", "o", 7), -16);
  EXPECT_EQ(Int("I", "p", 7), 10);  // no octal
  EXPECT_EQ(Int("I", "q", 7), 9);
  EXPECT_EQ(Int("I", "r", 7), -3);
  EXPECT_EQ(Int("I", "s", 7), 1661992959);
  EXPECT_EQ(Int("I", "t", 7), 8);
  EXPECT_EQ(Int("I", "u", 7), 0);
  EXPECT_EQ(Int("I", "v", 7), 0);
  EXPECT_EQ(Int("I", "w", 7), 1);
  EXPECT_EQ(Int("I", "x", 7), 5);
  EXPECT_EQ(Int("I", "y", 7), 15);
  EXPECT_EQ(Int("I", "z", 7), 12);
  EXPECT_EQ(Int("I", "zz", 7), 1849262357);  // only the first 29 characters count
  EXPECT_EQ(Int("I", "missing", -7), -7);
  EXPECT_EQ(Int(nullptr, "a", 7), 0);  // the first section name, "I"
  EXPECT_EQ(Int("I", nullptr, 7), 0);  // the first key name, "a"
}

}  // namespace
