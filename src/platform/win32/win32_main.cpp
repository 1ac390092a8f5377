// The Windows entry point: the real platform over this executable's resources, then the program.
#include <windows.h>
// <windows.h> maps AnsiToOem and OemToAnsi to other names; the platform interface keeps its own.
#undef AnsiToOem
#undef OemToAnsi

#include <commctrl.h>

#include "app/app.h"
#include "platform/win32/win32_platform.h"

int WINAPI WinMain(HINSTANCE instance, HINSTANCE /*previous*/, LPSTR /*commandLine*/,
                   int /*showCommand*/) {
  CWin32Platform platform(instance);
  ::InitCommonControls();
  return RunCheckVela(platform);
}
