// The application object: builds the progress dialog, runs it modally and ends the program.
#pragma once

#include "platform/platform.h"

class CCheckVelaApp {
 public:
  explicit CCheckVelaApp(CPlatform& platform) : platform_(platform) {}
  // Runs the program once; returns false so that no message loop follows.
  bool InitInstance();

 private:
  CPlatform& platform_;
};

// Runs the whole program on a platform; returns the process exit status, which is 0.
int RunCheckVela(CPlatform& platform);
