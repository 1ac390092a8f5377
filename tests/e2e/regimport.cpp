// regimport: imports .reg files into an emulated machine's registry, as regedit /s does on
// Windows, for the end-to-end tests' native leg.
//
// Usage: regimport MACHINE [FILE.reg...]
// Loads MACHINE/registry.reg, imports each file (a host path) in order, and saves registry.reg.
// With no file it only rewrites registry.reg in the form the emulation saves it.
#include <cstdio>
#include <fstream>
#include <iterator>
#include <string>

#include "platform/emulated/emulated_platform.h"

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fputs("usage: regimport MACHINE [FILE.reg...]\n", stderr);
    return 2;
  }
  CEmulatedMachineOptions options;
  options.root = argv[1];
  CEmulatedPlatform machine(options);
  std::string error;
  if (!machine.LoadRegistry(error)) {
    std::fprintf(stderr, "regimport: %s\n", error.c_str());
    return 1;
  }
  for (int i = 2; i < argc; ++i) {
    std::ifstream in(argv[i], std::ios::binary);
    if (!in) {
      std::fprintf(stderr, "regimport: cannot read %s\n", argv[i]);
      return 1;
    }
    const std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    if (!machine.ImportRegistry(bytes, error)) {
      std::fprintf(stderr, "regimport: %s: %s\n", argv[i], error.c_str());
      return 1;
    }
  }
  if (!machine.SaveRegistry(error)) {
    std::fprintf(stderr, "regimport: %s\n", error.c_str());
    return 1;
  }
  return 0;
}
