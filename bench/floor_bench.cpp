// The floor under the migration's cost: on a machine written by gen_machine.py, does for every
// job only the file work that the migration's guarantees require, with the fewest system calls,
// and none of the rest (no names looked up without regard to case, no INI parsing, no
// registry):
//   - the control file is read once (its settings are needed);
//   - each data file is copied in the kernel to a temporary name in Spool, keeping its time of
//     last write, its restore line is written, and the copy is renamed into place without
//     replacing anything;
//   - the control file is copied the same way into Backup, the copy and the original are read
//     back and compared, the line is written, the copy is renamed into place and the original
//     deleted.
// Prints the seconds taken and the system calls made per moved file. scripts/bench.sh runs it
// beside cp and checkvela on the same data, so that the ratio to cp that no implementation of
// these guarantees can go below is measured on the same machine in the same run.
//   floor_bench MACHINE
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

namespace fs = std::filesystem;

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

std::string ReadAll(const std::string& path) {
  const int fd = Open(path, O_RDONLY);
  std::string data(65536, '\0');
  ++calls;
  const ssize_t n = ::read(fd, data.data(), data.size());
  if (n < 0) {
    Die(path);
  }
  data.resize(static_cast<size_t>(n));
  Close(fd);
  return data;
}

// Copies source to temporary in the kernel, with its permissions and time of last write.
void Copy(const std::string& source, const std::string& temporary) {
  const int in = Open(source, O_RDONLY);
  struct stat st;
  ++calls;
  if (::fstat(in, &st) != 0) {
    Die(source);
  }
  const int out = Open(temporary, O_WRONLY | O_CREAT | O_EXCL, st.st_mode & 07777);
  ++calls;
  if (::copy_file_range(in, nullptr, out, nullptr, static_cast<size_t>(st.st_size), 0) !=
      st.st_size) {
    Die(temporary);
  }
  const struct timespec times[2] = {st.st_atim, st.st_mtim};
  ++calls;
  ::futimens(out, times);
  Close(in);
  Close(out);
}

void Write(int fd, const std::string& line) {
  ++calls;
  if (::write(fd, line.data(), line.size()) != static_cast<ssize_t>(line.size())) {
    Die("restore.bat");
  }
}

// copy/y "from" "to" with CR LF, as restore.bat holds it.
std::string RestoreLine(const std::string& from, const std::string& to) {
  std::string line = "copy/y \"";
  line += from;
  line += "\" \"";
  line += to;
  line += "\"\r\n";
  return line;
}

std::string Join(const std::string& directory, const std::string& name) {
  std::string path = directory;
  path += '/';
  path += name;
  return path;
}

void Rename(const std::string& from, const std::string& to) {
  ++calls;
  if (::renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) != 0) {
    Die(to);
  }
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: floor_bench MACHINE\n");
    return 2;
  }
  const fs::path machine = argv[1];
  const fs::path program = machine / "drive_c" / "Program Files" / "Vela";
  const std::string spool = (program / "Spool").string();
  const std::string backup = (program / "Backup").string();
  fs::create_directories(spool);
  fs::create_directories(backup);
  // The data files in job order: two per job, queue by queue.
  std::vector<std::string> data;
  {
    std::ifstream list(machine / "data-files.txt");
    for (std::string line; std::getline(list, line);) {
      data.push_back(line);
    }
  }
  std::vector<fs::path> queues;
  for (const auto& entry : fs::directory_iterator(machine / "drive_c" / "Vela" / "queues")) {
    queues.push_back(entry.path());
  }
  std::sort(queues.begin(), queues.end());
  std::vector<fs::path> jobs;
  for (const fs::path& queue : queues) {
    std::vector<fs::path> controlFiles;
    for (const auto& entry : fs::directory_iterator(queue)) {
      if (entry.path().filename().string().rfind("cf", 0) == 0) {
        controlFiles.push_back(entry.path());
      }
    }
    std::sort(controlFiles.begin(), controlFiles.end());
    jobs.insert(jobs.end(), controlFiles.begin(), controlFiles.end());
  }
  if (data.size() != 2 * jobs.size()) {
    std::fprintf(stderr, "floor_bench: %zu data files for %zu jobs\n", data.size(), jobs.size());
    return 1;
  }

  const auto start = std::chrono::steady_clock::now();
  const int script = Open(backup + "/restore.bat", O_WRONLY | O_CREAT | O_APPEND, 0666);
  const std::string spoolTemporary = spool + "/~CheckVela.tmp";
  const std::string backupTemporary = backup + "/~CheckVela.tmp";
  long moved = 0;
  for (size_t j = 0; j < jobs.size(); ++j) {
    const std::string controlFile = jobs[j].string();
    ReadAll(controlFile);  // the job's settings
    for (size_t k = 0; k < 2; ++k) {
      const std::string& source = data[2 * j + k];
      const std::string name = fs::path(source).filename().string();
      Copy(source, spoolTemporary);
      std::string copy = "C:\\Program Files\\Vela\\Spool\\";
      copy += name;
      Write(script, RestoreLine(copy, source));
      Rename(spoolTemporary, Join(spool, name));
      ++moved;
    }
    const std::string name =
        jobs[j].parent_path().filename().string() + "-" + jobs[j].stem().string();
    Copy(controlFile, backupTemporary);
    if (ReadAll(backupTemporary) != ReadAll(controlFile)) {
      std::fprintf(stderr, "floor_bench: %s copied wrong\n", controlFile.c_str());
      return 1;
    }
    Write(script, RestoreLine("%~dp0" + name, controlFile));
    Rename(backupTemporary, Join(backup, name));
    ++calls;
    if (::unlink(controlFile.c_str()) != 0) {
      Die(controlFile);
    }
    ++moved;
  }
  Close(script);
  const double seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  std::printf("%.2f %ld %ld\n", seconds, calls, moved);
  return 0;
}
