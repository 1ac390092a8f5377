#include "support/test_machine.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <filesystem>
#include <string>

#ifdef _WIN32
#include <windows.h>

#include "platform/win32/win32_platform.h"
#else
#include <unistd.h>
#endif

namespace {

std::atomic<int> gMachineCount{0};

std::string UniqueTag() {
#ifdef _WIN32
  const unsigned long pid = ::GetCurrentProcessId();
#else
  const unsigned long pid = static_cast<unsigned long>(::getpid());
#endif
  return std::to_string(pid) + "-" + std::to_string(++gMachineCount);
}

}  // namespace

CTestMachine::CTestMachine() {
  const std::string tag = UniqueTag();
#ifdef _WIN32
  platform_ = std::make_unique<CWin32Platform>(::GetModuleHandleA(nullptr));
#else
  namespace fs = std::filesystem;
  hostRoot_ = (fs::temp_directory_path() / ("cvmachine-" + tag)).string();
  fs::remove_all(hostRoot_);
  fs::create_directories(fs::path(hostRoot_) / "drive_c" / "windows");
  CEmulatedMachineOptions options;
  options.root = hostRoot_;
  options.modulePath = "C:\\Program Files\\Vela\\CheckVela.exe";
  options.currentDirectory = "C:\\";
  auto emulated = std::make_unique<CEmulatedPlatform>(options);
  emulated_ = emulated.get();
  platform_ = std::move(emulated);
#endif
  Platform().CreateDirectoryA("C:\\cvtest");
  dir_ = "C:\\cvtest\\" + tag;
  EXPECT_TRUE(Platform().CreateDirectoryA(dir_.c_str())) << dir_;
  dir_ += "\\";
  regRoot_ = "SOFTWARE\\CheckVelaTest\\" + tag;
}

CTestMachine::~CTestMachine() {
#ifndef _WIN32
  std::error_code ignored;
  // Make read-only test files removable again before removing the machine.
  for (auto it = std::filesystem::recursive_directory_iterator(hostRoot_, ignored);
       it != std::filesystem::recursive_directory_iterator(); it.increment(ignored)) {
    std::filesystem::permissions(it->path(), std::filesystem::perms::owner_all,
                                 std::filesystem::perm_options::add, ignored);
  }
  if (std::getenv("CHECKVELA_KEEP_MACHINES") == nullptr) {
    std::filesystem::remove_all(hostRoot_, ignored);
  }
#endif
}

void CTestMachine::WriteFile(const std::string& windowsPath, std::string_view bytes) {
  auto file = Platform().CreateWriteFile(windowsPath.c_str());
  ASSERT_TRUE(file) << "cannot create " << windowsPath << ": " << Platform().GetLastError();
  ASSERT_TRUE(file->Write(bytes.data(), static_cast<win::DWORD>(bytes.size()))) << windowsPath;
  ASSERT_TRUE(file->Close()) << windowsPath;
}

std::string CTestMachine::ReadFile(const std::string& windowsPath) {
  std::string data;
  EXPECT_TRUE(Platform().ReadWholeFile(windowsPath.c_str(), data))
      << "cannot read " << windowsPath << ": " << Platform().GetLastError();
  return data;
}

void CTestMachine::MakeDir(const std::string& windowsPath) {
  EXPECT_TRUE(Platform().CreateDirectoryA(windowsPath.c_str())) << windowsPath;
}

bool CTestMachine::Exists(const std::string& windowsPath) {
  return Platform().GetFileAttributesA(windowsPath.c_str()) != win::kInvalidFileAttributes;
}
