// A platform double that stands for the process dying: it counts every call that changes the
// machine and, at the chosen one, does nothing more (or only part of it) and throws CKilled,
// which the program never catches. The test catches it where the process would have ended.
#pragma once

#include <cstddef>
#include <memory>
#include <string>
#include <vector>

#include "support/platform_proxy.h"

enum class EMutation {
  kCreateKey,
  kSetValue,
  kCreateDirectory,
  kCopyFile,
  kCreateFile,
  kWriteFile,
  kDeleteFile,
  kSetAttributes,
  kMoveFile,
  kDeleteKey,
  kTruncateFile,
  kFlushKey,
  kFlushFiles,  // counted by the power-cut double only
  kFlushFile,   // CWriteFile::Flush; counted by the power-cut double only
};

inline const char* MutationName(EMutation mutation) {
  switch (mutation) {
    case EMutation::kCreateKey:
      return "create key";
    case EMutation::kSetValue:
      return "set value";
    case EMutation::kCreateDirectory:
      return "create directory";
    case EMutation::kCopyFile:
      return "copy file";
    case EMutation::kCreateFile:
      return "create file";
    case EMutation::kWriteFile:
      return "write file";
    case EMutation::kDeleteFile:
      return "delete file";
    case EMutation::kSetAttributes:
      return "set attributes";
    case EMutation::kMoveFile:
      return "move file";
    case EMutation::kDeleteKey:
      return "delete key";
    case EMutation::kTruncateFile:
      return "truncate file";
    case EMutation::kFlushKey:
      return "flush key";
    case EMutation::kFlushFiles:
      return "flush files";
    case EMutation::kFlushFile:
      return "flush file";
  }
  return "?";
}

// The death of the process. Deliberately not a std::exception: nothing may catch it.
struct CKilled {
  size_t at;
  EMutation what;
  std::string path;  // the file that the fatal call was about; empty for registry calls
};

// What the fatal call still gets done.
enum class ETear {
  kNothing,  // the call does nothing
  kHalf,     // a write writes the first half of its bytes; a copy leaves half a target
};

class CKillingPlatform : public CPlatformProxy {
 public:
  // killAt counts from 1; 0 never kills (to count a whole run).
  CKillingPlatform(CPlatform& inner, size_t killAt, ETear tear = ETear::kNothing)
      : CPlatformProxy(inner), killAt_(killAt), tear_(tear) {}

  const std::vector<EMutation>& Mutations() const { return mutations_; }
  bool Killed() const { return killed_; }

  win::LONG RegCreateKeyExA(win::HKEY key, const char* subKey, win::HKEY* result) override {
    if (Dead()) {
      return static_cast<win::LONG>(win::kErrorAccessDenied);
    }
    if (Due(EMutation::kCreateKey)) {
      Die();
    }
    return CPlatformProxy::RegCreateKeyExA(key, subKey, result);
  }
  win::LONG RegSetValueExA(win::HKEY key, const char* valueName, win::DWORD type,
                           const unsigned char* data, win::DWORD dataSize) override {
    if (Dead()) {
      return static_cast<win::LONG>(win::kErrorAccessDenied);
    }
    if (Due(EMutation::kSetValue)) {
      Die();
    }
    return CPlatformProxy::RegSetValueExA(key, valueName, type, data, dataSize);
  }
  bool CreateDirectoryA(const char* path) override {
    if (Dead()) {
      return false;
    }
    if (Due(EMutation::kCreateDirectory, path)) {
      Die();
    }
    return CPlatformProxy::CreateDirectoryA(path);
  }
  bool CopyFileA(const char* existing, const char* target, bool failIfExists) override {
    if (Dead()) {
      return false;
    }
    if (Due(EMutation::kCopyFile, target)) {
      if (tear_ == ETear::kHalf) {
        // The copy stops half way: the target holds the first half of the source.
        std::string bytes;
        if (Inner().ReadWholeFile(existing, bytes)) {
          if (auto file = Inner().CreateWriteFile(target)) {
            file->Write(bytes.data(), static_cast<win::DWORD>(bytes.size() / 2));
          }
        }
      }
      Die();
    }
    return CPlatformProxy::CopyFileA(existing, target, failIfExists);
  }
  win::LONG RegDeleteKeyA(win::HKEY key, const char* subKey) override {
    if (Dead()) {
      return static_cast<win::LONG>(win::kErrorAccessDenied);
    }
    if (Due(EMutation::kDeleteKey)) {
      Die();
    }
    return CPlatformProxy::RegDeleteKeyA(key, subKey);
  }
  // On the emulated machine the flush saves the registry: what a death before it loses.
  win::LONG RegFlushKey(win::HKEY key) override {
    if (Dead()) {
      return static_cast<win::LONG>(win::kErrorAccessDenied);
    }
    if (Due(EMutation::kFlushKey)) {
      Die();
    }
    return CPlatformProxy::RegFlushKey(key);
  }
  bool FlushFiles(const std::vector<std::string>& paths) override {
    if (Dead()) {
      return false;
    }
    return CPlatformProxy::FlushFiles(paths);
  }
  bool DeleteFileA(const char* path) override {
    if (Dead()) {
      return false;
    }
    if (Due(EMutation::kDeleteFile, path)) {
      Die();
    }
    return CPlatformProxy::DeleteFileA(path);
  }
  bool MoveFileExA(const char* existing, const char* target, bool replaceExisting) override {
    if (Dead()) {
      return false;
    }
    if (Due(EMutation::kMoveFile, target)) {
      Die();
    }
    return CPlatformProxy::MoveFileExA(existing, target, replaceExisting);
  }
  bool SetFileAttributesA(const char* path, win::DWORD attributes) override {
    if (Dead()) {
      return false;
    }
    if (Due(EMutation::kSetAttributes, path)) {
      Die();
    }
    return CPlatformProxy::SetFileAttributesA(path, attributes);
  }
  std::unique_ptr<CWriteFile> CreateWriteFile(const char* path) override {
    return Killable(path, [&] { return CPlatformProxy::CreateWriteFile(path); });
  }
  std::unique_ptr<CWriteFile> OpenAppendFile(const char* path) override {
    return Killable(path, [&] { return CPlatformProxy::OpenAppendFile(path); });
  }

 private:
  // A write-only file whose writes count as mutations; after the death it writes nothing, and
  // the inner file is closed as the system closes a dead process's handles.
  class CKillableFile : public CWriteFile {
   public:
    CKillableFile(CKillingPlatform& owner, std::unique_ptr<CWriteFile> inner, std::string path)
        : owner_(owner), inner_(std::move(inner)), path_(std::move(path)) {}
    bool Write(const void* data, win::DWORD size) override {
      if (owner_.Dead()) {
        return false;
      }
      if (owner_.Due(EMutation::kWriteFile, path_)) {
        if (owner_.tear_ == ETear::kHalf && size > 1) {
          inner_->Write(data, size / 2);  // a torn line
        }
        owner_.Die();
      }
      return inner_->Write(data, size);
    }
    bool Truncate(std::uint64_t size) override {
      if (owner_.Dead()) {
        return false;
      }
      if (owner_.Due(EMutation::kTruncateFile, path_)) {
        owner_.Die();
      }
      return inner_->Truncate(size);
    }
    bool Flush() override { return !owner_.Dead() && inner_->Flush(); }
    bool Close() override { return owner_.Dead() || inner_->Close(); }

   private:
    CKillingPlatform& owner_;
    std::unique_ptr<CWriteFile> inner_;
    std::string path_;
  };

  // Opening a file for writing creates it: a change of its own.
  template <typename Open>
  std::unique_ptr<CWriteFile> Killable(const char* path, Open open) {
    if (Dead()) {
      return nullptr;
    }
    if (Due(EMutation::kCreateFile, path)) {
      Die();
    }
    auto file = open();
    if (!file) {
      return file;
    }
    return std::make_unique<CKillableFile>(*this, std::move(file), path);
  }

 protected:
  // For doubles that count changes of their own: Due records one and tells whether it is the
  // fatal one; Die then ends the process.
  bool Dead() const { return killed_; }
  bool Due(EMutation mutation, std::string path = std::string()) {
    mutations_.push_back(mutation);
    lastPath_ = std::move(path);
    return mutations_.size() == killAt_;
  }
  [[noreturn]] void Die() {
    killed_ = true;
    throw CKilled{mutations_.size(), mutations_.back(), lastPath_};
  }

 private:
  size_t killAt_;
  ETear tear_;
  bool killed_ = false;
  std::vector<EMutation> mutations_;
  std::string lastPath_;
};
