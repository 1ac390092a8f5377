// Reading host files for the emulated machine.
#pragma once

#include <string>

// Reads a whole host file into data; false with the errno in error when it cannot.
bool ReadHostFile(const std::string& path, std::string& data, int& error);
