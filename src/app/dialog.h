// The progress dialog: the program's only window. It runs the stages once, shows what is being
// worked on in two text lines, and closes by itself.
#pragma once

#include <string>

#include "migrate/migration.h"
#include "platform/platform.h"
#include "profile/progress.h"
#include "profile/registry_restore.h"

class CCheckVelaDlg : public CDialogClient, public CProgress {
 public:
  explicit CCheckVelaDlg(CPlatform& platform);

  int DoModal();

  // CDialogClient
  bool OnInitDialog() override;
  void OnCheckInstallation() override;

  // CProgress
  void SetStatusLine(const std::string& text) override;
  void SetDetailLine(const std::string& text) override;
  int ShowMessage(const std::string& text, win::UINT type) override;

  // Writes both lines into their controls (toControls) or reads them back.
  bool UpdateData(bool fromControls);
  void OnOK();
  void OnCancel();

  // Before the stages: what restore.reg is to put back (CRegistryRestore).
  void TakeRegistrySnapshot();
  // The stages, in the order OnCheckInstallation runs them. Virtual so that tests can
  // replace a stage to exercise the closing rule.
  virtual void HandOverUninstallEntry();
  virtual bool FindInstallLocations();
  virtual bool MigrateConfiguration();

  std::string m_strStatus;
  std::string m_strDetail;
  std::string m_strProgramDir;

  // Before a registry change: true when restore.reg is on the disk. Otherwise nothing may
  // change; with report, a message says why (once).
  bool RegistryWayBack(bool report);

 protected:
  CPlatform& platform_;
  bool wayBackReported_ = false;
  CRegistryRestore registryRestore_;
  CMigration migration_;
};
