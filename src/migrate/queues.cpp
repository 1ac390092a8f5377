// Queues: each queue's queue.ini becomes the key Queues\<queue> with its font record.
#include <algorithm>
#include <array>
#include <cstdint>

#include "app/error_text.h"
#include "migrate/migration.h"
#include "platform/ansi_text.h"
#include "profile/registry_copy.h"
#include "resource.h"

namespace {

// The 60-byte LOGFONTA record of a queue's font, little-endian.
constexpr size_t kLogFontSize = 60;
constexpr size_t kFaceNameOffset = 28;
constexpr size_t kFaceNameSize = 32;

void PutInt32(std::array<unsigned char, kLogFontSize>& record, size_t offset, int value) {
  const auto bits = static_cast<std::uint32_t>(value);
  for (size_t i = 0; i < 4; ++i) {
    record[offset + i] = static_cast<unsigned char>(bits >> (8 * i));
  }
}

std::array<unsigned char, kLogFontSize> BuildLogFont(const CIni& ini, const std::string& faceName) {
  std::array<unsigned char, kLogFontSize> record{};
  PutInt32(record, 0, ini.GetInt("Font", "Height", 0));
  PutInt32(record, 16, ini.GetInt("Font", "Weight", 400));
  const std::array<std::pair<size_t, const char*>, 6> byteFields = {{{20, "Italic"},
                                                                     {21, "Underline"},
                                                                     {24, "OutPrecision"},
                                                                     {25, "ClipPrecision"},
                                                                     {26, "Quality"},
                                                                     {27, "PitchAndFamily"}}};
  for (const auto& [offset, key] : byteFields) {
    record[offset] = static_cast<unsigned char>(ini.GetInt("Font", key, 0));
  }
  // At most 31 characters, so the face name always ends with a NUL.
  const size_t length = std::min(faceName.size(), kFaceNameSize - 1);
  std::copy_n(faceName.begin(), length, record.begin() + kFaceNameOffset);
  return record;
}

// Moves the entry from, in any spelling, to the name to. The old server read it through the
// profile functions, which find every spelling; each spelling holds the value they give.
void MoveEntryNoCase(CMapStringToString& map, const std::string& from, const std::string& to) {
  const auto entry = std::find_if(map.begin(), map.end(), [&from](const auto& candidate) {
    return ansi::EqualNoCase(candidate.first, from);
  });
  if (entry != map.end()) {
    std::string value = std::move(entry->second);
    RemoveEntryNoCase(map, from);
    SetEntryNoCase(map, to, std::move(value));
  }
}

}  // namespace

void CMigration::ReadQueueList() {
  queueDirectories_.clear();
  controlFileDirectories_.clear();
  CMapStringToString queues;
  mainIni_.GetSection("Queues", queues);
  for (const auto& entry : queues) {
    const std::string& name = entry.second;
    queueDirectories_[name] = mainIni_.GetString(name, "queuedir");
    const std::string controlFileDirectory = mainIni_.GetString(name, "cfdir");
    if (!controlFileDirectory.empty()) {
      controlFileDirectories_[name] = controlFileDirectory;
    }
  }
}

void CMigration::MigrateQueue(const std::string& queueName, const std::string& queueDirectory) {
  bool isDirectory = false;
  {
    CFindHandle find(platform_);
    win::FindData data;
    isDirectory =
        find.First(queueDirectory, data) && (data.attributes & win::kFileAttributeDirectory) != 0;
  }
  if (!isDirectory) {
    std::string message;
    FormatResourceMessage(platform_, message, IDS_QUEUE_DIR_MISSING, queueName.c_str(),
                          queueDirectory.c_str());
    progress_.ShowMessage(message, win::kMbOk);
    return;
  }
  const std::string queueIni = queueDirectory + "\\queue.ini";
  std::string readable = queueIni;
  {
    CFindHandle find(platform_);
    win::FindData data;
    // A queue.ini that a run moved into Backup already is read from its copy.
    if (!find.First(queueIni, data) && (readable = backup_.ReadablePath(queueIni)) == queueIni) {
      std::string message;
      FormatResourceMessage(platform_, message, IDS_QUEUE_CONFIG_MISSING, queueName.c_str(),
                            queueIni.c_str());
      progress_.ShowMessage(message, win::kMbOk);
      return;
    }
  }
  progress_.SetDetailLine(queueIni);
  const CIni ini(platform_, readable);
  // The queue's files are made durable together, once its jobs are done.
  backup_.BeginGroup();

  CMapStringToString settings;
  ini.GetSection("Settings", settings);
  MoveEntryNoCase(settings, "InsertBytes", "bInsertBytes");
  MoveEntryNoCase(settings, "AppendBytes", "bAppendBytes");
  ini.GetSection("Bytes", settings);
  ini.GetSection("Margins", settings);
  RemoveEntryNoCase(settings, "ModeSize");
  const auto controlFileDirectory = controlFileDirectories_.find(queueName);
  if (controlFileDirectory != controlFileDirectories_.end()) {
    SetEntryNoCase(settings, "cfdir", controlFileDirectory->second);
  }
  const std::string keyPath = "Queues\\" + queueName;
  WritePrintSettingsToKey(platform_, settings, keyPath);

  {
    CRegKey queueKey(platform_);
    if (queueKey.Create(productKey_.Get(), keyPath.c_str()) == win::kErrorSuccess) {
      const std::string faceName = ini.GetString("Font", "FaceName");
      if (!faceName.empty()) {
        const auto record = BuildLogFont(ini, faceName);
        platform_.RegSetValueExA(queueKey.Get(), "Font", win::kRegBinary, record.data(),
                                 static_cast<win::DWORD>(record.size()));
      }
    }
  }

  backup_.BackupFile(queueIni, queueName);
  MigrateQueueJobs(queueName, queueDirectory);
  backup_.Commit();
}
