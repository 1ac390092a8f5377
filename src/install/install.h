// Installation discovery: the program's own directory, the Windows directory, and the hand-over
// of the old uninstall entry to the new uninstaller.
#pragma once

#include <functional>
#include <string>

#include "platform/platform.h"
#include "profile/progress.h"

// The directory of the program's own executable, ending in a backslash; empty when the system
// cannot report the executable's path.
std::string GetProgramDirectory(CPlatform& platform);

// Makes sure the system reports its Windows directory and determines the program directory.
// False, after a message box with the Windows error text, when there is no Windows directory.
bool FindInstallLocations(CPlatform& platform, CProgress& progress, std::string& programDirectory);

// The uninstall entry that the hand-over takes: the key path below HKEY_LOCAL_MACHINE of the
// subkey of the Uninstall key with the highest enumeration index whose name begins with "Vela"
// (exact case). Empty when there is none.
std::string FindUninstallEntry(CPlatform& platform);

// Points the uninstall entry (FindUninstallEntry) at delvela.exe in the program directory,
// after saving its old command under the product key. Silent; changes nothing when there is
// nothing to do or when the new command cannot be determined. beforeFirstChange, when given,
// is called right before the first registry write; when it returns false (the way back could
// not be written) nothing is changed.
void HandOverUninstallEntry(CPlatform& platform,
                            const std::function<bool()>& beforeFirstChange = {});
