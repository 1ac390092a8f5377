// Times CIni on the emulated machine: one section of 1,000, 10,000 and 100,000 keys, read with
// GetSection on first use (parse included) and then name by name. Both must grow linearly.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#include "platform/emulated/emulated_platform.h"
#include "profile/ini.h"

namespace fs = std::filesystem;

namespace {

double MillisecondsSince(std::chrono::steady_clock::time_point start) {
  return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start)
      .count();
}

std::string KeyName(int i) {
  char name[32];
  std::snprintf(name, sizeof name, "Key%07d", i);
  return name;
}

}  // namespace

int main() {
  const fs::path root = fs::temp_directory_path() / ("cvbench-" + std::to_string(::getpid()));
  fs::remove_all(root);
  fs::create_directories(root / "drive_c" / "windows");
  fs::create_directories(root / "drive_c" / "bench");

  CEmulatedMachineOptions options;
  options.root = root.string();
  options.modulePath = "C:\\bench\\CheckVela.exe";
  options.currentDirectory = "C:\\bench";
  CEmulatedPlatform platform(options);

  std::printf("%10s %12s %10s %10s %14s %10s\n", "keys", "section ms", "ns/key", "in map",
              "by name ms", "ns/key");
  for (const int count : {1000, 10000, 100000}) {
    const std::string name = "keys" + std::to_string(count) + ".ini";
    const fs::path host = root / "drive_c" / "bench" / name;
    {
      std::ofstream out(host, std::ios::binary);
      out << "[Other]\r\nx=1\r\n[Big]\r\n";
      for (int i = 0; i < count; ++i)
        out << KeyName(i) << "=value " << i << "\r\n";
    }
    // The files the program migrates are old; a file changed moments ago is re-checked byte for
    // byte, which would time the disk rather than the parser.
    fs::last_write_time(host, fs::last_write_time(host) - std::chrono::minutes(10));

    CIni ini(platform, "C:\\bench\\" + name);
    CMapStringToString map;
    auto start = std::chrono::steady_clock::now();
    const int got = ini.GetSection("Big", map);
    const double sectionMs = MillisecondsSince(start);

    start = std::chrono::steady_clock::now();
    std::size_t total = 0;
    for (int i = 0; i < count; ++i)
      total += ini.GetString("Big", KeyName(i)).size();
    const double byNameMs = MillisecondsSince(start);
    if (got <= 0 || total == 0) {
      std::fprintf(stderr, "nothing read from %s\n", name.c_str());
      return 1;
    }
    std::printf("%10d %12.2f %10.1f %10d %14.2f %10.1f\n", count, sectionMs,
                sectionMs * 1e6 / count, got, byNameMs, byNameMs * 1e6 / count);
  }
  fs::remove_all(root);
  return 0;
}
