// A progress sink that records the two lines and the message boxes instead of showing them.
#pragma once

#include <string>
#include <vector>

#include "profile/progress.h"

class CRecordingProgress : public CProgress {
 public:
  void SetStatusLine(const std::string& text) override { status = text; }
  void SetDetailLine(const std::string& text) override { details.push_back(text); }
  int ShowMessage(const std::string& text, win::UINT type) override {
    messages.push_back(text);
    types.push_back(type);
    return win::kIdOk;
  }

  std::string status;
  std::vector<std::string> details;
  std::vector<std::string> messages;
  std::vector<win::UINT> types;
};
