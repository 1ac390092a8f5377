#include "app/app.h"

bool CCheckVelaApp::InitInstance() { return false; }

int RunCheckVela(CPlatform& platform) {
  CCheckVelaApp app(platform);
  app.InitInstance();
  return 0;
}
