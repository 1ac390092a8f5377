#include "app/error_text.h"

#include <cstdarg>
#include <cstdio>
#include <vector>

#include "resource.h"

namespace {

// The system's text for code in the system default language. Where that language has no
// message table (an English Windows with another system locale, say) the system's own language
// order is asked instead.
bool SystemText(CPlatform& platform, win::DWORD code, std::string& text) {
  if (platform.FormatSystemMessage(code, win::kLangSystemDefault, text)) {
    return true;
  }
  const win::DWORD error = platform.GetLastError();
  return (error == win::kErrorResourceLangNotFound || error == win::kErrorMuiFileNotFound) &&
         platform.FormatSystemMessage(code, win::kLangSearchOrder, text);
}

}  // namespace

const char* CWin32ErrorText::SetFromCode(CPlatform& platform, win::DWORD code) {
  if (code == 0) {
    code = platform.GetLastError();
  }
  std::string text;
  if (!SystemText(platform, code, text)) {
    text.clear();
    FormatResourceMessage(platform, text, IDS_UNKNOWN_WIN32_ERROR,
                          static_cast<unsigned long>(code));
  }
  const size_t lineBreak = text.find_first_of("\r\n");
  if (lineBreak != std::string::npos) {
    text.resize(lineBreak);
  }
  static_cast<std::string&>(*this) = std::move(text);
  return c_str();
}

int FormatResourceMessage(CPlatform& platform, std::string& out, win::UINT id, ...) {
  const std::string pattern = platform.LoadStringA(id);
  va_list args;
  va_start(args, id);
  va_list measure;
  va_copy(measure, args);
  // NOLINTNEXTLINE(clang-analyzer-valist.Uninitialized): va_copy has initialised it
  const int length = std::vsnprintf(nullptr, 0, pattern.c_str(), measure);
  va_end(measure);
  if (length <= 0) {
    va_end(args);
    return 0;
  }
  std::vector<char> buffer(static_cast<size_t>(length) + 1);
  std::vsnprintf(buffer.data(), buffer.size(), pattern.c_str(), args);
  va_end(args);
  out.append(buffer.data(), static_cast<size_t>(length));
  return length;
}

std::string ResourceMessageWithError(CPlatform& platform, win::UINT id, const char* subject,
                                     win::DWORD code) {
  CWin32ErrorText error;
  error.SetFromCode(platform, code);
  std::string message;
  FormatResourceMessage(platform, message, id, subject, error.c_str());
  return message;
}
