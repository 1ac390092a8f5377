// Profile reading for the emulated machine: INI files parsed as Windows parses them, each file
// parsed once and served from that parse until it changes on disk.
#pragma once

#include <memory>
#include <string>

#include "platform/platform.h"

class CProfileCache {
 public:
  CProfileCache();
  ~CProfileCache();

  // GetPrivateProfileStringA on the file at hostPath (empty or missing: no file). With a null
  // section: the list of section names; with a null key: the list of the section's key names.
  win::DWORD GetString(const char* section, const char* key, const char* defaultValue, char* buffer,
                       win::DWORD size, const std::string& hostPath);
  // GetPrivateProfileIntA on the file at hostPath.
  win::UINT GetInt(const char* section, const char* key, int defaultValue,
                   const std::string& hostPath);

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};
