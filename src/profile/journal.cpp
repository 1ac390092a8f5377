#include "profile/journal.h"

#include <string_view>

#include "platform/ansi_text.h"
#include "profile/file_names.h"

namespace {

constexpr std::string_view kScriptFolder = "%~dp0";
constexpr std::string_view kRecordPrefix = "rem CheckVela: ";
constexpr std::string_view kRunEnded = "rem CheckVela: migration finished";
constexpr std::string_view kLongPath = "rem CheckVela: long path ";
constexpr std::string_view kFoundAs = "rem CheckVela: found as ";
constexpr std::string_view kSpoolRecord = "rem CheckVela: spool copy ";
constexpr std::string_view kCopy = "copy/y ";
constexpr std::string_view kIfNotExist = "if not exist ";

// A path quoted for cmd, with % doubled so that cmd reads it as it is.
std::string Quoted(std::string_view path) {
  std::string quoted;
  quoted.reserve(path.size() + 2);
  quoted += '"';
  for (const char c : path) {
    quoted += c;
    if (c == '%') {
      quoted += '%';
    }
  }
  quoted += '"';
  return quoted;
}

std::string Undoubled(std::string_view text) {
  std::string result;
  result.reserve(text.size());
  for (size_t i = 0; i < text.size(); ++i) {
    result += text[i];
    if (text[i] == '%' && i + 1 < text.size() && text[i + 1] == '%') {
      ++i;
    }
  }
  return result;
}

// A record's text: quoted, every byte that is not printable ASCII, and % and ", as %XX, so that
// it reads back the same in any code page.
std::string Escaped(std::string_view text) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  std::string escaped = "\"";
  for (const char c : text) {
    const auto byte = static_cast<unsigned char>(c);
    if (byte < 0x20 || byte >= 0x7F || c == '%' || c == '"') {
      escaped += '%';
      escaped += kHex[byte >> 4];
      escaped += kHex[byte & 0xF];
    } else {
      escaped += c;
    }
  }
  escaped += '"';
  return escaped;
}

// Reads one escaped field at the start of text: "...", with %XX; false when there is none.
// rest is what follows it.
bool Unescaped(std::string_view text, std::string& field, std::string_view& rest) {
  if (text.empty() || text[0] != '"') {
    return false;
  }
  const size_t close = text.find('"', 1);
  if (close == std::string_view::npos) {
    return false;
  }
  field.clear();
  for (size_t i = 1; i < close; ++i) {
    if (text[i] != '%') {
      field += text[i];
      continue;
    }
    const int high = i + 2 < close ? ansi::HexDigit(text[i + 1]) : -1;
    const int low = i + 2 < close ? ansi::HexDigit(text[i + 2]) : -1;
    if (high < 0 || low < 0) {
      return false;
    }
    field += static_cast<char>(high * 16 + low);
    i += 2;
  }
  rest = text.substr(close + 1);
  return true;
}

// A quoted field of a copy line: "..." holding no quote; false when there is none.
bool QuotedField(std::string_view& text, std::string_view& field) {
  if (text.empty() || text[0] != '"') {
    return false;
  }
  const size_t close = text.find('"', 1);
  if (close == std::string_view::npos) {
    return false;
  }
  field = text.substr(1, close - 1);
  text.remove_prefix(close + 1);
  return true;
}

bool Consume(std::string_view& text, std::string_view literal) {
  if (text.substr(0, literal.size()) != literal) {
    return false;
  }
  text.remove_prefix(literal.size());
  return true;
}

// True for a bare file name: no drive and no separator.
bool IsBareName(std::string_view name) {
  return !name.empty() && name.find_first_of("\\/:") == std::string_view::npos;
}

// copy/y "from" "to" (what follows copy/y); from names a backup through %~dp0 or bare, or is a
// Spool copy's full path.
bool ParseQuotedCopy(std::string_view text, CRestoreLine& parsed) {
  std::string_view from;
  std::string_view to;
  if (!QuotedField(text, from) || !Consume(text, " ") || !QuotedField(text, to) || !text.empty() ||
      from.empty() || to.empty()) {
    return false;
  }
  parsed.to = Undoubled(to);
  if (from.substr(0, kScriptFolder.size()) == kScriptFolder) {
    parsed.kind = CRestoreLine::EKind::kBackup;
    parsed.from = Undoubled(from.substr(kScriptFolder.size()));
  } else {
    parsed.from = Undoubled(from);
    parsed.kind =
        IsBareName(parsed.from) ? CRestoreLine::EKind::kBackup : CRestoreLine::EKind::kSpool;
  }
  return !parsed.from.empty();
}

// The first version's form, copy/y name C:\old path: no quotes, no doubled %, and blanks in
// both. The old path is the part from the first " X:\" or " \\" on.
bool ParseUnquotedCopy(std::string_view text, CRestoreLine& parsed) {
  if (text.find('"') != std::string_view::npos) {
    return false;
  }
  for (size_t blank = text.find(' '); blank != std::string_view::npos;
       blank = text.find(' ', blank + 1)) {
    const std::string_view path = text.substr(blank + 1);
    const bool drive = path.size() >= 3 &&
                       ansi::Upper(static_cast<unsigned char>(path[0])) >= 'A' &&
                       ansi::Upper(static_cast<unsigned char>(path[0])) <= 'Z' && path[1] == ':' &&
                       path[2] == '\\';
    if (drive || path.substr(0, 2) == "\\\\") {
      const std::string_view name = text.substr(0, blank);
      if (!IsBareName(name)) {
        return false;
      }
      parsed.kind = CRestoreLine::EKind::kBackup;
      parsed.from = std::string(name);
      parsed.to = std::string(path);
      return true;
    }
  }
  return false;
}

// Matches text against a line form given as pieces: literals, and '"'-free fields written as
// an empty piece. True when text is all or the start of a line of that form.
bool StartsLikeForm(std::string_view text, std::initializer_list<std::string_view> pieces) {
  for (const std::string_view piece : pieces) {
    if (piece.empty()) {
      const size_t quote = text.find('"');
      if (quote == std::string_view::npos) {
        return true;
      }
      text.remove_prefix(quote);
      continue;
    }
    const size_t common = std::min(piece.size(), text.size());
    if (text.substr(0, common) != piece.substr(0, common)) {
      return false;
    }
    if (common == text.size()) {
      return true;
    }
    text.remove_prefix(common);
  }
  return text.empty();
}

}  // namespace

std::string BackupRestoreLine(const std::string& backupName, const std::string& oldPath) {
  std::string line = "copy/y \"";
  line.append(kScriptFolder).append(Quoted(backupName).substr(1));
  line.append(" ").append(Quoted(oldPath)).append("\r\n");
  return line;
}

std::string SpoolRestoreLine(const std::string& copyPath, const std::string& oldPath) {
  const std::string old = Quoted(oldPath);
  return std::string(kIfNotExist) + old + " " + std::string(kCopy) + Quoted(copyPath) + " " + old +
         "\r\n";
}

std::string RunEndedLine() {
  return std::string(kRunEnded) + "\r\n";
}

std::string LongPathLine(const std::string& longPath) {
  return std::string(kLongPath) + Escaped(longPath) + "\r\n";
}

std::string FoundAsLine(const std::string& name) {
  return std::string(kFoundAs) + Escaped(name) + "\r\n";
}

std::string SpoolRecordLine(const std::string& copyPath, const std::string& oldPath) {
  return std::string(kSpoolRecord) + Escaped(copyPath) + " " + Escaped(oldPath) + "\r\n";
}

bool ParseRestoreLine(const std::string& line, CRestoreLine& parsed) {
  std::string_view text = line;
  if (Consume(text, kIfNotExist)) {
    // if not exist "old" copy/y "copy" "old"
    std::string_view guarded;
    if (!QuotedField(text, guarded) || !Consume(text, " ") || !Consume(text, kCopy) ||
        !ParseQuotedCopy(text, parsed) || parsed.kind != CRestoreLine::EKind::kSpool ||
        Undoubled(guarded) != parsed.to) {
      return false;
    }
    return true;
  }
  if (Consume(text, kCopy)) {
    return !text.empty() && text[0] == '"' ? ParseQuotedCopy(text, parsed)
                                           : ParseUnquotedCopy(text, parsed);
  }
  if (text == kRunEnded) {
    parsed = CRestoreLine{CRestoreLine::EKind::kRunEnded, {}, {}};
    return true;
  }
  std::string_view rest;
  const bool longPath = Consume(text, kLongPath);
  if (longPath || Consume(text, kFoundAs)) {
    parsed.kind = longPath ? CRestoreLine::EKind::kLongPath : CRestoreLine::EKind::kFoundAs;
    parsed.from.clear();
    return Unescaped(text, parsed.to, rest) && rest.empty() && !parsed.to.empty();
  }
  if (Consume(text, kSpoolRecord)) {
    parsed.kind = CRestoreLine::EKind::kSpool;
    return Unescaped(text, parsed.from, rest) && Consume(rest, " ") &&
           Unescaped(rest, parsed.to, rest) && rest.empty() && !parsed.from.empty() &&
           !parsed.to.empty();
  }
  return false;
}

bool IsTornProgramLine(const std::string& text) {
  if (text.empty()) {
    return false;
  }
  return StartsLikeForm(text, {"copy/y \"", "", "\" \"", "", "\""}) ||
         StartsLikeForm(text, {"if not exist \"", "", "\" copy/y \"", "", "\" \"", "", "\""}) ||
         StartsLikeForm(text.substr(0, kRecordPrefix.size()), {kRecordPrefix});
}

std::string FoldPath(const std::string& path) {
  std::string folded = ansi::Fold(path);
  for (char& c : folded) {
    if (c == '/') {
      c = '\\';
    }
  }
  return folded;
}

std::string DirectoryOf(const std::string& path) {
  const size_t separator = path.find_last_of("\\/");
  return separator == std::string::npos ? std::string() : path.substr(0, separator);
}

std::string DirectoryPath(const std::string& directory) {
  return directory.size() == 2 && directory[1] == ':' ? directory + "\\" : directory;
}

std::string NameOf(const std::string& path) {
  const size_t separator = path.find_last_of("\\/");
  return separator == std::string::npos ? path : path.substr(separator + 1);
}

CJournal::CJournal(CPlatform& platform) : platform_(platform) {}

bool CJournal::Open(const std::string& path, bool resumeEnded) {
  Close();
  path_ = path;
  size_ = 0;
  hasLines_ = false;
  runOpen_ = false;
  backups_.clear();
  currentByDirectory_.clear();
  currentSpool_.clear();
  claimed_.clear();
  contested_.clear();

  std::string bytes;
  if (!platform_.ReadWholeFile(path.c_str(), bytes)) {
    if (platform_.GetLastError() != win::kErrorFileNotFound) {
      return false;
    }
    bytes.clear();
  }
  std::uint64_t keep = 0;
  bool endWhole = true;
  Read(bytes, keep, endWhole, resumeEnded);

  file_ = platform_.OpenAppendFile(path.c_str());
  if (!file_) {
    return false;
  }
  bool ready = true;
  if (keep < bytes.size()) {
    ready = file_->Truncate(keep);
  }
  if (ready && !endWhole) {
    // A last line that is not the program's stays; the next line starts on a line of its own.
    const std::string lineBreak = bytes[keep - 1] == '\r' ? "\n" : "\r\n";
    ready = file_->Write(lineBreak.data(), static_cast<win::DWORD>(lineBreak.size()));
    keep += lineBreak.size();
  }
  // What a killed run wrote may still be in the system's cache only: later steps rely on it.
  if (ready && !bytes.empty()) {
    ready = file_->Flush();
  }
  if (!ready) {
    const win::DWORD error = platform_.GetLastError();
    file_.reset();
    platform_.SetLastError(error);
    return false;
  }
  size_ = keep;
  return true;
}

void CJournal::Read(const std::string& bytes, std::uint64_t& keep, bool& endWhole,
                    bool resumeEnded) {
  // A power cut leaves unflushed appends as zeros: they were never whole lines.
  size_t end = bytes.find_last_not_of('\0');
  end = end == std::string::npos ? 0 : end + 1;

  // The lines, and where runs ended (found by their text alone: the lines are parsed once,
  // below).
  struct Span {
    size_t start;
    size_t length;  // without the line break
  };
  std::vector<Span> lines;
  std::vector<size_t> ends;  // indexes of the RunEndedLines
  keep = end;
  endWhole = true;
  for (size_t start = 0; start < end;) {
    const size_t lineBreak = bytes.find('\n', start);
    const bool whole = lineBreak != std::string::npos && lineBreak < end;
    size_t length = (whole ? lineBreak : end) - start;
    if (length > 0 && bytes[start + length - 1] == '\r') {
      --length;
    }
    const std::string_view text(bytes.data() + start, length);
    if (!whole) {
      CRestoreLine parsed;
      const std::string ansi = platform_.OemToAnsi(text);
      if (!ParseRestoreLine(ansi, parsed) && IsTornProgramLine(ansi)) {
        keep = start;  // torn: its file was never moved
        break;
      }
      endWhole = false;
    }
    if (text == kRunEnded) {
      ends.push_back(lines.size());
    }
    lines.push_back({start, length});
    start = whole ? lineBreak + 1 : end;
  }
  // The first version wrote its unquoted lines in the ANSI code page as they were; the quoted
  // forms are in the OEM code page.
  const auto parse = [&](size_t i, CRestoreLine& parsed) {
    const std::string text = bytes.substr(lines[i].start, lines[i].length);
    return ParseRestoreLine(text.find('"') == std::string::npos ? text : platform_.OemToAnsi(text),
                            parsed);
  };

  // The run being finished: what follows the last end, or with resumeEnded and nothing there,
  // the run that ended there.
  const size_t lastEnd = ends.empty() ? std::string::npos : ends.back();
  size_t first = ends.empty() ? 0 : lastEnd + 1;
  size_t last = lines.size();
  runOpen_ = false;
  for (size_t i = first; i < last && !runOpen_; ++i) {
    CRestoreLine parsed;
    runOpen_ = parse(i, parsed);
  }
  if (!runOpen_ && resumeEnded && !ends.empty()) {
    first = ends.size() > 1 ? ends[ends.size() - 2] + 1 : 0;
    last = lastEnd;
  }

  std::unordered_map<std::string, std::string> owners;  // folded name -> folded old path
  Backup* lastBackup = nullptr;  // the backup line that a following record refines
  std::string lastBackupPath;    // and its folded old path
  std::string* lastSpool = nullptr;
  for (size_t i = 0; i < lines.size(); ++i) {
    CRestoreLine parsed;
    if (!parse(i, parsed)) {
      continue;
    }
    hasLines_ = hasLines_ || parsed.kind != CRestoreLine::EKind::kRunEnded;
    const bool current = i >= first && i < last;
    switch (parsed.kind) {
      case CRestoreLine::EKind::kBackup: {
        const std::string name = FoldCase(parsed.from);
        claimed_.insert(name);
        const std::string folded = FoldPath(parsed.to);
        const auto owner = owners.emplace(name, folded).first;
        if (owner->second != folded) {
          contested_.insert(name);
        }
        Backup& backup = backups_[folded];
        const bool wasCurrent = backup.current;
        backup = Backup{parsed.from, NameOf(parsed.to), std::string(), current};
        if (current && !wasCurrent) {
          currentByDirectory_[DirectoryOf(folded)].push_back(&backup);
        }
        lastBackup = &backup;
        lastBackupPath = folded;
        lastSpool = nullptr;
        break;
      }
      case CRestoreLine::EKind::kSpool: {
        lastBackup = nullptr;
        lastSpool = nullptr;
        if (current) {
          std::string& source = currentSpool_[FoldPath(parsed.from)];
          source = FoldPath(parsed.to);
          lastSpool = &source;
        }
        break;
      }
      case CRestoreLine::EKind::kLongPath: {
        // The line above spelled its old path short; the long form is the one looked up.
        if (lastBackup != nullptr) {
          const std::string folded = FoldPath(parsed.to);
          if (folded != lastBackupPath) {
            Backup moved = *lastBackup;
            moved.fileName = NameOf(parsed.to);
            lastBackup->current = false;  // found under its long form from now on
            Backup& backup = backups_[folded];
            const bool wasCurrent = backup.current;
            backup = moved;
            if (moved.current && !wasCurrent) {
              currentByDirectory_[DirectoryOf(folded)].push_back(&backup);
            }
            lastBackup = &backup;
            lastBackupPath = folded;
          }
        } else if (lastSpool != nullptr) {
          *lastSpool = FoldPath(parsed.to);
        }
        break;
      }
      case CRestoreLine::EKind::kFoundAs:
        if (lastBackup != nullptr) {
          lastBackup->foundAs = parsed.to;
        }
        break;
      case CRestoreLine::EKind::kRunEnded:
        lastBackup = nullptr;
        lastSpool = nullptr;
        break;
    }
  }
}

const CJournal::Backup* CJournal::FindBackup(const std::string& foldedPath) const {
  const auto entry = backups_.find(foldedPath);
  return entry == backups_.end() ? nullptr : &entry->second;
}

std::vector<const CJournal::Backup*> CJournal::CurrentBackupsIn(
    const std::string& foldedDirectory) const {
  const auto entry = currentByDirectory_.find(foldedDirectory);
  if (entry == currentByDirectory_.end()) {
    return {};
  }
  std::vector<const Backup*> current;
  for (const Backup* backup : entry->second) {
    // A line of the run may have been found under its long form since.
    if (backup->current) {
      current.push_back(backup);
    }
  }
  return current;
}

const std::string* CJournal::CurrentSpoolSource(const std::string& foldedCopyPath) const {
  const auto entry = currentSpool_.find(foldedCopyPath);
  return entry == currentSpool_.end() ? nullptr : &entry->second;
}

void CJournal::Append(const std::string& lines) {
  if (!file_) {
    throw CRestoreScriptError(path_, win::kErrorInvalidHandle);
  }
  const std::string oem = platform_.AnsiToOem(lines);
  if (!file_->Write(oem.data(), static_cast<win::DWORD>(oem.size()))) {
    const win::DWORD error = platform_.GetLastError();
    // What was written of the lines goes again: the script always ends at a whole line.
    file_->Truncate(size_);
    throw CRestoreScriptError(path_, error);
  }
  size_ += oem.size();
  runOpen_ = true;
}

void CJournal::Flush() {
  if (!file_) {
    throw CRestoreScriptError(path_, win::kErrorInvalidHandle);
  }
  if (!file_->Flush()) {
    throw CRestoreScriptError(path_, platform_.GetLastError());
  }
}

void CJournal::EndRun() {
  if (!runOpen_) {
    return;
  }
  Append(RunEndedLine());
  Flush();
  runOpen_ = false;
}

bool CJournal::Close() {
  if (!file_) {
    return true;
  }
  const bool closed = file_->Close();
  file_.reset();
  return closed;
}
