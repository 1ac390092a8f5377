// Fuzzes the emulation's INI parser: the input is written as an INI file, then every section,
// every key and some absent names are read through GetString and GetInt with buffers of many
// sizes. Each buffer is allocated at exactly its size, so any write past it is reported.
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include "platform/emulated/profile.h"

namespace {

const std::string& InputPath() {
  static const std::string path = "/tmp/cvfuzz-profile-" + std::to_string(::getpid()) + ".ini";
  return path;
}

void Check(bool condition, const char* what) {
  if (!condition) {
    std::fprintf(stderr, "profile invariant broken: %s\n", what);
    std::abort();
  }
}

// One GetString call with a buffer of exactly size bytes; returns what it read.
std::string Read(CProfileCache& cache, const char* section, const char* key, win::DWORD size,
                 bool isList) {
  std::vector<char> storage(size);
  char* buffer = size == 0 ? nullptr : storage.data();
  const win::DWORD length = cache.GetString(section, key, "dflt", buffer, size, InputPath());
  if (size == 0) {
    Check(length == 0, "a call without a buffer returns 0");
    return std::string();
  }
  Check(length < size, "the length fits the buffer");
  Check(buffer[length] == '\0', "the result ends in a NUL");
  if (isList && size >= 2 && length + 1 < size) {
    // A list ends in two NULs when it fits.
    Check(length == 0 || buffer[length + 1] == '\0' || length + 2 > size, "a list ends in NUL NUL");
  }
  return std::string(buffer, length);
}

// The NUL-separated names of a list read with a large buffer.
std::vector<std::string> SplitList(const std::string& list) {
  std::vector<std::string> names;
  size_t start = 0;
  while (start < list.size()) {
    const size_t end = list.find('\0', start);
    names.push_back(list.substr(start, end == std::string::npos ? end : end - start));
    if (end == std::string::npos) {
      break;
    }
    start = end + 1;
  }
  return names;
}

constexpr win::DWORD kSizes[] = {0, 1, 2, 3, 5, 17, 256};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  // No name or value read from the file is longer than the file.
  const win::DWORD kLarge = static_cast<win::DWORD>(size) + 64;
  {
    std::ofstream out(InputPath(), std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));
  }
  CProfileCache cache;
  for (const win::DWORD bufferSize : kSizes) {
    Read(cache, nullptr, nullptr, bufferSize, true);
  }
  std::vector<std::string> sections = SplitList(Read(cache, nullptr, nullptr, kLarge, true));
  sections.push_back("no such section");
  size_t calls = 0;
  for (const std::string& section : sections) {
    for (const win::DWORD bufferSize : kSizes) {
      Read(cache, section.c_str(), nullptr, bufferSize, true);
    }
    std::vector<std::string> keys = SplitList(Read(cache, section.c_str(), nullptr, kLarge, true));
    keys.push_back("no such key");
    for (const std::string& key : keys) {
      if (++calls > 2000) {
        return 0;  // enough for one input; keeps every run short
      }
      const std::string value = Read(cache, section.c_str(), key.c_str(), kLarge, false);
      for (const win::DWORD bufferSize : kSizes) {
        const std::string part = Read(cache, section.c_str(), key.c_str(), bufferSize, false);
        Check(part.size() <= value.size(), "a smaller buffer reads no more");
      }
      cache.GetInt(section.c_str(), key.c_str(), -7, InputPath());
    }
  }
  return 0;
}
