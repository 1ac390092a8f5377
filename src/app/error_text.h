// Windows error texts and messages formatted from the string table.
#pragma once

#include <string>

#include "platform/platform.h"

// A string that can be filled with the first line of the system's text for an error code.
class CWin32ErrorText : public std::string {
 public:
  CWin32ErrorText() = default;
  CWin32ErrorText(const char* text) : std::string(text) {}  // NOLINT: assignable from text
  CWin32ErrorText& operator=(const char* text) {
    std::string::operator=(text);
    return *this;
  }

  // Replaces the content with the text of code (0: the calling thread's last error), cut
  // before its first line break; string 6 when the system has no text. Returns the text.
  const char* SetFromCode(CPlatform& platform, win::DWORD code);
};

// Loads string id, formats it printf-style with the values that follow (%s: const char*,
// %lu: unsigned long) and appends the result to out. Returns the number of characters
// formatted. The message is never cut.
int FormatResourceMessage(CPlatform& platform, std::string& out, win::UINT id, ...);

// "text\n" + the Windows error text of code: the form of every message about a failed call.
std::string ResourceMessageWithError(CPlatform& platform, win::UINT id, const char* subject,
                                     win::DWORD code);
