// Name lookups without regard to case in large host directories. A lookup of a name that does
// not exist has to read the whole directory; creating thousands of files in one directory
// (Spool, Backup) would read it once per file. Directories that have been read in full are kept
// as an index of case-folded names, brought up to date from inotify events, which the kernel
// queues before the call that changed the directory returns: an index is never stale, whoever
// changed the directory.
#pragma once

#include <sys/stat.h>

#include <string>
#include <string_view>

namespace directory_index {

// The host name in directory that matches ansiName without regard to case: true with the name
// in found (empty when nothing matches) when the directory is indexed; false when it is not and
// must be read. status is the directory's status, taken just before: an index is used only for
// the very directory it was made of.
bool Find(const std::string& directory, const struct stat& status, std::string_view ansiName,
          std::string& found);
// Reads directory in full, indexes it when it is large enough to be worth it, and returns the
// first entry that matches ansiName without regard to case (empty when none does).
std::string Scan(const std::string& directory, std::string_view ansiName);

}  // namespace directory_index
