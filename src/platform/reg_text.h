// The text of a REGEDIT4 file as regedit writes it: key lines and value lines. The emulated
// registry saves registry.reg with it, and the core writes restore.reg with it.
#pragma once

#include <string>
#include <string_view>

#include "platform/platform.h"

namespace regtext {

// The first line of a REGEDIT4 file, with its CR LF.
inline constexpr std::string_view kHeader = "REGEDIT4\r\n";

// Appends text with \ and " escaped; CR and LF, which only a name can hold here, as \r and \n.
void AppendEscaped(std::string& out, std::string_view text);

// True when regedit's quoted form "text" gives back exactly these bytes: a REG_SZ that ends in
// its only NUL and holds no control character.
bool IsPlainString(win::DWORD type, std::string_view data);

// Appends one value line with its CR LF: @ for the unnamed value, else the quoted name; then
// "text" (IsPlainString), dword:xxxxxxxx (REG_DWORD of 4 bytes), hex: (REG_BINARY) or hex(N):
// (any other type or size), hex bytes wrapped as regedit wraps them.
void AppendValueLine(std::string& out, std::string_view name, win::DWORD type,
                     std::string_view data);

// Appends a blank line and the key line [path], or [-path] for a key to delete, with CR LF.
void AppendKeyLine(std::string& out, std::string_view path, bool deleteKey = false);

}  // namespace regtext
