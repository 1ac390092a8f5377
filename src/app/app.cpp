#include "app/app.h"

#include "app/dialog.h"

bool CCheckVelaApp::InitInstance() {
  {
    CCheckVelaDlg dialog(platform_);
    dialog.DoModal();
  }  // the dialog goes here, closing the restore script if it is still open
  return false;
}

int RunCheckVela(CPlatform& platform) {
  CCheckVelaApp app(platform);
  app.InitInstance();
  return 0;
}
