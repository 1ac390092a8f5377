// The emulated registry: a tree of keys with typed values, kept in memory for the run and
// stored as regedit text. Key and value names are compared without regard to case and keep the
// case they were created with; subkeys enumerate in the order of their upper-cased names, as a
// Windows hive keeps them.
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <string_view>

#include "platform/platform.h"

class CEmulatedRegistry {
 public:
  CEmulatedRegistry();
  ~CEmulatedRegistry();

  // The registry functions, with Windows semantics and error codes. kHkeyLocalMachine is the
  // root HKEY_LOCAL_MACHINE; other handles are what CreateKey and OpenKey return.
  win::LONG CreateKey(win::HKEY parent, const char* subKey, win::HKEY* result);
  win::LONG OpenKey(win::HKEY parent, const char* subKey, win::HKEY* result);
  win::LONG QueryInfoKey(win::HKEY key, win::DWORD* subKeys, win::DWORD* maxSubKeyLen);
  win::LONG EnumKey(win::HKEY key, win::DWORD index, char* name, win::DWORD* nameLength);
  win::LONG QueryValue(win::HKEY key, const char* valueName, win::DWORD* type, unsigned char* data,
                       win::DWORD* dataSize);
  win::LONG SetValue(win::HKEY key, const char* valueName, win::DWORD type,
                     const unsigned char* data, win::DWORD dataSize);
  // The value at index, in the order the values were created.
  win::LONG EnumValue(win::HKEY key, win::DWORD index, char* name, win::DWORD* nameLength,
                      win::DWORD* type, unsigned char* data, win::DWORD* dataSize);
  // Deletes a subkey without subkeys of its own; handles open on it stop working.
  win::LONG DeleteKey(win::HKEY parent, const char* subKey);
  win::LONG CloseKey(win::HKEY key);

  // Replaces the whole registry with the content of a .reg file: REGEDIT4 text in the ANSI code
  // page, or "Windows Registry Editor Version 5.00" in UTF-16LE with a byte-order mark. False
  // with "line N: reason" in error when the text is malformed; the registry is then unchanged.
  bool Load(const std::string& fileBytes, std::string& error);
  // Imports a .reg file on top of the registry as regedit does: keys are created, values set,
  // [-KEY] deletes the key with its subtree and "name"=- the value. As Wine's regedit does, a
  // string type given in hex gains a NUL when its data does not end in one, and a backslash
  // before a character that is no escape is dropped. False with "line N: reason" in error when
  // the text is malformed; the registry is then unchanged.
  bool Import(const std::string& fileBytes, std::string& error);
  // The whole registry as REGEDIT4 text (CR LF line ends), as regedit writes it.
  std::string Save() const;
  // The same text, handed to write in pieces as it is made, so that the whole of it is never
  // held at once; false as soon as write returns false.
  bool Save(const std::function<bool(std::string_view)>& write) const;

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};
