// Shows the progress dialog of CheckVela.exe with both lines filled, for a screenshot, and
// closes it after a few seconds. Built by screenshot.sh from the platform layer and the same
// resource script as CheckVela.exe; not part of the product.
#include <windows.h>
#undef AnsiToOem

#include <commctrl.h>

#include <cstdlib>
#include <string>

#include "platform/win32/win32_platform.h"
#include "resource.h"

namespace {

const char kCaption[] = "Check existing Vela installation";

class CProbeClient : public CDialogClient {
 public:
  CProbeClient(CPlatform& platform, const char* detail, DWORD seconds)
      : platform_(platform), detail_(detail), seconds_(seconds) {}

  bool OnInitDialog() override {
    platform_.SetDialogIcons();
    platform_.SetDlgItemTextA(IDC_STATUS, platform_.LoadStringA(IDS_IMPORTING_FILE));
    platform_.SetDlgItemTextA(IDC_DETAIL, detail_);
    // Close after a while, from another thread, as a user pressing Escape would.
    ::CreateThread(nullptr, 0, &CProbeClient::CloseLater, this, 0, nullptr);
    platform_.PostCheckInstallation();
    return true;
  }
  // The dialog is on screen by now: make it the active window, as a user's click would.
  void OnCheckInstallation() override { ::SetForegroundWindow(::FindWindowA("#32770", kCaption)); }

 private:
  static DWORD WINAPI CloseLater(void* self) {
    ::Sleep(static_cast<CProbeClient*>(self)->seconds_ * 1000);
    ::PostMessageA(::FindWindowA("#32770", kCaption), WM_CLOSE, 0, 0);
    return 0;
  }

  CPlatform& platform_;
  const char* detail_;
  DWORD seconds_;
};

}  // namespace

int WINAPI WinMain(HINSTANCE instance, HINSTANCE, LPSTR, int) {
  ::InitCommonControls();
  CWin32Platform platform(instance);
  const char* detail = std::getenv("PROBE_DETAIL");
  const char* seconds = std::getenv("PROBE_SECONDS");
  CProbeClient client(platform, detail != nullptr ? detail : "C:\\VELA\\VELA.INI",
                      seconds != nullptr ? static_cast<DWORD>(std::atoi(seconds)) : 10);
  return platform.DoModal(client) == IDCANCEL ? 0 : 1;
}
