// Fuzzes the whole migration. The input is split at each 0x01 byte into the main INI, the
// queue's queue.ini, one control file and the five auxiliary tables; a fresh emulated machine
// with a fixed layout receives them, CheckVela runs on it, and then nothing may be lost: every
// file of the old installation is either in its old place with its bytes, or running
// restore.bat (simulated here, line by line, as cmd runs it from Backup) brings it back byte
// for byte; and restore.reg, imported, gives back the registry as it was before the run.
//
// The program only sees the machine: every file call that names a path outside the machine's
// root (Z:, UNC) fails with ERROR_ACCESS_DENIED, so no input can touch the host.
#include <unistd.h>

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "app/app.h"
#include "platform/emulated/codepage.h"
#include "platform/emulated/emulated_platform.h"
#include "platform/emulated/registry.h"
#include "support/platform_proxy.h"

namespace fs = std::filesystem;

namespace {

constexpr char kSeparator = '\x01';
constexpr const char* kProgram = "C:\\Program Files\\Vela\\";
constexpr const char* kBackup = "C:\\Program Files\\Vela\\Backup\\";

// Where each part of the input goes, in order.
constexpr std::array<const char*, 8> kPartPaths = {"C:\\Vela\\vela.ini",
                                                   "C:\\Vela\\queues\\q1\\queue.ini",
                                                   "C:\\Vela\\queues\\q1\\cf00001.ini",
                                                   "C:\\Vela\\access.ini",
                                                   "C:\\Vela\\translat.ini",
                                                   "C:\\Vela\\styles.ini",
                                                   "C:\\Vela\\protocol.ini",
                                                   "C:\\Vela\\ebcdic.ini"};

// Files every machine has, whatever the input.
const std::vector<std::pair<std::string, std::string>>& FixedFiles() {
  static const std::vector<std::pair<std::string, std::string>> files = {
      {"C:\\windows\\vela.ini", "[Settings]\r\nIni=C:\\Vela\\vela.ini\r\n"},
      {"C:\\Program Files\\Vela\\delvela.exe", std::string("MZ\0\0delvela", 11)},
      {"C:\\Vela\\data\\df1", "first data file 100%\r\n\xe9t\xe9\r\n"},
      {"C:\\Vela\\data\\df2", std::string("\0\x01\x02\xff second", 11)},
      {"C:\\Vela\\queues\\q1\\cf00002.ini",
       "[Settings]\r\nSeqno=2\r\nControlFileName=cfA002host\r\nDataFiles=1\r\n[Files]\r\n"
       "File1=ldf2\r\nData1=C:\\Vela\\data\\df2\r\n"}};
  return files;
}

const char* kRegistry =
    "REGEDIT4\r\n\r\n"
    "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\Vela Print "
    "Server]\r\n\"UninstallString\"=\"C:\\\\Vela\\\\uninst.exe /remove\"\r\n\r\n";

[[noreturn]] void Fail(const std::string& what) {
  std::fprintf(stderr, "migration invariant broken: %s\n", what.c_str());
  std::abort();
}

[[noreturn]] void FailWithScript(const char* what, const std::string& host,
                                 const std::string& script) {
  std::fprintf(stderr, "migration invariant broken: %s%s\nrestore.bat:\n%s\n", what, host.c_str(),
               script.c_str());
  std::abort();
}

// The platform as the program sees it: the emulated machine, closed to the host around it.
class CConfinedPlatform : public CPlatformProxy {
 public:
  CConfinedPlatform(CEmulatedPlatform& machine, std::string root)
      : CPlatformProxy(machine), machine_(machine), prefix_(std::move(root) + "/") {}

  win::DWORD GetPrivateProfileStringA(const char* section, const char* key,
                                      const char* defaultValue, char* buffer, win::DWORD size,
                                      const char* fileName) override {
    return CPlatformProxy::GetPrivateProfileStringA(section, key, defaultValue, buffer, size,
                                                    Inside(fileName) ? fileName : kNoFile);
  }
  win::UINT GetPrivateProfileIntA(const char* section, const char* key, int defaultValue,
                                  const char* fileName) override {
    return CPlatformProxy::GetPrivateProfileIntA(section, key, defaultValue,
                                                 Inside(fileName) ? fileName : kNoFile);
  }
  bool CreateDirectoryA(const char* path) override {
    return Inside(path) ? CPlatformProxy::CreateDirectoryA(path) : Deny();
  }
  bool CopyFileA(const char* existing, const char* target, bool failIfExists) override {
    return Inside(existing) && Inside(target)
               ? CPlatformProxy::CopyFileA(existing, target, failIfExists)
               : Deny();
  }
  bool DeleteFileA(const char* path) override {
    return Inside(path) ? CPlatformProxy::DeleteFileA(path) : Deny();
  }
  win::DWORD GetFileAttributesA(const char* path) override {
    if (!Inside(path)) {
      Deny();
      return win::kInvalidFileAttributes;
    }
    return CPlatformProxy::GetFileAttributesA(path);
  }
  bool SetFileAttributesA(const char* path, win::DWORD attributes) override {
    return Inside(path) ? CPlatformProxy::SetFileAttributesA(path, attributes) : Deny();
  }
  win::HFIND FindFirstFileA(const char* pattern, win::FindData& data) override {
    if (!Inside(pattern)) {
      Deny();
      return win::kInvalidFind;
    }
    return CPlatformProxy::FindFirstFileA(pattern, data);
  }
  bool ReadWholeFile(const char* path, std::string& data) override {
    return Inside(path) ? CPlatformProxy::ReadWholeFile(path, data) : Deny();
  }
  std::unique_ptr<CWriteFile> CreateWriteFile(const char* path) override {
    if (!Inside(path)) {
      Deny();
      return nullptr;
    }
    return CPlatformProxy::CreateWriteFile(path);
  }

 private:
  static constexpr const char* kNoFile = "C:\\no such file.ini";

  bool Inside(const char* path) {
    if (path == nullptr) {
      return false;
    }
    const std::string host = machine_.HostPath(path);
    return host.compare(0, prefix_.size(), prefix_) == 0 && host.find("/../") == std::string::npos;
  }
  bool Deny() {
    SetLastError(5);
    return false;
  }

  CEmulatedPlatform& machine_;
  std::string prefix_;
};

// Code page 437 back to Windows-1252, for the bytes the forward conversion produces; a byte it
// cannot come from stays unmapped (0) and names no file.
const std::array<unsigned char, 256>& OemToAnsiTable() {
  static const std::array<unsigned char, 256> table = [] {
    std::array<unsigned char, 256> t{};
    for (int c = 255; c >= 1; --c) {
      const std::string oem = codepage::AnsiToOem(std::string(1, static_cast<char>(c)));
      if (oem.size() == 1 && (oem[0] != '?' || c == '?')) {
        t[static_cast<unsigned char>(oem[0])] = static_cast<unsigned char>(c);
      }
    }
    return t;
  }();
  return table;
}

std::string OemToAnsi(const std::string& oem) {
  std::string ansi;
  for (const char c : oem) {
    const unsigned char a = OemToAnsiTable()[static_cast<unsigned char>(c)];
    ansi += a == 0 ? '\x7f' : static_cast<char>(a);  // DEL: no file has it in its name here
  }
  return ansi;
}

// A restore.bat path as cmd passes it to copy: %% is %.
std::string BatchPath(const std::string& text) {
  std::string path;
  for (size_t i = 0; i < text.size(); ++i) {
    path += text[i];
    if (text[i] == '%') {
      if (i + 1 >= text.size() || text[i + 1] != '%') {
        Fail("a single % in restore.bat: " + text);
      }
      ++i;
    }
  }
  return OemToAnsi(path);
}

bool ReadHost(const std::string& host, std::string& bytes) {
  std::error_code ec;
  if (host.empty() || !fs::is_regular_file(host, ec)) {
    return false;
  }
  std::ifstream in(host, std::ios::binary);
  std::ostringstream content;
  content << in.rdbuf();
  bytes = content.str();
  return true;
}

void WriteHost(const std::string& host, const std::string& bytes) {
  fs::create_directories(fs::path(host).parent_path());
  std::ofstream out(host, std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

const std::string& MachineRoot() {
  static const std::string root = [] {
    const fs::path base =
        fs::is_directory("/dev/shm") ? fs::path("/dev/shm") : fs::temp_directory_path();
    const fs::path dir = base / ("cvfuzz-machine-" + std::to_string(::getpid()));
    fs::create_directories(dir);
    return fs::canonical(dir).string();
  }();
  return root;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string& root = MachineRoot();
  fs::remove_all(root + "/drive_c");
  fs::remove(root + "/registry.reg");
  fs::create_directories(root + "/drive_c/Program Files/Vela");
  WriteHost(root + "/registry.reg", kRegistry);

  CEmulatedMachineOptions options;
  options.root = root;
  options.modulePath = std::string(kProgram) + "CheckVela.exe";
  options.currentDirectory = kProgram;
  std::ostringstream out;
  std::ostringstream err;
  options.out = &out;
  options.err = &err;
  CEmulatedPlatform machine(options);

  // The old installation: the fixed files and the parts of the input, by host path.
  std::map<std::string, std::string> originals;
  for (const auto& [path, bytes] : FixedFiles()) {
    originals[machine.HostPath(path)] = bytes;
  }
  const std::string input(reinterpret_cast<const char*>(data), size);
  size_t start = 0;
  for (size_t part = 0; part < kPartPaths.size() && start <= input.size(); ++part) {
    size_t end = input.find(kSeparator, start);
    if (end == std::string::npos) {
      end = input.size();
    }
    originals[machine.HostPath(kPartPaths[part])] = input.substr(start, end - start);
    start = end + 1;
  }
  for (const auto& [host, bytes] : originals) {
    WriteHost(host, bytes);
  }

  std::string error;
  if (!machine.LoadRegistry(error)) {
    Fail("the fixed registry does not load: " + error);
  }
  CConfinedPlatform platform(machine, root);
  RunCheckVela(platform);
  if (!machine.SaveRegistry(error)) {
    Fail("the registry cannot be saved: " + error);
  }
  CEmulatedPlatform reloaded(options);
  if (!reloaded.LoadRegistry(error)) {
    Fail("the saved registry does not load again: " + error);
  }

  // Run restore.bat: each line copies a file (in Backup or Spool) over an old place.
  std::map<std::string, std::string> restored;
  std::string script;
  if (ReadHost(machine.HostPath(std::string(kBackup) + "restore.bat"), script)) {
    size_t pos = 0;
    while (pos < script.size()) {
      const size_t eol = script.find("\r\n", pos);
      if (eol == std::string::npos) {
        Fail("restore.bat ends without CR LF");
      }
      std::string line = script.substr(pos, eol - pos);
      pos = eol + 2;
      if (line.compare(0, 4, "rem ") == 0) {
        continue;  // a record for later runs, which cmd skips
      }
      // if not exist "old" copy/y "copy" "old": copies only where nothing lies.
      bool guarded = false;
      if (line.compare(0, 14, "if not exist \"") == 0) {
        const size_t close = line.find('"', 14);
        if (close == std::string::npos || line.compare(close, 2, "\" ") != 0) {
          Fail("malformed guarded restore line: " + line);
        }
        const std::string guard = line.substr(13, close + 1 - 13);
        line.erase(0, close + 2);
        if (line.size() < guard.size() ||
            line.compare(line.size() - guard.size(), guard.size(), guard) != 0) {
          Fail("a restore line guarded by another path: " + line);
        }
        guarded = true;
      }
      const size_t middle = line.find("\" \"");
      if (line.compare(0, 8, "copy/y \"") != 0 || line.back() != '"' ||
          middle == std::string::npos || line.find("\" \"", middle + 1) != std::string::npos) {
        Fail("malformed restore line: " + line);
      }
      // %~dp0, the one single %, stands for the script's own folder, Backup.
      std::string from = line.substr(8, middle - 8);
      const bool inBackup = from.compare(0, 5, "%~dp0") == 0;
      from = BatchPath(inBackup ? from.substr(5) : from);
      const std::string to = BatchPath(line.substr(middle + 3, line.size() - middle - 4));
      if (inBackup) {
        from.insert(0, kBackup);
      } else if (from.find(':') == std::string::npos) {
        Fail("a copy named neither in full nor through %~dp0: " + line);
      }
      const std::string fromHost = machine.HostPath(from);
      if (guarded) {
        std::string present;
        if (restored.count(machine.HostPath(to)) != 0 || ReadHost(machine.HostPath(to), present)) {
          continue;
        }
      }
      std::string bytes;
      if (auto it = restored.find(fromHost); it != restored.end()) {
        bytes = it->second;
      } else if (!ReadHost(fromHost, bytes)) {
        continue;  // copy fails and cmd goes on with the next line
      }
      restored[machine.HostPath(to)] = bytes;
    }
  }

  for (const auto& [host, bytes] : originals) {
    std::string now;
    if (auto it = restored.find(host); it != restored.end()) {
      now = it->second;
    } else if (!ReadHost(host, now)) {
      FailWithScript("lost, with no restore line: ", host, script);
    }
    if (now != bytes) {
      FailWithScript("restores to other bytes: ", host, script);
    }
  }

  // The registry's way back: restore.reg, imported as regedit does, leaves the registry as it
  // was before the run, whatever names and data the old files gave the migration.
  std::string restoreReg;
  if (ReadHost(machine.HostPath(std::string(kBackup) + "restore.reg"), restoreReg) &&
      !reloaded.ImportRegistry(restoreReg, error)) {
    Fail("restore.reg does not import: " + error);
  }
  std::string after;
  if (!reloaded.SaveRegistry(error) || !ReadHost(root + "/registry.reg", after)) {
    Fail("the restored registry cannot be saved: " + error);
  }
  CEmulatedRegistry before;
  if (!before.Load(kRegistry, error) || after != before.Save()) {
    Fail("restore.reg does not give back the registry:\n" + after + "\nrestore.reg:\n" +
         restoreReg);
  }
  return 0;
}
