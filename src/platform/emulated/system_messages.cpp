#include "platform/emulated/system_messages.h"

namespace {

struct SystemMessage {
  win::DWORD code;
  const char* text;
};

constexpr SystemMessage kMessages[] = {
    {0, "The operation completed successfully.\r\n"},
    {2, "The system cannot find the file specified.\r\n"},
    {3, "The system cannot find the path specified.\r\n"},
    {5, "Access is denied.\r\n"},
    {6, "The handle is invalid.\r\n"},
    {8, "Not enough memory resources are available to process this command.\r\n"},
    {11, "An attempt was made to load a program with an incorrect format.\r\n"},
    {18, "There are no more files.\r\n"},
    {29, "The system cannot write to the specified device.\r\n"},
    {32, "The process cannot access the file because it is being used by another process.\r\n"},
    {39, "The disk is full.\r\n"},
    {80, "The file exists.\r\n"},
    {82, "The directory or file cannot be created.\r\n"},
    {87, "The parameter is incorrect.\r\n"},
    {112, "There is not enough space on the disk.\r\n"},
    {122, "The data area passed to a system call is too small.\r\n"},
    {123, "The filename, directory name, or volume label syntax is incorrect.\r\n"},
    {145, "The directory is not empty.\r\n"},
    {161, "The specified path is invalid.\r\n"},
    {183, "Cannot create a file when that file already exists.\r\n"},
    {193, "%1 is not a valid Win32 application.\r\n"},
    {206, "The filename or extension is too long.\r\n"},
    {234, "More data is available.\r\n"},
    {259, "No more data is available.\r\n"},
    {267, "The directory name is invalid.\r\n"},
    {1015,
     "The registry is corrupted. The structure of one of the files containing registry data is "
     "corrupted, or the system's memory image of the file is corrupted, or the file could not "
     "be recovered because the alternate copy or log was absent or corrupted.\r\n"},
};

}  // namespace

bool IsEnglishMessageLanguage(win::DWORD languageId) {
  constexpr win::DWORD kLangUserDefault = 0x0400;
  constexpr win::DWORD kLangEnglish = 0x09;  // the primary language of every English variant
  return languageId == win::kLangSearchOrder || languageId == kLangUserDefault ||
         languageId == win::kLangSystemDefault || (languageId & 0x3FF) == kLangEnglish;
}

bool SystemMessageText(win::DWORD code, std::string& text) {
  for (const SystemMessage& message : kMessages) {
    if (message.code == code) {
      text = message.text;
      return true;
    }
  }
  return false;
}
