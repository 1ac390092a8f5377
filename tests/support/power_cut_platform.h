// A platform double that stands for a power cut, a blue screen or a reset: the process dies as
// under CKillingPlatform, and then the disk loses what the system had not yet written to it.
//
// Windows writes file data back lazily: CopyFileA, MoveFileExA and closing a file flush
// nothing, and only FlushFileBuffers (CWriteFile::Flush, FlushFiles) waits until the data is on
// the disk. NTFS journals its metadata (names, sizes, attributes) in the order it changes, but
// not file contents; FAT journals nothing, so a directory whose entries were not flushed may
// come back as it was at its last flush. The registry's hive is written by RegFlushKey, or by
// the system's lazy flush at some moment nobody knows.
//
// The double records every change since the last flush of each file and each directory; after
// the cut, ApplyCut rewrites the emulated machine's host directory into what the disk would
// hold, and the next run of the program finds that. Modelled on SQLite's crash-test file system
// (writes held until a sync; at the crash each is kept, dropped or torn at a sector) and on
// LevelDB's fault-injection env (files keep what was synced; new names not synced vanish).
//
// A test cuts before change k as the kill tests kill at change k: the double counts what the
// killer counts and also every flush (FlushFiles, CWriteFile::Flush, RegFlushKey), so that a
// cut can fall right before or right after one. Calls that fail are taken to have changed
// nothing. Files that existed before the run are durable as they were.
//
// Not modelled: other mixes of kept and lost writes than the three data modes give; attribute
// changes being lost (they persist in every mode); renamed directories (the emulated machine
// renames files only); a FlushFiles that fails part way (none of it counts as done); anything
// that reaches the host other than through the double (registry.reg is saved whole or not at
// all).
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <filesystem>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/emulated/emulated_platform.h"
#include "support/killing_platform.h"

// What becomes of file data written since the file's last flush.
enum class EDataLoss {
  kZeros,    // it reads as zeros; the file keeps its size (NTFS' valid-data length)
  kDropped,  // the file holds what it held at its last flush, with that size; never flushed: empty
  kTorn,     // it is kept, but each file's last write is torn at a 512-byte sector: what follows
             // the last sector boundary inside it reads as zeros (all of a write within a sector)
};

// What becomes of names, sizes, attributes and deletes.
enum class EMetadataLoss {
  kJournaled,  // every one made before the cut persists, as NTFS' journal replays them
  kListings,   // also, a directory not flushed since its entries changed gets back its last
               // flushed listing: new names vanish (a directory with what is in it), deleted and
               // renamed-away files come back (their data as the data mode says)
};

// What the registry holds.
enum class ERegistryLoss {
  kLastFlush,  // the hive as of the last RegFlushKey
  kAtCut,      // the hive as of the cut: the lazy flush wrote everything just before it
};

struct CCutModes {
  EDataLoss data = EDataLoss::kZeros;
  EMetadataLoss metadata = EMetadataLoss::kJournaled;
  ERegistryLoss registry = ERegistryLoss::kLastFlush;
};

class CPowerCutPlatform : public CKillingPlatform {
 public:
  static constexpr std::uint64_t kSector = 512;

  // cutBefore counts changes from 1 (flushes included) as the killer counts them: change
  // cutBefore is not made, CKilled is thrown instead. 0 never cuts (to count a whole run).
  CPowerCutPlatform(CEmulatedPlatform& machine, size_t cutBefore);

  // Rewrites the machine's host directory into what its disk holds after a cut now, and the
  // registry file as the registry mode says. Call it once, when the run has ended (died or
  // finished) and before another process looks at the machine.
  void ApplyCut(const CCutModes& modes);

  bool CreateDirectoryA(const char* path) override;
  bool CopyFileA(const char* existing, const char* target, bool failIfExists) override;
  bool DeleteFileA(const char* path) override;
  bool MoveFileExA(const char* existing, const char* target, bool replaceExisting) override;
  bool SetFileAttributesA(const char* path, win::DWORD attributes) override;
  bool FlushFiles(const std::vector<std::string>& paths) override;
  std::unique_ptr<CWriteFile> CreateWriteFile(const char* path) override;
  std::unique_ptr<CWriteFile> OpenAppendFile(const char* path) override;

 private:
  class CRecordingFile;

  struct CRange {
    std::uint64_t begin = 0;
    std::uint64_t end = 0;
  };
  // One file, whatever names it has had. Known once the run has written, moved, deleted it or
  // set its attributes; until then it is on the host, untouched, and nothing need be rewritten.
  struct CNode {
    bool known = false;
    std::string bytes;                // its data now
    std::string flushed;              // its data at its last flush (before the run: as it was)
    std::vector<CRange> unflushed;    // ranges written since its last flush
    std::optional<CRange> lastWrite;  // the last of them
    std::filesystem::perms perms = std::filesystem::perms::none;  // its mode now
  };
  struct CEntry {
    bool directory = false;
    size_t node = 0;  // a file's node
    bool operator==(const CEntry&) const = default;
  };
  using CListing = std::map<std::string, CEntry>;  // host name -> entry
  struct CDirectory {
    CListing flushed;      // its entries at its last flush (before the run: as they were)
    bool changed = false;  // its entries changed since
  };
  using CPlacement = std::map<std::string, size_t>;  // host path -> file node

  // The host path of a Windows path, without a trailing separator.
  std::string Host(const char* windowsPath) const;
  // The node of the file at host in placement; a new one, untouched so far, if it has none.
  size_t NodeAt(CPlacement& placement, const std::string& host);
  // The file at host, captured as it is now if the run has not touched it yet.
  size_t Touch(const std::string& host);
  // A file the run has just created at host: empty, never flushed.
  size_t NewFile(const std::string& host);
  // A directory's entries are about to change: the first time, they are its flushed listing.
  void BeforeEntriesChange(const std::string& directory);
  void EntriesChanged(const std::string& directory);
  // A directory's entries on the host now, files by their nodes in placement.
  CListing List(const std::string& directory, CPlacement& placement);
  void Wrote(CNode& node, std::uint64_t at, const void* data, std::uint64_t size);
  static void Flushed(CNode& node);
  void Restat(CNode& node, const std::string& host);
  // Counts a change of the double's own, and cuts when it is the one due.
  void Count(EMutation mutation, const std::string& path);
  std::unique_ptr<CWriteFile> Open(const char* path, bool append);

  // ApplyCut's steps.
  void RollBack(const std::string& directory, const CListing& flushed, CPlacement& placement);
  static std::string DataAfterCut(const CNode& node, EDataLoss data);

  CEmulatedPlatform& machine_;
  std::deque<CNode> nodes_;
  CPlacement files_;  // every file the double knows of, by its host path now
  std::map<std::string, CDirectory> directories_;
  bool applied_ = false;
};
