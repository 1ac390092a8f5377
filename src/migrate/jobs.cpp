// Waiting jobs: each control file cf*.ini becomes a job list entry and a job key; its data
// files are copied into the spool directory.
#include <algorithm>
#include <set>
#include <string_view>
#include <vector>

#include "migrate/migration.h"
#include "platform/ansi_text.h"
#include "profile/file_names.h"
#include "profile/registry_copy.h"

namespace {

// The longest key name the registry accepts.
constexpr size_t kMaxKeyNameLength = 255;

// True when a file's long name matches cf*.ini, without regard to case. The system's search
// compares the pattern with 8.3 short names too, and so also reports stray copies such as
// cf0001.ini_old or cf0001.inibak (short name CF0001~1.INI).
bool IsControlFileName(const std::string& name) {
  constexpr std::string_view kPrefix = "cf";
  constexpr std::string_view kSuffix = ".ini";
  return name.size() >= kPrefix.size() + kSuffix.size() && ansi::StartsWithNoCase(name, kPrefix) &&
         ansi::EqualNoCase(std::string_view(name).substr(name.size() - kSuffix.size()), kSuffix);
}

// The numbers k up to dataFiles, ascending, that have a File key in the Files section: "File"
// and k in decimal without leading zeros, in any case, as the profile functions match it. No
// other k names a data file, so a DataFiles of 2147483647 is not counted through. The whole key
// list is read, however long, so that no File key is missed.
std::set<int> DataFileNumbers(const CIni& ini, int dataFiles) {
  std::set<int> numbers;
  if (dataFiles < 1) {
    return numbers;
  }
  constexpr size_t kPrefixLength = 4;  // "File"
  constexpr size_t kMaxDigits = 10;    // more are beyond any int
  CStringArray names;
  ini.GetAllSectionKeys("Files", names);
  for (const std::string& name : names) {
    if (!ansi::StartsWithNoCase(name, "File")) {
      continue;
    }
    const std::string digits = name.substr(kPrefixLength);
    if (!IsAllDigits(digits) || digits[0] == '0' || digits.size() > kMaxDigits) {
      continue;
    }
    const long long k = std::stoll(digits);
    if (k <= dataFiles) {
      numbers.insert(static_cast<int>(k));
    }
  }
  return numbers;
}

}  // namespace

void CMigration::MigrateQueueJobs(const std::string& queueName, const std::string& queueDirectory) {
  // Collect the matches first: migrating a job moves its control file away.
  std::vector<std::string> controlFiles;
  {
    CFindHandle find(platform_);
    win::FindData data;
    for (bool found = find.First(queueDirectory + "\\cf*.ini", data); found;
         found = find.Next(data)) {
      if (IsControlFileName(data.name)) {
        controlFiles.push_back(queueDirectory + "\\" + data.name);
      }
    }
  }
  // Control files that a run has moved into Backup already are migrated again from their
  // copies. The jobs are taken in one order, whatever the file system's (FAT keeps creation
  // order, NTFS sorts by its own upper case) and whichever files are still in place, so that
  // a run that finishes an interrupted one resolves jobs of the same number as one run does.
  const std::vector<std::string> moved = backup_.MovedAway(queueDirectory, "cf*.ini");
  controlFiles.insert(controlFiles.end(), moved.begin(), moved.end());
  std::sort(controlFiles.begin(), controlFiles.end(),
            [](const std::string& a, const std::string& b) {
              const std::string foldedA = FoldCase(a);
              const std::string foldedB = FoldCase(b);
              return foldedA != foldedB ? foldedA < foldedB : a < b;
            });
  for (const std::string& controlFile : controlFiles) {
    MigrateJob(queueName, controlFile);
  }
}

bool CMigration::CopyDataFile(const std::string& dataFileName, const std::string& sourcePath) {
  // The name comes from an old file: it must stay inside Spool, and no copy of this run may
  // replace another.
  if (!IsPlainFileName(dataFileName)) {
    return false;
  }
  const std::string folded = FoldCase(StoredFileName(dataFileName));
  if (spooledNames_.count(folded) != 0 || IsTemporaryName(folded)) {
    return false;
  }
  if (!backup_.CopyToSpool(sourcePath, spoolDirectory_ + dataFileName)) {
    return false;
  }
  spooledNames_.insert(folded);
  return true;
}

void CMigration::MigrateJob(const std::string& queueName, const std::string& controlFilePath) {
  const CIni ini(platform_, backup_.ReadablePath(controlFilePath));
  progress_.SetDetailLine(controlFilePath);

  CMapStringToString job;
  ini.GetSection("Settings", job);
  ini.GetSection("Files", job);
  SetEntryNoCase(job, "QueueName", queueName);

  const std::string sequenceNumber = ini.GetString("Settings", "Seqno");
  const std::string controlFileName = ini.GetString("Settings", "ControlFileName");
  {
    CRegKey jobList(platform_);
    const std::string jobListPath = "Queues\\" + queueName + "\\Jobs";
    if (jobList.Create(productKey_.Get(), jobListPath.c_str()) == win::kErrorSuccess) {
      SetTextValue(platform_, jobList.Get(), sequenceNumber, controlFileName);
    }
  }

  const int dataFiles = ini.GetInt("Settings", "DataFiles", 0);
  for (const int k : DataFileNumbers(ini, dataFiles)) {
    const std::string fileKey = "File" + std::to_string(k);
    const std::string dataKey = "Data" + std::to_string(k);
    const std::string fileEntry = ini.GetString("Files", fileKey);
    if (fileEntry.empty()) {
      continue;
    }
    const std::string prefix = fileEntry.substr(0, 1);
    const std::string dataFileName = fileEntry.substr(1);
    std::string source =
        dataFileName.empty() ? std::string() : ini.GetString("Files", dataFileName);
    if (source.empty()) {
      source = ini.GetString("Files", dataKey);
    }
    if (CopyDataFile(dataFileName, source)) {
      SetEntryNoCase(job, fileKey, prefix + dataFileName);
      SetEntryNoCase(job, dataKey, dataFileName);
      SetEntryNoCase(job, dataFileName, dataFileName);
    }
  }

  RemoveEntryNoCase(job, "ControlFileName");
  // A job key needs a name of its own that the registry accepts; without one the job keeps
  // its list entry, its spool copies and its backed-up control file.
  if (!controlFileName.empty() && controlFileName.size() <= kMaxKeyNameLength) {
    WriteMapToKey(platform_, job, "Jobs\\" + controlFileName, false);
  }
  backup_.BackupFile(controlFilePath, queueName + "-" + sequenceNumber);
}
