// Installation discovery: the program's own directory, the Windows directory, and the hand-over
// of the old uninstall entry to the new uninstaller.
#pragma once

#include <string>

#include "platform/platform.h"
#include "profile/progress.h"

// The directory of the program's own executable, ending in a backslash; empty when the system
// cannot report the executable's path.
std::string GetProgramDirectory(CPlatform& platform);

// Makes sure the system reports its Windows directory and determines the program directory.
// False, after a message box with the Windows error text, when there is no Windows directory.
bool FindInstallLocations(CPlatform& platform, CProgress& progress, std::string& programDirectory);

// Points the first uninstall entry whose name begins with "Vela" at delvela.exe in the program
// directory, after saving its old command under the product key. Silent; changes nothing
// when there is nothing to do or when the new command cannot be determined.
void HandOverUninstallEntry(CPlatform& platform);
