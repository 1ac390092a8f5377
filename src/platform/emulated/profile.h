// Profile reading for the emulated machine: INI files parsed as Windows parses them, each file
// parsed once and served from that parse until it changes on disk.
#pragma once

#include <sys/stat.h>

#include <memory>
#include <string>

#include "platform/platform.h"

class CProfileCache {
 public:
  // What the caller has found out about the file just before a query, so that the cache need
  // not look again.
  struct CKnown {
    enum class EWhat {
      kNothing,  // the cache looks at the file itself
      kStatus,   // status is the file's status, taken just now
      kMissing,  // the file does not exist; directoryExists tells whether its directory does
      kTrusted,  // the file is the one read last and has not changed: a parse of it is served
    };
    EWhat what = EWhat::kNothing;
    struct stat status {};
    bool directoryExists = false;
  };

  CProfileCache();
  ~CProfileCache();

  // GetPrivateProfileStringA on the file at hostPath (empty or missing: no file). With a null
  // section: the list of section names; with a null key: the list of the section's key names.
  win::DWORD GetString(const char* section, const char* key, const char* defaultValue, char* buffer,
                       win::DWORD size, const std::string& hostPath);
  win::DWORD GetString(const char* section, const char* key, const char* defaultValue, char* buffer,
                       win::DWORD size, const std::string& hostPath, const CKnown& known);
  // GetPrivateProfileIntA on the file at hostPath.
  win::UINT GetInt(const char* section, const char* key, int defaultValue,
                   const std::string& hostPath);
  win::UINT GetInt(const char* section, const char* key, int defaultValue,
                   const std::string& hostPath, const CKnown& known);

  // The bytes of the file at hostPath as they were read for the parse it holds (files of up to
  // kMaxBytesKept bytes); null when it holds none. They are what that read gave, not looked at
  // again.
  const std::string* Bytes(const std::string& hostPath) const;

  // The most files whose parse is kept: a run reads thousands of files, one after another.
  static constexpr std::size_t kMaxFiles = 4;
  // The largest file whose bytes are kept beside its parse.
  static constexpr std::size_t kMaxBytesKept = 65536;

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};
