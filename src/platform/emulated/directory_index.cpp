#include "platform/emulated/directory_index.h"

#include <dirent.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <mutex>
#include <unordered_map>
#include <vector>

#include "platform/ansi_text.h"
#include "platform/emulated/codepage.h"

namespace directory_index {
namespace {

// Directories with fewer entries are read each time: cheap, and no watch is spent on them.
constexpr size_t kMinimumEntries = 64;

std::string Fold(const std::string& hostName) {
  return ansi::Fold(codepage::Utf8ToAnsi(hostName));
}

struct Index {
  dev_t device = 0;
  ino_t inode = 0;
  int watch = -1;
  // Folded name -> the host names that fold to it, in the order they were seen.
  std::unordered_map<std::string, std::vector<std::string>> names;
};

class CIndexes {
 public:
  ~CIndexes() {
    if (fd_ >= 0) {
      ::close(fd_);
    }
  }

  bool Find(const std::string& directory, const struct stat& st, std::string_view ansiName,
            std::string& found) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (indexes_.empty()) {
      return false;
    }
    Drain();
    auto it = indexes_.find(directory);
    if (it == indexes_.end()) {
      return false;
    }
    // The path may name another directory now (the indexed one moved away).
    if (st.st_dev != it->second.device || st.st_ino != it->second.inode) {
      Drop(it);
      return false;
    }
    const std::string folded = ansi::Fold(ansiName);
    const auto name = it->second.names.find(folded);
    found = name == it->second.names.end() ? std::string() : name->second.front();
    return true;
  }

  std::string Scan(const std::string& directory, std::string_view ansiName) {
    std::lock_guard<std::mutex> lock(mutex_);
    // Watch before reading, so that no change between the two goes unseen.
    Index index;
    struct stat st;
    if (Open() && ::stat(directory.c_str(), &st) == 0) {
      index.device = st.st_dev;
      index.inode = st.st_ino;
      index.watch = ::inotify_add_watch(fd_, directory.c_str(),
                                        IN_CREATE | IN_DELETE | IN_MOVED_FROM | IN_MOVED_TO |
                                            IN_DELETE_SELF | IN_MOVE_SELF | IN_ONLYDIR);
      if (index.watch >= 0 && watched_.count(index.watch) != 0) {
        index.watch = -1;  // the same directory indexed under another path: read this one
      }
    }
    DIR* dir = ::opendir(directory.c_str());
    if (dir == nullptr) {
      Unwatch(index.watch);
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
      index.names.reserve(names.size());
      for (std::string& name : names) {
        index.names[Fold(name)].push_back(std::move(name));
      }
      watched_[index.watch] = directory;
      indexes_[directory] = std::move(index);
      Drain();
    } else {
      Unwatch(index.watch);
    }
    return found;
  }

 private:
  bool Open() {
    if (fd_ < 0) {
      fd_ = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    }
    return fd_ >= 0;
  }

  void Unwatch(int watch) {
    if (watch >= 0) {
      ::inotify_rm_watch(fd_, watch);
    }
  }

  void Drop(std::unordered_map<std::string, Index>::iterator it) {
    watched_.erase(it->second.watch);
    ::inotify_rm_watch(fd_, it->second.watch);
    indexes_.erase(it);
  }

  void DropAll() {
    for (const auto& [watch, directory] : watched_) {
      ::inotify_rm_watch(fd_, watch);
    }
    watched_.clear();
    indexes_.clear();
  }

  // Applies every queued event to the indexes. A read takes every queued event that fits, so
  // one that leaves room for the largest event has emptied the queue.
  void Drain() {
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
          DropAll();
          continue;
        }
        const auto watched = watched_.find(event->wd);
        if (watched == watched_.end()) {
          continue;
        }
        const auto it = indexes_.find(watched->second);
        if (it == indexes_.end()) {
          continue;
        }
        if (event->mask & (IN_DELETE_SELF | IN_MOVE_SELF | IN_IGNORED)) {
          Drop(it);
          continue;
        }
        const std::string name = event->len > 0 ? std::string(event->name) : std::string();
        if (event->mask & (IN_CREATE | IN_MOVED_TO)) {
          it->second.names[Fold(name)].push_back(name);
        } else if (event->mask & (IN_DELETE | IN_MOVED_FROM)) {
          const auto entry = it->second.names.find(Fold(name));
          if (entry != it->second.names.end()) {
            std::vector<std::string>& spellings = entry->second;
            for (auto s = spellings.begin(); s != spellings.end(); ++s) {
              if (*s == name) {
                spellings.erase(s);
                break;
              }
            }
            if (spellings.empty()) {
              it->second.names.erase(entry);
            }
          }
        }
      }
    }
  }

  std::mutex mutex_;
  int fd_ = -1;
  std::unordered_map<std::string, Index> indexes_;  // by host directory path
  std::unordered_map<int, std::string> watched_;    // watch -> host directory path
};

CIndexes& Indexes() {
  static CIndexes indexes;
  return indexes;
}

}  // namespace

bool Find(const std::string& directory, const struct stat& status, std::string_view ansiName,
          std::string& found) {
  return Indexes().Find(directory, status, ansiName, found);
}

std::string Scan(const std::string& directory, std::string_view ansiName) {
  return Indexes().Scan(directory, ansiName);
}

}  // namespace directory_index
