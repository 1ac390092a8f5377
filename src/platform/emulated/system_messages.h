// The English message texts of the Windows system message table, for the codes the emulated
// machine can produce.
#pragma once

#include <string>

#include "platform/platform.h"

// The text FormatMessageA gives for code, with its trailing "\r\n"; false for codes not known.
bool SystemMessageText(win::DWORD code, std::string& text);
