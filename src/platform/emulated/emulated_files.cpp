// File functions of the emulated machine, with the error codes Windows gives.
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <ctime>

#include "platform/ansi_text.h"
#include "platform/emulated/codepage.h"
#include "platform/emulated/emulated_platform.h"
#include "platform/emulated/host_io.h"

namespace {

// Windows marks every file it writes for the next backup.
constexpr win::DWORD kFileAttributeArchive = 0x20;

std::string ParentOf(const std::string& host) {
  const size_t slash = host.find_last_of('/');
  if (slash == std::string::npos) {
    return ".";
  }
  return slash == 0 ? "/" : host.substr(0, slash);
}

std::string NameOf(const std::string& host) {
  const size_t slash = host.find_last_of('/');
  return slash == std::string::npos ? host : host.substr(slash + 1);
}

// A host file whose write bits are all off is read-only.
bool IsReadOnly(const struct stat& st) {
  return !S_ISDIR(st.st_mode) && (st.st_mode & (S_IWUSR | S_IWGRP | S_IWOTH)) == 0;
}

win::DWORD AttributesOf(const struct stat& st) {
  if (S_ISDIR(st.st_mode)) {
    return win::kFileAttributeDirectory;
  }
  return kFileAttributeArchive | (IsReadOnly(st) ? win::kFileAttributeReadOnly : 0);
}

bool MatchesSearch(const std::string& pattern, const std::string& name) {
  if (ansi::WildcardMatch(pattern, name)) {
    return true;
  }
  // "name.*" also finds "name" itself: the extension may be empty.
  return pattern.size() >= 2 && pattern.compare(pattern.size() - 2, 2, ".*") == 0 &&
         name.find('.') == std::string::npos &&
         ansi::WildcardMatch(std::string_view(pattern).substr(0, pattern.size() - 2), name);
}

bool WriteAll(int fd, const char* data, size_t size, int& error) {
  while (size > 0) {
    const ssize_t n = ::write(fd, data, size);
    if (n < 0) {
      if (errno == EINTR) {
        continue;
      }
      error = errno;
      return false;
    }
    if (n == 0) {
      error = ENOSPC;
      return false;
    }
    data += n;
    size -= static_cast<size_t>(n);
  }
  return true;
}

// Copies one buffer's worth, at most limit bytes, from in to out through a buffer: 1 when
// bytes were copied (done counts them), 0 at the source's end, -1 with the errno on failure.
int CopyChunk(int in, int out, std::uint64_t limit, std::uint64_t& done, int& error) {
  char chunk[65536];
  for (;;) {
    const ssize_t n = ::read(in, chunk, std::min<std::uint64_t>(limit, sizeof chunk));
    if (n < 0 && errno == EINTR) {
      continue;
    }
    if (n < 0) {
      error = errno;
      return -1;
    }
    if (n == 0) {
      return 0;
    }
    if (!WriteAll(out, chunk, static_cast<size_t>(n), error)) {
      return -1;
    }
    done += static_cast<std::uint64_t>(n);
    return 1;
  }
}

// Copies size bytes from in to out at their offsets: in the kernel where it can (copy_file_range,
// unless inKernel is false), else through a buffer. Stops early when the source ends sooner;
// false with the errno on failure. done counts the bytes copied.
bool CopyBytes(int in, int out, std::uint64_t size, std::uint64_t& done, int& error,
               bool inKernel) {
#ifndef __linux__
  inKernel = false;
#endif
  while (done < size) {
    const std::uint64_t left = size - done;
#ifdef __linux__
    if (inKernel) {
      const ssize_t n = ::copy_file_range(in, nullptr, out, nullptr, left, 0);
      if (n > 0) {
        done += static_cast<std::uint64_t>(n);
        continue;
      }
      if (n == 0) {
        return true;  // the source got shorter since it was looked at
      }
      if (errno == EINTR) {
        continue;
      }
      if (errno != EXDEV && errno != EINVAL && errno != ENOSYS && errno != EOPNOTSUPP &&
          errno != EPERM) {
        error = errno;
        return false;
      }
      inKernel = false;  // a pair of files the kernel cannot copy between
    }
#endif
    const int copied = CopyChunk(in, out, left, done, error);
    if (copied <= 0) {
      return copied == 0;
    }
  }
  return true;
}

// Copies what is left of in to out, to its end; done counts the bytes copied.
bool CopyToEnd(int in, int out, std::uint64_t& done, int& error) {
  int copied = 1;
  while (copied > 0) {
    copied = CopyChunk(in, out, UINT64_MAX, done, error);
  }
  return copied == 0;
}

}  // namespace

// A file opened for writing only. Each change tells the platform, so that a profile of this
// file that it trusts is looked at again.
class CEmulatedWriteFile final : public CWriteFile {
 public:
  CEmulatedWriteFile(int fd, CEmulatedPlatform& platform, std::string host,
                     const struct stat& status)
      : fd_(fd),
        platform_(platform),
        host_(std::move(host)),
        status_(status),
        changedAt_(platform.changes_) {}
  ~CEmulatedWriteFile() override { Close(); }

  bool Write(const void* data, win::DWORD size) override {
    if (fd_ < 0) {
      platform_.SetLastError(win::kErrorInvalidHandle);
      return false;
    }
    platform_.Changed(host_, &status_);
    changedAt_ = platform_.changes_;
    int error = 0;
    if (!WriteAll(fd_, static_cast<const char*>(data), size, error)) {
      platform_.SetLastError(error == ENOSPC || error == EDQUOT ? win::kErrorDiskFull
                                                                : win::kErrorWriteFault);
      return false;
    }
    return true;
  }

  bool Truncate(std::uint64_t size) override {
    if (fd_ < 0) {
      platform_.SetLastError(win::kErrorInvalidHandle);
      return false;
    }
    platform_.Changed(host_, &status_);
    changedAt_ = platform_.changes_;
    if (::ftruncate(fd_, static_cast<off_t>(size)) != 0 ||
        ::lseek(fd_, static_cast<off_t>(size), SEEK_SET) < 0) {
      platform_.SetLastError(errno == ENOSPC || errno == EDQUOT ? win::kErrorDiskFull
                                                                : win::kErrorWriteFault);
      return false;
    }
    return true;
  }

  bool Flush() override {
    if (fd_ < 0) {
      platform_.SetLastError(win::kErrorInvalidHandle);
      return false;
    }
#ifdef __linux__
    if (platform_.SyncedSince(status_.st_dev, changedAt_)) {
      // A syncfs of this file system began after this file's last write (FlushFiles): it wrote
      // the file out and flushed the disk's cache, so the data is on the disk. What is left is
      // to learn whether writing it out failed, which sync_file_range tells without making the
      // disk flush its cache once more, as fsync would.
      if (::sync_file_range(fd_, 0, 0,
                            SYNC_FILE_RANGE_WAIT_BEFORE | SYNC_FILE_RANGE_WRITE |
                                SYNC_FILE_RANGE_WAIT_AFTER) == 0) {
        return true;
      }
      if (errno == EIO || errno == ENOSPC || errno == EDQUOT) {
        platform_.SetLastError(errno == EIO ? win::kErrorWriteFault : win::kErrorDiskFull);
        return false;
      }
    }
#endif
    ++platform_.diskWaits_;
    if (::fsync(fd_) != 0) {
      platform_.SetLastError(errno == ENOSPC || errno == EDQUOT ? win::kErrorDiskFull
                                                                : win::kErrorWriteFault);
      return false;
    }
    return true;
  }

  bool Close() override {
    if (fd_ < 0) {
      return true;
    }
    const int result = ::close(fd_);
    fd_ = -1;
    if (result != 0) {
      platform_.SetLastError(errno == ENOSPC || errno == EDQUOT ? win::kErrorDiskFull
                                                                : win::kErrorWriteFault);
      return false;
    }
    return true;
  }

 private:
  int fd_;
  CEmulatedPlatform& platform_;
  std::string host_;
  struct stat status_;
  std::uint64_t changedAt_;  // the platform's change count at this file's last change
};

win::DWORD CEmulatedPlatform::MissingError(const std::string& host) const {
  struct stat st;
  const std::string parent = ParentOf(host);
  return ::stat(parent.c_str(), &st) == 0 && S_ISDIR(st.st_mode) ? win::kErrorFileNotFound
                                                                 : win::kErrorPathNotFound;
}

win::DWORD CEmulatedPlatform::ErrnoError(int error, const std::string& host) const {
  switch (error) {
    case 0:
      return win::kErrorSuccess;
    case ENOENT:
      return MissingError(host);
    case ENOTDIR:
      return win::kErrorPathNotFound;
    case EACCES:
    case EPERM:
    case EISDIR:
    case EROFS:
      return win::kErrorAccessDenied;
    case EEXIST:
      return win::kErrorAlreadyExists;
    case ENOSPC:
    case EDQUOT:
      return win::kErrorDiskFull;
    case ENAMETOOLONG:
      return win::kErrorFilenameExcedRange;
    case EBUSY:
    case ETXTBSY:
      return win::kErrorSharingViolation;
    case ENOTEMPTY:
      return win::kErrorDirNotEmpty;
    case ENOMEM:
      return win::kErrorNotEnoughMemory;
    case EINVAL:
      return win::kErrorInvalidParameter;
    case EBADF:
      return win::kErrorInvalidHandle;
    case EIO:
      return win::kErrorWriteFault;
    default:
      return win::kErrorAccessDenied;
  }
}

win::DWORD CEmulatedPlatform::StatusOf(const HostTarget& target, struct stat& st) const {
  switch (target.found) {
    case EFound::kExists:
      st = target.status;
      return 0;
    case EFound::kMissing:
      return target.directoryExists ? win::kErrorFileNotFound : win::kErrorPathNotFound;
    case EFound::kUnknown:
      break;
  }
  if (::stat(target.host.c_str(), &st) != 0) {
    return ErrnoError(errno, target.host);
  }
  return 0;
}

bool CEmulatedPlatform::CreateDirectoryA(const char* path) {
  const HostTarget target = Resolve(path);
  if (target.error != 0) {
    return Fail(target.error);
  }
  struct stat st;
  if (target.found == EFound::kExists ||
      (target.found == EFound::kUnknown && ::stat(target.host.c_str(), &st) == 0)) {
    return Fail(win::kErrorAlreadyExists);
  }
  if (::mkdir(target.host.c_str(), 0777) != 0) {
    return Fail(errno == EEXIST ? win::kErrorAlreadyExists : ErrnoError(errno, target.host));
  }
  return true;
}

win::DWORD CEmulatedPlatform::ResolveFileToRead(const char* path, HostTarget& target,
                                                struct stat& st, bool* changesRead,
                                                bool trustMade) const {
  target = Resolve(path, false, changesRead, trustMade);
  if (target.error != 0) {
    return target.error;
  }
  if (const win::DWORD error = StatusOf(target, st); error != 0) {
    return error;
  }
  if (S_ISDIR(st.st_mode)) {
    return win::kErrorAccessDenied;
  }
  if (target.trailingSeparator) {
    return win::kErrorInvalidName;
  }
  return 0;
}

win::DWORD CEmulatedPlatform::TargetStatus(const HostTarget& target, struct stat& st,
                                           bool& exists) const {
  exists = false;
  switch (target.found) {
    case EFound::kExists:
      st = target.status;
      exists = true;
      return 0;
    case EFound::kMissing:
      return target.directoryExists ? 0 : win::kErrorPathNotFound;
    case EFound::kUnknown:
      break;
  }
  const std::string directory = ParentOf(target.host);
  if (::stat(directory.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) {
    return win::kErrorPathNotFound;
  }
  exists = ::stat(target.host.c_str(), &st) == 0;
  return 0;
}

mode_t CEmulatedPlatform::CreationMask() {
  if (creationMask_ < 0) {
    // Read, not set and set back, so that no other thread ever sees another mask. Unknown, it
    // takes every bit: every copy then gets its permissions set explicitly.
    creationMask_ = 07777;
    std::string status;
    int ignored = 0;
    // Linux tells it in /proc; POSIX offers no way to read it without setting it.
    if (!options_.posixOnly && ReadHostFile("/proc/self/status", status, ignored)) {
      const size_t at = status.find("\nUmask:");
      if (at != std::string::npos) {
        creationMask_ = static_cast<int>(std::strtol(status.c_str() + at + 7, nullptr, 8)) & 0777;
      }
    }
  }
  return static_cast<mode_t>(creationMask_);
}

bool CEmulatedPlatform::CopyFileA(const char* existing, const char* target, bool failIfExists) {
  HostTarget from;
  struct stat source;
  bool changesRead = false;
  if (const win::DWORD error = ResolveFileToRead(existing, from, source, &changesRead);
      error != 0) {
    return Fail(error);
  }
  const HostTarget to = Resolve(target, false, &changesRead);
  if (to.error != 0) {
    return Fail(to.error);
  }
  struct stat st;
  bool exists = false;
  if (const win::DWORD error = TargetStatus(to, st, exists); error != 0) {
    return Fail(error);
  }
  if (exists) {
    if (st.st_dev == source.st_dev && st.st_ino == source.st_ino) {
      return Fail(win::kErrorSharingViolation);  // the source is open for reading
    }
    if (failIfExists) {
      return Fail(win::kErrorFileExists);
    }
    if (S_ISDIR(st.st_mode) || IsReadOnly(st)) {
      return Fail(win::kErrorAccessDenied);
    }
  } else if (to.trailingSeparator) {
    return Fail(win::kErrorInvalidName);
  }

  const int in = ::open(from.host.c_str(), O_RDONLY | O_CLOEXEC);
  if (in < 0) {
    return Fail(ErrnoError(errno, from.host));
  }
  // A trusted profile file was not looked at for this call: its size, times and permissions
  // come from the open file, so that what is copied is the file as it is now.
  if (from.trusted && ::fstat(in, &source) != 0) {
    const int error = errno;
    ::close(in);
    return Fail(ErrnoError(error, from.host));
  }
  // As on Windows, the copy is written into the target itself, and a failed copy removes what
  // it wrote. (The migration copies to a temporary name of its own and renames it into place.)
  // The copy keeps the source's permissions (its read-only bit): a new file gets them as it is
  // created, unless the creation mask or special bits would change them; a replaced one keeps
  // its own until they are set.
  Changed(to.host, exists ? &st : nullptr);
  const mode_t mode = source.st_mode & 07777;
  bool setMode = true;
  int out = -1;
  if (!exists) {
    out = ::open(to.host.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, mode);
    setMode = out < 0 || (mode & (CreationMask() | 07000)) != 0;
  }
  if (out < 0) {
    out = ::open(to.host.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
  }
  if (out < 0) {
    const int error = errno;
    ::close(in);
    return Fail(ErrnoError(error, to.host));
  }
  // The size it had when looked at: a file that says it is empty may still give bytes (as
  // some host files do), so that one is read to its end.
  int error = 0;
  std::uint64_t copied = 0;
  if (source.st_size > 0) {
    CopyBytes(in, out, static_cast<std::uint64_t>(source.st_size), copied, error,
              !options_.posixOnly);
  } else {
    CopyToEnd(in, out, copied, error);
  }
  ::close(in);
  if (error == 0 && setMode && ::fchmod(out, mode) != 0) {
    error = errno;
  }
  // And its time of last write.
  if (error == 0) {
    const struct timespec times[2] = {source.st_atim, source.st_mtim};
    ::futimens(out, times);
  }
  // The copy's status as made, for the calls that take it to be there (made_).
  struct stat made;
  const bool madeKnown = error == 0 && ::fstat(out, &made) == 0;
  if (::close(out) != 0 && error == 0) {
    error = errno;
  }
  if (error != 0) {
    ::unlink(to.host.c_str());
    return Fail(error == ENOSPC || error == EDQUOT ? win::kErrorDiskFull
                                                   : ErrnoError(error, to.host));
  }
  if (madeKnown) {
    if (made_.size() >= kMaxMade) {
      made_.clear();
    }
    made_[to.host] = made;
  }
  return true;
}

bool CEmulatedPlatform::DeleteFileA(const char* path) {
  // The name itself goes, also when it is a link.
  const HostTarget target = Resolve(path, true);
  if (target.error != 0) {
    return Fail(target.error);
  }
  struct stat st;
  if (target.found == EFound::kExists) {
    st = target.status;
  } else if (target.found == EFound::kMissing) {
    return Fail(target.directoryExists ? win::kErrorFileNotFound : win::kErrorPathNotFound);
  } else if (::lstat(target.host.c_str(), &st) != 0) {
    return Fail(ErrnoError(errno, target.host));
  }
  if (S_ISDIR(st.st_mode) || (!S_ISLNK(st.st_mode) && IsReadOnly(st))) {
    return Fail(win::kErrorAccessDenied);
  }
  if (target.trailingSeparator) {
    return Fail(win::kErrorInvalidName);
  }
  Changed(target.host, &st);
  if (::unlink(target.host.c_str()) != 0) {
    return Fail(ErrnoError(errno, target.host));
  }
  return true;
}

bool CEmulatedPlatform::MoveFileExA(const char* existing, const char* target,
                                    bool replaceExisting) {
  HostTarget from;
  struct stat source;
  bool changesRead = false;
  // A temporary copy that CopyFileA made is taken to be there (made_): should another process
  // have removed it since, the rename fails as the look would have.
  if (const win::DWORD error = ResolveFileToRead(existing, from, source, &changesRead, true);
      error != 0) {
    return Fail(error);
  }
  const HostTarget to = Resolve(target, false, &changesRead);
  if (to.error != 0) {
    return Fail(to.error);
  }
  struct stat st;
  bool exists = false;
  if (const win::DWORD error = TargetStatus(to, st, exists); error != 0) {
    return Fail(error);
  }
  if (exists) {
    if (st.st_dev == source.st_dev && st.st_ino == source.st_ino) {
      return true;  // the same file under another spelling
    }
    if (!replaceExisting) {
      return Fail(win::kErrorAlreadyExists);
    }
    // A read-only target is replaced as any other, as Wine does (the migration clears the
    // attribute of its own copy first anyway).
    if (S_ISDIR(st.st_mode)) {
      return Fail(win::kErrorAccessDenied);
    }
  } else if (to.trailingSeparator) {
    return Fail(win::kErrorInvalidName);
  }
  Changed(from.host, &source);
  Changed(to.host, exists ? &st : nullptr);
  if (replaceExisting) {
    if (::rename(from.host.c_str(), to.host.c_str()) != 0) {
      return Fail(ErrnoError(errno, to.host));
    }
    return true;
  }
  // Without replacing, the name must still be free when the rename happens.
#ifdef __linux__
  if (!options_.posixOnly) {
    if (::renameat2(AT_FDCWD, from.host.c_str(), AT_FDCWD, to.host.c_str(), RENAME_NOREPLACE) ==
        0) {
      return true;
    }
    if (errno != EINVAL && errno != ENOSYS) {
      return Fail(errno == EEXIST ? win::kErrorAlreadyExists : ErrnoError(errno, to.host));
    }
  }
#endif
  // A file system without an exclusive rename, or a host without one: a hard link claims the
  // name, then the old name goes.
  if (::link(from.host.c_str(), to.host.c_str()) != 0) {
    return Fail(errno == EEXIST ? win::kErrorAlreadyExists : ErrnoError(errno, to.host));
  }
  ::unlink(from.host.c_str());
  return true;
}

win::DWORD CEmulatedPlatform::GetFileAttributesA(const char* path) {
  // A copy that CopyFileA made is taken to have the attributes it was made with (made_).
  const HostTarget target = Resolve(path, false, nullptr, true);
  if (target.error != 0) {
    Fail(target.error);
    return win::kInvalidFileAttributes;
  }
  struct stat st;
  if (const win::DWORD error = StatusOf(target, st); error != 0) {
    Fail(error);
    return win::kInvalidFileAttributes;
  }
  if (target.trailingSeparator && !S_ISDIR(st.st_mode)) {
    Fail(win::kErrorPathNotFound);  // a file taken for a directory, as Wine reports it
    return win::kInvalidFileAttributes;
  }
  return AttributesOf(st);
}

bool CEmulatedPlatform::SetFileAttributesA(const char* path, win::DWORD attributes) {
  const HostTarget target = Resolve(path);
  if (target.error != 0) {
    return Fail(target.error);
  }
  struct stat st;
  if (const win::DWORD error = StatusOf(target, st); error != 0) {
    return Fail(error);
  }
  if (S_ISDIR(st.st_mode)) {
    return true;  // a directory's read-only bit does not stop anything on Windows
  }
  mode_t mode = st.st_mode & 07777;
  if ((attributes & win::kFileAttributeReadOnly) != 0) {
    mode &= ~static_cast<mode_t>(S_IWUSR | S_IWGRP | S_IWOTH);
  } else if (IsReadOnly(st)) {
    mode |= S_IWUSR;
  }
  Changed(target.host, &st);
  if (::chmod(target.host.c_str(), mode) != 0) {
    return Fail(ErrnoError(errno, target.host));
  }
  return true;
}

win::HFIND CEmulatedPlatform::FindFirstFileA(const char* pattern, win::FindData& data) {
  if (pattern == nullptr || *pattern == '\0') {
    Fail(win::kErrorFileNotFound);
    return win::kInvalidFind;
  }
  const std::string text = pattern;
  // A search for a path that ends in a separator finds nothing.
  if (text.back() == '\\' || text.back() == '/') {
    Fail(win::kErrorFileNotFound);
    return win::kInvalidFind;
  }
  const size_t split = text.find_last_of("\\/");
  std::string directory;
  std::string mask;
  if (split != std::string::npos) {
    directory = text.substr(0, split + 1);
    mask = text.substr(split + 1);
  } else if (text.size() >= 2 && text[1] == ':') {
    directory = text.substr(0, 2);
    mask = text.substr(2);
  } else {
    directory = ".";
    mask = text;
  }
  // Windows drops trailing dots and spaces from the last name, wildcards or not.
  while (!mask.empty() && (mask.back() == '.' || mask.back() == ' ')) {
    mask.pop_back();
  }

  Search search;
  if (mask.find_first_of("*?") == std::string::npos) {
    // No wildcard: the search finds the file or directory itself.
    const HostTarget target = Resolve(pattern);
    struct stat st;
    ParsedPath parsed;
    if (target.error != 0) {
      Fail(target.error);
      return win::kInvalidFind;
    }
    if (!ParseWindowsPath(text, parsed) || parsed.components.empty()) {
      Fail(win::kErrorFileNotFound);  // the root of a drive has no entry of its own
      return win::kInvalidFind;
    }
    if (const win::DWORD error = StatusOf(target, st); error != 0) {
      Fail(error);
      return win::kInvalidFind;
    }
    win::FindData entry;
    entry.attributes = AttributesOf(st);
    entry.size = S_ISDIR(st.st_mode) ? 0 : static_cast<std::uint64_t>(st.st_size);
    entry.name = codepage::Utf8ToAnsi(NameOf(target.host));
    search.entries.push_back(std::move(entry));
  } else {
    const HostTarget target = Resolve(directory.c_str());
    if (target.error != 0) {
      Fail(target.error);
      return win::kInvalidFind;
    }
    struct stat st;
    if (StatusOf(target, st) != 0 || !S_ISDIR(st.st_mode)) {
      Fail(win::kErrorPathNotFound);
      return win::kInvalidFind;
    }
    DIR* dir = ::opendir(target.host.c_str());
    if (dir == nullptr) {
      Fail(ErrnoError(errno, target.host));
      return win::kInvalidFind;
    }
    ParsedPath parsed;
    const bool isRoot = !ParseWindowsPath(directory, parsed) || parsed.components.empty();
    std::vector<win::FindData> dots;
    while (const dirent* item = ::readdir(dir)) {
      const std::string hostName = item->d_name;
      const bool dot = hostName == "." || hostName == "..";
      if (dot && isRoot) {
        continue;  // the root of a drive lists no "." and ".."
      }
      const std::string name = codepage::Utf8ToAnsi(hostName);
      if (!MatchesSearch(mask, name)) {
        continue;
      }
      // Looked up in the directory open here: a short walk for the kernel.
      struct stat entryStat;
      if (::fstatat(::dirfd(dir), hostName.c_str(), &entryStat, 0) != 0) {
        continue;  // a dangling link: nothing Windows would show
      }
      win::FindData entry;
      entry.attributes = AttributesOf(entryStat);
      entry.size = S_ISDIR(entryStat.st_mode) ? 0 : static_cast<std::uint64_t>(entryStat.st_size);
      entry.name = name;
      (dot ? dots : search.entries).push_back(std::move(entry));
    }
    ::closedir(dir);
    // Sorted without regard to case, "." and ".." first, so every run sees the same order.
    std::sort(dots.begin(), dots.end(),
              [](const win::FindData& a, const win::FindData& b) { return a.name < b.name; });
    std::sort(search.entries.begin(), search.entries.end(),
              [](const win::FindData& a, const win::FindData& b) {
                if (codepage::AnsiLessNoCase(a.name, b.name)) {
                  return true;
                }
                return !codepage::AnsiLessNoCase(b.name, a.name) && a.name < b.name;
              });
    search.entries.insert(search.entries.begin(), dots.begin(), dots.end());
    if (search.entries.empty()) {
      Fail(win::kErrorFileNotFound);
      return win::kInvalidFind;
    }
  }
  data = search.entries.front();
  search.next = 1;
  const win::HFIND handle = nextSearch_++;
  searches_[handle] = std::move(search);
  return handle;
}

bool CEmulatedPlatform::FindNextFileA(win::HFIND find, win::FindData& data) {
  const auto it = searches_.find(find);
  if (it == searches_.end()) {
    return Fail(win::kErrorInvalidHandle);
  }
  Search& search = it->second;
  if (search.next >= search.entries.size()) {
    return Fail(win::kErrorNoMoreFiles);
  }
  data = search.entries[search.next++];
  return true;
}

bool CEmulatedPlatform::FindClose(win::HFIND find) {
  if (searches_.erase(find) == 0) {
    return Fail(win::kErrorInvalidHandle);
  }
  return true;
}

bool CEmulatedPlatform::FlushFiles(const std::vector<std::string>& paths) {
  // Each path is looked at as Windows opens it for writing: it must exist, and a read-only file
  // refuses. Then, on Linux, one syncfs per file system writes out everything that is cached
  // for it, these files and directories included, and waits for it: one journal commit where a
  // flush of each file would make one each. Elsewhere, or when syncfs fails, each is fsynced.
  std::vector<std::string> hosts;
  hosts.reserve(paths.size());
  std::vector<dev_t> devices;
  for (const std::string& path : paths) {
    // The copies that CopyFileA made are taken to be there as made (made_): their status
    // tells their file system and that they are writable.
    const HostTarget target = Resolve(path.c_str(), false, nullptr, true);
    if (target.error != 0) {
      return Fail(target.error);
    }
    struct stat st;
    if (const win::DWORD error = StatusOf(target, st); error != 0) {
      return Fail(error);
    }
    if (!S_ISDIR(st.st_mode) && IsReadOnly(st)) {
      return Fail(win::kErrorAccessDenied);
    }
    if (std::find(devices.begin(), devices.end(), st.st_dev) == devices.end()) {
      devices.push_back(st.st_dev);
    }
    hosts.push_back(target.host);
  }
#ifdef __linux__
  if (!options_.posixOnly && devices.size() == 1) {
    const int fd = ::open(hosts.front().c_str(), O_RDONLY | O_CLOEXEC);
    if (fd >= 0) {
      const std::uint64_t changes = changes_;
      ++diskWaits_;
      const int result = ::syncfs(fd);
      ::close(fd);
      if (result == 0) {
        // Every change made so far is on the disk: a file written before now needs no flush
        // of its own (CEmulatedWriteFile::Flush).
        const auto synced = std::find_if(syncs_.begin(), syncs_.end(), [&](const auto& sync) {
          return sync.first == devices[0];
        });
        if (synced == syncs_.end()) {
          syncs_.emplace_back(devices[0], changes);
        } else {
          synced->second = changes;
        }
        return true;
      }
    }
  }
#endif
  for (const std::string& host : hosts) {
    const int fd = ::open(host.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
      return Fail(ErrnoError(errno, host));
    }
    ++diskWaits_;
    const int result = ::fsync(fd);
    const int error = errno;
    ::close(fd);
    if (result != 0) {
      return Fail(error == ENOSPC || error == EDQUOT ? win::kErrorDiskFull : win::kErrorWriteFault);
    }
  }
  return true;
}

bool CEmulatedPlatform::ReadWholeFile(const char* path, std::string& data) {
  // The profile file read last is trusted between reads (see ProfileFile), and so are its bytes
  // as that read gave them: the migration reads a control file's settings, copies it into
  // Backup and compares the copy, read from the disk, with it. A copy that differs from what
  // was read still fails that check, whoever changed the file in between.
  if (path != nullptr && trustedProfile_.valid && trustedProfile_.path == path) {
    if (const std::string* bytes = profiles_->Bytes(trustedProfile_.host)) {
      data = *bytes;
      return true;
    }
  }
  HostTarget target;
  struct stat st;
  // A copy that CopyFileA made is read back without looking at it first (made_): its size
  // only sizes the first read, and should it be gone or be a directory now, the open or the
  // read fails as the look would have.
  if (const win::DWORD error = ResolveFileToRead(path, target, st, nullptr, true); error != 0) {
    return Fail(error);
  }
  int error = 0;
  if (!ReadHostFile(target.host, data, error, S_ISREG(st.st_mode) ? st.st_size : -1)) {
    return Fail(ErrnoError(error, target.host));
  }
  return true;
}

std::unique_ptr<CWriteFile> CEmulatedPlatform::OpenWriteFile(const char* path, bool append) {
  const HostTarget target = Resolve(path);
  if (target.error != 0) {
    Fail(target.error);
    return nullptr;
  }
  struct stat st;
  const bool exists = target.found == EFound::kExists ? (st = target.status, true)
                                                      : target.found == EFound::kUnknown &&
                                                            ::stat(target.host.c_str(), &st) == 0;
  if (exists) {
    if (S_ISDIR(st.st_mode) || IsReadOnly(st)) {
      Fail(win::kErrorAccessDenied);
      return nullptr;
    }
    if (target.trailingSeparator) {
      Fail(win::kErrorInvalidName);
      return nullptr;
    }
  } else if (target.trailingSeparator) {
    const win::DWORD missing =
        target.found == EFound::kMissing
            ? (target.directoryExists ? win::kErrorFileNotFound : win::kErrorPathNotFound)
            : MissingError(target.host);
    Fail(missing == win::kErrorFileNotFound ? win::kErrorInvalidName : win::kErrorPathNotFound);
    return nullptr;
  }
  const int fd =
      ::open(target.host.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC | (append ? 0 : O_TRUNC), 0666);
  if (fd < 0) {
    Fail(ErrnoError(errno, target.host));
    return nullptr;
  }
  if ((append && ::lseek(fd, 0, SEEK_END) < 0) || ::fstat(fd, &st) != 0) {
    const int error = errno;
    ::close(fd);
    Fail(ErrnoError(error, target.host));
    return nullptr;
  }
  Changed(target.host, &st);
  return std::make_unique<CEmulatedWriteFile>(fd, *this, target.host, st);
}

std::unique_ptr<CWriteFile> CEmulatedPlatform::CreateWriteFile(const char* path) {
  return OpenWriteFile(path, false);
}

std::unique_ptr<CWriteFile> CEmulatedPlatform::OpenAppendFile(const char* path) {
  return OpenWriteFile(path, true);
}

bool ReadHostFile(const std::string& path, std::string& data, int& error,
                  std::int64_t expectedSize) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    error = errno;
    return false;
  }
  data.clear();
  struct stat st;
  if (expectedSize < 0 && ::fstat(fd, &st) == 0 && S_ISREG(st.st_mode)) {
    expectedSize = st.st_size;
  }
  bool whole = false;
  if (expectedSize >= 0) {
    // One read takes a file of the size expected: asking for a byte more shows at once that it
    // ends there, since a read of a regular file returns less than asked only at its end. A
    // file that has changed since is read on to its end below.
    data.resize(static_cast<size_t>(expectedSize) + 1);
    ssize_t n = 0;
    do {
      n = ::read(fd, data.data(), data.size());
    } while (n < 0 && errno == EINTR);
    if (n < 0) {
      error = errno;
      ::close(fd);
      return false;
    }
    data.resize(static_cast<size_t>(n));
    whole = n == expectedSize;
  }
  char chunk[65536];
  while (!whole) {
    const ssize_t n = ::read(fd, chunk, sizeof chunk);
    if (n < 0) {
      if (errno == EINTR) {
        continue;
      }
      error = errno;
      ::close(fd);
      return false;
    }
    if (n == 0) {
      break;
    }
    data.append(chunk, static_cast<size_t>(n));
  }
  ::close(fd);
  return true;
}
