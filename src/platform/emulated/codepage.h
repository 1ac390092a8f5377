// Conversions between the code pages of the emulated machine: Windows-1252 (the ANSI code page
// of U.S. and Western European Windows), code page 437 (its OEM code page, which cmd reads batch
// files in) and UTF-8 (host file names and the console).
#pragma once

#include <string>
#include <string_view>

namespace codepage {

// Windows-1252 bytes to UTF-8. The five bytes that 1252 leaves undefined map to the C1 controls
// of the same value, as MultiByteToWideChar does, so every byte string survives a round trip.
std::string AnsiToUtf8(std::string_view ansi);
// The same, appended to out.
void AppendAnsiAsUtf8(std::string& out, std::string_view ansi);
// UTF-8 to Windows-1252; characters 1252 cannot hold and malformed bytes become '?'.
std::string Utf8ToAnsi(std::string_view utf8);
// Windows-1252 to code page 437; characters 437 cannot hold become '?'.
std::string AnsiToOem(std::string_view ansi);
// Code page 437 to Windows-1252; characters 1252 cannot hold become '?'.
std::string OemToAnsi(std::string_view oem);
// Orders two Windows-1252 strings by their upper-cased bytes.
bool AnsiLessNoCase(std::string_view a, std::string_view b);

}  // namespace codepage
