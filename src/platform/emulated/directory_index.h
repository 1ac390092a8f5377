// Name lookups without regard to case in large host directories. A lookup of a name that does
// not exist has to read the whole directory; creating thousands of files in one directory
// (Spool, Backup) would read it once per file. Directories that have been read in full are kept
// as an index of case-folded names, brought up to date from inotify events, which the kernel
// queues before the call that changed the directory returns: an index is never stale, whoever
// changed the directory.
//
// Indexes need inotify (Linux). Without it, and for a machine that keeps to what POSIX offers
// (CEmulatedMachineOptions::posixOnly, which does not ask for indexes), every lookup of a name
// that is not there as spelled reads the directory: correct whoever changes it, but a cost that
// grows with the directory.
//
// An index belongs to a host path. The directory and every directory above it are watched for
// being moved or removed, so the index is dropped as soon as its path may name another
// directory, and a lookup need not look at the directory first. Where that cannot be watched
// (a symbolic link on the way), the caller gives the directory's status to compare.
#pragma once

#include <sys/stat.h>

#include <string>
#include <string_view>

namespace directory_index {

enum class EAnswer {
  kNotIndexed,  // no index that can answer: the directory must be looked at itself
  kAbsent,      // no entry matches
  kFound,       // an entry matches: found holds its host name
  kHeld,        // the index holds the name as spelled, as far as it knows without reading the
                // latest changes: the caller looks at the name itself
};

// Looks ansiName (hostName on the host) up without regard to case in the index of directory,
// if that is watched up to the root; with no index, kNotIndexed. A name that the index holds as
// spelled gives kHeld at once. Otherwise the changes queued so far are read first, unless
// changesRead says that this was done already for the same call of the program (a call that
// looks up two names reads them once); changesRead is set when they are read.
EAnswer Look(std::string_view directory, std::string_view ansiName, std::string_view hostName,
             std::string& found, bool& changesRead);
// Looks ansiName up in the index of directory, whatever its path, after reading the changes as
// Look does; status is the directory's status, taken just before, which the index must match.
EAnswer Find(std::string_view directory, const struct stat& status, std::string_view ansiName,
             std::string& found, bool& changesRead);
// Reads directory in full, indexes it when it is large enough to be worth it (and index is
// true), and returns the first entry that matches ansiName without regard to case (empty when
// none does).
std::string Scan(const std::string& directory, std::string_view ansiName, bool index = true);
// True when directory (a host path) has an index now, for the tests.
bool Indexed(const std::string& directory);

}  // namespace directory_index
