// Platform doubles that make chosen operations fail.
#pragma once

#include <functional>
#include <memory>
#include <string>

#include "support/platform_proxy.h"

// A write-only file that accepts `room` bytes and then fails as a full disk does; with
// fillUp, the failing write first writes the bytes that still fit.
class CFullDiskFile : public CWriteFile {
 public:
  CFullDiskFile(CPlatform& platform, std::unique_ptr<CWriteFile> inner, size_t room,
                bool fillUp = false)
      : platform_(platform), inner_(std::move(inner)), room_(room), fillUp_(fillUp) {}
  bool Write(const void* data, win::DWORD size) override {
    if (size > room_) {
      if (fillUp_ && room_ > 0) {
        inner_->Write(data, static_cast<win::DWORD>(room_));
        room_ = 0;
      }
      platform_.SetLastError(win::kErrorDiskFull);
      return false;
    }
    room_ -= size;
    return inner_->Write(data, size);
  }
  bool Truncate(std::uint64_t size) override { return inner_->Truncate(size); }
  bool Flush() override { return inner_->Flush(); }
  bool Close() override { return inner_->Close(); }

 private:
  CPlatform& platform_;
  std::unique_ptr<CWriteFile> inner_;
  size_t room_;
  bool fillUp_;
};

// Fails calls whose path (or key path) satisfies a predicate, with a chosen error.
class CFaultyPlatform : public CPlatformProxy {
 public:
  using Predicate = std::function<bool(const std::string&)>;
  using CPlatformProxy::CPlatformProxy;

  Predicate failCopyTo;           // CopyFileA, by target
  Predicate failCopyFrom;         // CopyFileA, by source
  Predicate failCreateDirectory;  // CreateDirectoryA
  Predicate failCreateKey;        // RegCreateKeyExA, by subkey path
  Predicate failSetValue;         // RegSetValueExA, by value name
  Predicate failCreateFile;       // CreateWriteFile, by path
  // Called with the pattern after FindFirstFileA has found something, e.g. to take the
  // directory away between a search and what follows it.
  std::function<void(const std::string&)> afterFindFirst;
  win::DWORD error = win::kErrorAccessDenied;
  size_t scriptRoom = static_cast<size_t>(-1);  // bytes restore.bat accepts (any other file all)
  bool scriptFillsUp = false;                   // the write that does not fit writes what fits

  bool CopyFileA(const char* existing, const char* target, bool failIfExists) override {
    if ((failCopyTo && failCopyTo(target)) || (failCopyFrom && failCopyFrom(existing))) {
      SetLastError(error);
      return false;
    }
    return CPlatformProxy::CopyFileA(existing, target, failIfExists);
  }
  bool CreateDirectoryA(const char* path) override {
    if (failCreateDirectory && failCreateDirectory(path)) {
      SetLastError(error);
      return false;
    }
    return CPlatformProxy::CreateDirectoryA(path);
  }
  win::LONG RegCreateKeyExA(win::HKEY key, const char* subKey, win::HKEY* result) override {
    if (failCreateKey && failCreateKey(subKey)) {
      return static_cast<win::LONG>(error);
    }
    return CPlatformProxy::RegCreateKeyExA(key, subKey, result);
  }
  win::LONG RegSetValueExA(win::HKEY key, const char* valueName, win::DWORD type,
                           const unsigned char* data, win::DWORD dataSize) override {
    if (failSetValue && failSetValue(valueName == nullptr ? "" : valueName)) {
      return static_cast<win::LONG>(error);
    }
    return CPlatformProxy::RegSetValueExA(key, valueName, type, data, dataSize);
  }
  std::unique_ptr<CWriteFile> CreateWriteFile(const char* path) override {
    return Faulty(path, [&] { return CPlatformProxy::CreateWriteFile(path); });
  }
  std::unique_ptr<CWriteFile> OpenAppendFile(const char* path) override {
    return Faulty(path, [&] { return CPlatformProxy::OpenAppendFile(path); });
  }
  win::HFIND FindFirstFileA(const char* pattern, win::FindData& data) override {
    const win::HFIND find = CPlatformProxy::FindFirstFileA(pattern, data);
    if (find != win::kInvalidFind && afterFindFirst) {
      afterFindFirst(pattern);
    }
    return find;
  }

 private:
  static bool EndsWithScript(const std::string& path) {
    const std::string script = "\\restore.bat";
    return path.size() >= script.size() &&
           path.compare(path.size() - script.size(), script.size(), script) == 0;
  }
  // A file opened for writing, failing as failCreateFile and scriptRoom say.
  template <typename Open>
  std::unique_ptr<CWriteFile> Faulty(const char* path, Open open) {
    if (failCreateFile && failCreateFile(path)) {
      SetLastError(error);
      return nullptr;
    }
    auto file = open();
    if (file && scriptRoom != static_cast<size_t>(-1) && EndsWithScript(path)) {
      return std::make_unique<CFullDiskFile>(*this, std::move(file), scriptRoom, scriptFillsUp);
    }
    return file;
  }
};

inline CFaultyPlatform::Predicate Contains(std::string part) {
  return [part](const std::string& text) { return text.find(part) != std::string::npos; };
}

inline CFaultyPlatform::Predicate StartsWith(std::string prefix) {
  return [prefix](const std::string& text) { return text.compare(0, prefix.size(), prefix) == 0; };
}

inline CFaultyPlatform::Predicate EndsWith(std::string suffix) {
  return [suffix](const std::string& text) {
    return text.size() >= suffix.size() &&
           text.compare(text.size() - suffix.size(), suffix.size(), suffix) == 0;
  };
}
