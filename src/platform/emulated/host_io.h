// Reading host files for the emulated machine.
#pragma once

#include <cstdint>
#include <string>

// Reads a whole host file into data; false with the errno in error when it cannot.
// expectedSize is its size as the caller has just seen it (-1: unknown), which saves looking.
bool ReadHostFile(const std::string& path, std::string& data, int& error,
                  std::int64_t expectedSize = -1);
