#include "platform/reg_text.h"

#include <cstddef>
#include <cstdint>

namespace regtext {

namespace {

// Line length at which regedit wraps hex data: after a "xx," that brings the line to this many
// characters, it writes "\" and continues on the next line after two spaces.
constexpr std::size_t kHexWrapColumn = 77;

constexpr char kDigits[] = "0123456789abcdef";

void AppendHex(std::string& out, std::size_t lineStart, std::string_view data) {
  std::size_t column = out.size() - lineStart;
  for (std::size_t i = 0; i < data.size(); ++i) {
    const unsigned char byte = static_cast<unsigned char>(data[i]);
    out += kDigits[byte >> 4];
    out += kDigits[byte & 0x0F];
    if (i + 1 == data.size()) {
      break;
    }
    out += ',';
    column += 3;
    if (column >= kHexWrapColumn) {
      out += "\\\r\n  ";
      column = 2;
    }
  }
}

}  // namespace

void AppendEscaped(std::string& out, std::string_view text) {
  // Runs of characters that need no escape go in whole.
  std::size_t start = 0;
  for (std::size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    if (c != '\\' && c != '"' && c != '\n' && c != '\r') {
      continue;
    }
    out.append(text.data() + start, i - start);
    start = i + 1;
    switch (c) {
      case '\\':
        out += "\\\\";
        break;
      case '"':
        out += "\\\"";
        break;
      case '\n':
        out += "\\n";
        break;
      default:
        out += "\\r";
        break;
    }
  }
  out.append(text.data() + start, text.size() - start);
}

bool IsPlainString(win::DWORD type, std::string_view data) {
  if (type != win::kRegSz || data.empty() || data.back() != '\0') {
    return false;
  }
  for (std::size_t i = 0; i + 1 < data.size(); ++i) {
    if (static_cast<unsigned char>(data[i]) < 0x20) {
      return false;
    }
  }
  return true;
}

void AppendValueLine(std::string& out, std::string_view name, win::DWORD type,
                     std::string_view data) {
  const std::size_t lineStart = out.size();
  if (name.empty()) {
    out += '@';
  } else {
    out += '"';
    AppendEscaped(out, name);
    out += '"';
  }
  out += '=';
  if (IsPlainString(type, data)) {
    out += '"';
    AppendEscaped(out, data.substr(0, data.size() - 1));
    out += '"';
  } else if (type == win::kRegDword && data.size() == 4) {
    const auto* bytes = reinterpret_cast<const unsigned char*>(data.data());
    const std::uint32_t number = bytes[0] | (bytes[1] << 8) | (bytes[2] << 16) |
                                 (static_cast<std::uint32_t>(bytes[3]) << 24);
    out += "dword:";
    for (int shift = 28; shift >= 0; shift -= 4) {
      out += kDigits[(number >> shift) & 0x0F];
    }
  } else {
    if (type == win::kRegBinary) {
      out += "hex:";
    } else {
      std::string digits;
      win::DWORD rest = type;
      do {
        digits.insert(digits.begin(), kDigits[rest & 0x0F]);
        rest >>= 4;
      } while (rest != 0);
      out += "hex(" + digits + "):";
    }
    AppendHex(out, lineStart, data);
  }
  out += "\r\n";
}

void AppendKeyLine(std::string& out, std::string_view path, bool deleteKey) {
  out += deleteKey ? "\r\n[-" : "\r\n[";
  out += path;
  out += "]\r\n";
}

}  // namespace regtext
