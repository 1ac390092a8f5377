// The English message texts of the Windows system message table, for the codes the emulated
// machine can produce.
#pragma once

#include <string>

#include "platform/platform.h"

// The text FormatMessageA gives for code, with its trailing "\r\n" and its inserts (%1) as they
// stand; false for codes not known.
bool SystemMessageText(win::DWORD code, std::string& text);
// True for the language ids that reach the English message table: the search order (0), the
// user and system default languages, and any English language.
bool IsEnglishMessageLanguage(win::DWORD languageId);
