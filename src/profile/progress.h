// What the stages need from the progress dialog: its two text lines and its message boxes.
#pragma once

#include <string>

#include "platform/platform.h"

class CProgress {
 public:
  virtual ~CProgress() = default;
  // Sets the status line (control 1000) and refreshes the dialog.
  virtual void SetStatusLine(const std::string& text) = 0;
  // Sets the detail line (control 1001) and refreshes the dialog.
  virtual void SetDetailLine(const std::string& text) = 0;
  // Shows a message box owned by the dialog; type carries the icon.
  virtual int ShowMessage(const std::string& text, win::UINT type) = 0;
};
