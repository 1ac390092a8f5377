// Read access to one INI file named by its full path, through the system's profile functions.
#pragma once

#include <map>
#include <string>
#include <vector>

#include "platform/platform.h"

// The containers in which INI entries travel: names in file order, and a map whose keys are
// compared with case (the order of its entries carries no meaning).
using CStringArray = std::vector<std::string>;
using CMapStringToString = std::map<std::string, std::string>;

// A map's keys become registry value names, which are compared without regard to case: an
// entry in another spelling would override the one the program sets. These two treat every
// spelling of a name as one entry, as the profile functions and the registry do.

// Removes every entry whose key is name without regard to case.
void RemoveEntryNoCase(CMapStringToString& map, const std::string& name);
// Sets the entry name to value after removing every entry of that name in another case.
void SetEntryNoCase(CMapStringToString& map, const std::string& name, std::string value);

class CIni {
 public:
  CIni(CPlatform& platform, std::string path);

  // Re-points the accessor at another file; m_bModified stays as it was.
  void SetPath(std::string path);

  // One value; defaultValue (or "" when null) when the key is missing or its value is empty.
  std::string GetString(const std::string& section, const std::string& key,
                        const char* defaultValue = nullptr) const;
  // GetPrivateProfileIntA: the value as a decimal integer, or defaultValue when missing.
  int GetInt(const std::string& section, const std::string& key, int defaultValue) const;
  // Appends the section's key names in file order; 0 when there are none, else the new size.
  int GetSectionKeys(const std::string& section, CStringArray& array) const;
  // Appends every key name of the section in file order, however long the list: the buffer
  // grows until the whole list fits. Unlike GetSectionKeys an empty name (a key without one)
  // does not end the list; it is left out. 0 when there are none, else the new size.
  int GetAllSectionKeys(const std::string& section, CStringArray& array) const;
  // Adds every key of the section with its value; 0 when there are none, else the new count.
  int GetSection(const std::string& section, CMapStringToString& map) const;

  std::string m_strPath;
  bool m_bModified = false;

 private:
  CPlatform* platform_;
};
