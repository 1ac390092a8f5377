// The emulated Windows machine: a host directory that stands for one Windows machine, the way a
// Wine prefix does. <root>/drive_c is drive C: (drive_x is X:), any other absolute host path
// /a/b is Z:\a\b, HKEY_LOCAL_MACHINE lives in <root>/registry.reg, and the Windows directory
// is C:\windows. Paths are matched without regard to case, component by component, with \ and
// / both separating components. Text is in the ANSI code page (Windows-1252); host file names
// are UTF-8.
#pragma once

#include <sys/stat.h>

#include <cstdint>
#include <iosfwd>
#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

#include "platform/emulated/profile.h"
#include "platform/platform.h"

struct CEmulatedMachineOptions {
  std::string root;              // host directory of the machine
  std::string modulePath;        // Windows path of the program; empty: the executable's own
  std::string currentDirectory;  // Windows path; empty: the process's current directory
  std::ostream* out = nullptr;   // the two text lines; null: std::cout
  std::ostream* err = nullptr;   // message boxes; null: std::cerr
  // Only what POSIX offers, none of the host's extras (syncfs, inotify, ...): the plain
  // fallbacks that any POSIX host takes. Also set by CHECKVELA_POSIX_ONLY=1 in the environment.
  bool posixOnly = false;
};

class CEmulatedRegistry;

class CEmulatedPlatform : public CPlatform {
 public:
  explicit CEmulatedPlatform(CEmulatedMachineOptions options);
  ~CEmulatedPlatform() override;

  // Loads <root>/registry.reg (missing means empty). False, with a message naming the file
  // and the line, when the file is malformed; the registry is then empty and nothing may be
  // saved over the file.
  bool LoadRegistry(std::string& error);
  // Writes the registry to <root>/registry.reg through a temporary file that replaces it.
  bool SaveRegistry(std::string& error);
  // Saves as SaveRegistry does when the registry has changed since it was loaded or last saved,
  // or when there was no file to load; otherwise the file holds it already and stays as it is.
  bool SaveRegistryIfChanged(std::string& error);
  // Imports the text of a .reg file into the registry as regedit does (CEmulatedRegistry::Import).
  bool ImportRegistry(const std::string& fileBytes, std::string& error);

  // Host path of a Windows path, resolved without regard to case where components exist;
  // components that do not exist keep the spelling given. Empty for a path outside any drive.
  std::string HostPath(const std::string& windowsPath) const;
  // Windows path of a host path (drive_x -> X:, others -> Z:).
  std::string WindowsPath(const std::string& hostPath) const;
  const std::string& Root() const { return options_.root; }

  // Message boxes shown so far (the console host acknowledges each at once).
  int MessageBoxCount() const { return messageBoxes_; }
  // How many times a flush has waited for the disk so far (an fsync or a syncfs).
  int DiskWaits() const { return diskWaits_; }
  // True when the machine keeps to what POSIX offers (CEmulatedMachineOptions::posixOnly).
  bool PosixOnly() const { return options_.posixOnly; }

  // CPlatform
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
  // Saves registry.reg (as SaveRegistry does) when the registry has changed since it was
  // loaded or last saved: the emulated hive is that file.
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
  friend class CEmulatedWriteFile;

  CEmulatedMachineOptions options_;
  win::DWORD lastError_ = 0;
  int messageBoxes_ = 0;
  std::unique_ptr<CEmulatedRegistry> registry_;
  std::unique_ptr<CProfileCache> profiles_;

  // A Windows path taken apart: its drive and its normalized components.
  struct ParsedPath {
    char drive = 0;  // upper-case drive letter; 0 when the path has none
    // ANSI names, without "." and ".."; they point into the parsed text or into the current
    // directory's text, so a ParsedPath lives no longer than the text it was parsed from.
    std::vector<std::string_view> components;
    bool trailingSeparator = false;  // the path ended in \ or /
  };
  // What resolving a path found out about its host object, so that the caller need not look
  // again: the status it took, or that the object is missing and whether its directory exists.
  enum class EFound { kUnknown, kExists, kMissing };
  // A Windows path resolved on the host.
  struct HostTarget {
    std::string host;  // host path; empty when the path names no drive
    bool trailingSeparator = false;
    win::DWORD error = 0;  // why the path cannot name a file (3, 123), or 0
    EFound found = EFound::kUnknown;
    struct stat status {};         // kExists: the object's status (of a link itself with lstat)
    bool directoryExists = false;  // kMissing: the host path's directory is a directory
    bool made = false;             // kExists from a file that CopyFileA made (made_), not looked at
    bool trusted = false;          // kExists from the trusted profile file's status, not looked at
  };
  struct Search {
    std::vector<win::FindData> entries;
    size_t next = 0;
  };
  // The profile file read last, which later reads of the same name are served from without
  // looking at the disk, until this process changes that file (see GetPrivateProfileStringA).
  struct TrustedProfile {
    bool valid = false;
    std::string fileName;  // as the caller gave it
    std::string path;      // the Windows path read: fileName, a bare name in the Windows directory
    std::string host;
    struct stat status {};  // as its read looked at it: which file it is, and its attributes
  };

  // The host text of a directory that Windows paths name, by the Windows text up to and
  // including a path's last separator. The mapping is text alone (the current directory never
  // changes), so Resolve builds it once per directory; whether the host has it is looked at
  // each time.
  struct DirectoryText {
    std::string host;
    size_t rootLength = 0;  // of the drive's host directory, at the start of host
    bool allowed = true;    // no component holds a character that Windows forbids
  };
  // The directory of path as above, with the name in it: null when path names no name in a
  // directory (no separator, or it ends in one, or in "." or "..") or parses to no drive.
  const DirectoryText* KnownDirectory(std::string_view path, std::string_view& name) const;

  bool ParseWindowsPath(std::string_view path, ParsedPath& parsed) const;
  // The full Windows path of a parsed one: "X:", each component after a "\", and a "\" for a
  // drive's root or a trailing separator.
  static std::string FullPathText(const ParsedPath& parsed);
  // Resolves a path; with lastLink the last component is looked at itself when it is a link.
  // A call of the program that resolves two paths passes the same changesRead to both, so that
  // the changes to indexed directories are read once for the call.
  // With trustMade, a file that CopyFileA made and this process has not changed since is taken
  // to be there as made (made_).
  HostTarget Resolve(const char* windowsPath, bool lastLink = false, bool* changesRead = nullptr,
                     bool trustMade = false) const;
  // The status of a resolved target: 0 with st, or the Windows error of a missing or
  // unreadable object, as ErrnoError gives it.
  win::DWORD StatusOf(const HostTarget& target, struct stat& st) const;
  // The status of a target that is to be written, copied or moved onto: 0 with exists telling
  // whether it is there (and st its status), or ERROR_PATH_NOT_FOUND when its directory is not.
  win::DWORD TargetStatus(const HostTarget& target, struct stat& st, bool& exists) const;
  // Resolves a file that is to be read: 0 with its host target and status, or the Windows
  // error (a directory, a missing file, a name with a trailing separator).
  win::DWORD ResolveFileToRead(const char* path, HostTarget& target, struct stat& st,
                               bool* changesRead = nullptr, bool trustMade = false) const;
  // Sets the last error and returns false, for the file functions' failure paths.
  bool Fail(win::DWORD code);
  // ERROR_FILE_NOT_FOUND when the host path's directory exists, else ERROR_PATH_NOT_FOUND.
  win::DWORD MissingError(const std::string& host) const;
  // The Windows error code of a host errno on host path.
  win::DWORD ErrnoError(int error, const std::string& host) const;
  // The host path of the file GetPrivateProfileStringA reads for fileName, and what is known
  // about it: trusted, or what resolving it found out. Valid until the next call.
  const std::string& ProfileFile(const char* fileName, CProfileCache::CKnown& known);
  // This process has changed the file at host (st: its status when known): a trusted profile
  // of that file is looked at again, a copy made there is no longer taken as made, and the
  // change gets the next number of changes_.
  void Changed(const std::string& host, const struct stat* st);
  // True when a syncfs of the file system device began after the change numbered change.
  bool SyncedSince(dev_t device, std::uint64_t change) const;
  void ShowLine(int controlId);
  // A file opened for writing only: truncated, or (append) written on at its end.
  std::unique_ptr<CWriteFile> OpenWriteFile(const char* path, bool append);
  // Permission bits that the process's file mode creation mask takes from a new file.
  mode_t CreationMask();

  mutable ParsedPath resolveParsed_;  // Resolve's, kept so that its room is reused
  // Host paths are found by a string_view without a copy.
  struct TextHash {
    using is_transparent = void;
    size_t operator()(std::string_view text) const { return std::hash<std::string_view>{}(text); }
  };
  mutable std::unordered_map<std::string, DirectoryText, TextHash, std::equal_to<>> directories_;
  static constexpr size_t kMaxDirectories = 256;  // more are forgotten at once
  std::string currentDirectoryText_;  // the current directory, which currentDirectory_ parses
  ParsedPath currentDirectory_;
  TrustedProfile trustedProfile_;
  // The files that CopyFileA made and that this process has not changed since, by host path,
  // with their status as made. The migration copies each file to a temporary name, looks at the
  // copy's attributes, reads it back, flushes it and renames it: those calls
  // (GetFileAttributesA, ReadWholeFile, FlushFiles, MoveFileExA's source) take it to be there
  // as made instead of looking, until this process changes it through the platform (Changed).
  // What another process does to it in between still shows where the bytes are read or the
  // name is used: a read or a rename of a copy that is gone fails as the look would have.
  std::unordered_map<std::string, struct stat> made_;
  // More than this many are forgotten at once: a forgotten copy is only looked at again.
  static constexpr size_t kMaxMade = 16384;
  std::string profileHost_;               // what ProfileFile returns for a file it does not trust
  int creationMask_ = -1;                 // -1 until read
  std::vector<std::string> rootAliases_;  // the root as given and as the host resolves it
  std::map<win::HFIND, Search> searches_;
  win::HFIND nextSearch_ = 1;
  // Changes that this process made through the platform, counted (Changed), and the count at
  // which the last successful syncfs of each file system began.
  std::uint64_t changes_ = 0;
  std::vector<std::pair<dev_t, std::uint64_t>> syncs_;
  int diskWaits_ = 0;
  bool registryLoadFailed_ = false;
  bool registryChanged_ = false;   // since the registry was loaded or last saved
  bool registryFileRead_ = false;  // the registry was loaded from a file, or saved to one
  // Dialog state.
  bool startPending_ = false;
  bool ended_ = false;
  int endResult_ = 0;
  bool iconsSet_ = false;
  bool linesOnTerminal_ = false;
  bool linesShown_ = false;
  std::map<int, std::string> dialogTexts_;
};
