#include "platform/emulated/registry.h"

#include "platform/ansi_text.h"
#include "platform/reg_text.h"

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <iterator>
#include <map>
#include <set>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

namespace {

using win::DWORD;
using win::HKEY;
using win::LONG;

// Windows limits: a key name component holds at most 255 characters, and a hive nests keys at
// most 512 levels deep. CreateKey keeps to both. Load keeps to the depth, which bounds the
// recursion of Save and of the tree's destruction, but reads longer names, since Wine creates
// and exports them.
constexpr std::size_t kMaxKeyNameLength = 255;
constexpr std::size_t kMaxKeyDepth = 512;

// What RegSetValueExA returns for a null data pointer with a non-zero size.
constexpr DWORD kErrorNoAccess = 998;

// The types whose data is text that ends in a NUL.
bool IsStringType(DWORD type) {
  return type == win::kRegSz || type == win::kRegExpandSz || type == win::kRegMultiSz;
}

struct Value {
  std::string name;
  DWORD type = 0;
  std::string data;
};

struct Key {
  std::string name;
  std::size_t depth = 0;  // 0 for a root
  // Subkeys by upper-cased name: std::string compares bytes as unsigned char, which is the
  // order a hive enumerates them in.
  std::map<std::string, std::unique_ptr<Key>> children;
  std::vector<Value> values;  // in the order of creation
  // Upper-cased name -> position in values, for a key with many values (a queue's job list
  // gets one per job): made at the first lookup there, kept up as values are added, and made
  // again after one is removed. Most keys have none.
  std::unique_ptr<std::unordered_map<std::string, std::size_t>> valueIndex;
  static constexpr std::size_t kIndexFrom = 16;

  Value* FindValue(std::string_view valueName) {
    if (values.size() <= kIndexFrom) {
      for (Value& value : values) {
        if (ansi::EqualNoCase(value.name, valueName)) {
          return &value;
        }
      }
      return nullptr;
    }
    if (!valueIndex) {
      valueIndex = std::make_unique<std::unordered_map<std::string, std::size_t>>();
    }
    if (valueIndex->size() != values.size()) {
      valueIndex->clear();
      for (std::size_t i = 0; i < values.size(); ++i) {
        valueIndex->emplace(ansi::Fold(values[i].name), i);
      }
    }
    const auto it = valueIndex->find(ansi::Fold(valueName));
    return it == valueIndex->end() ? nullptr : &values[it->second];
  }
  // Adds a value of a name that the key does not have yet.
  void AddValue(Value value) {
    values.push_back(std::move(value));
    if (valueIndex && valueIndex->size() + 1 == values.size()) {
      valueIndex->emplace(ansi::Fold(values.back().name), values.size() - 1);
    }
  }
  void RemoveValue(std::string_view valueName) {
    for (auto it = values.begin(); it != values.end(); ++it) {
      if (ansi::EqualNoCase(it->name, valueName)) {
        values.erase(it);
        valueIndex.reset();
        return;
      }
    }
  }
  Key* Child(std::string_view childName) {
    auto it = children.find(ansi::Fold(childName));
    return it == children.end() ? nullptr : it->second.get();
  }
  Key* AddChild(std::string_view childName) {
    auto& slot = children[ansi::Fold(childName)];
    if (!slot) {
      slot = std::make_unique<Key>();
      slot->name = std::string(childName);
      slot->depth = depth + 1;
    }
    return slot.get();
  }
};

// The predefined roots a .reg file may name, in the order Save writes them.
constexpr std::array<std::string_view, 5> kRootNames = {"HKEY_LOCAL_MACHINE", "HKEY_CLASSES_ROOT",
                                                        "HKEY_CURRENT_USER", "HKEY_USERS",
                                                        "HKEY_CURRENT_CONFIG"};
constexpr std::size_t kLocalMachine = 0;

struct Tree {
  // Only HKEY_LOCAL_MACHINE always exists; other roots exist when a loaded file named them.
  std::array<std::unique_ptr<Key>, kRootNames.size()> roots;

  Tree() { Root(kLocalMachine); }
  Key* Root(std::size_t index) {
    if (!roots[index]) {
      roots[index] = std::make_unique<Key>();
      roots[index]->name = std::string(kRootNames[index]);
    }
    return roots[index].get();
  }
};

// Splits a subkey path into its components. Empty components (a trailing backslash, or two in a
// row) are skipped as Windows does; a leading backslash is a bad path name.
LONG SplitPath(const char* subKey, std::vector<std::string_view>& parts) {
  parts.clear();
  if (subKey == nullptr || *subKey == '\0') {
    return win::kErrorSuccess;
  }
  std::string_view path(subKey);
  if (path.front() == '\\') {
    return static_cast<LONG>(win::kErrorBadPathname);
  }
  std::size_t start = 0;
  while (start <= path.size()) {
    std::size_t end = path.find('\\', start);
    if (end == std::string_view::npos) {
      end = path.size();
    }
    if (end > start) {
      if (end - start > kMaxKeyNameLength) {
        return static_cast<LONG>(win::kErrorInvalidParameter);
      }
      parts.push_back(path.substr(start, end - start));
    }
    start = end + 1;
  }
  return win::kErrorSuccess;
}

// ---- Text conversions for .reg files

// Unicode code points of the Windows-1252 bytes 0x80-0x9F. The five bytes the code page leaves
// undefined map to the C1 control of the same number, as Windows maps them.
constexpr std::array<char16_t, 32> kCp1252High = {
    0x20AC, 0x0081, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021, 0x02C6, 0x2030, 0x0160,
    0x2039, 0x0152, 0x008D, 0x017D, 0x008F, 0x0090, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022,
    0x2013, 0x2014, 0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0x009D, 0x017E, 0x0178};

char ToAnsi(char32_t codePoint) {
  if (codePoint < 0x80 || (codePoint >= 0xA0 && codePoint <= 0xFF)) {
    return static_cast<char>(codePoint);
  }
  for (std::size_t i = 0; i < kCp1252High.size(); ++i) {
    if (kCp1252High[i] == codePoint) {
      return static_cast<char>(0x80 + i);
    }
  }
  return '?';
}

// UTF-16LE bytes to ANSI; an unpaired surrogate or a character the code page lacks becomes
// '?', and an odd last byte is dropped.
std::string Utf16ToAnsi(std::string_view bytes) {
  std::string out;
  out.reserve(bytes.size() / 2);
  const std::size_t units = bytes.size() / 2;
  for (std::size_t i = 0; i < units; ++i) {
    const char32_t unit =
        static_cast<unsigned char>(bytes[2 * i]) |
        (static_cast<char32_t>(static_cast<unsigned char>(bytes[2 * i + 1])) << 8);
    if (unit >= 0xD800 && unit <= 0xDBFF && i + 1 < units) {
      const char32_t next =
          static_cast<unsigned char>(bytes[2 * i + 2]) |
          (static_cast<char32_t>(static_cast<unsigned char>(bytes[2 * i + 3])) << 8);
      if (next >= 0xDC00 && next <= 0xDFFF) {
        ++i;  // a character outside the code page in any case
      }
      out += '?';
      continue;
    }
    out += ToAnsi(unit >= 0xD800 && unit <= 0xDFFF ? 0xFFFD : unit);
  }
  return out;
}

// UTF-8 to ANSI; malformed sequences become '?'.
std::string Utf8ToAnsi(std::string_view bytes) {
  std::string out;
  out.reserve(bytes.size());
  std::size_t i = 0;
  while (i < bytes.size()) {
    const unsigned char lead = static_cast<unsigned char>(bytes[i]);
    std::size_t length = 0;
    char32_t codePoint = 0;
    if (lead < 0x80) {
      length = 1;
      codePoint = lead;
    } else if (lead >= 0xC2 && lead <= 0xDF) {
      length = 2;
      codePoint = lead & 0x1F;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
      length = 3;
      codePoint = lead & 0x0F;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
      length = 4;
      codePoint = lead & 0x07;
    }
    bool valid = length != 0 && i + length <= bytes.size();
    for (std::size_t k = 1; valid && k < length; ++k) {
      const unsigned char trail = static_cast<unsigned char>(bytes[i + k]);
      if ((trail & 0xC0) != 0x80) {
        valid = false;
      } else {
        codePoint = (codePoint << 6) | (trail & 0x3F);
      }
    }
    if (!valid) {
      out += '?';
      ++i;
      continue;
    }
    out += ToAnsi(codePoint);
    i += length;
  }
  return out;
}

// ---- Writing

// Text is handed on in pieces of about this size, between keys.
constexpr std::size_t kSavePiece = 65536;

// Writes key and its subtree; path holds the key's full name and is restored on return. What
// has gathered in out goes to write after each key once it is a piece; false when write fails.
bool AppendKey(std::string& out, const Key& key, std::string& path, bool writeLine,
               const std::function<bool(std::string_view)>& write) {
  if (writeLine) {
    regtext::AppendKeyLine(out, path);
    for (const Value& value : key.values) {
      regtext::AppendValueLine(out, value.name, value.type, value.data);
    }
    if (out.size() >= kSavePiece) {
      if (!write(out)) {
        return false;
      }
      out.clear();
    }
  }
  const std::size_t length = path.size();
  for (const auto& [folded, child] : key.children) {
    path += '\\';
    path += child->name;
    if (!AppendKey(out, *child, path, true, write)) {
      return false;
    }
    path.resize(length);
  }
  return true;
}

// ---- Reading

struct Line {
  std::string_view text;
  std::size_t number = 0;
};

std::vector<Line> SplitLines(std::string_view text) {
  std::vector<Line> lines;
  std::size_t start = 0;
  std::size_t number = 1;
  while (start < text.size()) {
    std::size_t end = text.find_first_of("\r\n", start);
    if (end == std::string_view::npos) {
      lines.push_back({text.substr(start), number});
      break;
    }
    lines.push_back({text.substr(start, end - start), number});
    ++number;
    start = end + ((text[end] == '\r' && end + 1 < text.size() && text[end + 1] == '\n') ? 2 : 1);
  }
  return lines;
}

bool IsBlank(char c) {
  return c == ' ' || c == '\t';
}

std::string_view TrimLeft(std::string_view text) {
  std::size_t i = 0;
  while (i < text.size() && IsBlank(text[i])) {
    ++i;
  }
  return text.substr(i);
}

std::string_view TrimRight(std::string_view text) {
  std::size_t n = text.size();
  while (n > 0 && IsBlank(text[n - 1])) {
    --n;
  }
  return text.substr(0, n);
}

// How a parse treats the text: as the saved registry itself, where every value keeps exactly its
// bytes, or as regedit imports a file on top of the registry (Wine 8's regedit is the reference).
enum class ParseMode { kHive, kRegeditImport };

class CParser {
 public:
  // onRemove is called with each key that a [-KEY] line is about to delete.
  CParser(std::vector<Line> lines, bool unicodeFormat, ParseMode mode,
          std::function<void(const Key&)> onRemove = {})
      : lines_(std::move(lines)),
        unicodeFormat_(unicodeFormat),
        mode_(mode),
        onRemove_(std::move(onRemove)) {}

  // Parses every line after the header into tree; false with error set on the first fault.
  bool Parse(Tree& tree, std::string& error) {
    tree_ = &tree;
    for (index_ = 1; index_ < lines_.size(); ++index_) {
      const std::string_view text = TrimLeft(lines_[index_].text);
      if (text.empty() || text.front() == ';') {
        continue;
      }
      bool ok = false;
      if (text.front() == '[') {
        ok = ParseKeyLine(text);
      } else if (text.front() == '"' || text.front() == '@') {
        ok = ParseValueLine(text);
      } else {
        ok = Fail("unexpected text");
      }
      if (!ok) {
        error = error_;
        return false;
      }
    }
    return true;
  }

 private:
  bool Fail(const std::string& reason) {
    error_ = "line " + std::to_string(lines_[index_].number) + ": " + reason;
    return false;
  }

  bool ParseKeyLine(std::string_view text) {
    const std::size_t close = text.rfind(']');
    if (close == std::string_view::npos) {
      return Fail("key line without a closing bracket");
    }
    if (!TrimLeft(text.substr(close + 1)).empty()) {
      return Fail("text after a key line");
    }
    std::string_view path = text.substr(1, close - 1);
    bool remove = false;
    if (!path.empty() && path.front() == '-') {
      remove = true;
      path.remove_prefix(1);
    }
    std::vector<std::string_view> parts;
    std::size_t start = 0;
    while (true) {
      std::size_t end = path.find('\\', start);
      if (end == std::string_view::npos) {
        end = path.size();
      }
      parts.push_back(path.substr(start, end - start));
      if (end == path.size()) {
        break;
      }
      start = end + 1;
    }
    // A trailing backslash names the same key, as regedit reads it.
    if (parts.size() > 1 && parts.back().empty()) {
      parts.pop_back();
    }
    std::size_t root = kRootNames.size();
    for (std::size_t i = 0; i < kRootNames.size(); ++i) {
      if (ansi::EqualNoCase(parts.front(), kRootNames[i])) {
        root = i;
      }
    }
    if (root == kRootNames.size()) {
      return Fail("unknown root key");
    }
    if (parts.size() - 1 > kMaxKeyDepth) {
      return Fail("keys nested too deeply");
    }
    for (std::size_t i = 1; i < parts.size(); ++i) {
      if (parts[i].empty()) {
        return Fail("empty key name");
      }
    }
    if (remove) {
      if (parts.size() == 1) {
        return Fail("a root key cannot be deleted");
      }
      current_ = nullptr;
      sawKey_ = true;  // its values follow and are skipped
      Key* parent = tree_->roots[root].get();
      for (std::size_t i = 1; parent != nullptr && i + 1 < parts.size(); ++i) {
        parent = parent->Child(parts[i]);
      }
      if (parent != nullptr) {
        const auto it = parent->children.find(ansi::Fold(parts.back()));
        if (it != parent->children.end()) {
          if (onRemove_) {
            onRemove_(*it->second);
          }
          parent->children.erase(it);
        }
      }
      return true;
    }
    Key* key = tree_->Root(root);
    for (std::size_t i = 1; i < parts.size(); ++i) {
      key = key->AddChild(parts[i]);
    }
    current_ = key;
    sawKey_ = true;
    return true;
  }

  // Reads a quoted string at text[pos] == '"'; pos ends after the closing quote.
  bool ParseQuoted(std::string_view text, std::size_t& pos, std::string& out) {
    ++pos;
    while (pos < text.size()) {
      const char c = text[pos++];
      if (c == '"') {
        return true;
      }
      if (c != '\\') {
        out += c;
        continue;
      }
      if (pos >= text.size()) {
        break;
      }
      const char escaped = text[pos++];
      switch (escaped) {
        case '\\':
        case '"':
          out += escaped;
          break;
        case 'n':
          out += '\n';
          break;
        case 'r':
          out += '\r';
          break;
        case '0':
          out += '\0';
          break;
        default:
          // Not an escape: in a saved registry a lone backslash stands for itself; regedit
          // drops it and keeps the character.
          if (mode_ == ParseMode::kHive) {
            out += '\\';
          }
          out += escaped;
          break;
      }
    }
    return Fail("unterminated string");
  }

  bool ParseValueLine(std::string_view text) {
    if (!sawKey_) {
      return Fail("value outside any key");
    }
    std::string name;
    std::size_t pos = 0;
    if (text.front() == '@') {
      pos = 1;
    } else if (!ParseQuoted(text, pos, name)) {
      return false;
    }
    if (name.find('\0') != std::string::npos) {
      return Fail("NUL in a value name");  // no registry function can name such a value
    }
    while (pos < text.size() && IsBlank(text[pos])) {
      ++pos;
    }
    if (pos >= text.size() || text[pos] != '=') {
      return Fail("'=' expected after the value name");
    }
    ++pos;
    while (pos < text.size() && IsBlank(text[pos])) {
      ++pos;
    }
    const std::string_view rest = text.substr(pos);

    Value value;
    value.name = name;
    if (!rest.empty() && rest.front() == '-') {
      if (!TrimRight(rest.substr(1)).empty()) {
        return Fail("text after '-'");
      }
      if (current_ != nullptr) {
        current_->RemoveValue(name);
      }
      return true;
    }
    if (!rest.empty() && rest.front() == '"') {
      std::size_t at = 0;
      std::string data;
      if (!ParseQuoted(rest, at, data)) {
        return false;
      }
      if (!TrimRight(rest.substr(at)).empty()) {
        return Fail("text after the string");
      }
      value.type = win::kRegSz;
      value.data = std::move(data);
      value.data += '\0';
    } else if (ansi::StartsWithNoCase(rest, "dword:")) {
      const std::string_view digits = TrimRight(rest.substr(6));
      if (digits.empty() || digits.size() > 8) {
        return Fail("dword needs 1 to 8 hex digits");
      }
      std::uint32_t number = 0;
      for (char c : digits) {
        const int digit = ansi::HexDigit(c);
        if (digit < 0) {
          return Fail("bad dword digit");
        }
        number = (number << 4) | static_cast<std::uint32_t>(digit);
      }
      value.type = win::kRegDword;
      for (int i = 0; i < 4; ++i) {
        value.data += static_cast<char>((number >> (8 * i)) & 0xFF);
      }
    } else if (ansi::StartsWithNoCase(rest, "hex")) {
      std::size_t at = 3;
      value.type = win::kRegBinary;
      if (at < rest.size() && rest[at] == '(') {
        ++at;
        std::size_t count = 0;
        std::uint32_t type = 0;
        while (at < rest.size() && ansi::HexDigit(rest[at]) >= 0) {
          if (++count > 8) {
            return Fail("bad value type");
          }
          type = (type << 4) | static_cast<std::uint32_t>(ansi::HexDigit(rest[at]));
          ++at;
        }
        if (count == 0 || at >= rest.size() || rest[at] != ')') {
          return Fail("bad value type");
        }
        ++at;
        value.type = type;
      }
      if (at >= rest.size() || rest[at] != ':') {
        return Fail("':' expected after hex");
      }
      if (!ParseHexBytes(rest.substr(at + 1), value.data)) {
        return false;
      }
      // Version 5 files hold the string types as UTF-16LE; the emulation keeps them as the
      // ANSI bytes that an A-function caller reads back.
      if (unicodeFormat_ && IsStringType(value.type)) {
        value.data = Utf16ToAnsi(value.data);
      }
      // regedit ends the data of a string type with a NUL when the file does not.
      if (mode_ == ParseMode::kRegeditImport && IsStringType(value.type) && !value.data.empty() &&
          value.data.back() != '\0') {
        value.data += '\0';
      }
    } else {
      return Fail("unknown value data");
    }
    if (current_ == nullptr) {
      return true;  // the values of a deleted key are skipped, as regedit skips them
    }
    if (Value* existing = current_->FindValue(name)) {
      existing->type = value.type;
      existing->data = std::move(value.data);
    } else {
      current_->AddValue(std::move(value));
    }
    return true;
  }

  // Reads comma-separated hex bytes; a backslash at the end of a line continues the list on the
  // next line. index_ ends on the last line used.
  bool ParseHexBytes(std::string_view text, std::string& out) {
    while (true) {
      std::string_view piece = TrimRight(text);
      bool more = false;
      if (!piece.empty() && piece.back() == '\\') {
        more = true;
        piece = TrimRight(piece.substr(0, piece.size() - 1));
      }
      std::size_t pos = 0;
      while (true) {
        while (pos < piece.size() && IsBlank(piece[pos])) {
          ++pos;
        }
        if (pos >= piece.size()) {
          break;  // also after a trailing comma, which regedit tolerates
        }
        const int high = ansi::HexDigit(piece[pos]);
        if (high < 0) {
          return Fail("bad hex byte");
        }
        int byte = high;
        ++pos;
        if (pos < piece.size() && ansi::HexDigit(piece[pos]) >= 0) {
          byte = (high << 4) | ansi::HexDigit(piece[pos]);
          ++pos;
        }
        out += static_cast<char>(byte);
        while (pos < piece.size() && IsBlank(piece[pos])) {
          ++pos;
        }
        if (pos >= piece.size()) {
          break;
        }
        if (piece[pos] != ',') {
          return Fail("bad hex byte");
        }
        ++pos;
      }
      if (!more) {
        return true;
      }
      if (index_ + 1 >= lines_.size()) {
        return Fail("hex data continues past the end of the file");
      }
      ++index_;
      text = TrimLeft(lines_[index_].text);
    }
  }

  std::vector<Line> lines_;
  bool unicodeFormat_;
  ParseMode mode_;
  std::function<void(const Key&)> onRemove_;
  Tree* tree_ = nullptr;
  std::size_t index_ = 0;
  Key* current_ = nullptr;  // null after a deleted key
  bool sawKey_ = false;
  std::string error_;
};

}  // namespace

struct CEmulatedRegistry::Impl {
  Tree tree;
  std::map<HKEY, Key*> handles;
  HKEY nextHandle = 0;
  // The components of the subkey path being opened, created or deleted, kept for their room.
  std::vector<std::string_view> parts;
  // Where the last EnumKey stopped, so that enumerating index after index is not quadratic.
  // Reset whenever keys are added or the tree is replaced.
  const Key* cursorKey = nullptr;
  DWORD cursorIndex = 0;
  std::map<std::string, std::unique_ptr<Key>>::const_iterator cursor;

  void ResetCursor() { cursorKey = nullptr; }

  Key* Resolve(HKEY key) {
    if (key == win::kHkeyLocalMachine) {
      return tree.Root(kLocalMachine);
    }
    auto it = handles.find(key);
    return it == handles.end() ? nullptr : it->second;
  }
  HKEY NewHandle(Key* key) {
    // Small numbers, as a process's handle table hands them out.
    nextHandle += 4;
    if (nextHandle == win::kHkeyLocalMachine) {
      nextHandle += 4;
    }
    handles[nextHandle] = key;
    return nextHandle;
  }
};

CEmulatedRegistry::CEmulatedRegistry() : impl_(std::make_unique<Impl>()) {}
CEmulatedRegistry::~CEmulatedRegistry() = default;

win::LONG CEmulatedRegistry::CreateKey(win::HKEY parent, const char* subKey, win::HKEY* result) {
  if (result == nullptr) {
    return static_cast<LONG>(win::kErrorInvalidParameter);
  }
  Key* key = impl_->Resolve(parent);
  if (key == nullptr) {
    return static_cast<LONG>(win::kErrorInvalidHandle);
  }
  std::vector<std::string_view>& parts = impl_->parts;
  if (const LONG error = SplitPath(subKey, parts); error != 0) {
    return error;
  }
  if (key->depth + parts.size() > kMaxKeyDepth) {
    return static_cast<LONG>(win::kErrorInvalidParameter);
  }
  impl_->ResetCursor();
  for (std::string_view part : parts) {
    key = key->AddChild(part);
  }
  *result = impl_->NewHandle(key);
  return win::kErrorSuccess;
}

win::LONG CEmulatedRegistry::OpenKey(win::HKEY parent, const char* subKey, win::HKEY* result) {
  if (result == nullptr) {
    return static_cast<LONG>(win::kErrorInvalidParameter);
  }
  Key* key = impl_->Resolve(parent);
  if (key == nullptr) {
    return static_cast<LONG>(win::kErrorInvalidHandle);
  }
  std::vector<std::string_view>& parts = impl_->parts;
  if (const LONG error = SplitPath(subKey, parts); error != 0) {
    return error;
  }
  for (std::string_view part : parts) {
    key = key->Child(part);
    if (key == nullptr) {
      return static_cast<LONG>(win::kErrorFileNotFound);
    }
  }
  *result = impl_->NewHandle(key);
  return win::kErrorSuccess;
}

win::LONG CEmulatedRegistry::QueryInfoKey(win::HKEY key, win::DWORD* subKeys,
                                          win::DWORD* maxSubKeyLen) {
  Key* node = impl_->Resolve(key);
  if (node == nullptr) {
    return static_cast<LONG>(win::kErrorInvalidHandle);
  }
  if (subKeys != nullptr) {
    *subKeys = static_cast<DWORD>(node->children.size());
  }
  if (maxSubKeyLen != nullptr) {
    std::size_t longest = 0;
    for (const auto& [folded, child] : node->children) {
      longest = std::max(longest, child->name.size());
    }
    *maxSubKeyLen = static_cast<DWORD>(longest);
  }
  return win::kErrorSuccess;
}

win::LONG CEmulatedRegistry::EnumKey(win::HKEY key, win::DWORD index, char* name,
                                     win::DWORD* nameLength) {
  Key* node = impl_->Resolve(key);
  if (node == nullptr) {
    return static_cast<LONG>(win::kErrorInvalidHandle);
  }
  if (name == nullptr || nameLength == nullptr) {
    return static_cast<LONG>(win::kErrorInvalidParameter);
  }
  if (index >= node->children.size()) {
    return static_cast<LONG>(win::kErrorNoMoreItems);
  }
  auto it = node->children.cbegin();
  if (impl_->cursorKey == node && impl_->cursorIndex <= index) {
    it = impl_->cursor;
    std::advance(it, index - impl_->cursorIndex);
  } else {
    std::advance(it, index);
  }
  impl_->cursorKey = node;
  impl_->cursorIndex = index;
  impl_->cursor = it;
  const std::string& childName = it->second->name;
  if (childName.size() >= *nameLength) {
    return static_cast<LONG>(win::kErrorMoreData);
  }
  childName.copy(name, childName.size());
  name[childName.size()] = '\0';
  *nameLength = static_cast<DWORD>(childName.size());
  return win::kErrorSuccess;
}

win::LONG CEmulatedRegistry::QueryValue(win::HKEY key, const char* valueName, win::DWORD* type,
                                        unsigned char* data, win::DWORD* dataSize) {
  Key* node = impl_->Resolve(key);
  if (node == nullptr) {
    return static_cast<LONG>(win::kErrorInvalidHandle);
  }
  if (data != nullptr && dataSize == nullptr) {
    return static_cast<LONG>(win::kErrorInvalidParameter);
  }
  const Value* value = node->FindValue(valueName == nullptr ? "" : valueName);
  if (value == nullptr) {
    return static_cast<LONG>(win::kErrorFileNotFound);
  }
  if (type != nullptr) {
    *type = value->type;
  }
  if (dataSize == nullptr) {
    return win::kErrorSuccess;
  }
  const DWORD size = static_cast<DWORD>(value->data.size());
  if (data != nullptr) {
    if (*dataSize < size) {
      *dataSize = size;
      return static_cast<LONG>(win::kErrorMoreData);
    }
    value->data.copy(reinterpret_cast<char*>(data), size);
  }
  *dataSize = size;
  return win::kErrorSuccess;
}

win::LONG CEmulatedRegistry::SetValue(win::HKEY key, const char* valueName, win::DWORD type,
                                      const unsigned char* data, win::DWORD dataSize) {
  Key* node = impl_->Resolve(key);
  if (node == nullptr) {
    return static_cast<LONG>(win::kErrorInvalidHandle);
  }
  if (data == nullptr && dataSize != 0) {
    return static_cast<LONG>(kErrorNoAccess);
  }
  const std::string_view name = valueName == nullptr ? "" : valueName;
  // For a string type whose last counted byte is no NUL while the byte after the counted data
  // is one, Windows counts that NUL too: a caller that gives a text's length without its NUL
  // still stores the terminated text.
  if (IsStringType(type) && dataSize != 0 && data[dataSize - 1] != 0 && data[dataSize] == 0) {
    ++dataSize;
  }
  std::string bytes;
  if (dataSize != 0) {
    bytes.assign(reinterpret_cast<const char*>(data), dataSize);
  }
  // Replacing a value keeps the spelling of its name from when it was first set.
  if (Value* existing = node->FindValue(name)) {
    existing->type = type;
    existing->data = std::move(bytes);
  } else {
    node->AddValue(Value{std::string(name), type, std::move(bytes)});
  }
  return win::kErrorSuccess;
}

win::LONG CEmulatedRegistry::EnumValue(win::HKEY key, win::DWORD index, char* name,
                                       win::DWORD* nameLength, win::DWORD* type,
                                       unsigned char* data, win::DWORD* dataSize) {
  Key* node = impl_->Resolve(key);
  if (node == nullptr) {
    return static_cast<LONG>(win::kErrorInvalidHandle);
  }
  if (name == nullptr || nameLength == nullptr || (data != nullptr && dataSize == nullptr)) {
    return static_cast<LONG>(win::kErrorInvalidParameter);
  }
  if (index >= node->values.size()) {
    return static_cast<LONG>(win::kErrorNoMoreItems);
  }
  const Value& value = node->values[index];
  if (value.name.size() >= *nameLength) {
    return static_cast<LONG>(win::kErrorMoreData);
  }
  value.name.copy(name, value.name.size());
  name[value.name.size()] = '\0';
  *nameLength = static_cast<DWORD>(value.name.size());
  if (type != nullptr) {
    *type = value.type;
  }
  if (dataSize == nullptr) {
    return win::kErrorSuccess;
  }
  const DWORD size = static_cast<DWORD>(value.data.size());
  if (data != nullptr) {
    if (*dataSize < size) {
      *dataSize = size;
      return static_cast<LONG>(win::kErrorMoreData);
    }
    value.data.copy(reinterpret_cast<char*>(data), size);
  }
  *dataSize = size;
  return win::kErrorSuccess;
}

win::LONG CEmulatedRegistry::DeleteKey(win::HKEY parent, const char* subKey) {
  Key* node = impl_->Resolve(parent);
  if (node == nullptr) {
    return static_cast<LONG>(win::kErrorInvalidHandle);
  }
  std::vector<std::string_view>& parts = impl_->parts;
  if (const LONG error = SplitPath(subKey, parts); error != 0) {
    return error;
  }
  if (parts.empty()) {
    return static_cast<LONG>(win::kErrorInvalidParameter);
  }
  for (std::size_t i = 0; i + 1 < parts.size(); ++i) {
    node = node->Child(parts[i]);
    if (node == nullptr) {
      return static_cast<LONG>(win::kErrorFileNotFound);
    }
  }
  const auto it = node->children.find(ansi::Fold(parts.back()));
  if (it == node->children.end()) {
    return static_cast<LONG>(win::kErrorFileNotFound);
  }
  // Windows refuses to delete a key that still has subkeys.
  if (!it->second->children.empty()) {
    return static_cast<LONG>(win::kErrorAccessDenied);
  }
  for (auto& [handle, key] : impl_->handles) {
    if (key == it->second.get()) {
      key = nullptr;  // the handle stays allocated but reaches no key
    }
  }
  impl_->ResetCursor();
  node->children.erase(it);
  return win::kErrorSuccess;
}

win::LONG CEmulatedRegistry::CloseKey(win::HKEY key) {
  if (key == win::kHkeyLocalMachine) {
    return win::kErrorSuccess;
  }
  const auto it = impl_->handles.find(key);
  if (it == impl_->handles.end()) {
    return static_cast<LONG>(win::kErrorInvalidHandle);
  }
  // A key that is closed has usually got all its values (a job's key, written in one go): the
  // room that its list grew by goes back. A long list keeps it, since it grows on.
  std::vector<Value>& values = it->second->values;
  if (values.size() <= Key::kIndexFrom && values.capacity() > values.size()) {
    values.shrink_to_fit();
  }
  impl_->handles.erase(it);
  return win::kErrorSuccess;
}

namespace {

// Decodes a .reg file into ANSI text and splits it into lines (views into text). False with
// "line N: reason" in error when it is no registry file.
bool ReadRegFile(const std::string& fileBytes, std::string& text, std::vector<Line>& lines,
                 bool& unicodeFormat, std::string& error) {
  if (fileBytes.size() >= 2 && static_cast<unsigned char>(fileBytes[0]) == 0xFF &&
      static_cast<unsigned char>(fileBytes[1]) == 0xFE) {
    if (fileBytes.size() % 2 != 0) {
      error = "line 1: UTF-16 text with an odd number of bytes";
      return false;
    }
    text = Utf16ToAnsi(std::string_view(fileBytes).substr(2));
  } else if (fileBytes.size() >= 3 && static_cast<unsigned char>(fileBytes[0]) == 0xEF &&
             static_cast<unsigned char>(fileBytes[1]) == 0xBB &&
             static_cast<unsigned char>(fileBytes[2]) == 0xBF) {
    text = Utf8ToAnsi(std::string_view(fileBytes).substr(3));
  } else {
    text = fileBytes;
  }

  lines = SplitLines(text);
  for (const Line& line : lines) {
    if (line.text.find('\0') != std::string_view::npos) {
      error = "line " + std::to_string(line.number) + ": NUL character";
      return false;
    }
  }
  const std::string_view header = lines.empty() ? std::string_view() : TrimRight(lines[0].text);
  unicodeFormat = false;
  if (header == "Windows Registry Editor Version 5.00") {
    unicodeFormat = true;
  } else if (header != "REGEDIT4") {
    error = "line 1: not a registry file (REGEDIT4 header expected)";
    return false;
  }
  return true;
}

// Every key of the subtree below and including key.
void CollectSubtree(const Key& key, std::set<const Key*>& keys) {
  keys.insert(&key);
  for (const auto& [folded, child] : key.children) {
    CollectSubtree(*child, keys);
  }
}

}  // namespace

bool CEmulatedRegistry::Load(const std::string& fileBytes, std::string& error) {
  std::string text;
  std::vector<Line> lines;
  bool unicodeFormat = false;
  if (!ReadRegFile(fileBytes, text, lines, unicodeFormat, error)) {
    return false;
  }
  Tree tree;
  CParser parser(std::move(lines), unicodeFormat, ParseMode::kHive);
  if (!parser.Parse(tree, error)) {
    return false;
  }
  // Handles name keys of the replaced tree; none of them stays valid.
  impl_->handles.clear();
  impl_->ResetCursor();
  impl_->tree = std::move(tree);
  return true;
}

bool CEmulatedRegistry::Import(const std::string& fileBytes, std::string& error) {
  std::string text;
  std::vector<Line> lines;
  bool unicodeFormat = false;
  if (!ReadRegFile(fileBytes, text, lines, unicodeFormat, error)) {
    return false;
  }
  // A dry run on an empty tree finds every fault before the registry is touched.
  {
    Tree scratch;
    CParser check(lines, unicodeFormat, ParseMode::kRegeditImport);
    if (!check.Parse(scratch, error)) {
      return false;
    }
  }
  // Handles on deleted keys stay allocated but reach no key, as DeleteKey leaves them.
  auto onRemove = [this](const Key& key) {
    std::set<const Key*> removed;
    CollectSubtree(key, removed);
    for (auto& [handle, target] : impl_->handles) {
      if (removed.count(target) != 0) {
        target = nullptr;
      }
    }
  };
  CParser parser(std::move(lines), unicodeFormat, ParseMode::kRegeditImport, onRemove);
  const bool parsed = parser.Parse(impl_->tree, error);
  impl_->ResetCursor();
  return parsed;
}

std::string CEmulatedRegistry::Save() const {
  std::string text;
  Save([&text](std::string_view piece) {
    text += piece;
    return true;
  });
  return text;
}

bool CEmulatedRegistry::Save(const std::function<bool(std::string_view)>& write) const {
  std::string out(regtext::kHeader);
  out.reserve(kSavePiece * 2);
  for (const auto& root : impl_->tree.roots) {
    if (!root) {
      continue;
    }
    // A root's own line is written when it has values, and for a root other than
    // HKEY_LOCAL_MACHINE that has nothing else to show that it exists.
    const bool writeLine = !root->values.empty() ||
                           (root->children.empty() && root->name != kRootNames[kLocalMachine]);
    std::string path = root->name;
    if (!AppendKey(out, *root, path, writeLine, write)) {
      return false;
    }
  }
  out += "\r\n";
  return write(out);
}
