// CProfileCache against files on the host: the probe scripts replayed against the results that
// Wine produced for them, plus caching, missing files and damaged input.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "platform/emulated/profile.h"

namespace fs = std::filesystem;

namespace {

class ProfileCacheTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = fs::temp_directory_path() /
           ("cvprofile-" + std::to_string(::getpid()) + "-" +
            ::testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::remove_all(dir_);
    fs::create_directories(dir_);
  }
  void TearDown() override { fs::remove_all(dir_); }

  std::string Path(const std::string& name) const { return (dir_ / name).string(); }

  void Write(const std::string& name, const std::string& bytes) {
    std::ofstream out(Path(name), std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  }

  // The return value and the whole buffer (size + 2 bytes, '~' where nothing was written).
  std::pair<win::DWORD, std::string> Get(const char* section, const char* key, const char* def,
                                         win::DWORD size, const std::string& name = "x.ini") {
    std::string buffer(size + 2, '~');
    const win::DWORD ret = cache_.GetString(section, key, def, buffer.data(), size, Path(name));
    return {ret, buffer};
  }

  fs::path dir_;
  CProfileCache cache_;
};

using Bytes = std::string;

// ---- Replaying the probe scripts

// Undoes the script's escapes (\r \n \t \0 \xNN \\ \|).
std::string Unescape(const std::string& field) {
  std::string out;
  for (std::size_t i = 0; i < field.size(); ++i) {
    if (field[i] == '\\' && i + 1 < field.size()) {
      const char e = field[++i];
      if (e == 'r') {
        out += '\r';
      } else if (e == 'n') {
        out += '\n';
      } else if (e == 't') {
        out += '\t';
      } else if (e == '0') {
        out += '\0';
      } else if (e == 'x') {
        out += static_cast<char>(std::stoi(field.substr(i + 1, 2), nullptr, 16));
        i += 2;
      } else {
        out += e;
      }
    } else {
      out += field[i];
    }
  }
  return out;
}

std::vector<std::string> SplitFields(const std::string& line) {
  std::vector<std::string> fields(1);
  for (std::size_t i = 0; i < line.size(); ++i) {
    if (line[i] == '\\' && i + 1 < line.size()) {
      fields.back() += line[i];
      fields.back() += line[++i];
    } else if (line[i] == '|') {
      fields.emplace_back();
    } else {
      fields.back() += line[i];
    }
  }
  return fields;
}

std::string Escape(const char* data, std::size_t n) {
  std::string out;
  char hex[8];
  for (std::size_t i = 0; i < n; ++i) {
    const unsigned char c = static_cast<unsigned char>(data[i]);
    if (c == '\\') {
      out += "\\\\";
    } else if (c >= 0x20 && c < 0x7f) {
      out += static_cast<char>(c);
    } else {
      std::snprintf(hex, sizeof hex, "\\x%02X", c);
      out += hex;
    }
  }
  return out;
}

std::vector<std::string> ReadLines(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::vector<std::string> lines;
  for (std::string line; std::getline(in, line);) {
    if (!line.empty() && line.back() == '\r')
      line.pop_back();
    lines.push_back(line);
  }
  return lines;
}

// Runs a probe script against the emulation and returns its output lines in the probe's format,
// leaving out calls on absolute Windows paths (path lookup belongs to the platform).
std::vector<std::string> Replay(const fs::path& script, const fs::path& dir, CProfileCache& cache) {
  std::vector<std::string> output;
  for (const std::string& line : ReadLines(script)) {
    if (line.empty())
      continue;
    if (line[0] == '#') {
      output.push_back(line);
      continue;
    }
    const auto raw = SplitFields(line);
    if (raw.size() < 2 || raw[1].starts_with("="))
      continue;
    auto field = [&](std::size_t i) { return Unescape(raw.at(i)); };
    auto arg = [&](std::size_t i, std::string& storage) -> const char* {
      if (raw.at(i) == "@NULL")
        return nullptr;
      storage = field(i);
      return storage.c_str();
    };
    const std::string path = (dir / field(1)).string();
    if (raw[0] == "W" || raw[0] == "R") {
      std::ofstream out(path, std::ios::binary | std::ios::trunc);
      std::string bytes = field(2);
      if (raw[0] == "R")
        bytes += std::string(std::stoul(raw[3]), 'x') + field(4);
      out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    } else if (raw[0] == "S") {
      std::string s, k, d;
      const char* section = arg(2, s);
      const char* key = arg(3, k);
      const char* def = arg(4, d);
      const win::DWORD size = static_cast<win::DWORD>(std::stoul(raw[5]));
      std::string buffer(size + 8, '~');
      const win::DWORD ret = cache.GetString(section, key, def, buffer.data(), size, path);
      std::string shown;
      if (size + 2 > 120) {
        shown = "len=" + std::to_string(std::strlen(buffer.c_str())) + " ... " +
                Escape(buffer.data() + size - 6, 8);
      } else {
        shown = Escape(buffer.data(), size + 2);
      }
      // The last error is not part of the emulated contract; keep the reference's text.
      output.push_back(line + " => " + std::to_string(ret) + " err=* [" + shown + "]");
    } else if (raw[0] == "I") {
      std::string s, k;
      const char* section = arg(2, s);
      const char* key = arg(3, k);
      const win::UINT ret = cache.GetInt(section, key, std::stoi(raw[4]), path);
      output.push_back(line + " => " + std::to_string(ret) + " (" +
                       std::to_string(static_cast<int>(ret)) + ")");
    }
  }
  return output;
}

void ExpectSameAsWine(const std::string& name) {
  const fs::path probes = fs::path(__FILE__).parent_path().parent_path() / "probes";
  const fs::path dir = fs::temp_directory_path() / ("cvprobe-" + std::to_string(::getpid()) + name);
  fs::remove_all(dir);
  fs::create_directories(dir);
  CProfileCache cache;
  const auto actual = Replay(probes / (name + ".txt"), dir, cache);
  std::vector<std::string> expected;
  for (std::string line : ReadLines(probes / (name + ".expected"))) {
    if (line.find("|=") != std::string::npos)
      continue;
    const auto err = line.find(" err=");
    if (err != std::string::npos) {
      line.replace(err, line.find(' ', err + 1) - err, " err=*");
    }
    expected.push_back(line);
  }
  fs::remove_all(dir);
  ASSERT_EQ(actual.size(), expected.size());
  for (std::size_t i = 0; i < actual.size(); ++i)
    EXPECT_EQ(actual[i], expected[i]);
}

TEST(ProfileCacheWine, FirstProbeScriptGivesWineResults) {
  ExpectSameAsWine("profile_probe");
}
TEST(ProfileCacheWine, SecondProbeScriptGivesWineResults) {
  ExpectSameAsWine("profile_probe2");
}

// ---- Cases beyond the scripts

TEST_F(ProfileCacheTest, NullOrZeroSizedBufferIsLeftAlone) {
  Write("x.ini", "[S]\r\na=1\r\n");
  EXPECT_EQ(cache_.GetString("S", "a", "d", nullptr, 10, Path("x.ini")), 0u);
  auto [ret, buf] = Get("S", "a", "d", 0);
  EXPECT_EQ(ret, 0u);
  EXPECT_EQ(buf, "~~");
}

TEST_F(ProfileCacheTest, MissingDirectoryOrDirectoryKeepsQuotesOfDefault) {
  // The reference copies the default unchanged when the file cannot be opened at all, but
  // strips its quotes when the file merely does not exist.
  auto [r1, b1] = Get("S", "a", "\"q\"", 10, "nodir/x.ini");
  EXPECT_EQ(r1, 3u);
  EXPECT_EQ(b1.substr(0, 4), Bytes("\"q\"\0", 4));
  auto [r2, b2] = Get("S", "a", "\"q\"", 10, "missing.ini");
  EXPECT_EQ(r2, 1u);
  EXPECT_EQ(b2.substr(0, 2), Bytes("q\0", 2));
  fs::create_directories(dir_ / "sub.ini");
  auto [r3, b3] = Get("S", "a", "\"q\"", 10, "sub.ini");
  EXPECT_EQ(r3, 3u);
  auto [r4, b4] = Get("S", nullptr, "\"q\"", 10, "sub.ini");
  EXPECT_EQ(r4, 1u);
  EXPECT_EQ(b4.substr(0, 2), Bytes("q\0", 2));
  auto [r5, b5] = Get(nullptr, nullptr, "\"q\"", 10, "sub.ini");
  EXPECT_EQ(r5, 0u);
  EXPECT_EQ(b5.substr(0, 2), Bytes("\0~", 2));
  EXPECT_EQ(cache_.GetInt("S", "a", 9, Path("nodir/x.ini")), 9u);
  EXPECT_EQ(cache_.GetString("S", "a", "d", b1.data(), 10, ""), 1u);
  EXPECT_FALSE(fs::exists(dir_ / "missing.ini"));
}

TEST_F(ProfileCacheTest, RereadsTheFileWhenItChanges) {
  Write("x.ini", "[S]\r\na=1\r\n");
  EXPECT_EQ(cache_.GetInt("S", "a", 0, Path("x.ini")), 1u);
  // Same size, new content and time.
  std::this_thread::sleep_for(std::chrono::milliseconds(5));
  Write("x.ini", "[S]\r\na=2\r\n");
  EXPECT_EQ(cache_.GetInt("S", "a", 0, Path("x.ini")), 2u);
  // Same size and same time, but another file replaces it.
  const auto time = fs::last_write_time(Path("x.ini"));
  Write("y.ini", "[S]\r\na=3\r\n");
  fs::last_write_time(Path("y.ini"), time);
  fs::rename(Path("y.ini"), Path("x.ini"));
  EXPECT_EQ(cache_.GetInt("S", "a", 0, Path("x.ini")), 3u);
  // Removed, then back.
  fs::remove(Path("x.ini"));
  EXPECT_EQ(cache_.GetInt("S", "a", 7, Path("x.ini")), 7u);
  Write("x.ini", "[S]\r\na=44\r\n");
  EXPECT_EQ(cache_.GetInt("S", "a", 0, Path("x.ini")), 44u);
}

TEST_F(ProfileCacheTest, ServesRepeatedCallsFromOneParse) {
  // A file last changed well before it was parsed is not read again while its size, time and
  // inode stay: bytes overwritten behind the cache's back are not seen.
  Write("x.ini", "[S]\r\na=1\r\n");
  const auto old = fs::last_write_time(Path("x.ini")) - std::chrono::hours(1);
  fs::last_write_time(Path("x.ini"), old);
  EXPECT_EQ(cache_.GetInt("S", "a", 0, Path("x.ini")), 1u);
  {
    std::fstream f(Path("x.ini"), std::ios::binary | std::ios::in | std::ios::out);
    f.seekp(7);
    f.put('9');
  }
  fs::last_write_time(Path("x.ini"), old);
  EXPECT_EQ(cache_.GetInt("S", "a", 0, Path("x.ini")), 1u);
}

TEST_F(ProfileCacheTest, FreshFileRewrittenWithinOneClockTickIsSeen) {
  // File times are coarse: a file rewritten right after it was read may keep size, time and
  // inode. Such a young file is compared byte for byte.
  Write("x.ini", "[S]\r\na=1\r\n");
  const auto time = fs::last_write_time(Path("x.ini"));
  EXPECT_EQ(cache_.GetInt("S", "a", 0, Path("x.ini")), 1u);
  {
    std::fstream f(Path("x.ini"), std::ios::binary | std::ios::in | std::ios::out);
    f.seekp(7);
    f.put('9');
  }
  fs::last_write_time(Path("x.ini"), time);
  EXPECT_EQ(cache_.GetInt("S", "a", 0, Path("x.ini")), 9u);
}

TEST_F(ProfileCacheTest, KeyListCutAtBufferEnd) {
  Write("x.ini", "[S]\r\nalpha=1\r\nbeta=2\r\n");
  // Whole list: names, NUL, NUL.
  auto [r1, b1] = Get("S", nullptr, "", 13);
  EXPECT_EQ(r1, 11u);
  EXPECT_EQ(b1, Bytes("alpha\0beta\0\0~~~", 15));
  // One short: the last name loses a character and the result is size - 2.
  auto [r2, b2] = Get("S", nullptr, "", 11);
  EXPECT_EQ(r2, 9u);
  EXPECT_EQ(b2, Bytes("alpha\0bet\0~~~", 13));
  // A first name that does not fit at all.
  auto [r3, b3] = Get("S", nullptr, "", 4);
  EXPECT_EQ(r3, 2u);
  EXPECT_EQ(b3, Bytes("al\0~~~", 6));
}

TEST_F(ProfileCacheTest, IntegersAsRtlParsesThem) {
  Write("x.ini",
        "[I]\r\na=0x10\r\nb=-0b11\r\nc=0o777\r\nd=0xFFFFFFFF\r\ne=\"0x20\"\r\nf='-7'\r\n"
        "g=123456789012345678901234567890123\r\nh=\x01\x02 42\r\n");
  const std::string p = Path("x.ini");
  EXPECT_EQ(cache_.GetInt("I", "a", 0, p), 16u);
  EXPECT_EQ(static_cast<int>(cache_.GetInt("I", "b", 0, p)), -3);
  EXPECT_EQ(cache_.GetInt("I", "c", 0, p), 511u);
  EXPECT_EQ(cache_.GetInt("I", "d", 0, p), 0xFFFFFFFFu);
  EXPECT_EQ(cache_.GetInt("I", "e", 0, p), 32u);
  EXPECT_EQ(static_cast<int>(cache_.GetInt("I", "f", 0, p)), -7);
  // Only 29 characters are read: 12345678901234567890123456789 mod 2^32.
  EXPECT_EQ(cache_.GetInt("I", "g", 0, p), 1849262357u);
  EXPECT_EQ(cache_.GetInt("I", "h", 0, p), 42u);
  EXPECT_EQ(static_cast<int>(cache_.GetInt("I", "zz", -4, p)), -4);
}

TEST_F(ProfileCacheTest, SurvivesRandomBytes) {
  std::mt19937 random(12345);
  const char* const pieces[] = {
      "[", "]", "=",    "\r",       "\n",           "\0",   "\"",  "'",   ";",    " ",   "\t",
      "a", "B", "\xE9", "\xFF\xFE", "\xEF\xBB\xBF", "\x1A", "[S]", "k=v", "\xC3", "\xD8"};
  for (int round = 0; round < 300; ++round) {
    std::string bytes;
    const int count = static_cast<int>(random() % 200);
    for (int i = 0; i < count; ++i) {
      const char* piece = pieces[random() % std::size(pieces)];
      bytes += piece[0] == 0 ? std::string(1, '\0') : std::string(piece);
    }
    Write("f" + std::to_string(round) + ".ini", bytes);
    const std::string p = Path("f" + std::to_string(round) + ".ini");
    for (win::DWORD size : {1u, 2u, 3u, 5u, 64u, 4096u}) {
      std::vector<char> buffer(size + 1, '~');
      const win::DWORD a = cache_.GetString(nullptr, nullptr, "", buffer.data(), size, p);
      ASSERT_LT(a, size);
      ASSERT_EQ(buffer[size], '~');
      const win::DWORD b = cache_.GetString("S", nullptr, "dd", buffer.data(), size, p);
      ASSERT_LT(b, size);
      const win::DWORD c = cache_.GetString("S", "k", "\"x\"", buffer.data(), size, p);
      ASSERT_LT(c, size);
      ASSERT_EQ(buffer[size], '~');
    }
    cache_.GetInt("", "", 1, p);
  }
}

}  // namespace
