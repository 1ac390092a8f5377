// The floor under the migration's cost: on a machine written by gen_machine.py, does only the
// file work that "nothing lost, even on a power cut" requires, with the fewest system calls, and
// none of the rest (no INI parsing, no registry, no names looked up without regard to case, no
// temporary names, no read-back check):
//   - every data file is copied in the kernel into Spool, keeping its time of last write, never
//     over a file that is there (O_EXCL), with its restore line;
//   - every control file, each queue's queue.ini and the two main INIs are copied the same way
//     into Backup, each with its restore line;
//   - the lines go to restore.bat in as few writes as fit;
//   - one flush of the volume (syncfs) puts all of it on the disk;
//   - only then the originals of the Backup copies are deleted. A power cut before the flush
//     leaves every original in place; after it, every copy and line is on the disk.
// Prints the seconds taken, the system calls made (counted by hand, the directory listings
// included) and the files moved (one line each). scripts/bench.sh runs it beside checkvela on
// the same data, so that checkvela's ratio to the floor is measured on the same machine in the
// same run.
//
// With --kept, the same file work in the order that checkvela's guarantees give it, and still
// none of the rest: queue by queue (a queue's originals are gone before the next queue is
// read), each control file read once, each copy made under a temporary name; then for the
// queue one flush of the volume for the copies, the queue's lines appended and flushed, the
// copies renamed to their names (never over another), a flush for the names, each control
// file's copy read back, and only then the originals deleted; at the end one flush for the
// deletions. It is the least that any program keeping those guarantees waits for and asks of
// the kernel, beside the floor's least for "nothing lost".
//   floor_bench [--kept] MACHINE
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <string>
#include <string_view>
#include <vector>

namespace {

long calls = 0;  // system calls made, counted by hand

[[noreturn]] void Die(const std::string& what) {
  std::perror(what.c_str());
  std::exit(1);
}

int Open(const std::string& path, int flags, mode_t mode = 0) {
  ++calls;
  const int fd = ::open(path.c_str(), flags | O_CLOEXEC, mode);
  if (fd < 0) {
    Die(path);
  }
  return fd;
}

void Close(int fd) {
  ++calls;
  ::close(fd);
}

// The names in directory (without "." and ".."), sorted, read with getdents64 so that every
// system call is counted.
std::vector<std::string> List(const std::string& directory) {
  const int fd = Open(directory, O_RDONLY | O_DIRECTORY);
  std::vector<std::string> names;
  alignas(8) char buffer[32768];
  for (;;) {
    ++calls;
    const ssize_t n = ::getdents64(fd, buffer, sizeof buffer);
    if (n < 0) {
      Die(directory);
    }
    if (n == 0) {
      break;
    }
    for (ssize_t at = 0; at < n;) {
      const auto* entry = reinterpret_cast<const struct dirent64*>(buffer + at);
      at += entry->d_reclen;
      const std::string_view name = entry->d_name;
      if (name != "." && name != "..") {
        names.emplace_back(name);
      }
    }
  }
  Close(fd);
  std::sort(names.begin(), names.end());
  return names;
}

// Copies source to a new file target in the kernel, with its permissions and time of last
// write; a file already at target stops the run.
void Copy(const std::string& source, const std::string& target) {
  const int in = Open(source, O_RDONLY);
  struct stat st;
  ++calls;
  if (::fstat(in, &st) != 0) {
    Die(source);
  }
  const int out = Open(target, O_WRONLY | O_CREAT | O_EXCL, st.st_mode & 07777);
  ++calls;
  if (::copy_file_range(in, nullptr, out, nullptr, static_cast<size_t>(st.st_size), 0) !=
      st.st_size) {
    Die(target);
  }
  const struct timespec times[2] = {st.st_atim, st.st_mtim};
  ++calls;
  ::futimens(out, times);
  Close(in);
  Close(out);
}

// The Windows path of a host path below MACHINE/drive_c.
std::string WindowsPath(const std::string& driveC, const std::string& host) {
  std::string path = "C:" + host.substr(driveC.size());
  std::replace(path.begin(), path.end(), '/', '\\');
  return path;
}

// Appends path in quotes to line.
void AppendQuoted(std::string& line, const std::string& path) {
  line += '"';
  line += path;
  line += '"';
}

std::string Join(const std::string& directory, const std::string& name) {
  std::string path = directory;
  path += '/';
  path += name;
  return path;
}

void Sync(int fd) {
  ++calls;
  if (::syncfs(fd) != 0) {
    Die("syncfs");
  }
}

// Appends text to the open file fd, whole.
void WriteAll(int fd, const std::string& text) {
  for (size_t done = 0; done < text.size();) {
    ++calls;
    const ssize_t n = ::write(fd, text.data() + done, text.size() - done);
    if (n <= 0) {
      Die("restore.bat");
    }
    done += static_cast<size_t>(n);
  }
}

// Reads the file at path whole, as a check or a parse would (open, fstat, read, close).
std::string ReadAll(const std::string& path) {
  const int fd = Open(path, O_RDONLY);
  struct stat st;
  ++calls;
  if (::fstat(fd, &st) != 0) {
    Die(path);
  }
  std::string bytes(static_cast<size_t>(st.st_size) + 1, '\0');
  ++calls;
  const ssize_t n = ::read(fd, bytes.data(), bytes.size());
  if (n != st.st_size) {
    Die(path);
  }
  bytes.resize(static_cast<size_t>(n));
  Close(fd);
  return bytes;
}

// Renames from to a name that must not be there yet.
void RenameNew(const std::string& from, const std::string& to) {
  ++calls;
  if (::renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) != 0) {
    Die(to);
  }
}

void Unlink(const std::string& path) {
  ++calls;
  if (::unlink(path.c_str()) != 0) {
    Die(path);
  }
}

// One move into Spool or Backup: the original, its copy's name, its line, and whether the
// original goes (Backup) and its copy is read back (a control file).
struct Move {
  std::string source;
  std::string target;
  std::string line;
  bool remove = false;
  bool check = false;
};

// Prints the seconds since start, the system calls made and the files moved.
int Report(std::chrono::steady_clock::time_point start, long moved) {
  const double seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  std::printf("%.3f %ld %ld\n", seconds, calls, moved);
  return 0;
}

// The floor: every copy, then every line in as few writes as fit, one flush for all of it, and
// only then the originals of the Backup copies deleted.
int RunFloor(int script, const std::vector<std::vector<Move>>& groups,
             std::chrono::steady_clock::time_point start) {
  std::string lines;
  long moved = 0;
  for (const std::vector<Move>& group : groups) {
    for (const Move& move : group) {
      Copy(move.source, move.target);
      lines += move.line;
      ++moved;
    }
  }
  WriteAll(script, lines);
  Sync(script);  // every copy, every line and the new directories, on the disk at once
  Close(script);
  for (const std::vector<Move>& group : groups) {
    for (const Move& move : group) {
      if (move.remove) {
        Unlink(move.source);
      }
    }
  }
  return Report(start, moved);
}

// The --kept run: the moves of each group (each queue, then the main INIs) as checkvela's
// guarantees order them.
int RunKept(int script, const std::vector<std::vector<Move>>& groups,
            std::chrono::steady_clock::time_point start) {
  long moved = 0;
  long temporary = 0;
  for (const std::vector<Move>& group : groups) {
    std::vector<std::string> temporaries;
    std::string lines;
    for (const Move& move : group) {
      if (move.check) {
        ReadAll(move.source);  // the control file read for its job
      }
      const std::string name = move.target.substr(0, move.target.rfind('/') + 1) + "~cv" +
                               std::to_string(++temporary) + ".tmp";
      Copy(move.source, name);
      temporaries.push_back(name);
      lines += move.line;
    }
    Sync(script);  // the copies' bytes
    WriteAll(script, lines);
    ++calls;
    if (::fsync(script) != 0) {
      Die("fsync");
    }
    for (size_t i = 0; i < group.size(); ++i) {
      RenameNew(temporaries[i], group[i].target);
    }
    Sync(script);  // the names
    for (const Move& move : group) {
      if (move.check) {
        ReadAll(move.target);  // the copy read back
      }
    }
    for (const Move& move : group) {
      if (move.remove) {
        Unlink(move.source);
      }
      ++moved;
    }
  }
  Sync(script);  // the deletions
  Close(script);
  return Report(start, moved);
}

}  // namespace

int main(int argc, char** argv) {
  const bool kept = argc == 3 && std::string_view(argv[1]) == "--kept";
  if (argc != 2 && !kept) {
    std::fprintf(stderr, "usage: floor_bench [--kept] MACHINE\n");
    return 2;
  }
  const std::string machine = argv[argc - 1];
  const std::string driveC = machine + "/drive_c";
  const std::string program = driveC + "/Program Files/Vela";
  const std::string spool = program + "/Spool";
  const std::string backup = program + "/Backup";
  const std::string vela = driveC + "/Vela";
  // The data files to copy, by the queue whose directory holds them (data/<queue>): the list
  // that the plain cp of the benchmark copies too.
  std::map<std::string, std::vector<std::string>> data;
  {
    std::ifstream list(machine + "/data-files.txt");
    for (std::string line; std::getline(list, line);) {
      const size_t name = line.rfind('/');
      const size_t queue = line.rfind('/', name - 1) + 1;
      data[line.substr(queue, name - queue)].push_back(line);
    }
  }

  const auto start = std::chrono::steady_clock::now();
  for (const std::string& directory : {spool, backup}) {
    ++calls;
    if (::mkdir(directory.c_str(), 0777) != 0) {
      Die(directory);
    }
  }
  // A data file's copy in Spool, restored only where no file has taken its place.
  const auto spoolMove = [&](const std::string& source) {
    const std::string old = WindowsPath(driveC, source);
    Move move{source, Join(spool, source.substr(source.rfind('/') + 1)), "if not exist "};
    AppendQuoted(move.line, old);
    move.line += " copy/y ";
    AppendQuoted(move.line, WindowsPath(driveC, move.target));
    move.line += ' ';
    AppendQuoted(move.line, old);
    move.line += "\r\n";
    return move;
  };
  // A file moved into Backup under name; a control file (check) is read back.
  const auto backupMove = [&](const std::string& source, const std::string& name, bool check) {
    Move move{source, Join(backup, name), "copy/y ", true, check};
    AppendQuoted(move.line, "%~dp0" + name);
    move.line += ' ';
    AppendQuoted(move.line, WindowsPath(driveC, source));
    move.line += "\r\n";
    return move;
  };
  // Each queue's data files, its queue.ini and control files; then the main INIs.
  std::vector<std::vector<Move>> groups;
  for (const std::string& queue : List(vela + "/queues")) {
    std::vector<Move>& group = groups.emplace_back();
    for (const std::string& source : data[queue]) {
      group.push_back(spoolMove(source));
    }
    const std::string directory = Join(vela + "/queues", queue);
    for (const std::string& name : List(directory)) {
      const bool control = name != "queue.ini";
      group.push_back(backupMove(Join(directory, name),
                                 control ? queue + "-" + name.substr(0, name.find('.')) : queue,
                                 control));
    }
  }
  groups.push_back({backupMove(driveC + "/windows/vela.ini", "winvela.ini", false),
                    backupMove(vela + "/vela.ini", "vela.ini", false)});
  const int script = Open(backup + "/restore.bat", O_WRONLY | O_CREAT | O_APPEND, 0666);
  return kept ? RunKept(script, groups, start) : RunFloor(script, groups, start);
}
