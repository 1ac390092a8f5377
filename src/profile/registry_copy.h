// Writing INI entries into registry keys below the product key, with typed values.
#pragma once

#include <string>

#include "platform/platform.h"
#include "profile/ini.h"

// The product key, below HKEY_LOCAL_MACHINE.
inline constexpr const char* kProductKeyPath = "SOFTWARE\\Quillon\\Vela";

// True when text is one or more of the digits 0 to 9 and nothing else.
bool IsAllDigits(const std::string& text);
// The digits read as a decimal number in 32-bit arithmetic (the number modulo 2^32).
win::DWORD DigitsToDword(const std::string& digits);

// Typed value writers. Text is written whole: its length is given without the terminating NUL,
// from a buffer whose next byte is that NUL, so the registry stores the NUL too, as Windows
// does for a string counted without it.
win::LONG SetDwordValue(CPlatform& platform, win::HKEY key, const std::string& name,
                        win::DWORD value);
win::LONG SetTextValue(CPlatform& platform, win::HKEY key, const std::string& name,
                       const std::string& text);
// The digits rule: an empty value is not written; digits only (and allText false) give
// REG_DWORD; anything else REG_SZ.
void SetValueByDigitsRule(CPlatform& platform, win::HKEY key, const std::string& name,
                          const std::string& value, bool allText);

// Writes every entry of map into the key subKeyPath below the product key (every missing
// level created, also when nothing is written).
void WriteMapToKey(CPlatform& platform, const CMapStringToString& map,
                   const std::string& subKeyPath, bool allText);
// Reads one INI section and writes it as WriteMapToKey does.
void CopySectionToKey(CPlatform& platform, const CIni& ini, const std::string& section,
                      const std::string& subKeyPath, bool allText);
// Writes print settings: the six measures as decimal text with a point, the four byte
// sequences as REG_BINARY (removed from map), the rest by the digits rule. The ten names are
// looked up with case; where one is found, entries spelling it in another case are removed, so
// that they cannot override it. map is changed.
void WritePrintSettingsToKey(CPlatform& platform, CMapStringToString& map,
                             const std::string& subKeyPath);
// Reads a text of hexadecimal digit pairs into bytes (an odd last character is ignored).
std::string HexPairsToBytes(const std::string& text);
