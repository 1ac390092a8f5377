// A platform double: forwards every call to a real platform. Tests derive from it and
// override the calls they want to watch or make fail.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "platform/platform.h"

class CPlatformProxy : public CPlatform {
 public:
  explicit CPlatformProxy(CPlatform& inner) : inner_(inner) {}

  win::DWORD GetLastError() override { return inner_.GetLastError(); }
  void SetLastError(win::DWORD code) override { inner_.SetLastError(code); }
  bool FormatSystemMessage(win::DWORD code, win::DWORD languageId, std::string& text) override {
    return inner_.FormatSystemMessage(code, languageId, text);
  }
  std::string LoadStringA(win::UINT id) override { return inner_.LoadStringA(id); }
  std::string AnsiToOem(std::string_view text) override { return inner_.AnsiToOem(text); }
  std::string OemToAnsi(std::string_view text) override { return inner_.OemToAnsi(text); }
  bool Is64BitWindows() override { return inner_.Is64BitWindows(); }
  win::UINT GetWindowsDirectoryA(char* buffer, win::UINT size) override {
    return inner_.GetWindowsDirectoryA(buffer, size);
  }
  win::DWORD GetModuleFileNameA(char* buffer, win::DWORD size) override {
    return inner_.GetModuleFileNameA(buffer, size);
  }
  win::DWORD GetShortPathNameA(const char* longPath, char* buffer, win::DWORD size) override {
    return inner_.GetShortPathNameA(longPath, buffer, size);
  }
  win::DWORD GetFullPathNameA(const char* path, char* buffer, win::DWORD size) override {
    return inner_.GetFullPathNameA(path, buffer, size);
  }
  win::LONG RegCreateKeyExA(win::HKEY key, const char* subKey, win::HKEY* result) override {
    return inner_.RegCreateKeyExA(key, subKey, result);
  }
  win::LONG RegOpenKeyExA(win::HKEY key, const char* subKey, win::HKEY* result) override {
    return inner_.RegOpenKeyExA(key, subKey, result);
  }
  win::LONG RegQueryInfoKeyA(win::HKEY key, win::DWORD* subKeys,
                             win::DWORD* maxSubKeyLen) override {
    return inner_.RegQueryInfoKeyA(key, subKeys, maxSubKeyLen);
  }
  win::LONG RegEnumKeyExA(win::HKEY key, win::DWORD index, char* name,
                          win::DWORD* nameLength) override {
    return inner_.RegEnumKeyExA(key, index, name, nameLength);
  }
  win::LONG RegQueryValueExA(win::HKEY key, const char* valueName, win::DWORD* type,
                             unsigned char* data, win::DWORD* dataSize) override {
    return inner_.RegQueryValueExA(key, valueName, type, data, dataSize);
  }
  win::LONG RegSetValueExA(win::HKEY key, const char* valueName, win::DWORD type,
                           const unsigned char* data, win::DWORD dataSize) override {
    return inner_.RegSetValueExA(key, valueName, type, data, dataSize);
  }
  win::LONG RegEnumValueA(win::HKEY key, win::DWORD index, char* name, win::DWORD* nameLength,
                          win::DWORD* type, unsigned char* data, win::DWORD* dataSize) override {
    return inner_.RegEnumValueA(key, index, name, nameLength, type, data, dataSize);
  }
  win::LONG RegDeleteKeyA(win::HKEY key, const char* subKey) override {
    return inner_.RegDeleteKeyA(key, subKey);
  }
  win::LONG RegFlushKey(win::HKEY key) override { return inner_.RegFlushKey(key); }
  win::LONG RegCloseKey(win::HKEY key) override { return inner_.RegCloseKey(key); }
  win::DWORD GetPrivateProfileStringA(const char* section, const char* key,
                                      const char* defaultValue, char* buffer, win::DWORD size,
                                      const char* fileName) override {
    return inner_.GetPrivateProfileStringA(section, key, defaultValue, buffer, size, fileName);
  }
  win::UINT GetPrivateProfileIntA(const char* section, const char* key, int defaultValue,
                                  const char* fileName) override {
    return inner_.GetPrivateProfileIntA(section, key, defaultValue, fileName);
  }
  bool CreateDirectoryA(const char* path) override { return inner_.CreateDirectoryA(path); }
  bool CopyFileA(const char* existing, const char* target, bool failIfExists) override {
    return inner_.CopyFileA(existing, target, failIfExists);
  }
  bool DeleteFileA(const char* path) override { return inner_.DeleteFileA(path); }
  bool MoveFileExA(const char* existing, const char* target, bool replaceExisting) override {
    return inner_.MoveFileExA(existing, target, replaceExisting);
  }
  win::DWORD GetFileAttributesA(const char* path) override {
    return inner_.GetFileAttributesA(path);
  }
  bool SetFileAttributesA(const char* path, win::DWORD attributes) override {
    return inner_.SetFileAttributesA(path, attributes);
  }
  win::HFIND FindFirstFileA(const char* pattern, win::FindData& data) override {
    return inner_.FindFirstFileA(pattern, data);
  }
  bool FindNextFileA(win::HFIND find, win::FindData& data) override {
    return inner_.FindNextFileA(find, data);
  }
  bool FindClose(win::HFIND find) override { return inner_.FindClose(find); }
  bool FlushFiles(const std::vector<std::string>& paths) override {
    return inner_.FlushFiles(paths);
  }
  bool ReadWholeFile(const char* path, std::string& data) override {
    return inner_.ReadWholeFile(path, data);
  }
  std::unique_ptr<CWriteFile> CreateWriteFile(const char* path) override {
    return inner_.CreateWriteFile(path);
  }
  std::unique_ptr<CWriteFile> OpenAppendFile(const char* path) override {
    return inner_.OpenAppendFile(path);
  }

  // The dialog host is recorded, never shown: tests run without a display.
  int DoModal(CDialogClient& client) override {
    client.OnInitDialog();
    while (pendingStart_ && endResult_ == 0) {
      pendingStart_ = false;
      client.OnCheckInstallation();
    }
    return endResult_ == 0 ? win::kIdCancel : endResult_;
  }
  void SetDialogIcons() override { iconsSet_ = true; }
  void PostCheckInstallation() override { pendingStart_ = true; }
  void SetDlgItemTextA(int controlId, const std::string& text) override {
    (controlId == 1000 ? status_ : detail_) = text;
    detailHistory_.push_back(detail_);
  }
  std::string GetDlgItemTextA(int controlId) override {
    return controlId == 1000 ? status_ : detail_;
  }
  void EndDialog(int result) override { endResult_ = result; }
  int MessageBoxA(const std::string& text, win::UINT type) override {
    messages_.push_back(text);
    messageTypes_.push_back(type);
    return win::kIdOk;
  }

  CPlatform& Inner() { return inner_; }
  const std::vector<std::string>& Messages() const { return messages_; }
  const std::vector<win::UINT>& MessageTypes() const { return messageTypes_; }
  int EndResult() const { return endResult_; }
  const std::string& Status() const { return status_; }
  const std::string& Detail() const { return detail_; }
  // The detail line after every refresh of a control, in order.
  const std::vector<std::string>& DetailHistory() const { return detailHistory_; }
  bool IconsSet() const { return iconsSet_; }

 private:
  CPlatform& inner_;
  bool pendingStart_ = false;
  bool iconsSet_ = false;
  int endResult_ = 0;
  std::string status_;
  std::string detail_;
  std::vector<std::string> detailHistory_;
  std::vector<std::string> messages_;
  std::vector<win::UINT> messageTypes_;
};
