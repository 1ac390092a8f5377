#include "platform/emulated/directory_index.h"

#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>
#ifdef __linux__
#include <sys/inotify.h>
#endif

#include <cerrno>
#include <climits>
#include <cstdint>
#include <functional>
#include <mutex>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "platform/ansi_text.h"
#include "platform/emulated/codepage.h"

namespace directory_index {
namespace {

// Directories with fewer entries are read each time: cheap, and no watch is spent on them.
constexpr size_t kMinimumEntries = 64;

#ifdef __linux__
// What a watch reports: changes of a directory's entries (for an indexed directory), and the
// directory itself moving or going (for it and for every directory above it).
constexpr std::uint32_t kEntryEvents = IN_CREATE | IN_DELETE | IN_MOVED_FROM | IN_MOVED_TO;
constexpr std::uint32_t kSelfEvents = IN_DELETE_SELF | IN_MOVE_SELF;
#else
// No inotify: nothing is watched, so nothing is indexed.
constexpr std::uint32_t kEntryEvents = 0;
constexpr std::uint32_t kSelfEvents = 0;
#endif

// The folded form of an ANSI name, into out.
void FoldAnsiName(std::string_view ansiName, std::string& out) {
  out.clear();
  for (const char c : ansiName) {
    out += static_cast<char>(ansi::Upper(static_cast<unsigned char>(c)));
  }
}

bool IsAscii(std::string_view text) {
  for (const char c : text) {
    if (static_cast<unsigned char>(c) >= 0x80) {
      return false;
    }
  }
  return true;
}

// FNV-1a over the folded ANSI form of a name: given folded, or folded here from a host name
// (UTF-8; ASCII as it is read, anything else through the ANSI code page).
std::size_t HashFolded(std::string_view folded) {
  std::uint64_t hash = 14695981039346656037ull;
  for (const char c : folded) {
    hash = (hash ^ static_cast<unsigned char>(c)) * 1099511628211ull;
  }
  return static_cast<std::size_t>(hash);
}

std::size_t HashHostName(std::string_view hostName) {
  if (!IsAscii(hostName)) {
    return HashFolded(ansi::Fold(codepage::Utf8ToAnsi(hostName)));
  }
  std::uint64_t hash = 14695981039346656037ull;
  for (const char c : hostName) {
    hash = (hash ^ ansi::Upper(static_cast<unsigned char>(c))) * 1099511628211ull;
  }
  return static_cast<std::size_t>(hash);
}

// True when the host name folds to folded.
bool FoldsTo(std::string_view hostName, std::string_view folded) {
  if (!IsAscii(hostName)) {
    return ansi::Fold(codepage::Utf8ToAnsi(hostName)) == folded;
  }
  if (hostName.size() != folded.size()) {
    return false;
  }
  for (std::size_t i = 0; i < hostName.size(); ++i) {
    if (ansi::Upper(static_cast<unsigned char>(hostName[i])) !=
        static_cast<unsigned char>(folded[i])) {
      return false;
    }
  }
  return true;
}

// A name looked up in an index: its folded ANSI form.
struct Folded {
  std::string_view text;
};

// The host names of a directory, hashed and compared as they fold, so that a lookup by the
// folded name finds every spelling without the index keeping a folded copy of each.
struct NameHash {
  using is_transparent = void;
  std::size_t operator()(const std::string& hostName) const { return HashHostName(hostName); }
  std::size_t operator()(const Folded& name) const { return HashFolded(name.text); }
};
struct NameEqual {
  using is_transparent = void;
  bool operator()(const std::string& a, const std::string& b) const {
    if (IsAscii(a) && IsAscii(b)) {
      return ansi::EqualNoCase(a, b);
    }
    return ansi::Fold(codepage::Utf8ToAnsi(a)) == ansi::Fold(codepage::Utf8ToAnsi(b));
  }
  bool operator()(const std::string& hostName, const Folded& name) const {
    return FoldsTo(hostName, name.text);
  }
  bool operator()(const Folded& name, const std::string& hostName) const {
    return FoldsTo(hostName, name.text);
  }
};
using Names = std::unordered_multiset<std::string, NameHash, NameEqual>;

// Host paths as keys that a string_view finds without a copy.
struct PathHash {
  using is_transparent = void;
  size_t operator()(std::string_view path) const { return std::hash<std::string_view>{}(path); }
};
template <typename T>
using PathMap = std::unordered_map<std::string, T, PathHash, std::equal_to<>>;

struct Index {
  dev_t device = 0;
  ino_t inode = 0;
  int watch = -1;
  // Every directory from the root down to this one is watched for moves: while none is
  // reported, the path names this very directory and lookups need not check its status.
  bool trusted = false;
  // The host names in the directory; the spellings that fold alike lie together.
  Names names;
};

// True when path is directory or lies below it.
bool IsAtOrBelow(std::string_view path, std::string_view directory) {
  if (directory == "/") {
    return true;
  }
  return path.substr(0, directory.size()) == directory &&
         (path.size() == directory.size() || path[directory.size()] == '/');
}

class CIndexes {
 public:
  ~CIndexes() {
    if (fd_ >= 0) {
      ::close(fd_);
    }
  }

  EAnswer Look(std::string_view directory, std::string_view ansiName, std::string_view hostName,
               std::string& found, bool& changesRead) {
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = indexes_.find(directory);
    if (it == indexes_.end() || !it->second.trusted) {
      return EAnswer::kNotIndexed;
    }
    FoldAnsiName(ansiName, wanted_);
    const Folded wanted{wanted_};
    const auto [first, last] = it->second.names.equal_range(wanted);
    for (auto spelling = first; spelling != last; ++spelling) {
      if (*spelling == hostName) {
        return EAnswer::kHeld;
      }
    }
    if (changesRead) {
      return Answer(it->second, first, found);
    }
    if (!ReadChanges(directory, it, changesRead)) {
      return EAnswer::kNotIndexed;
    }
    return Answer(it->second, it->second.names.find(wanted), found);
  }

  EAnswer Find(std::string_view directory, const struct stat& status, std::string_view ansiName,
               std::string& found, bool& changesRead) {
    std::lock_guard<std::mutex> lock(mutex_);
    // Changes are read only for a directory that has an index; reading them may drop it.
    auto it = indexes_.find(directory);
    if (it == indexes_.end()) {
      return EAnswer::kNotIndexed;
    }
    if (!ReadChanges(directory, it, changesRead)) {
      return EAnswer::kNotIndexed;
    }
    // The path may name another directory now (the indexed one moved away).
    if (status.st_dev != it->second.device || status.st_ino != it->second.inode) {
      indexes_.erase(it);
      return EAnswer::kNotIndexed;
    }
    FoldAnsiName(ansiName, wanted_);
    return Answer(it->second, it->second.names.find(Folded{wanted_}), found);
  }

  std::string Scan(const std::string& directory, std::string_view ansiName, bool indexIt) {
    std::lock_guard<std::mutex> lock(mutex_);
    // Watch before reading, so that no change between the two goes unseen.
    Index index;
    bool newWatch = false;
    struct stat st;
    if (indexIt && Open() && ::stat(directory.c_str(), &st) == 0) {
      index.device = st.st_dev;
      index.inode = st.st_ino;
      index.watch = Watch(directory, kEntryEvents | kSelfEvents, index.trusted, newWatch);
    }
    DIR* dir = ::opendir(directory.c_str());
    if (dir == nullptr) {
      Release(index.watch, newWatch);
      return {};
    }
    std::string found;
    std::vector<std::string> names;
    while (const dirent* entry = ::readdir(dir)) {
      std::string name = entry->d_name;
      if (name == "." || name == "..") {
        continue;
      }
      if (found.empty() && ansi::EqualNoCase(codepage::Utf8ToAnsi(name), ansiName)) {
        found = name;
      }
      if (index.watch >= 0) {
        names.push_back(std::move(name));
      }
    }
    ::closedir(dir);
    if (index.watch >= 0 && names.size() >= kMinimumEntries) {
      index.trusted = index.trusted && WatchAncestors(directory);
      index.names.reserve(names.size());
      for (std::string& name : names) {
        index.names.insert(std::move(name));
      }
      indexes_[directory] = std::move(index);
      Drain();
    } else {
      Release(index.watch, newWatch);
    }
    return found;
  }

  bool Indexed(const std::string& directory) {
    std::lock_guard<std::mutex> lock(mutex_);
    return indexes_.find(directory) != indexes_.end();
  }

 private:
  static EAnswer Answer(const Index& index, Names::const_iterator name, std::string& found) {
    if (name == index.names.end()) {
      return EAnswer::kAbsent;
    }
    found = *name;
    return EAnswer::kFound;
  }

  // Reads the queued changes, once for a call of the program (changesRead); false when that
  // dropped the index of directory, at which it points. Dropping only erases, so while the
  // count stays the same it still points at that index.
  bool ReadChanges(std::string_view directory, PathMap<Index>::iterator& it, bool& changesRead) {
    if (changesRead) {
      return true;
    }
    const size_t before = indexes_.size();
    Drain();
    changesRead = true;
    return indexes_.size() == before || (it = indexes_.find(directory)) != indexes_.end();
  }

  bool Open() {
#ifdef __linux__
    if (fd_ < 0) {
      fd_ = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    }
#endif
    return fd_ >= 0;
  }

  // Watches the directory at path for the events of mask (added to those it is watched for
  // already). exact tells whether path itself is that directory rather than a link to it;
  // added whether the watch is new. -1 when it cannot be watched, or is watched under another
  // path already.
  int Watch(const std::string& path, std::uint32_t mask, bool& exact, bool& added) {
    added = false;
    exact = false;
#ifdef __linux__
    int watch =
        ::inotify_add_watch(fd_, path.c_str(), IN_MASK_ADD | IN_ONLYDIR | IN_DONT_FOLLOW | mask);
    exact = watch >= 0;
    if (watch < 0) {
      watch = ::inotify_add_watch(fd_, path.c_str(), IN_MASK_ADD | IN_ONLYDIR | mask);
    }
    if (watch < 0) {
      return -1;
    }
    const auto known = watched_.find(watch);
    if (known == watched_.end()) {
      watched_.emplace(watch, path);
      added = true;
    } else if (known->second != path) {
      return -1;  // the same directory under another path: it is read each time under this one
    }
    return watch;
#else
    (void)path;
    (void)mask;
    return -1;
#endif
  }

  // Removes a watch that Scan added for a directory it did not index.
  void Release(int watch, bool added) {
    if (watch >= 0 && added) {
      watched_.erase(watch);
#ifdef __linux__
      ::inotify_rm_watch(fd_, watch);
#endif
    }
  }

  // Watches every directory above path for being moved or removed; false when one cannot be
  // watched as itself (a link on the way), so that the path cannot be trusted.
  bool WatchAncestors(const std::string& path) {
    for (size_t slash = path.find('/'); slash != std::string::npos && slash < path.size();
         slash = path.find('/', slash + 1)) {
      const std::string ancestor = slash == 0 ? std::string("/") : path.substr(0, slash);
      bool exact = false;
      bool added = false;
      if (Watch(ancestor, kSelfEvents, exact, added) < 0 || !exact) {
        return false;
      }
    }
    return true;
  }

  // Drops the index of directory and of every directory below it.
  void DropAtOrBelow(std::string_view directory) {
    for (auto it = indexes_.begin(); it != indexes_.end();) {
      it = IsAtOrBelow(it->first, directory) ? indexes_.erase(it) : std::next(it);
    }
  }

  void DropAll() {
#ifdef __linux__
    for (const auto& [watch, path] : watched_) {
      ::inotify_rm_watch(fd_, watch);
    }
#endif
    watched_.clear();
    indexes_.clear();
  }

  // Applies every queued event to the indexes. A read takes every queued event that fits, so
  // one that leaves room for the largest event has emptied the queue.
  void Drain() {
#ifdef __linux__
    alignas(inotify_event) char buffer[16384];
    constexpr ssize_t kLargestEvent = sizeof(inotify_event) + NAME_MAX + 1;
    for (bool more = true; more;) {
      const ssize_t length = ::read(fd_, buffer, sizeof buffer);
      if (length < 0 && errno == EINTR) {
        continue;
      }
      if (length <= 0) {
        return;
      }
      more = length > static_cast<ssize_t>(sizeof buffer) - kLargestEvent;
      for (ssize_t pos = 0; pos < length;) {
        const auto* event = reinterpret_cast<const inotify_event*>(buffer + pos);
        pos += static_cast<ssize_t>(sizeof(inotify_event) + event->len);
        if (event->mask & IN_Q_OVERFLOW) {
          DropAll();  // events were lost: nothing indexed can be trusted
          continue;
        }
        const auto watched = watched_.find(event->wd);
        if (watched == watched_.end()) {
          continue;
        }
        if (event->mask & (kSelfEvents | IN_IGNORED | IN_UNMOUNT)) {
          // The directory moved or went: its path, and every path below it, may name another
          // directory now. The watch follows the old one: it goes too.
          DropAtOrBelow(watched->second);
          if ((event->mask & IN_IGNORED) == 0) {
            ::inotify_rm_watch(fd_, event->wd);
          }
          watched_.erase(watched);
          continue;
        }
        const auto it = indexes_.find(watched->second);
        if (it == indexes_.end() || it->second.watch != event->wd || event->len == 0) {
          continue;
        }
        std::string& name = eventName_;
        name.assign(event->name);
        if (event->mask & (IN_CREATE | IN_MOVED_TO)) {
          it->second.names.insert(name);
        } else if (event->mask & (IN_DELETE | IN_MOVED_FROM)) {
          const auto [first, last] = it->second.names.equal_range(name);
          for (auto spelling = first; spelling != last; ++spelling) {
            if (*spelling == name) {
              it->second.names.erase(spelling);
              break;
            }
          }
        }
      }
    }
#endif
  }

  std::mutex mutex_;
  int fd_ = -1;
  // Kept for their room: the folded name looked up, and the name of an event.
  std::string wanted_;
  std::string eventName_;
  PathMap<Index> indexes_;                        // by host directory path
  std::unordered_map<int, std::string> watched_;  // watch -> host directory path
};

CIndexes& Indexes() {
  static CIndexes indexes;
  return indexes;
}

}  // namespace

EAnswer Look(std::string_view directory, std::string_view ansiName, std::string_view hostName,
             std::string& found, bool& changesRead) {
  return Indexes().Look(directory, ansiName, hostName, found, changesRead);
}

EAnswer Find(std::string_view directory, const struct stat& status, std::string_view ansiName,
             std::string& found, bool& changesRead) {
  return Indexes().Find(directory, status, ansiName, found, changesRead);
}

std::string Scan(const std::string& directory, std::string_view ansiName, bool index) {
  return Indexes().Scan(directory, ansiName, index);
}

bool Indexed(const std::string& directory) {
  return Indexes().Indexed(directory);
}

}  // namespace directory_index
