// Native only: the double rewrites an emulated machine's host directory.
#ifndef _WIN32
#include "support/power_cut_platform.h"

#include <algorithm>
#include <fstream>
#include <iterator>
#include <stdexcept>

namespace fs = std::filesystem;

namespace {

std::string ParentOf(const std::string& host) {
  return host.substr(0, host.find_last_of('/'));
}

bool IsFile(const std::string& host) {
  std::error_code ignored;
  return fs::is_regular_file(host, ignored);
}

std::string ReadHost(const std::string& host) {
  std::ifstream in(host, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void WriteHost(const std::string& host, const std::string& bytes, fs::perms perms) {
  std::error_code ignored;
  if (!fs::is_directory(ParentOf(host), ignored)) {
    return;  // gone with its directory
  }
  fs::permissions(host, fs::perms::owner_write, fs::perm_options::add, ignored);
  std::ofstream out(host, std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  out.close();
  if (!out) {
    throw std::runtime_error("power cut: cannot write " + host);
  }
  fs::permissions(host, perms, fs::perm_options::replace, ignored);
}

void Zero(std::string& bytes, std::uint64_t begin, std::uint64_t end) {
  end = std::min<std::uint64_t>(end, bytes.size());
  if (begin < end) {
    std::fill(bytes.begin() + static_cast<std::ptrdiff_t>(begin),
              bytes.begin() + static_cast<std::ptrdiff_t>(end), '\0');
  }
}

}  // namespace

// A file opened for writing whose writes are recorded, and whose Flush counts as a change.
class CPowerCutPlatform::CRecordingFile : public CWriteFile {
 public:
  CRecordingFile(CPowerCutPlatform& owner, std::unique_ptr<CWriteFile> inner, size_t node,
                 std::uint64_t position, std::string path)
      : owner_(owner),
        inner_(std::move(inner)),
        node_(node),
        position_(position),
        path_(std::move(path)) {}

  bool Write(const void* data, win::DWORD size) override {
    if (!inner_->Write(data, size)) {
      return false;
    }
    owner_.Wrote(owner_.nodes_[node_], position_, data, size);
    position_ += size;
    return true;
  }
  bool Truncate(std::uint64_t size) override {
    if (!inner_->Truncate(size)) {
      return false;
    }
    owner_.nodes_[node_].bytes.resize(size, '\0');
    position_ = size;
    return true;
  }
  bool Flush() override {
    if (owner_.Dead()) {
      return false;
    }
    owner_.Count(EMutation::kFlushFile, path_);
    if (!inner_->Flush()) {
      return false;
    }
    Flushed(owner_.nodes_[node_]);
    return true;
  }
  bool Close() override { return inner_->Close(); }

 private:
  CPowerCutPlatform& owner_;
  std::unique_ptr<CWriteFile> inner_;
  size_t node_;
  std::uint64_t position_;  // where the next write goes
  std::string path_;
};

CPowerCutPlatform::CPowerCutPlatform(CEmulatedPlatform& machine, size_t cutBefore)
    : CKillingPlatform(machine, cutBefore), machine_(machine) {}

// ---- Recording

std::string CPowerCutPlatform::Host(const char* windowsPath) const {
  std::string host = machine_.HostPath(windowsPath);
  while (host.size() > 1 && host.back() == '/') {
    host.pop_back();
  }
  return host;
}

size_t CPowerCutPlatform::NodeAt(CPlacement& placement, const std::string& host) {
  const auto [it, added] = placement.try_emplace(host, nodes_.size());
  if (added) {
    nodes_.emplace_back();
  }
  return it->second;
}

size_t CPowerCutPlatform::Touch(const std::string& host) {
  const size_t id = NodeAt(files_, host);
  CNode& node = nodes_[id];
  if (!node.known) {
    node.known = true;
    node.bytes = ReadHost(host);
    node.flushed = node.bytes;
    Restat(node, host);
  }
  return id;
}

size_t CPowerCutPlatform::NewFile(const std::string& host) {
  files_[host] = nodes_.size();
  nodes_.emplace_back().known = true;
  Restat(nodes_.back(), host);
  return files_[host];
}

void CPowerCutPlatform::BeforeEntriesChange(const std::string& directory) {
  if (!directory.empty() && directories_.count(directory) == 0) {
    CListing listing = List(directory, files_);
    directories_[directory].flushed = std::move(listing);
  }
}

void CPowerCutPlatform::EntriesChanged(const std::string& directory) {
  directories_[directory].changed = true;
}

CPowerCutPlatform::CListing CPowerCutPlatform::List(const std::string& directory,
                                                    CPlacement& placement) {
  CListing listing;
  std::error_code ignored;
  for (auto it = fs::directory_iterator(directory, ignored); it != fs::directory_iterator();
       it.increment(ignored)) {
    const std::string name = it->path().filename().string();
    if (it->is_directory(ignored)) {
      listing[name] = {true, 0};
      continue;
    }
    listing[name] = {false, NodeAt(placement, it->path().string())};
  }
  return listing;
}

void CPowerCutPlatform::Wrote(CNode& node, std::uint64_t at, const void* data, std::uint64_t size) {
  if (size == 0) {
    return;
  }
  if (node.bytes.size() < at + size) {
    node.bytes.resize(at + size, '\0');
  }
  std::copy_n(static_cast<const char*>(data), size,
              node.bytes.begin() + static_cast<std::ptrdiff_t>(at));
  node.unflushed.push_back({at, at + size});
  node.lastWrite = node.unflushed.back();
}

void CPowerCutPlatform::Flushed(CNode& node) {
  node.flushed = node.bytes;
  node.unflushed.clear();
  node.lastWrite.reset();
}

void CPowerCutPlatform::Restat(CNode& node, const std::string& host) {
  std::error_code ignored;
  node.perms = fs::status(host, ignored).permissions();
}

void CPowerCutPlatform::Count(EMutation mutation, const std::string& path) {
  if (Due(mutation, path)) {
    Die();
  }
}

bool CPowerCutPlatform::CreateDirectoryA(const char* path) {
  const std::string host = Host(path);
  BeforeEntriesChange(ParentOf(host));
  if (!CKillingPlatform::CreateDirectoryA(path)) {
    return false;
  }
  EntriesChanged(ParentOf(host));
  return true;
}

// A copy writes the whole target: onto an existing file its data changes, else a name is new.
bool CPowerCutPlatform::CopyFileA(const char* existing, const char* target, bool failIfExists) {
  const std::string host = Host(target);
  const bool existed = IsFile(host);
  if (existed) {
    Touch(host);
  } else {
    BeforeEntriesChange(ParentOf(host));
  }
  if (!CKillingPlatform::CopyFileA(existing, target, failIfExists)) {
    return false;
  }
  CNode& node = nodes_[existed ? files_[host] : NewFile(host)];
  const std::string bytes = ReadHost(host);
  node.bytes.clear();
  Wrote(node, 0, bytes.data(), bytes.size());
  Restat(node, host);
  if (!existed) {
    EntriesChanged(ParentOf(host));
  }
  return true;
}

bool CPowerCutPlatform::DeleteFileA(const char* path) {
  const std::string host = Host(path);
  if (IsFile(host)) {
    Touch(host);  // to bring it back should its directory lose the delete
  }
  BeforeEntriesChange(ParentOf(host));
  if (!CKillingPlatform::DeleteFileA(path)) {
    return false;
  }
  files_.erase(host);
  EntriesChanged(ParentOf(host));
  return true;
}

// The file keeps its node, and with it what of its data is flushed.
bool CPowerCutPlatform::MoveFileExA(const char* existing, const char* target,
                                    bool replaceExisting) {
  const std::string from = Host(existing);
  const std::string to = Host(target);
  for (const std::string& host : {from, to}) {
    if (IsFile(host)) {
      Touch(host);
    }
    BeforeEntriesChange(ParentOf(host));
  }
  if (!CKillingPlatform::MoveFileExA(existing, target, replaceExisting)) {
    return false;
  }
  if (from == to) {
    return true;  // the same file under another spelling: nothing moved
  }
  const size_t node = NodeAt(files_, from);
  files_.erase(from);
  files_[to] = node;
  EntriesChanged(ParentOf(from));
  EntriesChanged(ParentOf(to));
  return true;
}

bool CPowerCutPlatform::SetFileAttributesA(const char* path, win::DWORD attributes) {
  const std::string host = Host(path);
  const bool file = IsFile(host);
  if (file) {
    Touch(host);
  }
  if (!CKillingPlatform::SetFileAttributesA(path, attributes)) {
    return false;
  }
  if (file) {
    Restat(nodes_[files_[host]], host);
  }
  return true;
}

// A flush fails as a whole here: nothing of it counts as done unless all of it is.
bool CPowerCutPlatform::FlushFiles(const std::vector<std::string>& paths) {
  if (Dead()) {
    return false;
  }
  Count(EMutation::kFlushFiles, paths.empty() ? std::string() : paths.front());
  if (!CKillingPlatform::FlushFiles(paths)) {
    return false;
  }
  for (const std::string& path : paths) {
    const std::string host = Host(path.c_str());
    std::error_code ignored;
    if (fs::is_directory(host, ignored)) {
      CListing listing = List(host, files_);
      directories_[host] = {std::move(listing), false};
    } else if (const auto it = files_.find(host); it != files_.end()) {
      Flushed(nodes_[it->second]);
    }
  }
  return true;
}

std::unique_ptr<CWriteFile> CPowerCutPlatform::Open(const char* path, bool append) {
  const std::string host = Host(path);
  const bool existed = IsFile(host);
  if (existed) {
    Touch(host);
  } else {
    BeforeEntriesChange(ParentOf(host));
  }
  std::unique_ptr<CWriteFile> file =
      append ? CKillingPlatform::OpenAppendFile(path) : CKillingPlatform::CreateWriteFile(path);
  if (!file) {
    return file;
  }
  const size_t id = existed ? files_[host] : NewFile(host);
  if (!existed) {
    EntriesChanged(ParentOf(host));
  }
  CNode& node = nodes_[id];
  if (!append) {
    node.bytes.clear();
  }
  return std::make_unique<CRecordingFile>(*this, std::move(file), id, node.bytes.size(), path);
  // The analyzer loses the file that CKillingPlatform::Killable made; the pointer owns it.
}  // NOLINT(clang-analyzer-cplusplus.NewDeleteLeaks)

std::unique_ptr<CWriteFile> CPowerCutPlatform::CreateWriteFile(const char* path) {
  return Open(path, false);
}

std::unique_ptr<CWriteFile> CPowerCutPlatform::OpenAppendFile(const char* path) {
  return Open(path, true);
}

// ---- The cut

void CPowerCutPlatform::ApplyCut(const CCutModes& modes) {
  if (applied_) {
    throw std::logic_error("power cut: ApplyCut called twice");
  }
  applied_ = true;
  CPlacement placement = files_;
  if (modes.metadata == EMetadataLoss::kListings) {
    for (const auto& [directory, state] : directories_) {
      if (state.changed) {
        RollBack(directory, state.flushed, placement);
      }
    }
  }
  for (const auto& [host, id] : placement) {
    if (nodes_[id].known) {
      WriteHost(host, DataAfterCut(nodes_[id], modes.data), nodes_[id].perms);
    }
  }
  if (modes.registry == ERegistryLoss::kAtCut) {
    std::string error;
    if (!machine_.SaveRegistry(error)) {
      throw std::runtime_error("power cut: " + error);
    }
  }
}

// Gives a directory back its flushed listing: what is new goes (a directory with everything in
// it), what went comes back. The data of files is written afterwards, from placement.
void CPowerCutPlatform::RollBack(const std::string& directory, const CListing& flushed,
                                 CPlacement& placement) {
  std::error_code ignored;
  if (!fs::is_directory(directory, ignored)) {
    return;  // gone with a directory above it
  }
  const CListing now = List(directory, placement);
  for (const auto& [name, entry] : now) {
    const auto it = flushed.find(name);
    if (it != flushed.end() && it->second == entry) {
      continue;
    }
    std::string host = directory;
    host.append("/").append(name);
    fs::remove_all(host, ignored);
    placement.erase(host);
    const std::string below = host + "/";
    for (auto at = placement.lower_bound(below);
         at != placement.end() && at->first.compare(0, below.size(), below) == 0;) {
      at = placement.erase(at);
    }
  }
  for (const auto& [name, entry] : flushed) {
    const auto it = now.find(name);
    if (it != now.end() && it->second == entry) {
      continue;
    }
    std::string host = directory;
    host.append("/").append(name);
    if (entry.directory) {
      fs::create_directory(host, ignored);
    } else {
      placement[host] = entry.node;
    }
  }
}

std::string CPowerCutPlatform::DataAfterCut(const CNode& node, EDataLoss data) {
  if (data == EDataLoss::kDropped) {
    return node.flushed;
  }
  std::string bytes = node.bytes;
  if (data == EDataLoss::kZeros) {
    for (const CRange& range : node.unflushed) {
      Zero(bytes, range.begin, range.end);
    }
  } else if (node.lastWrite) {
    // Sectors before the last boundary inside the write made it; the rest did not.
    const CRange& last = *node.lastWrite;
    const std::uint64_t boundary = last.end == 0 ? 0 : (last.end - 1) / kSector * kSector;
    Zero(bytes, std::max(last.begin, boundary), last.end);
  }
  return bytes;
}

#endif  // _WIN32
