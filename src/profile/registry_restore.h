// The registry's half of the way back. Before a run first changes the registry it writes
// Backup\restore.reg: a REGEDIT4 file that, imported, puts back exactly what the run is about to
// change, namely the product key's whole subtree and the uninstall entry's "UninstallString".
#pragma once

#include <string>
#include <vector>

#include "platform/platform.h"

class CRegistryRestore {
 public:
  static constexpr const char* kFileName = "restore.reg";

  explicit CRegistryRestore(CPlatform& platform);

  // Reads, in memory, the product key's subtree (or where its path begins to be missing) and,
  // when uninstallEntry (a key path below HKEY_LOCAL_MACHINE) is given, that entry's
  // "UninstallString". restore.reg is to go into backupDirectory; empty for nowhere. A
  // snapshot that cannot be read whole gives no file.
  void TakeSnapshot(const std::string& backupDirectory, const std::string& uninstallEntry);

  // To be called right before each change of the registry: true when restore.reg is on the
  // disk, so that the change may be made. The first call after TakeSnapshot writes it (file and
  // name flushed) unless it exists already; later calls give the first one's answer. False, with
  // FailedPath and FailedError telling why, when it cannot be written (Backup cannot be made,
  // the disk is full, the snapshot could not be read whole): then nothing may be changed.
  bool BeforeRegistryChange();
  const std::string& FailedPath() const { return failedPath_; }
  win::DWORD FailedError() const { return failedError_; }

  // The text of restore.reg for the snapshot (CR LF line ends, ANSI).
  std::string Text() const;

 private:
  struct Value {
    std::string name;
    win::DWORD type = 0;
    std::string data;
  };
  struct Key {
    std::string path;  // below HKEY_LOCAL_MACHINE
    std::vector<Value> values;
  };

  // Appends key and its subtree, in enumeration order; false when something cannot be read.
  bool ReadTree(win::HKEY key, const std::string& path);
  // Appends the names of key's subkeys, in enumeration order; false when one cannot be read
  // (the names before it are appended).
  bool ReadSubkeyNames(win::HKEY key, std::vector<std::string>& names);
  // The key path (with a parent) with its last name as the registry spells it; path itself
  // when that cannot be read.
  std::string AsSpelled(const std::string& path);
  bool ReadValues(win::HKEY key, std::vector<Value>& values);
  bool ReadValue(win::HKEY key, const std::string& name, Value& value);
  // The key's name in the file: regedit reaches the 32-bit view below SOFTWARE\WOW6432Node on
  // 64-bit Windows.
  std::string FileKeyName(const std::string& path) const;
  bool Write();
  bool Fail(const std::string& path, win::DWORD error);

  CPlatform& platform_;
  bool pending_ = false;   // a snapshot was taken and nothing decided yet
  bool complete_ = false;  // the snapshot holds everything restore.reg is to put back
  bool ready_ = false;     // the first call's answer
  std::string failedPath_;
  win::DWORD failedError_ = 0;
  bool is64Bit_ = false;
  std::string backupDirectory_;
  std::string deletedKey_;        // the product key, or the first key of its path that is missing
  std::vector<Key> productTree_;  // empty when the product key is missing
  std::string entryPath_;         // empty when there is no entry
  bool entryHasCommand_ = false;
  Value entryCommand_;
};
