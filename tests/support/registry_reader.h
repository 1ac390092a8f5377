// Reading registry values back in tests.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "platform/platform.h"

struct CRegValue {
  win::DWORD type = 0;
  std::string data;
  bool operator==(const CRegValue&) const = default;
};

// The value name of the key keyPath below HKEY_LOCAL_MACHINE; nothing when the key or the
// value is missing.
std::optional<CRegValue> ReadValue(CPlatform& platform, const std::string& keyPath,
                                   const std::string& name);
bool KeyExists(CPlatform& platform, const std::string& keyPath);
// Subkey names in enumeration order; empty when the key is missing.
std::vector<std::string> SubKeys(CPlatform& platform, const std::string& keyPath);
// Value names as the registry spells them, in enumeration order; empty when the key is missing.
std::vector<std::string> ValueNames(CPlatform& platform, const std::string& keyPath);

// Expected values, spelled briefly.
CRegValue Sz(const std::string& text);  // REG_SZ with its terminating NUL
CRegValue Dword(win::DWORD value);
CRegValue Binary(const std::string& bytes);

// Readable form of a value for failure messages.
std::ostream& operator<<(std::ostream& out, const CRegValue& value);
