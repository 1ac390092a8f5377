#include "platform/emulated/registry.h"

#include "platform/ansi_text.h"
#include "platform/reg_text.h"

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>
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

// A value as it is read: views into the key's block of values, valid until the key changes.
struct ValueView {
  std::string_view name;
  DWORD type = 0;
  std::string_view data;
};

// FNV-1a over the upper-cased bytes of a name, as names are compared.
std::size_t HashNoCase(std::string_view name) {
  std::uint64_t hash = 14695981039346656037ull;
  for (const char c : name) {
    hash = (hash ^ ansi::Upper(static_cast<unsigned char>(c))) * 1099511628211ull;
  }
  return static_cast<std::size_t>(hash);
}

// The values of a key, in the order of creation, packed one after another into one block: for
// each its name's length (2 bytes: a value name has at most 16,383 characters), its type (4),
// its data's length (4), then the name and the data. A job's key, eleven small values, takes a
// few hundred bytes in one allocation. A key with many values (a queue's job list gets one per
// job) also gets the place of each value in the block and a hash table of them by name, made
// at the first lookup there and kept up as values are added; a change that moves values or
// removes one makes them again at the next lookup.
class CValues {
 public:
  std::size_t Size() const { return count_; }
  bool Empty() const { return count_ == 0; }

  ValueView At(std::size_t index) const {
    if (count_ > kIndexFrom) {
      return Read(Large().offsets[index]);
    }
    std::size_t at = 0;
    for (std::size_t i = 0; i < index; ++i) {
      at = Next(at);
    }
    return Read(at);
  }

  // The index of the value named name without regard to case, or kNone.
  static constexpr std::size_t kNone = static_cast<std::size_t>(-1);
  std::size_t Find(std::string_view name) const {
    if (count_ <= kIndexFrom) {
      std::size_t at = 0;
      for (std::size_t i = 0; i < count_; ++i, at = Next(at)) {
        if (ansi::EqualNoCase(NameAt(at), name)) {
          return i;
        }
      }
      return kNone;
    }
    const Index& index = Large();
    const std::size_t mask = index.slots.size() - 1;
    for (std::size_t slot = HashNoCase(name) & mask;; slot = (slot + 1) & mask) {
      const std::uint32_t entry = index.slots[slot];
      if (entry == 0) {
        return kNone;
      }
      if (ansi::EqualNoCase(NameAt(index.offsets[entry - 1]), name)) {
        return entry - 1;
      }
    }
  }

  // Adds a value of a name that the key does not have yet.
  void Add(std::string_view name, DWORD type, std::string_view data) {
    const std::size_t at = block_.size();
    Append(block_, name, type, data);
    ++count_;
    if (index_ && index_->offsets.size() + 1 == count_) {
      index_->offsets.push_back(static_cast<std::uint32_t>(at));
      if (index_->slots.size() < 2 * static_cast<std::size_t>(count_)) {
        Rehash(*index_);
      } else {
        Insert(*index_, count_ - 1);
      }
    }
  }

  // Gives the value at index a new type and data; its name stays as it was first set.
  void Set(std::size_t index, DWORD type, std::string_view data) {
    const std::size_t at = OffsetOf(index);
    const std::size_t end = Next(at);
    const std::string name(NameAt(at));
    std::vector<char> entry;
    Append(entry, name, type, data);
    if (entry.size() != end - at) {
      DropIndex();  // the values after it move
    }
    block_.erase(block_.begin() + static_cast<std::ptrdiff_t>(at),
                 block_.begin() + static_cast<std::ptrdiff_t>(end));
    block_.insert(block_.begin() + static_cast<std::ptrdiff_t>(at), entry.begin(), entry.end());
  }

  void Remove(std::size_t index) {
    const std::size_t at = OffsetOf(index);
    block_.erase(block_.begin() + static_cast<std::ptrdiff_t>(at),
                 block_.begin() + static_cast<std::ptrdiff_t>(Next(at)));
    --count_;
    DropIndex();
  }

  // Calls f with each value, in order.
  template <typename F>
  void ForEach(F f) const {
    std::size_t at = 0;
    for (std::size_t i = 0; i < count_; ++i, at = Next(at)) {
      f(Read(at));
    }
  }

  // Gives back the room that the block grew by, for a key whose values are all there.
  void Shrink() {
    if (count_ <= kIndexFrom && block_.capacity() > block_.size()) {
      block_.shrink_to_fit();
    }
  }

 private:
  static constexpr std::size_t kIndexFrom = 16;
  static constexpr std::size_t kHeader = 10;  // name length, type, data length

  struct Index {
    std::vector<std::uint32_t> offsets;  // where each value starts in the block
    std::vector<std::uint32_t> slots;    // open addressing by name: value index + 1, 0 empty
  };

  static void Append(std::vector<char>& block, std::string_view name, DWORD type,
                     std::string_view data) {
    const auto nameLength = static_cast<std::uint16_t>(name.size());
    const auto dataLength = static_cast<std::uint32_t>(data.size());
    char header[kHeader];
    std::memcpy(header, &nameLength, 2);
    std::memcpy(header + 2, &type, 4);
    std::memcpy(header + 6, &dataLength, 4);
    block.insert(block.end(), header, header + kHeader);
    block.insert(block.end(), name.begin(), name.end());
    block.insert(block.end(), data.begin(), data.end());
  }
  std::uint16_t NameLength(std::size_t at) const {
    std::uint16_t length = 0;
    std::memcpy(&length, block_.data() + at, 2);
    return length;
  }
  std::uint32_t DataLength(std::size_t at) const {
    std::uint32_t length = 0;
    std::memcpy(&length, block_.data() + at + 6, 4);
    return length;
  }
  std::string_view NameAt(std::size_t at) const {
    return std::string_view(block_.data() + at + kHeader, NameLength(at));
  }
  std::size_t Next(std::size_t at) const { return at + kHeader + NameLength(at) + DataLength(at); }
  ValueView Read(std::size_t at) const {
    ValueView value;
    value.name = NameAt(at);
    std::memcpy(&value.type, block_.data() + at + 2, 4);
    value.data = std::string_view(block_.data() + at + kHeader + value.name.size(), DataLength(at));
    return value;
  }
  std::size_t OffsetOf(std::size_t index) const {
    if (count_ > kIndexFrom) {
      return Large().offsets[index];
    }
    std::size_t at = 0;
    for (std::size_t i = 0; i < index; ++i) {
      at = Next(at);
    }
    return at;
  }

  const Index& Large() const {
    if (!index_) {
      index_ = std::make_unique<Index>();
      index_->offsets.reserve(count_);
      std::size_t at = 0;
      for (std::size_t i = 0; i < count_; ++i, at = Next(at)) {
        index_->offsets.push_back(static_cast<std::uint32_t>(at));
      }
      Rehash(*index_);
    }
    return *index_;
  }
  void Rehash(Index& index) const {
    std::size_t size = 32;
    while (size < 2 * index.offsets.size()) {
      size *= 2;
    }
    index.slots.assign(size, 0);
    for (std::size_t i = 0; i < index.offsets.size(); ++i) {
      Insert(index, i);
    }
  }
  void Insert(Index& index, std::size_t value) const {
    const std::size_t mask = index.slots.size() - 1;
    std::size_t slot = HashNoCase(NameAt(index.offsets[value])) & mask;
    while (index.slots[slot] != 0) {
      slot = (slot + 1) & mask;
    }
    index.slots[slot] = static_cast<std::uint32_t>(value + 1);
  }
  void DropIndex() { index_.reset(); }

  std::vector<char> block_;
  std::uint32_t count_ = 0;
  mutable std::unique_ptr<Index> index_;
};

struct Key;

// Subkeys ordered by their upper-cased names, compared without a folded copy: std::string
// compares bytes as unsigned char, which is the order a hive enumerates them in.
bool LessNoCase(std::string_view a, std::string_view b) {
  const std::size_t common = std::min(a.size(), b.size());
  for (std::size_t i = 0; i < common; ++i) {
    const unsigned char x = ansi::Upper(static_cast<unsigned char>(a[i]));
    const unsigned char y = ansi::Upper(static_cast<unsigned char>(b[i]));
    if (x != y) {
      return x < y;
    }
  }
  return a.size() < b.size();
}
struct ChildOrder {
  using is_transparent = void;
  bool operator()(const std::unique_ptr<Key>& a, const std::unique_ptr<Key>& b) const;
  bool operator()(const std::unique_ptr<Key>& a, std::string_view b) const;
  bool operator()(std::string_view a, const std::unique_ptr<Key>& b) const;
};
using Children = std::set<std::unique_ptr<Key>, ChildOrder>;

struct Key {
  std::string name;
  std::uint32_t depth = 0;  // 0 for a root
  Children children;
  CValues values;

  Key* Child(std::string_view childName) const {
    const auto it = children.find(childName);
    return it == children.end() ? nullptr : it->get();
  }
  Key* AddChild(std::string_view childName) {
    auto it = children.find(childName);
    if (it == children.end()) {
      auto child = std::make_unique<Key>();
      child->name = std::string(childName);
      child->depth = depth + 1;
      it = children.insert(std::move(child)).first;
    }
    return it->get();
  }
  // Sets the value named valueName, or adds it; a replaced value keeps the spelling of its name.
  void SetValue(std::string_view valueName, DWORD type, std::string_view data) {
    const std::size_t existing = values.Find(valueName);
    if (existing == CValues::kNone) {
      values.Add(valueName, type, data);
    } else {
      values.Set(existing, type, data);
    }
  }
  void RemoveValue(std::string_view valueName) {
    const std::size_t existing = values.Find(valueName);
    if (existing != CValues::kNone) {
      values.Remove(existing);
    }
  }
};

bool ChildOrder::operator()(const std::unique_ptr<Key>& a, const std::unique_ptr<Key>& b) const {
  return LessNoCase(a->name, b->name);
}
bool ChildOrder::operator()(const std::unique_ptr<Key>& a, std::string_view b) const {
  return LessNoCase(a->name, b);
}
bool ChildOrder::operator()(std::string_view a, const std::unique_ptr<Key>& b) const {
  return LessNoCase(a, b->name);
}

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
    key.values.ForEach([&](const ValueView& value) {
      regtext::AppendValueLine(out, value.name, value.type, value.data);
    });
    if (out.size() >= kSavePiece) {
      if (!write(out)) {
        return false;
      }
      out.clear();
    }
  }
  const std::size_t length = path.size();
  for (const auto& child : key.children) {
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
        const auto it = parent->children.find(parts.back());
        if (it != parent->children.end()) {
          if (onRemove_) {
            onRemove_(**it);
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

    struct {
      DWORD type = 0;
      std::string data;
    } value;
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
    current_->SetValue(name, value.type, value.data);
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
  Children::const_iterator cursor;

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
    for (const auto& child : node->children) {
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
  const std::string& childName = (*it)->name;
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
  const std::size_t found = node->values.Find(valueName == nullptr ? "" : valueName);
  if (found == CValues::kNone) {
    return static_cast<LONG>(win::kErrorFileNotFound);
  }
  const ValueView value = node->values.At(found);
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
  // Replacing a value keeps the spelling of its name from when it was first set.
  node->SetValue(name, type,
                 dataSize == 0 ? std::string_view()
                               : std::string_view(reinterpret_cast<const char*>(data), dataSize));
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
  if (index >= node->values.Size()) {
    return static_cast<LONG>(win::kErrorNoMoreItems);
  }
  const ValueView value = node->values.At(index);
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
  const auto it = node->children.find(parts.back());
  if (it == node->children.end()) {
    return static_cast<LONG>(win::kErrorFileNotFound);
  }
  // Windows refuses to delete a key that still has subkeys.
  if (!(*it)->children.empty()) {
    return static_cast<LONG>(win::kErrorAccessDenied);
  }
  for (auto& [handle, key] : impl_->handles) {
    if (key == it->get()) {
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
  if (it->second != nullptr) {
    it->second->values.Shrink();
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
  for (const auto& child : key.children) {
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
    const bool writeLine = !root->values.Empty() ||
                           (root->children.empty() && root->name != kRootNames[kLocalMachine]);
    std::string path = root->name;
    if (!AppendKey(out, *root, path, writeLine, write)) {
      return false;
    }
  }
  out += "\r\n";
  return write(out);
}
