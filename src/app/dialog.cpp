#include "app/dialog.h"

#include "app/error_text.h"
#include "install/install.h"
#include "resource.h"

CCheckVelaDlg::CCheckVelaDlg(CPlatform& platform)
    : platform_(platform), registryRestore_(platform), migration_(platform, *this) {
  migration_.SetBeforeRegistryChange([this] { return RegistryWayBack(true); });
}

int CCheckVelaDlg::DoModal() {
  return platform_.DoModal(*this);
}

bool CCheckVelaDlg::UpdateData(bool fromControls) {
  if (fromControls) {
    m_strStatus = platform_.GetDlgItemTextA(IDC_STATUS);
    m_strDetail = platform_.GetDlgItemTextA(IDC_DETAIL);
  } else {
    platform_.SetDlgItemTextA(IDC_STATUS, m_strStatus);
    platform_.SetDlgItemTextA(IDC_DETAIL, m_strDetail);
  }
  return true;
}

bool CCheckVelaDlg::OnInitDialog() {
  UpdateData(false);
  platform_.SetDialogIcons();
  platform_.PostCheckInstallation();
  return true;
}

void CCheckVelaDlg::OnCheckInstallation() {
  bool succeeded = false;
  try {
    TakeRegistrySnapshot();
    HandOverUninstallEntry();
    succeeded = FindInstallLocations() && MigrateConfiguration();
  } catch (const CRestoreScriptError& error) {
    // The file being moved is still in its place; nothing after it has run.
    ShowMessage(
        ResourceMessageWithError(platform_, error.MessageId(), error.Path().c_str(), error.Code()),
        win::kMbIconStop);
    succeeded = false;
  }
  if (succeeded) {
    OnOK();
  } else {
    OnCancel();
  }
}

void CCheckVelaDlg::SetStatusLine(const std::string& text) {
  m_strStatus = text;
  UpdateData(false);
}

void CCheckVelaDlg::SetDetailLine(const std::string& text) {
  m_strDetail = text;
  UpdateData(false);
}

int CCheckVelaDlg::ShowMessage(const std::string& text, win::UINT type) {
  return platform_.MessageBoxA(text, type);
}

void CCheckVelaDlg::OnOK() {
  if (UpdateData(true)) {
    platform_.EndDialog(win::kIdOk);
  }
}

void CCheckVelaDlg::OnCancel() {
  platform_.EndDialog(win::kIdCancel);
}

void CCheckVelaDlg::TakeRegistrySnapshot() {
  // The hand-over determines the program directory itself too: it runs before the locations.
  const std::string programDirectory = GetProgramDirectory(platform_);
  registryRestore_.TakeSnapshot(
      programDirectory.empty() ? std::string() : programDirectory + "Backup",
      FindUninstallEntry(platform_));
}

void CCheckVelaDlg::HandOverUninstallEntry() {
  // Without its way back the hand-over silently does nothing; the migration says why.
  ::HandOverUninstallEntry(platform_, [this] { return RegistryWayBack(false); });
}

bool CCheckVelaDlg::RegistryWayBack(bool report) {
  if (registryRestore_.BeforeRegistryChange()) {
    return true;
  }
  if (report && !wayBackReported_) {
    wayBackReported_ = true;
    ShowMessage(ResourceMessageWithError(platform_, IDS_RESTORE_REG_CREATE_FAILED,
                                         registryRestore_.FailedPath().c_str(),
                                         registryRestore_.FailedError()),
                win::kMbOk);
  }
  return false;
}

bool CCheckVelaDlg::FindInstallLocations() {
  return ::FindInstallLocations(platform_, *this, m_strProgramDir);
}

bool CCheckVelaDlg::MigrateConfiguration() {
  return migration_.MigrateConfiguration(m_strProgramDir);
}
