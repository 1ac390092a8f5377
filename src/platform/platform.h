// The Windows surface that CheckVela uses, as one abstract interface.
//
// The portable core calls only this interface. CWin32Platform forwards each call to the real
// Win32 function of the same name; CEmulatedPlatform provides the same semantics on a POSIX
// host over a directory that stands for a Windows machine. Tests pass doubles that fail
// chosen calls.
//
// Methods mirror the Win32 ANSI functions by name and by buffer semantics where the program
// depends on them (profile strings, subkey enumeration, value queries, path buffers). Strings
// are bytes in the system's ANSI code page. Functions that fail set the last error, as
// Windows does; registry functions return their Windows error code instead.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace win {

using DWORD = std::uint32_t;
using LONG = std::int32_t;
using UINT = std::uint32_t;

// Windows error codes the program and the emulation produce.
constexpr DWORD kErrorSuccess = 0;
constexpr DWORD kErrorFileNotFound = 2;
constexpr DWORD kErrorPathNotFound = 3;
constexpr DWORD kErrorAccessDenied = 5;
constexpr DWORD kErrorInvalidHandle = 6;
constexpr DWORD kErrorNotEnoughMemory = 8;
constexpr DWORD kErrorNoMoreFiles = 18;
constexpr DWORD kErrorWriteFault = 29;
constexpr DWORD kErrorSharingViolation = 32;
constexpr DWORD kErrorHandleDiskFull = 39;
constexpr DWORD kErrorFileExists = 80;
constexpr DWORD kErrorCannotMake = 82;
constexpr DWORD kErrorInvalidParameter = 87;
constexpr DWORD kErrorDiskFull = 112;
constexpr DWORD kErrorInsufficientBuffer = 122;
constexpr DWORD kErrorInvalidName = 123;
constexpr DWORD kErrorDirNotEmpty = 145;
constexpr DWORD kErrorBadPathname = 161;
constexpr DWORD kErrorAlreadyExists = 183;
constexpr DWORD kErrorFilenameExcedRange = 206;
constexpr DWORD kErrorMoreData = 234;
constexpr DWORD kErrorNoMoreItems = 259;
constexpr DWORD kErrorDirectory = 267;
constexpr DWORD kErrorBadFormat = 11;
constexpr DWORD kErrorBadExeFormat = 193;
constexpr DWORD kErrorMrMidNotFound = 317;
constexpr DWORD kErrorRegistryCorrupt = 1015;
constexpr DWORD kErrorRegistryIoFailed = 1016;
constexpr DWORD kErrorResourceLangNotFound = 1815;
constexpr DWORD kErrorMuiFileNotFound = 15100;

// Language ids for system message texts: the system default language, and 0 for the system's
// own search order (neutral, thread, user and system default languages, then US English).
constexpr DWORD kLangSystemDefault = 0x0800;
constexpr DWORD kLangSearchOrder = 0;

// Registry value types.
constexpr DWORD kRegNone = 0;
constexpr DWORD kRegSz = 1;
constexpr DWORD kRegExpandSz = 2;
constexpr DWORD kRegBinary = 3;
constexpr DWORD kRegDword = 4;
constexpr DWORD kRegMultiSz = 7;

// File attributes.
constexpr DWORD kFileAttributeReadOnly = 0x01;
constexpr DWORD kFileAttributeDirectory = 0x10;
constexpr DWORD kFileAttributeNormal = 0x80;
constexpr DWORD kInvalidFileAttributes = 0xFFFFFFFF;

// Message box styles and results.
constexpr UINT kMbOk = 0x00;
constexpr UINT kMbIconStop = 0x10;
constexpr UINT kMbIconExclamation = 0x30;
constexpr int kIdOk = 1;
constexpr int kIdCancel = 2;

// A registry key handle. kHkeyLocalMachine is the predefined root; 0 is no key.
using HKEY = std::uintptr_t;
constexpr HKEY kHkeyLocalMachine = 0x80000002;

// A file search handle; kInvalidFind is what a failed FindFirstFileA returns.
using HFIND = std::uintptr_t;
constexpr HFIND kInvalidFind = ~static_cast<HFIND>(0);

// One entry that a file search reports.
struct FindData {
  DWORD attributes = 0;
  std::uint64_t size = 0;
  std::string name;  // the name as the file system spells it, without a directory
};

}  // namespace win

// A file opened for writing only, created or truncated, shared with no other opener.
class CWriteFile {
 public:
  virtual ~CWriteFile() = default;
  // Appends size bytes; false with the last error set when not all of them were written.
  virtual bool Write(const void* data, win::DWORD size) = 0;
  // Sets the file's size to size bytes (cutting off what lies beyond) and writes on from
  // there; false with the last error set on failure.
  virtual bool Truncate(std::uint64_t size) = 0;
  // Writes what was written so far through the system's cache to the disk
  // (FlushFileBuffers); false with the last error set on failure.
  virtual bool Flush() = 0;
  // Closes; false with the last error set when that failed. Idempotent. Closing flushes
  // nothing to the disk.
  virtual bool Close() = 0;
};

// The handlers of the progress dialog, called by the dialog host.
class CDialogClient {
 public:
  virtual ~CDialogClient() = default;
  // WM_INITDIALOG: the window exists; returns true to let the system set the focus.
  virtual bool OnInitDialog() = 0;
  // The private start message posted by OnInitDialog. The host never calls it while it runs;
  // a start message that arrives then is dropped.
  virtual void OnCheckInstallation() = 0;
};

class CPlatform {
 public:
  CPlatform() = default;
  CPlatform(const CPlatform&) = delete;
  CPlatform& operator=(const CPlatform&) = delete;
  virtual ~CPlatform() = default;

  // ---- Errors and texts
  virtual win::DWORD GetLastError() = 0;
  virtual void SetLastError(win::DWORD code) = 0;
  // The system's message text for code in language languageId (FormatMessageA from the system
  // table, inserts ignored: a %1 in the text stays as it is); false with the last error set when
  // the system has no text for code in that language.
  virtual bool FormatSystemMessage(win::DWORD code, win::DWORD languageId, std::string& text) = 0;
  // String id of the program's string table; empty when there is none.
  virtual std::string LoadStringA(win::UINT id) = 0;
  // Converts ANSI text to the OEM code page that cmd reads batch files in, and back. A
  // character that the target code page cannot hold comes out as another one.
  virtual std::string AnsiToOem(std::string_view text) = 0;
  virtual std::string OemToAnsi(std::string_view text) = 0;
  // True on 64-bit Windows, where the 32-bit registry view that the program uses lies below
  // SOFTWARE\WOW6432Node.
  virtual bool Is64BitWindows() = 0;

  // ---- Locations (Win32 buffer semantics: the length copied without the NUL, or the size
  // needed including the NUL when the buffer is too small, or 0 on failure).
  virtual win::UINT GetWindowsDirectoryA(char* buffer, win::UINT size) = 0;
  virtual win::DWORD GetModuleFileNameA(char* buffer, win::DWORD size) = 0;
  virtual win::DWORD GetShortPathNameA(const char* longPath, char* buffer, win::DWORD size) = 0;
  // The absolute form of path, resolved against the current directory.
  virtual win::DWORD GetFullPathNameA(const char* path, char* buffer, win::DWORD size) = 0;

  // ---- Registry. Keys are opened and created with full access, non-volatile, default
  // security, in the 32-bit view. Results are Windows error codes.
  virtual win::LONG RegCreateKeyExA(win::HKEY key, const char* subKey, win::HKEY* result) = 0;
  virtual win::LONG RegOpenKeyExA(win::HKEY key, const char* subKey, win::HKEY* result) = 0;
  virtual win::LONG RegQueryInfoKeyA(win::HKEY key, win::DWORD* subKeys,
                                     win::DWORD* maxSubKeyLen) = 0;
  // nameLength: in, the buffer's size in characters including the NUL; out, the name's length.
  virtual win::LONG RegEnumKeyExA(win::HKEY key, win::DWORD index, char* name,
                                  win::DWORD* nameLength) = 0;
  // data may be null to ask for the type and size only.
  virtual win::LONG RegQueryValueExA(win::HKEY key, const char* valueName, win::DWORD* type,
                                     unsigned char* data, win::DWORD* dataSize) = 0;
  virtual win::LONG RegSetValueExA(win::HKEY key, const char* valueName, win::DWORD type,
                                   const unsigned char* data, win::DWORD dataSize) = 0;
  // The value at index in the key's own order. nameLength: in, the buffer's size in
  // characters including the NUL; out, the name's length. data may be null to ask for the type
  // and size only.
  virtual win::LONG RegEnumValueA(win::HKEY key, win::DWORD index, char* name,
                                  win::DWORD* nameLength, win::DWORD* type, unsigned char* data,
                                  win::DWORD* dataSize) = 0;
  // Deletes a subkey that has no subkeys of its own, with its values.
  virtual win::LONG RegDeleteKeyA(win::HKEY key, const char* subKey) = 0;
  // Writes the key's hive to the disk and returns when it is there (RegFlushKey). Until then
  // a power cut may give the registry back as it was at some earlier flush.
  virtual win::LONG RegFlushKey(win::HKEY key) = 0;
  virtual win::LONG RegCloseKey(win::HKEY key) = 0;

  // ---- Profile reading (GetPrivateProfileStringA / GetPrivateProfileIntA semantics).
  virtual win::DWORD GetPrivateProfileStringA(const char* section, const char* key,
                                              const char* defaultValue, char* buffer,
                                              win::DWORD size, const char* fileName) = 0;
  virtual win::UINT GetPrivateProfileIntA(const char* section, const char* key, int defaultValue,
                                          const char* fileName) = 0;

  // ---- Files
  virtual bool CreateDirectoryA(const char* path) = 0;
  virtual bool CopyFileA(const char* existing, const char* target, bool failIfExists) = 0;
  virtual bool DeleteFileA(const char* path) = 0;
  // Renames a file within its volume (MoveFileExA); replaceExisting replaces a file of the
  // target's name, else the call fails when one exists.
  virtual bool MoveFileExA(const char* existing, const char* target, bool replaceExisting) = 0;
  virtual win::DWORD GetFileAttributesA(const char* path) = 0;
  virtual bool SetFileAttributesA(const char* path, win::DWORD attributes) = 0;
  virtual win::HFIND FindFirstFileA(const char* pattern, win::FindData& data) = 0;
  virtual bool FindNextFileA(win::HFIND find, win::FindData& data) = 0;
  virtual bool FindClose(win::HFIND find) = 0;
  // Writes each file's data, and each directory's entries, through the system's cache to the
  // disk, as FlushFileBuffers does on a handle opened for writing (a directory opened with
  // backup semantics); returns when all of it is there. A read-only file cannot be opened so
  // (ERROR_ACCESS_DENIED). False with the last error set at the first path that fails.
  // Closed files keep their data in the cache: CopyFileA, MoveFileExA and closing a file flush
  // nothing.
  virtual bool FlushFiles(const std::vector<std::string>& paths) = 0;
  // Reads a whole file; false with the last error set on failure.
  virtual bool ReadWholeFile(const char* path, std::string& data) = 0;
  // Creates or truncates a file for writing only; null with the last error set on failure.
  virtual std::unique_ptr<CWriteFile> CreateWriteFile(const char* path) = 0;
  // Opens a file for writing only at its end, creating it when it is missing, shared with no
  // other opener; null with the last error set on failure.
  virtual std::unique_ptr<CWriteFile> OpenAppendFile(const char* path) = 0;

  // ---- Dialog host: the progress dialog, built from dialog template 102.
  // Runs the dialog modally until EndDialog; returns its result. While OnCheckInstallation
  // runs, the window keeps answering the system at every SetDlgItemTextA, and nothing but the
  // client's own EndDialog ends it: closing it (close box, Alt+F4, Escape, Enter, WM_CLOSE)
  // does nothing until the handler returns.
  virtual int DoModal(CDialogClient& client) = 0;
  // Sets the dialog's large and small icon to icon 128.
  virtual void SetDialogIcons() = 0;
  // Posts the private start message (WM_APP + 100) to the dialog.
  virtual void PostCheckInstallation() = 0;
  virtual void SetDlgItemTextA(int controlId, const std::string& text) = 0;
  virtual std::string GetDlgItemTextA(int controlId) = 0;
  virtual void EndDialog(int result) = 0;
  // A message box owned by the dialog (when it exists), captioned with the application's
  // title, one OK button; type carries the icon. Returns the button pressed.
  virtual int MessageBoxA(const std::string& text, win::UINT type) = 0;
};

// A path from a call with the Win32 buffer rules (call(buffer, size) gives the length copied
// without the NUL, or the size needed with it when the buffer is too small, or 0 on failure),
// asked again with the size it needs; empty when the call fails.
template <typename Call>
std::string PathFromSystem(Call call) {
  std::string buffer(260, '\0');
  win::DWORD length = call(buffer.data(), static_cast<win::DWORD>(buffer.size()));
  if (length >= buffer.size()) {
    buffer.resize(length + 1);
    length = call(buffer.data(), static_cast<win::DWORD>(buffer.size()));
  }
  if (length == 0 || length >= buffer.size()) {
    return std::string();
  }
  buffer.resize(length);
  return buffer;
}

// Closes a registry key on every way out of the scope that opened it.
class CRegKey {
 public:
  explicit CRegKey(CPlatform& platform) : platform_(&platform) {}
  CRegKey(const CRegKey&) = delete;
  CRegKey& operator=(const CRegKey&) = delete;
  ~CRegKey() { Close(); }

  win::LONG Create(win::HKEY parent, const char* subKey) {
    Close();
    return platform_->RegCreateKeyExA(parent, subKey, &key_);
  }
  win::LONG Open(win::HKEY parent, const char* subKey) {
    Close();
    return platform_->RegOpenKeyExA(parent, subKey, &key_);
  }
  void Close() {
    if (key_ != 0) {
      platform_->RegCloseKey(key_);
      key_ = 0;
    }
  }
  win::HKEY Get() const { return key_; }
  bool IsOpen() const { return key_ != 0; }

 private:
  CPlatform* platform_;
  win::HKEY key_ = 0;
};

// Closes a file search on every way out.
class CFindHandle {
 public:
  explicit CFindHandle(CPlatform& platform) : platform_(&platform) {}
  CFindHandle(const CFindHandle&) = delete;
  CFindHandle& operator=(const CFindHandle&) = delete;
  ~CFindHandle() { Close(); }

  bool First(const std::string& pattern, win::FindData& data) {
    Close();
    find_ = platform_->FindFirstFileA(pattern.c_str(), data);
    return find_ != win::kInvalidFind;
  }
  bool Next(win::FindData& data) {
    return find_ != win::kInvalidFind && platform_->FindNextFileA(find_, data);
  }
  void Close() {
    if (find_ != win::kInvalidFind) {
      platform_->FindClose(find_);
      find_ = win::kInvalidFind;
    }
  }

 private:
  CPlatform* platform_;
  win::HFIND find_ = win::kInvalidFind;
};
