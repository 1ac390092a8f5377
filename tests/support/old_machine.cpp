// Native only: the unit tests run on the emulated machine, not under Wine.
#ifndef _WIN32
#include "support/old_machine.h"

#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <stdexcept>

#include "app/app.h"
#include "platform/ansi_text.h"
#include "platform/emulated/codepage.h"
#include "support/platform_proxy.h"
#include "support/short_names.h"

namespace fs = std::filesystem;

namespace {

std::atomic<int> gOldMachineCount{0};

// Machines live in memory where the host offers it (unless TMPDIR says otherwise): the
// registry save syncs to disk, and the crash tests run the program hundreds of times.
fs::path MachinesDirectory() {
  std::error_code ignored;
  if (std::getenv("TMPDIR") == nullptr && fs::is_directory("/dev/shm", ignored) &&
      ::access("/dev/shm", W_OK) == 0) {
    return "/dev/shm";
  }
  return fs::temp_directory_path();
}

std::string NewRoot() {
  const fs::path root = MachinesDirectory() / ("cvold-" + std::to_string(::getpid()) + "-" +
                                               std::to_string(++gOldMachineCount));
  fs::remove_all(root);
  fs::create_directories(root);
  return root.string();
}

std::string ReadHost(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// INI text as the old server wrote it: CR LF line ends.
std::string Crlf(std::string_view text) {
  std::string result;
  for (const char c : text) {
    if (c == '\n') {
      result += '\r';
    }
    result += c;
  }
  return result;
}

// Upper-cased Windows path with backslashes, for comparing paths as Windows does.
std::string FoldPath(std::string path) {
  for (char& c : path) {
    c = c == '/' ? '\\' : static_cast<char>(ansi::Upper(static_cast<unsigned char>(c)));
  }
  return path;
}

bool IsAbsolute(const std::string& path) {
  return path.size() >= 2 && path[1] == ':';
}

// The old installation: the sample machine of examples/, plus a queue whose name and data
// file hold characters that the restore script must carry exactly (%, ü, é).
const char* const kRegistry =
    "REGEDIT4\r\n"
    "\r\n"
    "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall]\r\n"
    "\r\n"
    "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\Acme Label "
    "Designer]\r\n"
    "\"DisplayName\"=\"Acme Label Designer\"\r\n"
    "\"UninstallString\"=\"C:\\\\Acme\\\\uninst.exe\"\r\n"
    "\r\n"
    "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\Vela Print "
    "Server]\r\n"
    "\"DisplayName\"=\"Vela Print Server 2.4\"\r\n"
    "\"UninstallString\"=\"C:\\\\Vela\\\\uninst.exe /remove\"\r\n"
    "\r\n"
    "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\Zed "
    "Editor]\r\n"
    "\"DisplayName\"=\"Zed Editor\"\r\n"
    "\"UninstallString\"=\"C:\\\\Zed\\\\uninstall.exe\"\r\n";

struct CFixtureFile {
  const char* path;  // Windows path, ANSI
  const char* text;  // LF line ends; written with CR LF
};

const CFixtureFile kFiles[] = {
    {"C:\\Program Files\\Vela\\delvela.exe", "MZ stand-in for the new uninstaller\n"},
    {"C:\\windows\\vela.ini", "[Settings]\nIni=C:\\Vela\\vela.ini\nVersion=2.4\n"},
    {"C:\\Vela\\vela.ini",
     "; Vela print server 2.4 configuration\n[LogOptions]\nLevel=3\n"
     "LogFile=C:\\Vela\\log\\vela.log\nMaxSize=0000512\n[Security]\nRequireLogin=1\n"
     "Admin=VELA\\printadmin\n[Settings]\nSpool=C:\\Vela\\spool\nBanner=Vela print server\n"
     "Timeout=30\n[WindowPos]\nDesktop size=1024 768\nMain=10 10 640 480\nLog=20 20 300 200\n"
     "[CurrentJobs]\nC:\\Vela\\queues\\lp\\cf00017.ini=\n"
     "C:\\Vela\\queues\\Front Desk\\cf00018.ini=\n"
     "[Queues]\n1=lp\n2=Front Desk\n3=archive\n4=noconfig\n5=B\xFCro\n"
     "[lp]\nqueuedir=C:\\Vela\\queues\\lp\ncfdir=C:\\Vela\\queues\\lp\n"
     "[Front Desk]\nqueuedir=C:\\Vela\\queues\\Front Desk\n"
     "[archive]\nqueuedir=C:\\Vela\\queues\\archive\n"
     "[noconfig]\nqueuedir=C:\\Vela\\queues\\noconfig\n"
     "[B\xFCro]\nqueuedir=C:\\Vela\\queues\\B\xFCro\n"},
    {"C:\\Vela\\access.ini",
     "[Settings]\nDefaultAccess=1\n[Hostnames]\nprinthost=1\nreception=1\n[IP Rules]\n"
     "10.0.0.0=255.0.0.0\n[Host Rules]\nguest=0\n"},
    {"C:\\Vela\\translat.ini",
     "[Tables]\n1=Latin1\n2=Box\n[Latin1]\n228=132\n246=148\n[Box]\n196=45\n"},
    {"C:\\Vela\\styles.ini",
     "[Styles]\nDraft=1\nLetter=2\n[Draft]\nTop=0\nInsertBytes=1B40\n[Letter]\nTop=1.5\n"
     "Left=1\nPageSeperator=0C\n"},
    {"C:\\Vela\\protocol.ini",
     "[Protocols]\n1=LPD\n2=Raw\n[LPD]\nPort=515\nEnabled=1\n[Raw]\nPort=9100\n"},
    {"C:\\Vela\\ebcdic.ini",
     "[LangID]\n037=English\n273=German\n[LangNames]\nEnglish=037\nGerman=273\n[English]\n"
     "64=32\n193=65\n[German]\n64=32\n"},
    {"C:\\Vela\\data\\df 018 letter.txt", "Dear guest,\nwelcome.\n"},
    {"C:\\Vela\\data\\dfA017printhost", "Quarterly report\nRevenue up.\n\f"},
    {"C:\\Vela\\data\\dfA019printhost", "Page one\n\f"},
    {"C:\\Vela\\data\\dfB019printhost", "Page two\n\f"},
    {"C:\\Vela\\data\\df%021 r\xE9sum\xE9.txt", "R\xE9sum\xE9 at 100%\n\f"},
    {"C:\\Vela\\queues\\Front Desk\\queue.ini",
     "[Settings]\nPrinter=Epson FX-80\nPort=COM1:\nCopies=2\n[Margins]\nTop=0.25\n"},
    {"C:\\Vela\\queues\\Front Desk\\cf00018.ini",
     "[Settings]\nSeqno=018\nControlFileName=cfA018reception\nDataFiles=1\nUser=reception\n"
     "[Files]\nFile1=fdf 018 letter.txt\nData1=C:\\Vela\\data\\df 018 letter.txt\n"},
    {"C:\\Vela\\queues\\lp\\queue.ini",
     "[Settings]\nPrinter=HP LaserJet 4\nPort=LPT1:\nInsertBytes=1\nCopies=1\nModeSize=4\n"
     "[Bytes]\nInsertBytes=1B45\nAppendBytes=0C\nPageSeperator=0C\n[Margins]\nTop=1\n"
     "Bottom=1\nLeft=0.5\nRight=0.5\nCharsPerInch=10\nLinesPerInch=6\n[Font]\n"
     "FaceName=Courier New\nHeight=-13\nWeight=400\nPitchAndFamily=49\n"},
    {"C:\\Vela\\queues\\lp\\cf00017.ini",
     "[Settings]\nSeqno=017\nControlFileName=cfA017printhost\nDataFiles=1\nUser=jsmith\n"
     "Host=printhost\nTitle=quarterly report.txt\n[Files]\nFile1=ldfA017printhost\n"
     "dfA017printhost=C:\\Vela\\data\\dfA017printhost\n"},
    {"C:\\Vela\\queues\\lp\\cf00019.ini",
     "[Settings]\nSeqno=019\nControlFileName=cfA019printhost\nDataFiles=2\nUser=mjones\n"
     "Host=printhost\n[Files]\nFile1=ldfA019printhost\nData1=C:\\Vela\\data\\dfA019printhost\n"
     "File2=ldfB019printhost\nData2=C:\\Vela\\data\\dfB019printhost\n"},
    {"C:\\Vela\\queues\\noconfig\\cf00020.ini",
     "[Settings]\nSeqno=020\nControlFileName=cfA020nowhere\n"},
    {"C:\\Vela\\queues\\B\xFCro\\queue.ini", "[Settings]\nPrinter=Kyocera FS-1020\nCopies=1\n"},
    {"C:\\Vela\\queues\\B\xFCro\\cf00021.ini",
     "[Settings]\nSeqno=021\nControlFileName=cfA021buero\nDataFiles=1\nUser=m\xFCller\n"
     "[Files]\nFile1=fdf%021 r\xE9sum\xE9.txt\nData1=C:\\Vela\\data\\df%021 r\xE9sum\xE9.txt\n"},
};

const char* const kDirectories[] = {
    "C:\\Program Files",    "C:\\Program Files\\Vela",    "C:\\Vela",
    "C:\\Vela\\data",       "C:\\Vela\\queues",           "C:\\Vela\\queues\\Front Desk",
    "C:\\Vela\\queues\\lp", "C:\\Vela\\queues\\noconfig", "C:\\Vela\\queues\\B\xFCro",
};

CMachineFiles FilesBelow(CEmulatedPlatform& platform, const fs::path& directory) {
  CMachineFiles files;
  std::error_code ignored;
  for (auto it = fs::recursive_directory_iterator(directory, ignored);
       it != fs::recursive_directory_iterator(); it.increment(ignored)) {
    if (it->is_regular_file(ignored)) {
      files[platform.WindowsPath(it->path().string())] = ReadHost(it->path());
    }
  }
  return files;
}

}  // namespace

std::string OemToAnsi(std::string_view oem) {
  static const std::string table = [] {
    std::string map(256, '?');
    for (int c = 0; c < 128; ++c) {
      map[c] = static_cast<char>(c);
    }
    for (int c = 128; c < 256; ++c) {
      const std::string converted = codepage::AnsiToOem(std::string(1, static_cast<char>(c)));
      if (converted.size() == 1 && converted[0] != '?') {
        map[static_cast<unsigned char>(converted[0])] = static_cast<char>(c);
      }
    }
    return map;
  }();
  std::string result;
  for (const char c : oem) {
    result += table[static_cast<unsigned char>(c)];
  }
  return result;
}

CRestoreScript ParseRestoreScript(const std::string& oemBytes) {
  CRestoreScript script;
  size_t start = 0;
  while (start < oemBytes.size()) {
    const size_t end = oemBytes.find("\r\n", start);
    if (end == std::string::npos) {
      script.torn = oemBytes.substr(start);
      break;
    }
    std::string line = OemToAnsi(oemBytes.substr(start, end - start));
    start = end + 2;
    if (line.compare(0, 4, "rem ") == 0) {
      script.remarks.push_back(line);
      continue;
    }
    // if not exist "to" copy/y "from" "to": cmd copies only when nothing is there.
    const std::string guard = "if not exist \"";
    bool guarded = false;
    if (line.compare(0, guard.size(), guard) == 0) {
      const size_t close = line.find('"', guard.size());
      if (close == std::string::npos || line.compare(close, 2, "\" ") != 0) {
        script.malformed.push_back(line);
        continue;
      }
      const std::string tested = line.substr(guard.size() - 1, close + 2 - guard.size());
      line.erase(0, close + 2);
      if (line.size() < tested.size() ||
          line.compare(line.size() - tested.size(), tested.size(), tested) != 0) {
        script.malformed.push_back(line);
        continue;
      }
      guarded = true;
    }
    const std::string prefix = "copy/y \"";
    const size_t middle = line.find("\" \"");
    if (line.compare(0, prefix.size(), prefix) != 0 || line.size() < prefix.size() + 4 ||
        line.back() != '"' || middle == std::string::npos) {
      script.malformed.push_back(line);
      continue;
    }
    auto undouble = [](std::string text) {
      std::string result;
      for (size_t i = 0; i < text.size(); ++i) {
        result += text[i];
        if (text[i] == '%' && i + 1 < text.size() && text[i + 1] == '%') {
          ++i;
        }
      }
      return result;
    };
    // %~dp0 is the script's own folder, Backup: the copy is named relative to it.
    std::string from = undouble(line.substr(prefix.size(), middle - prefix.size()));
    if (from.compare(0, 5, "%~dp0") == 0) {
      from.erase(0, 5);
    }
    script.lines.push_back(
        {from, undouble(line.substr(middle + 3, line.size() - 1 - (middle + 3))), guarded});
  }
  return script;
}

std::ostream& operator<<(std::ostream& out, const CRunResult& result) {
  out << "end result " << result.endResult << "\nmessages:\n";
  for (const std::string& message : result.messages) {
    out << "  " << message << "\n";
  }
  out << "spool:\n";
  for (const auto& [name, bytes] : result.spool) {
    out << "  " << name << " (" << bytes.size() << " bytes)\n";
  }
  out << "backup:\n";
  for (const auto& [name, bytes] : result.backup) {
    out << "  " << name << " (" << bytes.size() << " bytes)\n";
  }
  out << "elsewhere:\n";
  for (const auto& [name, bytes] : result.elsewhere) {
    out << "  " << name << " (" << bytes.size() << " bytes)\n";
  }
  return out << "registry:\n" << result.registry;
}

std::string Join(const std::vector<std::string>& items) {
  std::string text;
  for (const std::string& item : items) {
    text += "\n  " + item;
  }
  return text;
}

COldMachine::COldMachine() : root_(NewRoot()) {
  LayOut();
}

COldMachine::COldMachine(const COldMachine& source)
    : root_(NewRoot()), shortNames_(source.shortNames_) {
  fs::copy(source.root_, root_, fs::copy_options::recursive);
}

std::unique_ptr<CPlatform> COldMachine::Through(CPlatform& platform) const {
  if (shortNames_) {
    return std::make_unique<CShortNamePlatform>(platform);
  }
  return std::make_unique<CPlatformProxy>(platform);
}

void COldMachine::Write(const std::string& windowsPath, const std::string& bytes) {
  auto platform = NewPlatform();
  auto file = platform->CreateWriteFile(windowsPath.c_str());
  if (!file || !file->Write(bytes.data(), static_cast<win::DWORD>(bytes.size())) ||
      !file->Close()) {
    throw std::runtime_error("cannot write " + windowsPath);
  }
}

void COldMachine::Remove(const std::string& windowsPath) {
  auto platform = NewPlatform();
  if (!platform->DeleteFileA(windowsPath.c_str())) {
    throw std::runtime_error("cannot remove " + windowsPath);
  }
}

COldMachine::~COldMachine() {
  std::error_code ignored;
  for (auto it = fs::recursive_directory_iterator(root_, ignored);
       it != fs::recursive_directory_iterator(); it.increment(ignored)) {
    fs::permissions(it->path(), fs::perms::owner_all, fs::perm_options::add, ignored);
  }
  if (std::getenv("CHECKVELA_KEEP_MACHINES") == nullptr) {
    fs::remove_all(root_, ignored);
  }
}

void COldMachine::LayOut() {
  fs::create_directories(fs::path(root_) / "drive_c" / "windows");
  {
    std::ofstream registry(fs::path(root_) / "registry.reg", std::ios::binary);
    registry << kRegistry;
  }
  auto platform = NewPlatform();
  for (const char* directory : kDirectories) {
    platform->CreateDirectoryA(directory);
  }
  for (const CFixtureFile& file : kFiles) {
    const std::string bytes = Crlf(file.text);
    auto out = platform->CreateWriteFile(file.path);
    if (!out || !out->Write(bytes.data(), static_cast<win::DWORD>(bytes.size())) || !out->Close()) {
      throw std::runtime_error(std::string("cannot lay out ") + file.path);
    }
  }
}

std::unique_ptr<CEmulatedPlatform> COldMachine::NewPlatform() {
  CEmulatedMachineOptions options;
  options.root = root_;
  options.modulePath = std::string(kProgram) + "CheckVela.exe";
  options.currentDirectory = "C:\\";
  options.out = &out;
  options.err = &err;
  auto platform = std::make_unique<CEmulatedPlatform>(options);
  std::string error;
  if (!platform->LoadRegistry(error)) {
    throw std::runtime_error(error);
  }
  return platform;
}

CMachineFiles COldMachine::Files() {
  auto platform = NewPlatform();
  return FilesBelow(*platform, fs::path(root_) / "drive_c");
}

std::string COldMachine::RegistryFile() {
  return ReadHost(fs::path(root_) / "registry.reg");
}

bool COldMachine::Exists(const std::string& hostRelative) const {
  return fs::exists(fs::path(root_) / hostRelative);
}

CRestoreScript COldMachine::RestoreScript() {
  auto platform = NewPlatform();
  std::string bytes;
  platform->ReadWholeFile(kScript, bytes);
  return ParseRestoreScript(bytes);
}

std::vector<std::string> COldMachine::LostFiles(const CMachineFiles& original) {
  const CRestoreScript script = RestoreScript();
  auto emulated = NewPlatform();
  auto platform = Through(*emulated);
  std::vector<std::string> lost;
  for (const auto& [path, bytes] : original) {
    std::string now;
    if (platform->ReadWholeFile(path.c_str(), now) && now == bytes) {
      continue;
    }
    // cmd runs the lines in order: the last one that writes the old place decides.
    const CScriptLine* restoring = nullptr;
    for (const CScriptLine& line : script.lines) {
      const std::string to =
          shortNames_ ? static_cast<CShortNamePlatform&>(*platform).Long(line.to) : line.to;
      if (FoldPath(to) == FoldPath(path)) {
        restoring = &line;
      }
    }
    if (restoring == nullptr) {
      lost.push_back(path + ": gone from its place, and no restore line");
      continue;
    }
    const std::string from = IsAbsolute(restoring->from)
                                 ? restoring->from
                                 : std::string(kBackup) + "\\" + restoring->from;
    std::string saved;
    if (!platform->ReadWholeFile(from.c_str(), saved) || saved != bytes) {
      lost.push_back(path);
      lost.back()
          .append(": its restore line names ")
          .append(from)
          .append(", which does not hold it");
    }
  }
  return lost;
}

std::vector<std::string> COldMachine::RunRestoreLines() {
  const CRestoreScript script = RestoreScript();
  auto emulated = NewPlatform();
  auto platform = Through(*emulated);
  std::vector<std::string> failed = script.malformed;
  for (const CScriptLine& line : script.lines) {
    const std::string from =
        IsAbsolute(line.from) ? line.from : std::string(kBackup) + "\\" + line.from;
    // copy/y onto the same file copies nothing and changes nothing.
    if (FoldPath(from) == FoldPath(line.to) ||
        (line.guarded &&
         platform->GetFileAttributesA(line.to.c_str()) != win::kInvalidFileAttributes)) {
      continue;
    }
    if (!platform->CopyFileA(from.c_str(), line.to.c_str(), false)) {
      const win::DWORD error = platform->GetLastError();
      // A run that died between a backup's line and its copy's name leaves a line whose copy
      // is missing while the old file is still in its place: cmd reports the line and goes on.
      if (error == win::kErrorFileNotFound &&
          platform->GetFileAttributesA(line.to.c_str()) != win::kInvalidFileAttributes) {
        continue;
      }
      failed.push_back(from + " -> " + line.to + ": error " + std::to_string(error));
    }
  }
  return failed;
}

std::vector<std::string> COldMachine::NotRestored(const CMachineFiles& original) {
  auto platform = NewPlatform();
  std::vector<std::string> missing;
  for (const auto& [path, bytes] : original) {
    std::string now;
    if (!platform->ReadWholeFile(path.c_str(), now)) {
      missing.push_back(path + ": missing");
    } else if (now != bytes) {
      missing.push_back(path + ": other bytes");
    }
  }
  return missing;
}

CRunResult COldMachine::RunProgram() {
  auto platform = NewPlatform();
  auto volume = Through(*platform);
  CPlatformProxy recorder(*volume);
  RunCheckVela(recorder);
  std::string error;
  if (!platform->SaveRegistry(error)) {
    throw std::runtime_error(error);
  }
  CRunResult result;
  result.registry = RegistryFile();
  result.messages = recorder.Messages();
  result.endResult = recorder.EndResult();
  const std::string backupHost = platform->HostPath(kBackup);
  const std::string spoolHost = platform->HostPath(kSpool);
  result.backup = FilesBelow(*platform, backupHost);
  result.spool = FilesBelow(*platform, spoolHost);
  for (auto& [path, bytes] : Files()) {
    if (result.backup.count(path) == 0 && result.spool.count(path) == 0) {
      result.elsewhere.emplace(path, std::move(bytes));
    }
  }
  return result;
}

#endif  // _WIN32
