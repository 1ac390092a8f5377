// The progress dialog on the console: the status line (control 1000) and the detail line (1001)
// go to the out stream, message boxes to the err stream, each acknowledged at once.
#include <unistd.h>

#include <iostream>

#include "platform/emulated/codepage.h"
#include "platform/emulated/emulated_platform.h"

namespace {

constexpr int kStatusLine = 1000;
constexpr int kDetailLine = 1001;

// Console text: UTF-8, one line per string, no carriage returns.
std::string ConsoleText(const std::string& ansi) {
  std::string text = codepage::AnsiToUtf8(ansi);
  std::string out;
  out.reserve(text.size());
  for (char c : text) {
    if (c != '\r') {
      out += c;
    }
  }
  while (!out.empty() && out.back() == '\n') {
    out.pop_back();
  }
  return out;
}

}  // namespace

int CEmulatedPlatform::DoModal(CDialogClient& client) {
  startPending_ = false;
  ended_ = false;
  endResult_ = 0;
  iconsSet_ = false;
  dialogTexts_.clear();
  std::ostream& out = options_.out != nullptr ? *options_.out : std::cout;
  linesOnTerminal_ = &out == &std::cout && ::isatty(STDOUT_FILENO) == 1;
  linesShown_ = false;
  client.OnInitDialog();
  while (startPending_ && !ended_) {
    startPending_ = false;
    client.OnCheckInstallation();
  }
  out << std::flush;
  // A dialog that nobody ended would wait for the user to close it.
  return ended_ ? endResult_ : win::kIdCancel;
}

void CEmulatedPlatform::SetDialogIcons() {
  iconsSet_ = true;
}

void CEmulatedPlatform::PostCheckInstallation() {
  startPending_ = true;
}

void CEmulatedPlatform::SetDlgItemTextA(int controlId, const std::string& text) {
  std::string& current = dialogTexts_[controlId];
  if (current == text) {
    return;
  }
  current = text;
  if (controlId == kStatusLine || controlId == kDetailLine) {
    ShowLine(controlId);
  }
}

void CEmulatedPlatform::ShowLine(int controlId) {
  std::ostream& out = options_.out != nullptr ? *options_.out : std::cout;
  if (!linesOnTerminal_) {
    // Not shown to anyone as it happens: the lines go out as the stream's buffer fills (one
    // write for many lines), and before a message box's line and at the end of the dialog, so
    // that they keep their order with those.
    out << ConsoleText(dialogTexts_[controlId]) << '\n';
    return;
  }
  // On a terminal the two lines stay in place: move up over them, then rewrite both.
  if (linesShown_) {
    out << "\x1b[2A";
  }
  for (int id : {kStatusLine, kDetailLine}) {
    std::string line = ConsoleText(dialogTexts_[id]);
    for (char& c : line) {
      if (c == '\n') {
        c = ' ';
      }
    }
    out << '\r' << line << "\x1b[K\n";
  }
  out << std::flush;
  linesShown_ = true;
}

std::string CEmulatedPlatform::GetDlgItemTextA(int controlId) {
  const auto it = dialogTexts_.find(controlId);
  return it == dialogTexts_.end() ? std::string() : it->second;
}

void CEmulatedPlatform::EndDialog(int result) {
  ended_ = true;
  endResult_ = result;
}

int CEmulatedPlatform::MessageBoxA(const std::string& text, win::UINT /*type*/) {
  std::ostream& out = options_.out != nullptr ? *options_.out : std::cout;
  out << std::flush;
  std::ostream& err = options_.err != nullptr ? *options_.err : std::cerr;
  err << "CheckVela: " << ConsoleText(text) << '\n' << std::flush;
  ++messageBoxes_;
  // The box's line sits below the two lines now: the next update starts them afresh.
  linesShown_ = false;
  return win::kIdOk;
}
