// The real Win32 implementation of the platform interface. Every registry access carries
// KEY_WOW64_32KEY, so a 64-bit build reads and writes the 32-bit view as the release does.
#pragma once

#include "platform/platform.h"

// <windows.h> maps AnsiToOem to CharToOemA and OemToAnsi to OemToCharA; a file that includes it
// before this header still sees the platform methods under their own names.
#ifdef AnsiToOem
#undef AnsiToOem
#endif
#ifdef OemToAnsi
#undef OemToAnsi
#endif

class CWin32Platform : public CPlatform {
 public:
  // instance: the module whose resources (dialog 102, icon 128, string table) are used.
  explicit CWin32Platform(void* instance);
  ~CWin32Platform() override;

  win::DWORD GetLastError() override;
  void SetLastError(win::DWORD code) override;
  bool FormatSystemMessage(win::DWORD code, win::DWORD languageId, std::string& text) override;
  std::string LoadStringA(win::UINT id) override;
  std::string AnsiToOem(std::string_view text) override;
  std::string OemToAnsi(std::string_view text) override;
  bool Is64BitWindows() override;

  win::UINT GetWindowsDirectoryA(char* buffer, win::UINT size) override;
  win::DWORD GetModuleFileNameA(char* buffer, win::DWORD size) override;
  win::DWORD GetShortPathNameA(const char* longPath, char* buffer, win::DWORD size) override;
  win::DWORD GetFullPathNameA(const char* path, char* buffer, win::DWORD size) override;

  win::LONG RegCreateKeyExA(win::HKEY key, const char* subKey, win::HKEY* result) override;
  win::LONG RegOpenKeyExA(win::HKEY key, const char* subKey, win::HKEY* result) override;
  win::LONG RegQueryInfoKeyA(win::HKEY key, win::DWORD* subKeys, win::DWORD* maxSubKeyLen) override;
  win::LONG RegEnumKeyExA(win::HKEY key, win::DWORD index, char* name,
                          win::DWORD* nameLength) override;
  win::LONG RegQueryValueExA(win::HKEY key, const char* valueName, win::DWORD* type,
                             unsigned char* data, win::DWORD* dataSize) override;
  win::LONG RegSetValueExA(win::HKEY key, const char* valueName, win::DWORD type,
                           const unsigned char* data, win::DWORD dataSize) override;
  win::LONG RegEnumValueA(win::HKEY key, win::DWORD index, char* name, win::DWORD* nameLength,
                          win::DWORD* type, unsigned char* data, win::DWORD* dataSize) override;
  win::LONG RegDeleteKeyA(win::HKEY key, const char* subKey) override;
  win::LONG RegFlushKey(win::HKEY key) override;
  win::LONG RegCloseKey(win::HKEY key) override;

  win::DWORD GetPrivateProfileStringA(const char* section, const char* key,
                                      const char* defaultValue, char* buffer, win::DWORD size,
                                      const char* fileName) override;
  win::UINT GetPrivateProfileIntA(const char* section, const char* key, int defaultValue,
                                  const char* fileName) override;

  bool CreateDirectoryA(const char* path) override;
  bool CopyFileA(const char* existing, const char* target, bool failIfExists) override;
  bool DeleteFileA(const char* path) override;
  bool MoveFileExA(const char* existing, const char* target, bool replaceExisting) override;
  win::DWORD GetFileAttributesA(const char* path) override;
  bool SetFileAttributesA(const char* path, win::DWORD attributes) override;
  win::HFIND FindFirstFileA(const char* pattern, win::FindData& data) override;
  bool FindNextFileA(win::HFIND find, win::FindData& data) override;
  bool FindClose(win::HFIND find) override;
  bool FlushFiles(const std::vector<std::string>& paths) override;
  bool ReadWholeFile(const char* path, std::string& data) override;
  std::unique_ptr<CWriteFile> CreateWriteFile(const char* path) override;
  std::unique_ptr<CWriteFile> OpenAppendFile(const char* path) override;

  int DoModal(CDialogClient& client) override;
  void SetDialogIcons() override;
  void PostCheckInstallation() override;
  void SetDlgItemTextA(int controlId, const std::string& text) override;
  std::string GetDlgItemTextA(int controlId) override;
  void EndDialog(int result) override;
  int MessageBoxA(const std::string& text, win::UINT type) override;

 private:
  struct Dialog;  // the window state of the running dialog, defined with the dialog procedure

  // The application title: the executable's file name without directory and extension.
  std::string ApplicationTitle();

  void* instance_;
  std::unique_ptr<Dialog> dialog_;
};
