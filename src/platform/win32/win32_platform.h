// The real Win32 implementation of the platform interface. Every registry access carries
// KEY_WOW64_32KEY, so a 64-bit build reads and writes the 32-bit view as the release does.
#pragma once

#include "platform/platform.h"

class CWin32Platform : public CPlatform {
 public:
  // instance: the module whose resources (dialog 102, icon 128, string table) are used.
  explicit CWin32Platform(void* instance);
  ~CWin32Platform() override;
  // the implementation declares the overrides of CPlatform here
};
