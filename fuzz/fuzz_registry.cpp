// Fuzzes the registry.reg loader and the .reg import: whatever loads or imports must save, load
// again, and save to the same bytes; whatever does not must leave the registry as it was.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "platform/emulated/registry.h"

namespace {

void Check(bool condition, const char* what, const std::string& detail = std::string()) {
  if (!condition) {
    std::fprintf(stderr, "registry invariant broken: %s %s\n", what, detail.c_str());
    std::abort();
  }
}

// Walks the whole tree with the calls the program uses on it: key info, enumeration, open.
void Walk(CEmulatedRegistry& registry, win::HKEY key, int depth) {
  win::DWORD subKeys = 0;
  win::DWORD maxLength = 0;
  if (registry.QueryInfoKey(key, &subKeys, &maxLength) != 0 || depth > 64) {
    return;
  }
  for (win::DWORD i = 0; i < subKeys; ++i) {
    std::string name(maxLength + 1, '\0');
    win::DWORD length = static_cast<win::DWORD>(name.size());
    Check(registry.EnumKey(key, i, name.data(), &length) == 0, "every counted subkey enumerates");
    Check(length <= maxLength, "a subkey name fits the longest length");
    name.resize(length);
    win::HKEY child = 0;
    if (registry.OpenKey(key, name.c_str(), &child) == 0) {
      Walk(registry, child, depth + 1);
      registry.CloseKey(child);
    }
  }
}

// Whatever the registry holds saves, loads again and saves to the same text.
void RoundTrip(CEmulatedRegistry& registry) {
  Walk(registry, win::kHkeyLocalMachine, 0);
  const std::string first = registry.Save();
  CEmulatedRegistry again;
  std::string error;
  Check(again.Load(first, error), "what was saved loads again:", error);
  Check(first == again.Save(), "save, load and save give the same text");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string input(reinterpret_cast<const char*>(data), size);
  CEmulatedRegistry registry;
  std::string error;
  // A registry with content, to see that a failed load leaves it unchanged.
  win::HKEY key = 0;
  Check(registry.CreateKey(win::kHkeyLocalMachine, "SOFTWARE\\Before", &key) == 0, "create");
  registry.SetValue(key, "v", win::kRegSz, reinterpret_cast<const unsigned char*>("x"), 2);
  registry.CloseKey(key);
  const std::string before = registry.Save();

  // The same text imported on top of that content, as regedit imports restore.reg.
  CEmulatedRegistry imported;
  Check(imported.Load(before, error), "the content loads");
  if (imported.Import(input, error)) {
    RoundTrip(imported);
  } else {
    Check(!error.empty(), "a failed import says why");
    Check(imported.Save() == before, "a failed import changes nothing");
  }

  error.clear();
  if (!registry.Load(input, error)) {
    Check(!error.empty(), "a failed load says why");
    Check(registry.Save() == before, "a failed load changes nothing");
    return 0;
  }
  RoundTrip(registry);
  return 0;
}
