// A fresh machine for one test. Natively: an emulated machine in a new temporary directory.
// On Windows (under Wine): the real system, with a fresh scratch directory and a fresh scratch
// registry key. Both legs see the same Windows paths, so one test body serves both.
#pragma once

#include <memory>
#include <string>
#include <string_view>

#include "platform/platform.h"

#ifndef _WIN32
#include "platform/emulated/emulated_platform.h"
#endif

class CTestMachine {
 public:
  CTestMachine();
  ~CTestMachine();
  CTestMachine(const CTestMachine&) = delete;
  CTestMachine& operator=(const CTestMachine&) = delete;

  CPlatform& Platform() { return *platform_; }
  // Windows path of a fresh, empty scratch directory, ending in a backslash.
  const std::string& Dir() const { return dir_; }
  // A fresh scratch key path below HKEY_LOCAL_MACHINE; not created yet.
  const std::string& RegRoot() const { return regRoot_; }

  // Writes a file through the platform (its directory must exist); fails the test on error.
  void WriteFile(const std::string& windowsPath, std::string_view bytes);
  // Reads a whole file through the platform; fails the test on error.
  std::string ReadFile(const std::string& windowsPath);
  void MakeDir(const std::string& windowsPath);
  bool Exists(const std::string& windowsPath);

#ifndef _WIN32
  CEmulatedPlatform& Emulated() {
    return *emulated_;
  }
  const std::string& HostRoot() const {
    return hostRoot_;
  }
#endif

 private:
  std::unique_ptr<CPlatform> platform_;
  std::string dir_;
  std::string regRoot_;
#ifndef _WIN32
  CEmulatedPlatform* emulated_ = nullptr;
  std::string hostRoot_;
#endif
};
