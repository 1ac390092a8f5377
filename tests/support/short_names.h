// A platform double for a FAT-like volume: every name that holds a character beyond ASCII has
// an 8.3 short name as well (the first letters and digits of its stem, ~n, and of its
// extension, numbered in the order of the long names in their directory), which the file
// functions take for the long one; and searches report entries in another order than the
// emulated machine's sorted one (FAT keeps them in the order they were made), here the reverse.
#pragma once

#include <algorithm>
#include <cctype>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "platform/ansi_text.h"
#include "support/platform_proxy.h"

class CShortNamePlatform : public CPlatformProxy {
 public:
  using CPlatformProxy::CPlatformProxy;

  // The short names of the directory's entries that have one: long name -> short name.
  std::map<std::string, std::string> ShortNamesIn(const std::string& directory) {
    std::vector<std::string> names;
    win::FindData data;
    const win::HFIND find = CPlatformProxy::FindFirstFileA((directory + "\\*").c_str(), data);
    if (find != win::kInvalidFind) {
      do {
        if (NeedsShortName(data.name)) {
          names.push_back(data.name);
        }
      } while (CPlatformProxy::FindNextFileA(find, data));
      CPlatformProxy::FindClose(find);
    }
    std::sort(names.begin(), names.end());
    std::map<std::string, std::string> shortNames;
    std::map<std::string, int> used;
    for (const std::string& name : names) {
      const size_t dot = name.rfind('.');
      const std::string stem = Letters(name.substr(0, dot), 6);
      const std::string extension = dot == std::string::npos ? "" : Letters(name.substr(dot), 3);
      const std::string key = stem + "." + extension;
      shortNames[name] =
          stem + "~" + std::to_string(++used[key]) + (extension.empty() ? "" : "." + extension);
    }
    return shortNames;
  }

  // path with every short component that names an entry taken for its long name.
  std::string Long(const std::string& path) {
    if (path.find('~') == std::string::npos) {
      return path;
    }
    std::string result;
    size_t start = 0;
    while (start <= path.size()) {
      const size_t end = std::min(path.find_first_of("\\/", start), path.size());
      std::string component = path.substr(start, end - start);
      if (component.find('~') != std::string::npos && !result.empty()) {
        for (const auto& [longName, shortName] :
             ShortNamesIn(result.substr(0, result.size() - 1))) {
          if (ansi::EqualNoCase(shortName, component)) {
            component = longName;
            break;
          }
        }
      }
      result += component;
      if (end < path.size()) {
        result += path[end];
      }
      start = end + 1;
    }
    return result;
  }

  win::DWORD GetShortPathNameA(const char* longPath, char* buffer, win::DWORD size) override {
    const std::string path = Long(longPath);
    if (CPlatformProxy::GetFileAttributesA(path.c_str()) == win::kInvalidFileAttributes) {
      return CPlatformProxy::GetShortPathNameA(longPath, buffer, size);
    }
    std::string shortPath;
    size_t start = 0;
    while (start <= path.size()) {
      const size_t end = std::min(path.find_first_of("\\/", start), path.size());
      std::string component = path.substr(start, end - start);
      if (NeedsShortName(component) && !shortPath.empty()) {
        const auto names = ShortNamesIn(path.substr(0, start - 1));
        const auto entry = std::find_if(names.begin(), names.end(), [&](const auto& name) {
          return ansi::EqualNoCase(name.first, component);
        });
        if (entry != names.end()) {
          component = entry->second;
        }
      }
      shortPath += component;
      if (end < path.size()) {
        shortPath += '\\';
      }
      start = end + 1;
    }
    if (shortPath.size() >= size) {
      return static_cast<win::DWORD>(shortPath.size() + 1);
    }
    shortPath.copy(buffer, shortPath.size());
    buffer[shortPath.size()] = '\0';
    return static_cast<win::DWORD>(shortPath.size());
  }

  win::DWORD GetFullPathNameA(const char* path, char* buffer, win::DWORD size) override {
    return CPlatformProxy::GetFullPathNameA(path, buffer, size);
  }
  win::DWORD GetPrivateProfileStringA(const char* section, const char* key,
                                      const char* defaultValue, char* buffer, win::DWORD size,
                                      const char* fileName) override {
    return CPlatformProxy::GetPrivateProfileStringA(section, key, defaultValue, buffer, size,
                                                    Long(fileName).c_str());
  }
  win::UINT GetPrivateProfileIntA(const char* section, const char* key, int defaultValue,
                                  const char* fileName) override {
    return CPlatformProxy::GetPrivateProfileIntA(section, key, defaultValue,
                                                 Long(fileName).c_str());
  }
  bool CreateDirectoryA(const char* path) override {
    return CPlatformProxy::CreateDirectoryA(Long(path).c_str());
  }
  bool CopyFileA(const char* existing, const char* target, bool failIfExists) override {
    return CPlatformProxy::CopyFileA(Long(existing).c_str(), Long(target).c_str(), failIfExists);
  }
  bool DeleteFileA(const char* path) override {
    return CPlatformProxy::DeleteFileA(Long(path).c_str());
  }
  bool MoveFileExA(const char* existing, const char* target, bool replaceExisting) override {
    return CPlatformProxy::MoveFileExA(Long(existing).c_str(), Long(target).c_str(),
                                       replaceExisting);
  }
  win::DWORD GetFileAttributesA(const char* path) override {
    return CPlatformProxy::GetFileAttributesA(Long(path).c_str());
  }
  bool SetFileAttributesA(const char* path, win::DWORD attributes) override {
    return CPlatformProxy::SetFileAttributesA(Long(path).c_str(), attributes);
  }
  bool ReadWholeFile(const char* path, std::string& data) override {
    return CPlatformProxy::ReadWholeFile(Long(path).c_str(), data);
  }
  bool FlushFiles(const std::vector<std::string>& paths) override {
    std::vector<std::string> longPaths;
    for (const std::string& path : paths) {
      longPaths.push_back(Long(path));
    }
    return CPlatformProxy::FlushFiles(longPaths);
  }
  std::unique_ptr<CWriteFile> CreateWriteFile(const char* path) override {
    return CPlatformProxy::CreateWriteFile(Long(path).c_str());
  }
  std::unique_ptr<CWriteFile> OpenAppendFile(const char* path) override {
    return CPlatformProxy::OpenAppendFile(Long(path).c_str());
  }

  // Searches: the inner search's entries, in reverse order.
  win::HFIND FindFirstFileA(const char* pattern, win::FindData& data) override {
    std::vector<win::FindData> entries;
    const win::HFIND find = CPlatformProxy::FindFirstFileA(Long(pattern).c_str(), data);
    if (find == win::kInvalidFind) {
      return find;
    }
    do {
      entries.push_back(data);
    } while (CPlatformProxy::FindNextFileA(find, data));
    CPlatformProxy::FindClose(find);
    std::reverse(entries.begin(), entries.end());
    const win::HFIND handle = nextSearch_++;
    data = entries.front();
    entries.erase(entries.begin());
    searches_[handle] = std::move(entries);
    return handle;
  }
  bool FindNextFileA(win::HFIND find, win::FindData& data) override {
    auto& entries = searches_[find];
    if (entries.empty()) {
      SetLastError(win::kErrorNoMoreFiles);
      return false;
    }
    data = entries.front();
    entries.erase(entries.begin());
    return true;
  }
  bool FindClose(win::HFIND find) override { return searches_.erase(find) == 1; }

  static bool NeedsShortName(const std::string& name) {
    return std::any_of(name.begin(), name.end(),
                       [](char c) { return static_cast<unsigned char>(c) >= 0x80; });
  }

 private:
  // The ASCII letters and digits of text, upper-cased, at most count of them; "_" for none.
  static std::string Letters(const std::string& text, size_t count) {
    std::string letters;
    for (const char c : text) {
      const auto byte = static_cast<unsigned char>(c);
      if (letters.size() < count && byte < 0x80 && std::isalnum(byte) != 0) {
        letters += static_cast<char>(std::toupper(byte));
      }
    }
    return letters.empty() && count == 6 ? "_" : letters;
  }

  std::map<win::HFIND, std::vector<win::FindData>> searches_;
  win::HFIND nextSearch_ = 0x7000;
};
