// Rules for file names that come from old configuration files and become part of a path.
#pragma once

#include <string>

// Upper-cases ASCII and Windows-1252 letters, as Windows compares file names.
std::string FoldCase(const std::string& name);
// True for CON, PRN, AUX, NUL, COM0-COM9, LPT0-LPT9 and COM or LPT with a superscript 1, 2 or
// 3 (Windows-1252), with or without an extension.
bool IsDeviceName(const std::string& name);
// True when name is a plain file name that Windows accepts as it is and that stays in the
// directory it is put in: not empty, no separator, drive colon, wildcard or other forbidden
// character, not "." or "..", no device name.
bool IsPlainFileName(const std::string& name);
// The form under which Windows stores a name: trailing dots and blanks dropped.
std::string StoredFileName(const std::string& name);
// Makes any text a plain file name: forbidden characters become '_', trailing dots and blanks
// are dropped, and an empty name, "." , ".." or a device name gets a leading '_'.
std::string SafeFileName(const std::string& name);
